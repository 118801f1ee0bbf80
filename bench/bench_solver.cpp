// Timings of the variational solver on one real 640 x 480 pair (Urban2 frame10 -> frame11):
// preparation and motion tensors, single sweeps and operator evaluations, the residual reduction of
// one W-cycle at full resolution, and one SolveFlow of three outer iterations with its peak memory.
#include <sys/resource.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <string>

#include <opencv2/core.hpp>

#include "image/image_ref.h"
#include "pipeline/estimate_options.h"
#include "solver/level_cycle.h"
#include "solver/level_preparation.h"
#include "solver/motion_tensors.h"
#include "solver/multigrid.h"
#include "solver/relax_anisotropic.h"
#include "solver/warping_iterations.h"

namespace {

using Clock = std::chrono::steady_clock;

// The estimate's own parameters.
constexpr EstimateOptions kDefaults{};
constexpr double kBrightnessEps = kDefaults.brightnessEps;
constexpr double kGradientEps = kDefaults.gradientEps;
constexpr double kSmoothnessEps = kDefaults.smoothnessEps;
constexpr float kBrightnessWeight = kDefaults.brightnessTermWeight;
constexpr float kGradientWeight = kDefaults.gradientTermWeight;
constexpr float kSmoothnessWeight = kDefaults.smoothness;

double Seconds(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

long PeakRssKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

ImageRef Uniform(int width, int height, float value) {
  ImageRef image = CreateFloat(width, height, 1);
  image.Mat().setTo(value);
  return image;
}

// L2 norm of rhs - A(x) at the finest level of the hierarchy.
// FNV-1a over the bytes of a float image: equal checksums mean bit-identical results.
unsigned long long Checksum(const ImageRef& image) {
  unsigned long long hash = 1469598103934665603ull;
  for (int y = 0; y < image.Height(); ++y) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(image.Row<float>(y));
    for (size_t i = 0; i < image.Width() * sizeof(float); ++i) hash = (hash ^ bytes[i]) * 1099511628211ull;
  }
  return hash;
}

double FinestResidual(const SolverParams& params, MultigridHierarchy& h) {
  const size_t L = h.workspaces.size() - 1;
  AnisotropicFormulation().apply(h.workspaces[L], params, h.weights[L], h.flows[L], h.increments[L],
                                 h.residuals[L]);
  const double nu = cv::norm(h.rhs[L].u.Mat(), h.residuals[L].u.Mat(), cv::NORM_L2);
  const double nv = cv::norm(h.rhs[L].v.Mat(), h.residuals[L].v.Mat(), cv::NORM_L2);
  return std::sqrt(nu * nu + nv * nv);
}

}  // namespace

int main(int argc, char** argv) {
  // --sweep-only: just the full-resolution sweep and operator timings (scalar / vector, 1 / 2 threads)
  const bool sweepOnly = argc > 1 && std::string(argv[1]) == "--sweep-only";
  const std::string dir = std::string(MORVI_DATA_DIR) + "/middlebury/Urban2/";
  const ImageRef first = LoadImage(dir + "frame10.png", -1);
  const ImageRef second = LoadImage(dir + "frame11.png", -1);
  if (first.Empty() || second.Empty()) {
    std::fprintf(stderr, "cannot read Urban2 frames from %s\n", dir.c_str());
    return 1;
  }
  const int W = first.Width();
  const int H = first.Height();
  std::printf("Urban2 frame10 -> frame11, %d x %d, %d channels\n", W, H, first.Channels());

  SolverParams params;
  PairDerivatives derivatives;
  LevelWorkspace workspace;
  ImageRef u = CreateFloat(W, H, 1);
  ImageRef v = CreateFloat(W, H, 1);

  auto start = Clock::now();
  PrepareSolver(first, second, kBrightnessEps, kGradientEps, kSmoothnessEps, 1, params, derivatives, workspace);
  const double prepare = Seconds(start);
  start = Clock::now();
  ComputeMotionTensors(params, derivatives, u, v, workspace);
  const double tensors = Seconds(start);
  std::printf("PrepareSolver: %.1f ms, ComputeMotionTensors: %.1f ms, together %.1f ms\n", prepare * 1e3,
              tensors * 1e3, (prepare + tensors) * 1e3);

  const ImageRef wb = Uniform(W, H, kBrightnessWeight);
  const ImageRef wg = Uniform(W, H, kGradientWeight);
  const ImageRef ws = Uniform(W, H, kSmoothnessWeight);
  const WeightMaps weights{wb, wg, ws};

  // SolveFlow on its own copy of the flow, measured before the experiments below so that the peak
  // memory is that of preparation plus one solve.
  const long rssBefore = PeakRssKiB();
  if (!sweepOnly) {
  ImageRef solvedU = CloneFloat(u);
  ImageRef solvedV = CloneFloat(v);
  start = Clock::now();
  const std::clock_t solveCpuStart = std::clock();
  SolveFlow(params, workspace, derivatives, solvedU, solvedV, wb, wg, ws, 3, 0, 3);
  const double solve = Seconds(start);
  const double solveCpu = static_cast<double>(std::clock() - solveCpuStart) / CLOCKS_PER_SEC;
  const long rssAfter = PeakRssKiB();
  const double meanU = cv::mean(solvedU.Mat())[0];
  const double meanV = cv::mean(solvedV.Mat())[0];
  std::printf("SolveFlow (3 outer iterations, median 3): %.3f s (CPU %.3f s); peak RSS %.1f MiB (%.1f MiB before)\n",
              solve, solveCpu, rssAfter / 1024.0, rssBefore / 1024.0);
  std::printf("mean flow after SolveFlow: u %.4f, v %.4f, checksum %016llx\n", meanU, meanV,
              Checksum(solvedU) ^ (Checksum(solvedV) << 1));
  }

  // The experiments below linearise around zero flow again.
  ComputeMotionTensors(params, derivatives, u, v, workspace);
  {
    const FlowPair increments{CreateFloat(W, H, 1), CreateFloat(W, H, 1)};
    MultigridHierarchy h;
    start = Clock::now();
    BuildMultigridHierarchy(params, weights, workspace, u, v, increments, h);
    const double build = Seconds(start);
    const size_t L = h.workspaces.size() - 1;

    // One sweep and one operator evaluation of the finest level, for the scalar and the vector
    // kernels at one and two threads; every form must leave the same increments.
    constexpr int kRepeats = 5;
    std::printf("hierarchy: %zu levels, built in %.1f ms\n", h.workspaces.size(), build * 1e3);
    struct Form {
      const char* name;
      int vectorise;
      int threads;
    };
    unsigned long long firstChecksum = 0;
    for (const Form form : {Form{"scalar, 1 thread", 0, 1}, Form{"vector, 1 thread", 1, 1},
                            Form{"vector, 2 threads", 1, 2}}) {
      SolverParams p = params;
      p.vectorise = form.vectorise;
      p.threads = form.threads;
      for (FlowPair& pair : h.increments) {
        pair.u.Mat().setTo(0.0);
        pair.v.Mat().setTo(0.0);
      }
      start = Clock::now();
      for (int i = 0; i < kRepeats; ++i) {
        RelaxAnisotropic(h.workspaces[L], p, h.weights[L], h.flows[L], h.increments[L], h.rhs[L]);
      }
      const double sweep = Seconds(start) / kRepeats;
      const unsigned long long sum = Checksum(h.increments[L].u) ^ (Checksum(h.increments[L].v) << 1);
      if (firstChecksum == 0) firstChecksum = sum;
      start = Clock::now();
      for (int i = 0; i < kRepeats; ++i) {
        ApplyOperatorAnisotropic(h.workspaces[L], p, h.weights[L], h.flows[L], h.increments[L], h.residuals[L]);
      }
      const double apply = Seconds(start) / kRepeats;
      std::printf("full-resolution sweep, %s: %.1f ms (%.1f ns/pixel), operator %.1f ms (%.1f ns/pixel)%s\n",
                  form.name, sweep * 1e3, sweep * 1e9 / (W * H), apply * 1e3, apply * 1e9 / (W * H),
                  sum == firstChecksum ? "" : "  CHECKSUM DIFFERS");
    }
    if (sweepOnly) return 0;

    for (FlowPair& p : h.increments) {
      p.u.Mat().setTo(0.0);
      p.v.Mat().setTo(0.0);
    }
    const double before = FinestResidual(params, h);
    start = Clock::now();
    RunLevelCycle(static_cast<unsigned>(L), params, h.weights, h.workspaces, h.flows, h.increments, h.rhs,
                  h.residuals, h.corrections, 3, 3, 2, AnisotropicFormulation());
    const double cycle = Seconds(start);
    const double after = FinestResidual(params, h);
    std::printf("W-cycle (3, 3, 2): %.1f ms; finest residual L2 %.6g -> %.6g (factor %.4f), checksum %016llx\n",
                cycle * 1e3, before, after, after / before,
                Checksum(h.increments[L].u) ^ (Checksum(h.increments[L].v) << 1));

    // The same number of finest-level sweeps without coarse-grid correction, for comparison.
    for (FlowPair& p : h.increments) {
      p.u.Mat().setTo(0.0);
      p.v.Mat().setTo(0.0);
    }
    for (int i = 0; i < 12; ++i) {
      RelaxAnisotropic(h.workspaces[L], params, h.weights[L], h.flows[L], h.increments[L], h.rhs[L]);
    }
    std::printf("12 plain sweeps: finest residual L2 %.6g\n", FinestResidual(params, h));
  }

  return 0;
}
