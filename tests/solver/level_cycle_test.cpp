#include "solver/level_cycle.h"

#include <map>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include "solver/multigrid.h"
#include "solver/relax_anisotropic.h"
#include "solver/solver_fixtures.h"

using namespace solver_test;

namespace {

// Per-level arrays of zeroed images for the given sizes (coarsest first) and empty workspaces.
struct Arrays {
  std::vector<WeightMaps> weights;
  std::vector<LevelWorkspace> workspaces;
  std::vector<FlowPair> flows, increments, rhs, residuals, corrections;

  explicit Arrays(const std::vector<cv::Size>& sizes) {
    for (const cv::Size& s : sizes) {
      weights.push_back(WeightMaps{});
      LevelWorkspace w;
      w.hx = static_cast<double>(sizes.back().width) / s.width;  // identifies the level in the records below
      workspaces.push_back(w);
      flows.push_back(ZeroPair(s.width, s.height));
      increments.push_back(ZeroPair(s.width, s.height));
      rhs.push_back(ZeroPair(s.width, s.height));
      residuals.push_back(ZeroPair(s.width, s.height));
      corrections.push_back(ZeroPair(s.width, s.height));
    }
  }
};

// A formulation that only records what the cycle asks of it. Its "sweep" adds 1 to the unknowns,
// so that a visit that does not start from zero is visible.
struct Recorder {
  std::map<int, int> sweeps;           // level width -> sweeps
  std::map<int, int> operators;        // level width -> operator evaluations
  std::map<int, int> coarseVisits;     // coarsest level: sweeps that started from zero
  int coarsestWidth = 0;

  LevelFormulation Formulation() {
    LevelFormulation f;
    f.relax = [this](const LevelWorkspace&, const SolverParams&, const WeightMaps&, const FlowPair&,
                     const FlowPair& x, const FlowPair&) {
      const int width = x.u.Width();
      ++sweeps[width];
      if (width == coarsestWidth && cv::countNonZero(x.u.Mat()) == 0) ++coarseVisits[width];
      x.u.Mat() += 1.0;
    };
    f.apply = [this](const LevelWorkspace&, const SolverParams&, const WeightMaps&, const FlowPair&,
                     const FlowPair&, const FlowPair& out) {
      ++operators[out.u.Width()];
      out.u.Mat().setTo(0.0);
      out.v.Mat().setTo(0.0);
    };
    return f;
  }
};

}  // namespace

TEST(RunLevelCycle, WShapeVisitsLevelKTwoToTheLMinusKTimes) {
  const std::vector<cv::Size> sizes = MultigridLevelSizes(32, 24);  // 4x3, 8x6, 16x12, 32x24
  ASSERT_EQ(sizes.size(), 4u);
  Arrays a(sizes);
  Recorder recorder;
  recorder.coarsestWidth = sizes.front().width;
  const unsigned L = static_cast<unsigned>(sizes.size() - 1);
  RunLevelCycle(L, SolverParams{}, a.weights, a.workspaces, a.flows, a.increments, a.rhs, a.residuals,
                a.corrections, 3, 3, 2, recorder.Formulation());

  // Level k < L is entered 2^(L - k) times; each entry of a level above 0 runs two cycles of 3 + 3
  // sweeps, each entry of level 0 runs 3 + 3 sweeps after zeroing.
  EXPECT_EQ(recorder.sweeps[32], 12);
  EXPECT_EQ(recorder.sweeps[16], 2 * 12);
  EXPECT_EQ(recorder.sweeps[8], 4 * 12);
  EXPECT_EQ(recorder.sweeps[4], 8 * 6);
  EXPECT_EQ(recorder.coarseVisits[4], 8);
  // Two operator evaluations per cycle: on the level and on the next coarser one.
  EXPECT_EQ(recorder.operators[32], 2);
  EXPECT_EQ(recorder.operators[16], 2 + 2 * 2);
  EXPECT_EQ(recorder.operators[8], 2 * 2 + 4 * 2);
  EXPECT_EQ(recorder.operators[4], 4 * 2);
}

TEST(RunLevelCycle, SingleLevelZeroesAndRelaxesPreplusPostTimes) {
  Arrays a({cv::Size(5, 4)});
  a.increments[0].u.Mat().setTo(3.0);
  Recorder recorder;
  recorder.coarsestWidth = 5;
  RunLevelCycle(0, SolverParams{}, a.weights, a.workspaces, a.flows, a.increments, a.rhs, a.residuals,
                a.corrections, 5, 5, 2, recorder.Formulation());
  EXPECT_EQ(recorder.sweeps[5], 10);
  EXPECT_EQ(recorder.coarseVisits[5], 1);
  EXPECT_EQ(recorder.operators.size(), 0u);
  EXPECT_EQ(a.increments[0].u.Mat().at<float>(0, 0), 10.0f);
}

TEST(RunLevelCycle, CoarseGridCorrectionIsTheProlongatedDifference) {
  // With an operator that is identically zero the coarse right-hand side is R(f - 0) + 0 = 0, and
  // the coarse unknowns end at the number of sweeps the last visit ran; the fine correction is the
  // prolongated difference to the restricted fine approximation.
  Arrays a({cv::Size(3, 2), cv::Size(6, 4)});
  Recorder recorder;
  recorder.coarsestWidth = 3;
  RunLevelCycle(1, SolverParams{}, a.weights, a.workspaces, a.flows, a.increments, a.rhs, a.residuals,
                a.corrections, 1, 1, 1, recorder.Formulation());
  // Fine: +1 (pre), then + (2 - 1) correction, then +1 (post) = 3 everywhere; coarse ends at 2.
  EXPECT_EQ(cv::norm(a.increments[1].u.Mat(), cv::Mat(4, 6, CV_32F, cv::Scalar(3.0f)), cv::NORM_INF), 0.0);
  EXPECT_EQ(cv::norm(a.increments[0].u.Mat(), cv::Mat(2, 3, CV_32F, cv::Scalar(2.0f)), cv::NORM_INF), 0.0);
  EXPECT_EQ(cv::countNonZero(a.rhs[1].u.Mat()), 0);
}

TEST(RunLevelCycle, OneWCycleReducesTheResidualMoreThanTheSameFineSweeps) {
  const ImageRef first = LoadCrop("middlebury/RubberWhale/frame10.png", cv::Rect(200, 100, 64, 48));
  const ImageRef second = LoadCrop("middlebury/RubberWhale/frame11.png", cv::Rect(200, 100, 64, 48));
  SKIP_WITHOUT_FRAME(first);
  SKIP_WITHOUT_FRAME(second);
  const PreparedLevel level = PrepareLevel(first, second, 1);
  MultigridHierarchy h;
  ASSERT_TRUE(BuildMultigridHierarchy(level.params, level.weights, level.workspace, level.flow.u, level.flow.v,
                                      ZeroPair(64, 48), h));
  const size_t L = h.workspaces.size() - 1;
  auto residual = [&](const FlowPair& x) {
    const FlowPair ax = ZeroPair(64, 48);
    ApplyOperatorAnisotropic(h.workspaces[L], level.params, h.weights[L], h.flows[L], x, ax);
    return std::hypot(cv::norm(ax.u.Mat()), cv::norm(ax.v.Mat()));  // the finest right-hand side is 0
  };
  const double initial = residual(h.increments[L]);

  const FlowPair plain = ZeroPair(64, 48);
  for (int i = 0; i < 12; ++i) {
    RelaxAnisotropic(h.workspaces[L], level.params, h.weights[L], h.flows[L], plain, h.rhs[L]);
  }
  RunLevelCycle(static_cast<unsigned>(L), level.params, h.weights, h.workspaces, h.flows, h.increments, h.rhs,
                h.residuals, h.corrections, 3, 3, 2, AnisotropicFormulation());
  const double afterCycle = residual(h.increments[L]);
  const double afterSweeps = residual(plain);
  EXPECT_LT(afterCycle, 0.5 * afterSweeps);
  EXPECT_LT(afterCycle, 0.2 * initial);
  EXPECT_EQ(cv::countNonZero(h.rhs[L].u.Mat()), 0);
  EXPECT_GT(cv::countNonZero(h.rhs[L - 1].u.Mat()), 0);
}
