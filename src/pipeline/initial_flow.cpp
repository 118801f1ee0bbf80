#include "pipeline/initial_flow.h"

#include <iostream>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "image/parallel.h"
#include "pipeline/estimate_flow.h"
#include "pipeline/image_pyramid.h"
#include "pipeline/weight_maps.h"
#include "solver/level_preparation.h"
#include "solver/solver_records.h"
#include "solver/warping_iterations.h"

namespace {

constexpr int kPyramidMinSize = 16;  // no pyramid level smaller than 16 x 16
constexpr int kNoClamp = 0;

}  // namespace

void UpsampleFlow(const ImageRef& coarseU, const ImageRef& coarseV, const ImageRef& u, const ImageRef& v) {
  cv::resize(coarseU.Mat(), u.Mat(), u.Mat().size(), 0.0, 0.0, cv::INTER_LINEAR);
  cv::resize(coarseV.Mat(), v.Mat(), v.Mat().size(), 0.0, 0.0, cv::INTER_LINEAR);
  // Express the flow in the finer level's pixels: the ratio of the integer sizes, not the nominal
  // pyramid factor, since the sizes were truncated.
  const double scaleX = static_cast<double>(u.Width()) / static_cast<double>(coarseU.Width());
  const double scaleY = static_cast<double>(v.Height()) / static_cast<double>(coarseV.Height());
  u.Mat().convertTo(u.Mat(), CV_32F, scaleX, 0.0);
  v.Mat().convertTo(v.Mat(), CV_32F, scaleY, 0.0);
}

void SolveVariationalPass(const ImageRef& first, const ImageRef& second, const EstimateOptions& options, int threads,
                          float smoothness, int iterations, std::ostream* progress, bool levelDot, ImageRef& u,
                          ImageRef& v, const std::atomic<int>* lentThreads) {
  SolverParams params;
  // the preparation splits its rows too
  params.threads = threads + LentThreads(lentThreads);
  params.solver = options.solver;
  params.vectorise = options.vectorise ? 1 : 0;
  params.diagnostics = progress;
  LevelWorkspace workspace;
  PrepareSolverLevel(first, second, options.brightnessEps, options.gradientEps, options.smoothnessEps,
                     options.anisotropic ? 1 : 0, params, workspace);
  if (levelDot && progress != nullptr) *progress << "." << std::flush;
  const WeightMaps weights = BuildWeightMaps(u.Width(), u.Height(), u, v, options.brightnessTermWeight,
                                             options.gradientTermWeight, smoothness, params, workspace);
  // the warping iterations take the threads lent while they run
  params.threads = threads;
  params.lentThreads = lentThreads;
  // each warping iteration forms its motion tensors from the frames: no derivatives are held
  SolveFlow(params, workspace, DerivativeFrames{&first, &second}, u, v, weights.brightnessWeight,
            weights.gradientWeight, weights.smoothnessWeight, iterations, kNoClamp, options.medianWindow);
}

void EstimateInitialFlow(const ImageRef& first, const ImageRef& second, ImageRef& initialU, ImageRef& initialV,
                         const EstimateOptions& options, std::ostream* progress,
                         const std::atomic<int>* lentThreads) {
  ImagePyramid firstPyramid;
  ImagePyramid secondPyramid;
  const PyramidBlur blur =
      options.solver == morvi::Solver::kFast ? PyramidBlur::kCascade : PyramidBlur::kFromFullFrame;
  firstPyramid.Build(first, options.pyramidFactor, kPyramidMinSize, kPyramidMinSize,
                     options.threads + LentThreads(lentThreads), blur);
  secondPyramid.Build(second, options.pyramidFactor, kPyramidMinSize, kPyramidMinSize,
                      options.threads + LentThreads(lentThreads), blur);
  const int levelCount = firstPyramid.levelCount;

  std::vector<ImageRef> flowU;
  std::vector<ImageRef> flowV;
  for (int i = 0; i < levelCount; ++i) {
    const ImageRef& level = firstPyramid.levels[i];
    flowU.push_back(CreateFloat(level.Width(), level.Height(), 1));
    flowV.push_back(CreateFloat(level.Width(), level.Height(), 1));
  }

  if (progress) *progress << "Processing " << std::flush;
  const int iterations =
      options.solver == morvi::Solver::kFast ? options.fastOuterIterations : options.outerIterations;
  for (int i = levelCount - 1; i >= 0; --i) {
    const ImageRef& levelFirst = firstPyramid.levels[i];
    const ImageRef& levelSecond = secondPyramid.levels[i];
    ImageRef& u = flowU[i];
    ImageRef& v = flowV[i];

    if (i == levelCount - 1) {
      u.Mat().setTo(0.0f);
      v.Mat().setTo(0.0f);
    } else {
      UpsampleFlow(flowU[i + 1], flowV[i + 1], u, v);
    }

    const bool fastFinest = options.solver == morvi::Solver::kFast && i == 0 && levelCount > 1 &&
                            !IsSmallFrame(levelFirst.Width(), levelFirst.Height());
    SolveVariationalPass(levelFirst, levelSecond, options, options.threads, options.smoothness,
                         fastFinest ? options.fastFinestOuterIterations : iterations, progress, true, u, v,
                         lentThreads);
  }

  initialU = flowU[0];
  initialV = flowV[0];
}
