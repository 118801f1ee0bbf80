// Helpers of the solver tests: real frame crops, uniform weight maps, prepared levels and exact
// image comparisons.
#pragma once

#include <cstring>
#include <random>
#include <string>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "image/image_ref.h"
#include "pipeline/estimate_options.h"
#include "solver/level_preparation.h"
#include "solver/level_cycle.h"
#include "solver/motion_tensors.h"
#include "solver/solver_records.h"

namespace solver_test {

// The estimate's own parameters.
constexpr EstimateOptions kDefaults{};
constexpr double kBrightnessEps = kDefaults.brightnessEps;
constexpr double kGradientEps = kDefaults.gradientEps;
constexpr double kSmoothnessEps = kDefaults.smoothnessEps;
constexpr float kBrightnessWeight = kDefaults.brightnessTermWeight;
constexpr float kGradientWeight = kDefaults.gradientTermWeight;
constexpr float kSmoothnessWeight = kDefaults.smoothness;

// A crop of a frame of the real data folder, or an empty handle when the folder or file is missing.
inline ImageRef LoadCrop(const std::string& relative, const cv::Rect& roi) {
  const std::string dir = MORVI_DATA_DIR;
  if (dir.empty()) return ImageRef();
  const cv::Mat frame = cv::imread(dir + "/" + relative, cv::IMREAD_UNCHANGED);
  if (frame.empty() || (cv::Rect(0, 0, frame.cols, frame.rows) & roi) != roi) return ImageRef();
  return ImageRef(frame(roi).clone());
}

inline ImageRef Uniform(int width, int height, float value) {
  ImageRef image = CreateFloat(width, height, 1);
  image.Mat().setTo(value);
  return image;
}

inline ImageRef FromMat(const cv::Mat& m) { return ImageRef(m.clone()); }

// A float image of uniform random values in [low, high) from a named seed.
inline ImageRef RandomFloat(int width, int height, float low, float high, unsigned seed) {
  std::mt19937 generator(seed);
  std::uniform_real_distribution<float> distribution(low, high);
  ImageRef image = CreateFloat(width, height, 1);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) image.Row<float>(y)[x] = distribution(generator);
  }
  return image;
}

// True when both images have the same size, type and bytes.
inline bool BitIdentical(const ImageRef& a, const ImageRef& b) {
  if (a.Empty() || b.Empty()) return a.Empty() && b.Empty();
  if (a.Mat().size() != b.Mat().size() || a.Mat().type() != b.Mat().type()) return false;
  const size_t rowBytes = a.Mat().cols * a.Mat().elemSize();
  for (int y = 0; y < a.Height(); ++y) {
    if (std::memcmp(a.Mat().ptr(y), b.Mat().ptr(y), rowBytes) != 0) return false;
  }
  return true;
}

inline double MaxAbsDiff(const ImageRef& a, const ImageRef& b) { return cv::norm(a.Mat(), b.Mat(), cv::NORM_INF); }

// One full-resolution level, prepared and linearised around a given flow, with uniform weights.
struct PreparedLevel {
  SolverParams params;
  PairDerivatives derivatives;
  LevelWorkspace workspace;
  FlowPair flow;
  WeightMaps weights;

  int Width() const { return flow.u.Width(); }
  int Height() const { return flow.u.Height(); }
};

inline PreparedLevel PrepareLevel(const ImageRef& first, const ImageRef& second, int anisotropic,
                                  const ImageRef& u = ImageRef(), const ImageRef& v = ImageRef()) {
  PreparedLevel level;
  PrepareSolver(first, second, kBrightnessEps, kGradientEps, kSmoothnessEps, anisotropic, level.params,
                level.derivatives, level.workspace);
  const int w = first.Width();
  const int h = first.Height();
  level.flow.u = u.Empty() ? CreateFloat(w, h, 1) : u;
  level.flow.v = v.Empty() ? CreateFloat(w, h, 1) : v;
  ComputeMotionTensors(level.params, level.derivatives, level.flow.u, level.flow.v, level.workspace);
  level.weights = WeightMaps{Uniform(w, h, kBrightnessWeight), Uniform(w, h, kGradientWeight),
                             Uniform(w, h, kSmoothnessWeight)};
  return level;
}

inline FlowPair ZeroPair(int width, int height) {
  return FlowPair{CreateFloat(width, height, 1), CreateFloat(width, height, 1)};
}

inline FlowPair ClonePair(const FlowPair& pair) { return FlowPair{CloneFloat(pair.u), CloneFloat(pair.v)}; }

// A textured 8-bit colour frame that needs no data folder: smoothed seeded noise.
inline ImageRef SyntheticFrame(int width, int height, unsigned seed) {
  std::mt19937 generator(seed);
  std::uniform_int_distribution<int> distribution(0, 255);
  cv::Mat noise(height, width, CV_8UC3);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < 3 * width; ++x) noise.ptr<uchar>(y)[x] = static_cast<uchar>(distribution(generator));
  }
  cv::Mat smooth;
  cv::GaussianBlur(noise, smooth, cv::Size(5, 5), 1.2);
  return ImageRef(smooth);
}

// Relaxation towards a fixed point with a non-zero right-hand side: f = A(x*) for a smooth x*,
// relaxed from x* plus noise. Gauss-Seidel converges slowly on these stiff levels, and a float
// fixed point jitters, so the run reports how close A(x) came to f, next to the scale of f and the
// error at the start.
struct FixedPointRun {
  double initialError = 0.0;
  double finalError = 0.0;
  double rhsScale = 0.0;
};

inline FixedPointRun RelaxTowardsAFixedPoint(const PreparedLevel& level, const LevelFormulation& formulation,
                                             int sweeps) {
  const int w = level.Width();
  const int h = level.Height();
  const FlowPair target{RandomFloat(w, h, -1.0f, 1.0f, 61), RandomFloat(w, h, -1.0f, 1.0f, 62)};
  cv::GaussianBlur(target.u.Mat(), target.u.Mat(), cv::Size(0, 0), 2.0);
  cv::GaussianBlur(target.v.Mat(), target.v.Mat(), cv::Size(0, 0), 2.0);
  const FlowPair f = ZeroPair(w, h);
  formulation.apply(level.workspace, level.params, level.weights, level.flow, target, f);
  const FlowPair x = ClonePair(target);
  x.u.Mat() += RandomFloat(w, h, -0.2f, 0.2f, 63).Mat();
  x.v.Mat() += RandomFloat(w, h, -0.2f, 0.2f, 64).Mat();

  auto error = [&]() {
    const FlowPair ax = ZeroPair(w, h);
    formulation.apply(level.workspace, level.params, level.weights, level.flow, x, ax);
    return std::max(MaxAbsDiff(ax.u, f.u), MaxAbsDiff(ax.v, f.v));
  };
  FixedPointRun run;
  run.rhsScale = std::max(cv::norm(f.u.Mat(), cv::NORM_INF), cv::norm(f.v.Mat(), cv::NORM_INF));
  run.initialError = error();
  for (int i = 0; i < sweeps; ++i) formulation.relax(level.workspace, level.params, level.weights, level.flow, x, f);
  run.finalError = error();
  return run;
}

}  // namespace solver_test

#define SKIP_WITHOUT_FRAME(image)                                         \
  do {                                                                    \
    if ((image).Empty()) GTEST_SKIP() << "real frames not available";     \
  } while (0)
