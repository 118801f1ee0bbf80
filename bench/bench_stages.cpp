// Accuracy after each stage of the estimate on the Middlebury pairs: the initial flow, the flow
// after the affine segment motions, and the final flow; with the time of each stage, the final
// pass split into its preparation (derivatives, tensors, weights) and the solve.
//   bench_stages [--data DIR] [--only NAME] [--seed N] [--threads N] [--solver reference|fast]
//                [--init pyramid|matches|fused]
#include <chrono>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "driver/run_options.h"
#include "image/flow_evaluation.h"
#include "image/flow_reader.h"
#include "motion/segment_motion.h"
#include "pipeline/estimate_flow.h"
#include "pipeline/estimate_options.h"
#include "pipeline/fused_initial_flow.h"
#include "pipeline/initial_flow.h"
#include "pipeline/matched_initial_flow.h"
#include "pipeline/weight_maps.h"
#include "segmentation/segment_image.h"
#include "solver/level_preparation.h"
#include "solver/warping_iterations.h"

namespace {

constexpr float kSegmentMaskValue = -2.0f;  // every pixel may be sampled and overwritten
constexpr int kColumns = 8;

double Epe(const ImageRef& uGt, const ImageRef& vGt, const ImageRef& u, const ImageRef& v) {
  FlowErrorStats stats;
  std::string error;
  return EvaluateFlow(uGt, vGt, u, v, stats, error) ? stats.epe : -1.0;
}

double Since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  std::filesystem::path data = MORVI_DATA_DIR;
  std::string only;
  EstimateOptions options;
  options.seed = 1;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    const std::string value = argv[i + 1];
    bool ok = true;
    if (arg == "--data") data = value;
    else if (arg == "--only") only = value;
    else if (arg == "--seed") options.seed = static_cast<uint32_t>(std::stoul(value));
    else if (arg == "--threads") options.threads = std::max(1, std::stoi(value));
    else if (arg == "--solver") ok = ParseSolver(value, options.solver);
    else if (arg == "--init") ok = ParseInitialFlow(value, options.initialFlow);
    else ok = false;
    if (!ok) {
      std::cerr << "usage: bench_stages [--data DIR] [--only NAME] [--seed N] [--threads N]"
                   " [--solver reference|fast] [--init pyramid|matches|fused]\n";
      return 2;
    }
  }
  cv::setNumThreads(1);
  std::cout << "| pair | EPE initial | EPE segments | EPE final | s initial | s segmentation | s fit | s prepare |"
               " s solve |\n|---|---|---|---|---|---|---|---|---|\n";
  double sums[kColumns] = {};
  int count = 0;
  for (const char* name : {"Dimetrodon", "Grove2", "RubberWhale", "Urban2", "Venus"}) {
    if (!only.empty() && only != name) continue;
    const std::filesystem::path dir = data / "middlebury" / name;
    const ImageRef first = LoadImage((dir / "frame10.png").string(), -1);
    const ImageRef second = LoadImage((dir / "frame11.png").string(), -1);
    ImageRef uGt, vGt;
    std::string error;
    if (first.Empty() || second.Empty() || !ReadFlowFile((dir / "flow10.flo").string(), uGt, vGt, error)) {
      std::cerr << name << ": cannot read the pair or its ground truth " << error << std::endl;
      return 1;
    }
    const int w = first.Width();
    const int h = first.Height();

    auto start = std::chrono::steady_clock::now();
    ImageRef labels = CreateInt(w, h, 1);
    SegPatchList segments;
    SegmentImage(CloneByte(first), labels, segments, options.minRegion, options.sigmaS, options.sigmaR,
                 options.threads, SegmentationSpeedUp(options));
    const double tSegment = Since(start);

    start = std::chrono::steady_clock::now();
    ImageRef initialU, initialV;
    std::string reason;
    std::vector<std::string> notes;
    bool matched = options.initialFlow == morvi::InitialFlow::kMatches &&
                   EstimateMatchedInitialFlow(first, second, initialU, initialV, reason, options.threads);
    if (options.initialFlow == morvi::InitialFlow::kFused) {
      EstimateFusedInitialFlow(
          first, second, [&]() -> const ImageRef& { return labels; }, options, false, nullptr, initialU, initialV,
          notes);
      matched = notes.empty();
    } else if (!matched) {
      EstimateInitialFlow(first, second, initialU, initialV, options, nullptr);
    }
    const double tInitial = Since(start);

    start = std::chrono::steady_clock::now();
    ImageRef u = CloneFloat(initialU);
    ImageRef v = CloneFloat(initialV);
    ImageRef mask = CreateFloat(w, h, 1);
    mask.Mat().setTo(kSegmentMaskValue);
    FitSegmentMotions(segments, u, v, mask, false, options.seed, InlierScan::kEarlyStop, options.threads, nullptr,
                      SegmentMotionFit(options));
    const double tFit = Since(start);
    const double epeSegments = Epe(uGt, vGt, u, v);

    start = std::chrono::steady_clock::now();
    const FinalPassSettings finalPass = FinalPass(options, w, h);
    SolverParams params;
    params.threads = options.threads;
    params.solver = options.solver;
    LevelWorkspace workspace;
    PrepareSolverLevel(first, second, options.brightnessEps, options.gradientEps, options.smoothnessEps,
                       options.anisotropic ? 1 : 0, params, workspace);
    const WeightMaps weights = BuildWeightMaps(w, h, u, v, options.brightnessTermWeight, options.gradientTermWeight,
                                               finalPass.smoothness, params, workspace);
    const double tPrepare = Since(start);
    start = std::chrono::steady_clock::now();
    SolveFlow(params, workspace, DerivativeFrames{&first, &second}, u, v, weights.brightnessWeight,
              weights.gradientWeight, weights.smoothnessWeight, finalPass.iterations, 0, options.medianWindow);
    const double tSolve = Since(start);

    const double row[kColumns] = {Epe(uGt, vGt, initialU, initialV), epeSegments, Epe(uGt, vGt, u, v), tInitial,
                                  tSegment, tFit, tPrepare, tSolve};
    std::cout << "| " << name << (matched || options.initialFlow == morvi::InitialFlow::kPyramid ? "" : " (pyramid)")
              << std::fixed;
    for (int k = 0; k < kColumns; ++k) std::cout << " | " << std::setprecision(k < 3 ? 3 : 2) << row[k];
    std::cout << " |" << std::endl;
    for (int k = 0; k < kColumns; ++k) sums[k] += row[k];
    ++count;
  }
  if (count > 0) {
    std::cout << "| mean" << std::fixed;
    for (int k = 0; k < kColumns; ++k) std::cout << " | " << std::setprecision(k < 3 ? 3 : 2) << sums[k] / count;
    std::cout << " |" << std::endl;
  }
  return 0;
}
