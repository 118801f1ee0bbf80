#include "pipeline/weight_maps.h"

#include <algorithm>
#include <cstdint>

#include <opencv2/imgproc.hpp>

#include "image/parallel.h"

namespace {

constexpr int kOutOfFrameWindow = 9;            // side of the box that measures the out-of-frame share
constexpr double kOutOfFrameThreshold = 0.9;    // a share strictly above this turns the data terms down
constexpr float kDataWeightDivisor = 100.0f;    // data terms fade where the flow leaves the frame
constexpr float kStructureTensorFactor = 0.25f; // and the smoothness follows the image edges less

// The loops here cost a few operations a pixel: a thread gets a band of rows only when the band
// holds at least this many pixels, so coarse pyramid levels stay on the calling thread.
constexpr int kMinPixelsPerThread = 20000;

int MinRowsPerThread(int width) { return std::max(1, kMinPixelsPerThread / std::max(width, 1)); }

}  // namespace

void MarkOutOfFrame(const ImageRef& u, const ImageRef& v, const ImageRef& outOfFrame, int threads) {
  const int width = u.Width();
  const int height = u.Height();
  const float maxX = static_cast<float>(width - 1);
  const float maxY = static_cast<float>(height - 1);
  outOfFrame.Mat().setTo(0.0f);
  auto markRows = [&](int rowBegin, int rowEnd) {
    for (int y = rowBegin; y < rowEnd; ++y) {
      const float* ur = u.Row<float>(y);
      const float* vr = v.Row<float>(y);
      float* out = outOfFrame.Row<float>(y);
      for (int x = 0; x < width; ++x) {
        const float xs = ur[x] + static_cast<float>(x);
        const float ys = static_cast<float>(y) + vr[x];
        if (xs < 0.0f || xs > maxX || ys < 0.0f || ys > maxY) out[x] = 1.0f;
      }
    }
  };
  ParallelFor(height, threads, markRows, MinRowsPerThread(width));
}

WeightMaps BuildWeightMaps(int width, int height, const ImageRef& u, const ImageRef& v, float brightnessTermWeight,
                           float gradientTermWeight, float smoothnessTermWeight, const SolverParams& params,
                           LevelWorkspace& workspace) {
  WeightMaps maps;
  maps.brightnessWeight = CreateFloat(width, height, 1);
  maps.gradientWeight = CreateFloat(width, height, 1);
  maps.smoothnessWeight = CreateFloat(width, height, 1);
  ImageRef outOfFrame = CreateFloat(width, height, 1);

  // The fast relaxation forms its diffusion tensor from the unscaled structure tensor as it reads
  // it: it keeps S and a mask of the pixels to scale.
  const bool maskDamping = params.anisotropic != 0 && params.solver == morvi::Solver::kFast;
  if (maskDamping) {
    workspace.damped = CreateByte(width, height, 1);
    workspace.damping = kStructureTensorFactor;
  }

  MarkOutOfFrame(u, v, outOfFrame, params.threads);
  // The local share of pixels whose flow leaves the frame.
  cv::blur(outOfFrame.Mat(), outOfFrame.Mat(), cv::Size(kOutOfFrameWindow, kOutOfFrameWindow));

  auto weighRows = [&](int rowBegin, int rowEnd) {
    for (int y = rowBegin; y < rowEnd; ++y) {
      const float* share = outOfFrame.Row<float>(y);
      float* bw = maps.brightnessWeight.Row<float>(y);
      float* gw = maps.gradientWeight.Row<float>(y);
      float* sw = maps.smoothnessWeight.Row<float>(y);
      for (int x = 0; x < width; ++x) {
        bw[x] = brightnessTermWeight;
        gw[x] = gradientTermWeight;
        sw[x] = smoothnessTermWeight;
        if (share[x] > kOutOfFrameThreshold) {
          bw[x] /= kDataWeightDivisor;
          gw[x] /= kDataWeightDivisor;
          if (maskDamping) {
            workspace.damped.Row<uint8_t>(y)[x] = 1;
          } else if (params.anisotropic != 0) {
            workspace.s11.Row<float>(y)[x] *= kStructureTensorFactor;
            workspace.s12.Row<float>(y)[x] *= kStructureTensorFactor;
            workspace.s22.Row<float>(y)[x] *= kStructureTensorFactor;
          }
        }
      }
    }
  };
  ParallelFor(height, params.threads, weighRows, MinRowsPerThread(width));
  if (maskDamping && cv::countNonZero(workspace.damped.Mat()) == 0) {
    // no pixel to damp: the relaxation and the restriction read no mask
    workspace.damped.Release();
    workspace.damping = 1.0f;
  }
  return maps;
}
