#include "solver/multigrid.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "image/parallel.h"
#include "solver/fast_relaxation.h"
#include "solver/level_cycle.h"
#include "solver/level_preparation.h"
#include "solver/pixel_system.h"
#include "solver/sweep_team.h"

namespace {

// Coarsening stops before a side would fall below this many pixels.
constexpr int kMinCoarseSide = 2;

// Relaxation sweeps before and after the coarse-grid correction, and coarse visits per visit.
constexpr int kAnisotropicPreSweeps = 3;
constexpr int kAnisotropicPostSweeps = 3;
constexpr int kIsotropicPreSweeps = 5;
constexpr int kIsotropicPostSweeps = 5;
constexpr int kCyclesPerVisit = 2;

// Restriction spreads its images over threads only when each thread gets this many pixels.
constexpr int kMinRestrictPixelsPerThread = 65536;

void Resample(const ImageRef& source, const ImageRef& target) {
  cv::Mat& dst = target.Mat();
  cv::resize(source.Mat(), dst, dst.size(), 0.0, 0.0, cv::INTER_AREA);
}

FlowPair ZeroPair(const cv::Size& size) {
  return FlowPair{CreateFloat(size.width, size.height, 1), CreateFloat(size.width, size.height, 1)};
}

// The products of a factored constraint, in the order j11, j12, j22, j13, j23, j33: the pairs of
// factors (0 = Ix, 1 = Iy, 2 = Iz) multiplied.
constexpr int kProductFactors[6][2] = {{0, 0}, {0, 1}, {1, 1}, {0, 2}, {1, 2}, {2, 2}};

}  // namespace

std::vector<cv::Size> MultigridLevelSizes(int width, int height) {
  std::vector<cv::Size> sizes{cv::Size(width, height)};
  for (;;) {
    const cv::Size& finer = sizes.back();
    const int wc = static_cast<int>(finer.width * 0.5);
    const int hc = static_cast<int>(finer.height * 0.5);
    if (wc < kMinCoarseSide || hc < kMinCoarseSide) break;
    sizes.emplace_back(wc, hc);
  }
  std::reverse(sizes.begin(), sizes.end());
  return sizes;
}

void RestrictWorkspace(const SolverParams& params, const LevelWorkspace& finer, LevelWorkspace& coarser) {
  CV_Assert(!coarser.factored);
  // One coarse image each: resampled from a finer image, or, from a factored level, from the
  // product of two factors formed in a scratch image of the thread's (the product the tensor would
  // have stored). Every image is resampled alone, so the images may go to different threads.
  struct Task {
    const ImageRef* source;      // null for a product
    const ImageRef* factors[2];  // the product's factors
    const ImageRef* target;
    bool damp = false;           // the source's pixels marked in finer.damped scaled first
  };
  std::vector<Task> tasks;
  auto addConstraint = [&](const std::array<const ImageRef*, 6>& products, const std::array<const ImageRef*, 3>& factors,
                           const std::array<const ImageRef*, 6>& targets) {
    for (int p = 0; p < 6; ++p) {
      if (finer.factored) {
        tasks.push_back(Task{nullptr, {factors[kProductFactors[p][0]], factors[kProductFactors[p][1]]}, targets[p]});
      } else {
        tasks.push_back(Task{products[p], {nullptr, nullptr}, targets[p]});
      }
    }
  };
  if (params.useBrightness) {
    for (int c = 0; c < finer.channels; ++c) {
      addConstraint({&finer.b11[c], &finer.b12[c], &finer.b22[c], &finer.b13[c], &finer.b23[c], &finer.b33[c]},
                    {&finer.bx[c], &finer.by[c], &finer.bz[c]},
                    {&coarser.b11[c], &coarser.b12[c], &coarser.b22[c], &coarser.b13[c], &coarser.b23[c],
                     &coarser.b33[c]});
    }
  }
  if (params.useGradient) {
    for (int k = 0; k < 2; ++k) {
      addConstraint({&finer.g11[k], &finer.g12[k], &finer.g22[k], &finer.g13[k], &finer.g23[k], &finer.g33[k]},
                    {&finer.gx[k], &finer.gy[k], &finer.gz[k]},
                    {&coarser.g11[k], &coarser.g12[k], &coarser.g22[k], &coarser.g13[k], &coarser.g23[k],
                     &coarser.g33[k]});
    }
  }
  if (params.anisotropic) {
    // the coarser level holds the damped tensor itself
    CV_Assert(coarser.damped.Empty());
    for (auto member : {&LevelWorkspace::s11, &LevelWorkspace::s22, &LevelWorkspace::s12}) {
      tasks.push_back(Task{&(finer.*member), {nullptr, nullptr}, &(coarser.*member), !finer.damped.Empty()});
    }
  }
  const int count = static_cast<int>(tasks.size());
  const cv::Size size = count > 0 ? tasks[0].target->Mat().size() : cv::Size();
  // one image of a small level is not worth a thread
  const int minPerThread = std::max(1, kMinRestrictPixelsPerThread / std::max(1, size.area()));
  ParallelFor(
      count, params.threads,
      [&](int begin, int end) {
        cv::Mat product;  // reused by the range's products
        for (int i = begin; i < end; ++i) {
          const Task& task = tasks[i];
          const cv::Mat* source = task.source != nullptr ? &task.source->Mat() : &product;
          if (task.source == nullptr) {
            // single-precision products, the floats the tensor would have stored
            cv::multiply(task.factors[0]->Mat(), task.factors[1]->Mat(), product);
          } else if (task.damp) {
            // the floats the tensor scaled in place would hold
            task.source->Mat().copyTo(product);
            for (int y = 0; y < product.rows; ++y) {
              float* row = product.ptr<float>(y);
              const uint8_t* marked = finer.damped.Row<uint8_t>(y);
              for (int x = 0; x < product.cols; ++x) {
                if (marked[x] != 0) row[x] *= finer.damping;
              }
            }
            source = &product;
          }
          cv::Mat& dst = task.target->Mat();
          cv::resize(*source, dst, dst.size(), 0.0, 0.0, cv::INTER_AREA);
        }
      },
      minPerThread);
}

bool BuildMultigridHierarchy(const SolverParams& params, const WeightMaps& weights, const LevelWorkspace& workspace,
                             const ImageRef& u, const ImageRef& v, const FlowPair& increments,
                             MultigridHierarchy& hierarchy, const FastRelaxationScratch* fastScratch) {
  hierarchy = MultigridHierarchy{};
  if (!params.useBrightness && !params.useGradient) return false;

  const cv::Size full = LevelSize(workspace, params);
  for (const ImageRef* image : {&u, &v, &increments.u, &increments.v, &weights.brightnessWeight,
                                &weights.gradientWeight, &weights.smoothnessWeight}) {
    CV_Assert(!image->Empty() && image->Mat().type() == CV_32FC1 && image->Mat().size() == full);
  }

  const std::vector<cv::Size> sizes = MultigridLevelSizes(full.width, full.height);
  const size_t levels = sizes.size();

  // The residual and the correction of level l, views of the scratch's free planes when it is given.
  // Their contents live only within one step of the cycle, between relaxations: level l's residual
  // from the operator until it is restricted (or, on the coarser level, added to the right-hand
  // side), its correction from a restriction or prolongation until it is read. A transfer reads one
  // level and writes the next, and the two levels' parities differ, so their planes never overlap.
  const bool fast = params.anisotropic && params.solver == morvi::Solver::kFast;
  const bool scratchPairs = fast && fastScratch != nullptr;
  if (scratchPairs) {
    CV_Assert(fastScratch->Capacity() >= static_cast<std::ptrdiff_t>(full.area()));
    static_assert(FastRelaxationScratch::kFreePlaneCount >= 8, "two sets of four planes");
  }
  auto scratchPair = [&](size_t level, int which, const cv::Size& size) {
    const int first = FastRelaxationScratch::kFirstFreePlane + 4 * static_cast<int>(level % 2) + 2 * which;
    return FlowPair{fastScratch->PlaneImage(first, size), fastScratch->PlaneImage(first + 1, size)};
  };

  // Built from full resolution downwards, then reversed into coarsest-first order.
  hierarchy.workspaces.reserve(levels);
  hierarchy.weights.reserve(levels);
  hierarchy.flows.reserve(levels);
  hierarchy.increments.reserve(levels);
  hierarchy.rhs.reserve(levels);
  hierarchy.residuals.reserve(levels);
  hierarchy.corrections.reserve(levels);

  hierarchy.workspaces.push_back(workspace);
  hierarchy.weights.push_back(weights);
  hierarchy.increments.push_back(increments);
  // The finest level's right-hand side stays zero; the fast formulation takes an empty pair for it.
  hierarchy.rhs.push_back(fast ? FlowPair{} : ZeroPair(full));
  if (scratchPairs) {
    hierarchy.residuals.push_back(scratchPair(levels - 1, 0, full));
    hierarchy.corrections.push_back(scratchPair(levels - 1, 1, full));
  } else {
    // At the finest level the residual is restricted before the correction is prolongated, and
    // both overwrite every pixel: the two share one pair of images.
    const FlowPair fineScratch = ZeroPair(full);
    hierarchy.residuals.push_back(fineScratch);
    hierarchy.corrections.push_back(fineScratch);
  }
  hierarchy.flows.push_back(FlowPair{u, v});  // only read

  for (size_t i = levels - 1; i-- > 0;) {
    const cv::Size& size = sizes[i];
    const LevelWorkspace& finer = hierarchy.workspaces.back();
    LevelWorkspace coarser;
    coarser.channels = finer.channels;
    coarser.hx = 2.0 * finer.hx;
    coarser.hy = 2.0 * finer.hy;
    AllocateWorkspaceImages(params, size.width, size.height, coarser);
    RestrictWorkspace(params, finer, coarser);
    if (params.anisotropic && !fast) ComputeDiffusionTensor(coarser, params.threads);
    hierarchy.workspaces.push_back(coarser);

    const WeightMaps& finerWeights = hierarchy.weights.back();
    WeightMaps coarseWeights{CreateFloat(size.width, size.height, 1), CreateFloat(size.width, size.height, 1),
                             CreateFloat(size.width, size.height, 1)};
    Resample(finerWeights.brightnessWeight, coarseWeights.brightnessWeight);
    Resample(finerWeights.gradientWeight, coarseWeights.gradientWeight);
    Resample(finerWeights.smoothnessWeight, coarseWeights.smoothnessWeight);
    hierarchy.weights.push_back(coarseWeights);

    hierarchy.rhs.push_back(ZeroPair(size));
    hierarchy.increments.push_back(ZeroPair(size));
    hierarchy.residuals.push_back(scratchPairs ? scratchPair(i, 0, size) : ZeroPair(size));
    hierarchy.corrections.push_back(scratchPairs ? scratchPair(i, 1, size) : ZeroPair(size));

    // The flow keeps full-resolution pixel units at every level; hx, hy carry the scale.
    const FlowPair& finerFlow = hierarchy.flows.back();
    FlowPair coarseFlow = ZeroPair(size);
    Resample(finerFlow.u, coarseFlow.u);
    Resample(finerFlow.v, coarseFlow.v);
    hierarchy.flows.push_back(coarseFlow);
  }

  std::reverse(hierarchy.workspaces.begin(), hierarchy.workspaces.end());
  std::reverse(hierarchy.weights.begin(), hierarchy.weights.end());
  std::reverse(hierarchy.flows.begin(), hierarchy.flows.end());
  std::reverse(hierarchy.increments.begin(), hierarchy.increments.end());
  std::reverse(hierarchy.rhs.begin(), hierarchy.rhs.end());
  std::reverse(hierarchy.residuals.begin(), hierarchy.residuals.end());
  std::reverse(hierarchy.corrections.begin(), hierarchy.corrections.end());
  return true;
}

void SolveMultigrid(const SolverParams& params, const WeightMaps& weights, const LevelWorkspace& workspace,
                    const ImageRef& u, const ImageRef& v, const FlowPair& increments) {
  // The fast relaxation's planes, sized for the full-resolution level, also hold the cycle's
  // residuals and corrections.
  const bool fast = params.anisotropic && params.solver == morvi::Solver::kFast;
  std::unique_ptr<FastRelaxationScratch> ownScratch;
  FastRelaxationScratch* scratch = params.fastScratch;
  if (fast && (params.useBrightness || params.useGradient)) {
    const cv::Size full = LevelSize(workspace, params);
    if (scratch == nullptr || scratch->Capacity() < static_cast<std::ptrdiff_t>(full.area())) {
      ownScratch = std::make_unique<FastRelaxationScratch>(full);
      scratch = ownScratch.get();
    }
  }
  MultigridHierarchy h;
  if (!BuildMultigridHierarchy(params, weights, workspace, u, v, increments, h, fast ? scratch : nullptr)) return;

  for (size_t l = 0; l < h.increments.size(); ++l) {
    h.increments[l].u.Mat().setTo(0.0);
    h.increments[l].v.Mat().setTo(0.0);
    if (h.rhs[l].u.Empty()) continue;
    h.rhs[l].u.Mat().setTo(0.0);
    h.rhs[l].v.Mat().setTo(0.0);
  }

  const unsigned finest = static_cast<unsigned>(h.workspaces.size() - 1);
  // the sweeps' helper threads live as long as the solve
  const bool ownTeam = params.anisotropic != 0 && params.team == nullptr;
  SweepTeam team(ownTeam ? params.threads : 1, ownTeam ? params.lentThreads : nullptr, params.lentCounted);
  SolverParams solveParams = params;
  if (team.Size() > 1 || team.MayGrow()) solveParams.team = &team;
  // The fast relaxation covers the image-driven smoothness the estimate uses; an isotropic solve
  // runs the reference sweeps with either choice.
  if (fast) {
    // the reference's cycle: a V-cycle (one coarse visit) measured 5 % worse, two sweeps no faster
    RunLevelCycle(finest, solveParams, h.weights, h.workspaces, h.flows, h.increments, h.rhs, h.residuals, h.corrections,
                  kAnisotropicPreSweeps, kAnisotropicPostSweeps, kCyclesPerVisit, FastAnisotropicFormulation(*scratch));
  } else if (params.anisotropic) {
    RunLevelCycle(finest, solveParams, h.weights, h.workspaces, h.flows, h.increments, h.rhs, h.residuals, h.corrections,
                  kAnisotropicPreSweeps, kAnisotropicPostSweeps, kCyclesPerVisit, AnisotropicFormulation());
  } else {
    RunLevelCycle(finest, solveParams, h.weights, h.workspaces, h.flows, h.increments, h.rhs, h.residuals, h.corrections,
                  kIsotropicPreSweeps, kIsotropicPostSweeps, kCyclesPerVisit, IsotropicFormulation());
  }
}
