// Accuracy after each stage of the estimate on the Middlebury pairs: the initial coarse-to-fine
// flow, the flow after the affine segment motions, and the final flow; with the time of each stage.
//   bench_stages [--data DIR] [--only NAME] [--seed N]
#include <chrono>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <string>

#include <opencv2/core.hpp>

#include "image/flow_evaluation.h"
#include "image/flow_reader.h"
#include "motion/segment_motion.h"
#include "pipeline/estimate_flow.h"
#include "pipeline/initial_flow.h"
#include "pipeline/weight_maps.h"
#include "segmentation/segment_image.h"
#include "solver/level_preparation.h"
#include "solver/warping_iterations.h"

namespace {

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
  uint32_t seed = 1;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    if (arg == "--data") data = argv[i + 1];
    if (arg == "--only") only = argv[i + 1];
    if (arg == "--seed") seed = static_cast<uint32_t>(std::stoul(argv[i + 1]));
  }
  cv::setNumThreads(1);
  const double eps = static_cast<double>(0.1f);
  const double smoothEps = static_cast<double>(0.01f);
  std::cout << "| pair | EPE initial | EPE segments | EPE final | s initial | s segmentation | s fit | s final |\n"
               "|---|---|---|---|---|---|---|---|\n";
  double sums[7] = {};
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
    ImageRef initialU, initialV;
    EstimateInitialFlow(first, second, initialU, initialV, 1.7f, 0.1f, 0.9f, 8.0f, eps, eps, smoothEps, 1, 3, 3);
    const double tInitial = Since(start);

    start = std::chrono::steady_clock::now();
    ImageRef labels = CreateInt(w, h, 1);
    SegPatchList segments;
    SegmentImage(CloneByte(first), labels, segments, 20, 7, 6.5f);
    const double tSegment = Since(start);

    start = std::chrono::steady_clock::now();
    ImageRef u = CloneFloat(initialU);
    ImageRef v = CloneFloat(initialV);
    ImageRef mask = CreateFloat(w, h, 1);
    mask.Mat().setTo(-2.0f);
    FitSegmentMotions(segments, u, v, mask, false, seed);
    const double tFit = Since(start);
    const double epeSegments = Epe(uGt, vGt, u, v);

    start = std::chrono::steady_clock::now();
    const bool small = IsSmallFrame(w, h);
    SolverParams params;
    PairDerivatives derivatives;
    LevelWorkspace workspace;
    PrepareSolver(first, second, eps, eps, smoothEps, 1, params, derivatives, workspace);
    const WeightMaps weights = BuildWeightMaps(w, h, u, v, 0.1f, 0.9f, small ? 16.0f : 8.0f, params, workspace);
    SolveFlow(params, workspace, derivatives, u, v, weights.brightnessWeight, weights.gradientWeight,
              weights.smoothnessWeight, small ? 1 : 3, 0, 3);
    const double tFinal = Since(start);
    std::cout << "\r";

    const double row[7] = {Epe(uGt, vGt, initialU, initialV), epeSegments, Epe(uGt, vGt, u, v), tInitial, tSegment,
                           tFit, tFinal};
    std::cout << "| " << name << std::fixed;
    for (int k = 0; k < 7; ++k) std::cout << " | " << std::setprecision(k < 3 ? 3 : 2) << row[k];
    std::cout << " |" << std::endl;
    for (int k = 0; k < 7; ++k) sums[k] += row[k];
    ++count;
  }
  if (count > 0) {
    std::cout << "| mean" << std::fixed;
    for (int k = 0; k < 7; ++k) std::cout << " | " << std::setprecision(k < 3 ? 3 : 2) << sums[k] / count;
    std::cout << " |" << std::endl;
  }
  return 0;
}
