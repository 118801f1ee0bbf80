#include "segmentation/segment_image.h"

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "image/parallel.h"
#include "segmentation/ms_image_processor.h"

namespace {

// The copies here cost a few operations a pixel: a thread gets a band of rows only when the band
// holds at least this many pixels.
constexpr int kMinPixelsPerThread = 20000;

int MinRowsPerThread(int width) { return std::max(1, kMinPixelsPerThread / std::max(width, 1)); }

}  // namespace

bool SegmentImage(const ImageRef& frame, ImageRef& labels, SegPatchList& segments, int minRegion, int sigmaS,
                  float sigmaR, std::string& errorMessage, int threads, FilterSpeedUp speedUp) {
  CV_Assert(frame.Empty() || frame.Depth() == CV_8U);
  const int W = frame.Width();
  const int H = frame.Height();
  const int N = frame.Channels();

  // tightly packed pixels: RGB for colour, channel 0 alone for anything else
  const int packedChannels = N == 3 ? 3 : 1;
  std::vector<uint8_t> pixels(static_cast<size_t>(W) * H * packedChannels);
  auto packRows = [&](int rowBegin, int rowEnd) {
    for (int y = rowBegin; y < rowEnd; ++y) {
      const uint8_t* row = frame.Row<uint8_t>(y);
      uint8_t* out = &pixels[static_cast<size_t>(y) * W * packedChannels];
      if (N == 3) {
        for (int x = 0; x < W; ++x) {
          out[3 * x + 0] = row[3 * x + 2];
          out[3 * x + 1] = row[3 * x + 1];
          out[3 * x + 2] = row[3 * x + 0];
        }
      } else {
        for (int x = 0; x < W; ++x) out[x] = row[x * N];
      }
    }
  };
  ParallelFor(H, threads, packRows, MinRowsPerThread(W));

  msImageProcessor processor;
  processor.SetImageData(pixels.data(), N == 3 ? kColourImage : kGreyImage, H, W, threads);
  processor.FilterImage(sigmaS, sigmaR, static_cast<int>(speedUp));
  processor.FuseRegions(sigmaR, minRegion);
  if (processor.ErrorLevel() != 0) {
    errorMessage = processor.ErrorMessage();
    labels.Release();
    ReleaseSegPatches(segments);
    return false;
  }
  errorMessage.clear();

  ImageRef labelImage = CreateInt(W, H, 1);
  const std::vector<int>& regionLabels = processor.GetLabels();
  auto copyRows = [&](int rowBegin, int rowEnd) {
    for (int y = rowBegin; y < rowEnd; ++y) {
      int32_t* row = labelImage.Row<int32_t>(y);
      for (int x = 0; x < W; ++x) row[x] = regionLabels[static_cast<size_t>(y) * W + x];
    }
  };
  ParallelFor(H, threads, copyRows, MinRowsPerThread(W));
  BuildSegPatches(labelImage, segments);
  labels = labelImage;
  return true;
}

void SegmentImage(const ImageRef& frame, ImageRef& labels, SegPatchList& segments, int minRegion, int sigmaS,
                  float sigmaR, int threads, FilterSpeedUp speedUp) {
  std::string errorMessage;
  if (!SegmentImage(frame, labels, segments, minRegion, sigmaS, sigmaR, errorMessage, threads, speedUp)) {
    throw std::runtime_error("SegmentImage: " + errorMessage);
  }
}
