#include "solver/warping_iterations.h"

#include <memory>
#include <ostream>

#include <opencv2/core.hpp>

#include "image/parallel.h"
#include "solver/fast_relaxation.h"
#include "solver/median_filter.h"
#include "solver/motion_tensors.h"
#include "solver/multigrid.h"

namespace {

// Console marker of a flow that is not a number at its first pixel.
constexpr char kUndefinedFlowMarker[] = "X_API";
// Median filtering needs a window of at least this size to do anything useful.
constexpr int kMinMedianWindow = 3;
// Limit of each increment component when clamping is requested.
constexpr float kIncrementLimit = 1.0f;

void ClampIncrement(const ImageRef& increment) {
  cv::Mat& m = increment.Mat();
  for (int y = 0; y < m.rows; ++y) {
    float* row = m.ptr<float>(y);
    for (int x = 0; x < m.cols; ++x) {
      if (row[x] > kIncrementLimit) {
        row[x] = kIncrementLimit;
      } else if (row[x] < -kIncrementLimit) {
        row[x] = -kIncrementLimit;
      }
    }
  }
}

}  // namespace

void SolveIncrement(const SolverParams& params, LevelWorkspace& workspace, const PairDerivatives& /*derivatives*/,
                    ImageRef& u, ImageRef& v, const ImageRef& brightnessWeight, const ImageRef& gradientWeight,
                    const ImageRef& smoothnessWeight, int clamp) {
  CV_Assert(!u.Empty() && !v.Empty());
  const int width = u.Width();
  const int height = u.Height();
  const WeightMaps weights{brightnessWeight, gradientWeight, smoothnessWeight};
  const FlowPair increments{CreateFloat(width, height, 1), CreateFloat(width, height, 1)};

  SolveMultigrid(params, weights, workspace, u, v, increments);

  if (clamp >= 1) {
    ClampIncrement(increments.u);
    ClampIncrement(increments.v);
  }
  cv::add(u.Mat(), increments.u.Mat(), u.Mat());
  cv::add(v.Mat(), increments.v.Mat(), v.Mat());
}

namespace {

// The warping loop of both forms: with `frames` the motion tensors are formed from the frames.
void RunWarpingIterations(const SolverParams& params, LevelWorkspace& workspace, const PairDerivatives& derivatives,
                          const DerivativeFrames* frames, ImageRef& u, ImageRef& v, const ImageRef& brightnessWeight,
                          const ImageRef& gradientWeight, const ImageRef& smoothnessWeight, int iterations, int clamp,
                          int medianWindow) {
  CV_Assert(!u.Empty() && !v.Empty() && u.Mat().type() == CV_32FC1 && v.Mat().type() == CV_32FC1);
  CV_Assert(u.Mat().size() == v.Mat().size());
  CV_Assert(frames == nullptr || (frames->first != nullptr && frames->second != nullptr));
  // The fast relaxation keeps its planes for all iterations rather than allocating them per solve;
  // they are allocated once the first motion tensors are formed, not beside their images.
  SolverParams solveParams = params;
  std::unique_ptr<FastRelaxationScratch> scratch;
  const bool ownScratch = params.solver == morvi::Solver::kFast && params.anisotropic &&
                          params.fastScratch == nullptr && iterations > 1;
  for (int iteration = 0; iteration < iterations; ++iteration) {
    // A flow that is not a number at its first pixel is reported and left as it is; the
    // console is not held up.
    const float u00 = u.Row<float>(0)[0];
    if (!(u00 >= 0.0f) && !(u00 < 0.0f) && params.diagnostics != nullptr) {
      *params.diagnostics << kUndefinedFlowMarker << std::endl;
    }

    // the loop's own threads and those lent so far
    SolverParams iterationParams = solveParams;
    iterationParams.lentCounted = LentThreads(params.lentThreads);
    iterationParams.threads = params.threads + iterationParams.lentCounted;
    if (frames != nullptr) {
      ComputeMotionTensorsFromFrames(iterationParams, *frames->first, *frames->second, u, v, workspace);
    } else {
      ComputeMotionTensors(iterationParams, derivatives, u, v, workspace);
    }
    if (ownScratch && scratch == nullptr) {
      scratch = std::make_unique<FastRelaxationScratch>(u.Mat().size());
      solveParams.fastScratch = scratch.get();
      iterationParams.fastScratch = scratch.get();
    }
    SolveIncrement(iterationParams, workspace, derivatives, u, v, brightnessWeight, gradientWeight, smoothnessWeight,
                   clamp);
    if (medianWindow >= kMinMedianWindow) {
      MedianFilterFlow(u, u, medianWindow, iterationParams.threads);
      MedianFilterFlow(v, v, medianWindow, iterationParams.threads);
    }
  }
}

}  // namespace

void SolveFlow(const SolverParams& params, LevelWorkspace& workspace, const PairDerivatives& derivatives,
               ImageRef& u, ImageRef& v, const ImageRef& brightnessWeight, const ImageRef& gradientWeight,
               const ImageRef& smoothnessWeight, int iterations, int clamp, int medianWindow) {
  RunWarpingIterations(params, workspace, derivatives, nullptr, u, v, brightnessWeight, gradientWeight,
                       smoothnessWeight, iterations, clamp, medianWindow);
}

void SolveFlow(const SolverParams& params, LevelWorkspace& workspace, const DerivativeFrames& frames, ImageRef& u,
               ImageRef& v, const ImageRef& brightnessWeight, const ImageRef& gradientWeight,
               const ImageRef& smoothnessWeight, int iterations, int clamp, int medianWindow) {
  const PairDerivatives none;
  RunWarpingIterations(params, workspace, none, &frames, u, v, brightnessWeight, gradientWeight,
                       smoothnessWeight, iterations, clamp, medianWindow);
}
