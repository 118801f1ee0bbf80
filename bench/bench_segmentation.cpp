// Time and region count of the mean-shift segmentation on the Middlebury frame10 images, with the
// reference solver's filter (trajectory shortcuts) and the fast solver's (neighbour shortcut too),
// and a picture of one frame's reference segments (one colour per segment, frame and segments side
// by side).
//
// usage: bench_segmentation [picture path, default /tmp/segments.png] [sequence to draw, default RubberWhale]
#include <chrono>
#include <cstdio>
#include <ctime>
#include <opencv2/core.hpp>
#include <random>
#include <string>
#include <vector>

#include "image/image_ref.h"
#include "pipeline/estimate_options.h"
#include "segmentation/segment_image.h"

namespace {

constexpr uint32_t kColourSeed = 7;

const char* const kSequences[] = {"Dimetrodon", "Grove2", "RubberWhale", "Urban2", "Venus"};

// Frame on the left, segments in random colours on the right, segment borders in white on both.
ImageRef DrawSegments(const ImageRef& frame, const ImageRef& labels, int segmentCount) {
  std::mt19937 generator(kColourSeed);
  std::uniform_int_distribution<int> channel(40, 255);
  std::vector<cv::Vec3b> colours(static_cast<size_t>(segmentCount));
  for (cv::Vec3b& c : colours) c = cv::Vec3b(channel(generator), channel(generator), channel(generator));

  const int W = frame.Width();
  const int H = frame.Height();
  ImageRef picture = CreateByte(2 * W, H, 3);
  for (int y = 0; y < H; ++y) {
    const uint8_t* in = frame.Row<uint8_t>(y);
    const int32_t* label = labels.Row<int32_t>(y);
    const int32_t* below = y + 1 < H ? labels.Row<int32_t>(y + 1) : label;
    cv::Vec3b* out = picture.Row<cv::Vec3b>(y);
    for (int x = 0; x < W; ++x) {
      const bool border = (x + 1 < W && label[x + 1] != label[x]) || below[x] != label[x];
      const cv::Vec3b original = frame.Channels() == 3 ? cv::Vec3b(in[3 * x], in[3 * x + 1], in[3 * x + 2])
                                                       : cv::Vec3b(in[x], in[x], in[x]);
      out[x] = border ? cv::Vec3b(255, 255, 255) : original;
      out[W + x] = border ? cv::Vec3b(255, 255, 255) : colours[label[x]];
    }
  }
  return picture;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string picturePath = argc > 1 ? argv[1] : "/tmp/segments.png";
  const std::string drawnSequence = argc > 2 ? argv[2] : "RubberWhale";
  const std::string dataDir = MORVI_DATA_DIR;
  if (dataDir.empty()) {
    std::fprintf(stderr, "no data folder configured\n");
    return 1;
  }

  // wall time, and processor time of this process (the machine may be shared)
  std::printf("%-12s %9s %9s %9s %10s %12s %12s %14s\n", "sequence", "size", "wall s", "cpu s", "segments",
              "fast wall s", "fast cpu s", "fast segments");
  double totalSeconds[2] = {0.0, 0.0};
  double totalCpuSeconds[2] = {0.0, 0.0};
  for (const char* sequence : kSequences) {
    const std::string path = dataDir + "/middlebury/" + sequence + "/frame10.png";
    const ImageRef frame = LoadImage(path, -1);
    if (frame.Empty()) {
      std::fprintf(stderr, "cannot read %s\n", path.c_str());
      return 1;
    }
    const std::string size = std::to_string(frame.Width()) + "x" + std::to_string(frame.Height());
    std::printf("%-12s %9s", sequence, size.c_str());
    const FilterSpeedUp speedUps[2] = {FilterSpeedUp::kTrajectories, FilterSpeedUp::kNeighbours};
    for (int k = 0; k < 2; ++k) {
      ImageRef labels;
      SegPatchList segments;
      std::string error;
      const auto start = std::chrono::steady_clock::now();
      const std::clock_t cpuStart = std::clock();
      const EstimateOptions options;  // the pipeline's segmentation parameters
      const bool ok = SegmentImage(frame, labels, segments, options.minRegion, options.sigmaS, options.sigmaR,
                                   error, 1, speedUps[k]);
      const double cpuSeconds = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
      const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      if (!ok) {
        std::fprintf(stderr, "%s: %s\n", sequence, error.c_str());
        return 1;
      }
      totalSeconds[k] += seconds;
      totalCpuSeconds[k] += cpuSeconds;
      if (k == 0) {
        std::printf(" %9.3f %9.3f %10zu", seconds, cpuSeconds, segments.size());
      } else {
        std::printf(" %12.3f %12.3f %14zu\n", seconds, cpuSeconds, segments.size());
      }
      if (k == 0 && drawnSequence == sequence) {
        const ImageRef picture = DrawSegments(frame, labels, static_cast<int>(segments.size()));
        if (!SaveImage(picture, picturePath)) {
          std::fprintf(stderr, "cannot write %s\n", picturePath.c_str());
          return 1;
        }
      }
    }
  }
  std::printf("total %.3f s wall, %.3f s cpu (fast: %.3f s wall, %.3f s cpu); segments of %s drawn to %s\n",
              totalSeconds[0], totalCpuSeconds[0], totalSeconds[1], totalCpuSeconds[1], drawnSequence.c_str(),
              picturePath.c_str());
  return 0;
}
