// The coarse-to-fine initial stage alone on the Middlebury pairs: EPE, AAE, seconds and the peak
// resident memory after each pair.
//   bench_initial_flow [--data DIR] [--only NAME] [--anisotropic 0|1] [--smooth WEIGHT]
//                      [--solver reference|fast]
#include <sys/resource.h>

#include <chrono>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <string>

#include <opencv2/core.hpp>

#include "driver/run_options.h"
#include "image/flow_evaluation.h"
#include "image/flow_reader.h"
#include "pipeline/initial_flow.h"

namespace {

double PeakMegabytes() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

}  // namespace

int main(int argc, char** argv) {
  std::filesystem::path data = MORVI_DATA_DIR;
  std::string only;
  EstimateOptions options;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string arg = argv[i];
    if (arg == "--data") data = argv[i + 1];
    if (arg == "--only") only = argv[i + 1];
    if (arg == "--anisotropic") options.anisotropic = std::stoi(argv[i + 1]) != 0;
    if (arg == "--smooth") options.smoothness = std::stof(argv[i + 1]);
    if (arg == "--solver" && !ParseSolver(argv[i + 1], options.solver)) {
      std::cerr << "--solver needs reference or fast" << std::endl;
      return 2;
    }
  }
  cv::setNumThreads(1);
  std::cout << "| pair | EPE | AAE | seconds | peak MB |\n|---|---|---|---|---|\n";
  double epeSum = 0, aaeSum = 0, secondsSum = 0;
  int count = 0;
  for (const char* name : {"Dimetrodon", "Grove2", "RubberWhale", "Urban2", "Venus"}) {
    if (!only.empty() && only != name) continue;
    const std::filesystem::path dir = data / "middlebury" / name;
    const ImageRef first = LoadImage((dir / "frame10.png").string(), -1);
    const ImageRef second = LoadImage((dir / "frame11.png").string(), -1);
    ImageRef uGt, vGt, u, v;
    std::string error;
    if (first.Empty() || second.Empty() || !ReadFlowFile((dir / "flow10.flo").string(), uGt, vGt, error)) {
      std::cerr << name << ": cannot read the pair or its ground truth " << error << std::endl;
      return 1;
    }
    const auto start = std::chrono::steady_clock::now();
    EstimateInitialFlow(first, second, u, v, options, &std::cout);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::cout << "\r";
    FlowErrorStats stats;
    if (!EvaluateFlow(uGt, vGt, u, v, stats, error)) {
      std::cerr << error << std::endl;
      return 1;
    }
    std::cout << "| " << name << " | " << std::fixed << std::setprecision(3) << stats.epe << " | "
              << std::setprecision(2) << stats.aae << " | " << seconds << " | " << std::setprecision(0)
              << PeakMegabytes() << " |" << std::endl;
    epeSum += stats.epe;
    aaeSum += stats.aae;
    secondsSum += seconds;
    ++count;
  }
  if (count > 0) {
    std::cout << "| mean | " << std::fixed << std::setprecision(3) << epeSum / count << " | " << std::setprecision(2)
              << aaeSum / count << " | " << secondsSum / count << " | |" << std::endl;
  }
  return 0;
}
