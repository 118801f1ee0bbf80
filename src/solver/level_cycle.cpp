#include "solver/level_cycle.h"

#include <algorithm>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "solver/relax_anisotropic.h"
#include "solver/relax_isotropic.h"
#include "solver/sweep_team.h"

namespace {

// Area resampling of one image into an existing image of the target level's size (restriction
// averages; no factor is applied in either direction).
void Transfer(const ImageRef& source, const ImageRef& target) {
  cv::Mat& dst = target.Mat();
  cv::resize(source.Mat(), dst, dst.size(), 0.0, 0.0, cv::INTER_AREA);
}

// A pair's components are resampled alone; on large levels they go to two members of the solve's
// sweep team, whose helpers are awake between the sweeps anyway.
constexpr int kMinPairPixelsPerThread = 65536;

void TransferPair(const FlowPair& source, const FlowPair& target, SweepTeam* team) {
  const int pixels = std::max(source.u.Mat().size().area(), target.u.Mat().size().area());
  if (team == nullptr || team->Size() < 2 || pixels < kMinPairPixelsPerThread) {
    Transfer(source.u, target.u);
    Transfer(source.v, target.v);
    return;
  }
  team->Run([&](int member) {
    if (member == 0) Transfer(source.u, target.u);
    if (member == 1) Transfer(source.v, target.v);
  });
}

void SetZero(const FlowPair& pair) {
  pair.u.Mat().setTo(0.0);
  pair.v.Mat().setTo(0.0);
}

}  // namespace

const LevelFormulation& AnisotropicFormulation() {
  static const LevelFormulation formulation{RelaxAnisotropic, ApplyOperatorAnisotropic, {}};
  return formulation;
}

const LevelFormulation& IsotropicFormulation() {
  static const LevelFormulation formulation{RelaxIsotropic, ApplyOperatorIsotropic, {}};
  return formulation;
}

void RunLevelCycle(unsigned level, const SolverParams& params, const std::vector<WeightMaps>& weights,
                   const std::vector<LevelWorkspace>& workspaces, const std::vector<FlowPair>& flows,
                   std::vector<FlowPair>& increments, std::vector<FlowPair>& rhs, std::vector<FlowPair>& residuals,
                   std::vector<FlowPair>& corrections, int preSweeps, int postSweeps, int cyclesPerVisit,
                   const LevelFormulation& formulation) {
  const size_t l = level;
  CV_Assert(l < workspaces.size() && weights.size() == workspaces.size() && flows.size() == workspaces.size() &&
            increments.size() == workspaces.size() && rhs.size() == workspaces.size() &&
            residuals.size() == workspaces.size() && corrections.size() == workspaces.size());

  auto relax = [&](size_t k, int sweeps) {
    if (formulation.relaxSweeps) {
      if (sweeps > 0) formulation.relaxSweeps(workspaces[k], params, weights[k], flows[k], increments[k], rhs[k], sweeps);
      return;
    }
    for (int i = 0; i < sweeps; ++i) formulation.relax(workspaces[k], params, weights[k], flows[k], increments[k], rhs[k]);
  };
  auto apply = [&](size_t k, const FlowPair& x, const FlowPair& out) {
    formulation.apply(workspaces[k], params, weights[k], flows[k], x, out);
  };

  if (l == 0) {
    // The coarsest level restarts from zero at every visit and is solved by relaxation alone.
    SetZero(increments[0]);
    relax(0, preSweeps);
    relax(0, postSweeps);
    return;
  }

  for (int cycle = 0; cycle < cyclesPerVisit; ++cycle) {
    // pre-relaxation
    relax(l, preSweeps);

    // residual r = f - A(x)
    apply(l, increments[l], residuals[l]);
    if (rhs[l].u.Empty()) {
      // a zero right-hand side kept as no images: 0 - A(x), the same floats
      cv::subtract(cv::Scalar::all(0.0), residuals[l].u.Mat(), residuals[l].u.Mat());
      cv::subtract(cv::Scalar::all(0.0), residuals[l].v.Mat(), residuals[l].v.Mat());
    } else {
      cv::subtract(rhs[l].u.Mat(), residuals[l].u.Mat(), residuals[l].u.Mat());
      cv::subtract(rhs[l].v.Mat(), residuals[l].v.Mat(), residuals[l].v.Mat());
    }

    // restrict the residual and the approximation
    TransferPair(residuals[l], residuals[l - 1], params.team);
    TransferPair(increments[l], corrections[l - 1], params.team);

    // coarse right-hand side f' = R r + A'(R x)
    apply(l - 1, corrections[l - 1], rhs[l - 1]);
    cv::add(residuals[l - 1].u.Mat(), rhs[l - 1].u.Mat(), rhs[l - 1].u.Mat());
    cv::add(residuals[l - 1].v.Mat(), rhs[l - 1].v.Mat(), rhs[l - 1].v.Mat());

    // solve on the coarser level; its unknowns continue from its previous visit
    RunLevelCycle(level - 1, params, weights, workspaces, flows, increments, rhs, residuals, corrections,
                  preSweeps, postSweeps, cyclesPerVisit, formulation);

    // the recursion reused corrections[l - 1]: restrict the approximation once more
    TransferPair(increments[l], corrections[l - 1], params.team);

    // coarse-grid correction e = x' - R x, prolongated and added
    cv::subtract(increments[l - 1].u.Mat(), corrections[l - 1].u.Mat(), corrections[l - 1].u.Mat());
    cv::subtract(increments[l - 1].v.Mat(), corrections[l - 1].v.Mat(), corrections[l - 1].v.Mat());
    TransferPair(corrections[l - 1], corrections[l], params.team);
    cv::add(increments[l].u.Mat(), corrections[l].u.Mat(), increments[l].u.Mat());
    cv::add(increments[l].v.Mat(), corrections[l].v.Mat(), increments[l].v.Mat());

    // post-relaxation
    relax(l, postSweeps);
  }
}

void RunLevelCycle(unsigned level, const SolverParams& params, const std::vector<WeightMaps>& weights,
                   const std::vector<LevelWorkspace>& workspaces, const std::vector<FlowPair>& flows,
                   std::vector<FlowPair>& increments, std::vector<FlowPair>& rhs, std::vector<FlowPair>& residuals,
                   std::vector<FlowPair>& corrections, int preSweeps, int postSweeps, int cyclesPerVisit) {
  RunLevelCycle(level, params, weights, workspaces, flows, increments, rhs, residuals, corrections, preSweeps,
                postSweeps, cyclesPerVisit, params.anisotropic ? AnisotropicFormulation() : IsotropicFormulation());
}
