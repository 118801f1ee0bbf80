#include "solver/relax_isotropic.h"

#include <cmath>
#include <limits>
#include <sstream>
#include <string>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include "solver/level_cycle.h"
#include "solver/solver_fixtures.h"

using namespace solver_test;

namespace {

const std::string kMarkerLine = std::string(43, '#') + "\n";

// One brightness channel with uniform tensor entries, isotropic smoothness.
struct IsoLevel {
  SolverParams params;
  LevelWorkspace workspace;
  WeightMaps weights;
  FlowPair flow;
  FlowPair increments;
  FlowPair rhs;
};

IsoLevel MakeIsoLevel(int width, int height, const std::array<float, 6>& tensor, float smoothnessWeight,
                      double brightnessEps) {
  IsoLevel h;
  h.params.brightnessEps = brightnessEps;
  h.params.gradientEps = kGradientEps;
  h.params.smoothnessEps = kSmoothnessEps;
  h.params.useBrightness = 1;
  h.params.useGradient = 0;
  h.params.anisotropic = 0;
  h.workspace.channels = 1;
  h.workspace.b11[0] = Uniform(width, height, tensor[0]);
  h.workspace.b12[0] = Uniform(width, height, tensor[1]);
  h.workspace.b22[0] = Uniform(width, height, tensor[2]);
  h.workspace.b13[0] = Uniform(width, height, tensor[3]);
  h.workspace.b23[0] = Uniform(width, height, tensor[4]);
  h.workspace.b33[0] = Uniform(width, height, tensor[5]);
  h.weights = WeightMaps{Uniform(width, height, 1.0f), Uniform(width, height, 0.0f),
                         Uniform(width, height, smoothnessWeight)};
  h.flow = ZeroPair(width, height);
  h.increments = ZeroPair(width, height);
  h.rhs = ZeroPair(width, height);
  return h;
}

void Relax(const IsoLevel& h) { RelaxIsotropic(h.workspace, h.params, h.weights, h.flow, h.increments, h.rhs); }

}  // namespace

TEST(SmoothnessMagnitudeIsotropic, SumsTheSquaredClampedCentralDifferences) {
  const FlowPair flow = ZeroPair(5, 4);
  const FlowPair increments = ZeroPair(5, 4);
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 5; ++x) {
      flow.u.Row<float>(y)[x] = static_cast<float>(x);      // Ux = 1 inside, 0.5 at the side columns
      increments.v.Row<float>(y)[x] = 3.0f * y;             // Vy = 3 inside, 1.5 at the top and bottom
    }
  }
  EXPECT_FLOAT_EQ(SmoothnessMagnitudeIsotropic(flow, increments, 2, 1), 1.0f + 9.0f);
  EXPECT_FLOAT_EQ(SmoothnessMagnitudeIsotropic(flow, increments, 0, 0), 0.25f + 2.25f);
  EXPECT_FLOAT_EQ(SmoothnessMagnitudeIsotropic(flow, increments, 4, 3), 0.25f + 2.25f);
  const FlowPair single = ZeroPair(1, 1);
  EXPECT_EQ(SmoothnessMagnitudeIsotropic(single, single, 0, 0), 0.0f);
}

TEST(RelaxIsotropic, SingularPixelIsSolvedWithPlusOneHundredth) {
  IsoLevel h = MakeIsoLevel(1, 1, {1.0f, 1.0f, 1.0f, 0.0f, 0.0f, 1.0f}, 8.0f, 0.0);
  h.rhs.u.Row<float>(0)[0] = 1.0f;
  h.rhs.v.Row<float>(0)[0] = 3.0f;
  Relax(h);
  // A 1 x 1 level has no smoothness coupling: a11 = a12 = a22 = psi = 1.
  EXPECT_FLOAT_EQ(h.increments.u.Row<float>(0)[0], (3.0f - 1.0f) / 0.01f);
  EXPECT_FLOAT_EQ(h.increments.v.Row<float>(0)[0], (1.0f - 3.0f) / 0.01f);
}

TEST(RelaxIsotropic, SmallNegativeDeterminantIsLoweredToMinusOneHundredth) {
  IsoLevel h = MakeIsoLevel(1, 1, {0.04f, 0.0f, 0.1f, 0.0f, 0.0f, 1.0f}, 8.0f, 0.0);
  h.rhs.u.Row<float>(0)[0] = 1.0f;
  Relax(h);
  EXPECT_FLOAT_EQ(h.increments.u.Row<float>(0)[0], 10.0f);
}

TEST(RelaxIsotropic, CornerCouplesOnlyWithItsTwoInsideNeighbours) {
  IsoLevel h = MakeIsoLevel(3, 3, {0, 0, 0, 0, 0, 0}, 2.0f, 0.1);
  h.flow.u.Row<float>(0)[1] = 1.0f;   // right of the corner
  h.flow.u.Row<float>(1)[0] = -3.0f;  // below the corner
  h.flow.u.Row<float>(2)[2] = 7.0f;   // far away
  auto psi = [&](int x, int y) {
    return 1.0 / std::sqrt(SmoothnessMagnitudeIsotropic(h.flow, h.increments, x, y) + kSmoothnessEps * kSmoothnessEps);
  };
  const double wRight = 0.5 * 2.0 * (psi(1, 0) + psi(0, 0));
  const double wDown = 0.5 * 2.0 * (psi(0, 1) + psi(0, 0));
  // The corner is relaxed first; with no data term du = bu / a11.
  Relax(h);
  EXPECT_NEAR(h.increments.u.Row<float>(0)[0], (wRight * 1.0 + wDown * -3.0) / (wRight + wDown), 1e-5);
}

TEST(RelaxIsotropic, UndefinedIncrementIsReportedAndLeftInPlace) {
  IsoLevel h = MakeIsoLevel(1, 1, {1.0f, 0.0f, 1.0f, 0.0f, 0.0f, 1.0f}, 8.0f, 0.1);
  h.weights.brightnessWeight.Row<float>(0)[0] = std::numeric_limits<float>::quiet_NaN();
  std::ostringstream markers;
  h.params.diagnostics = &markers;
  testing::internal::CaptureStdout();
  Relax(h);
  Relax(h);
  EXPECT_EQ(markers.str(), kMarkerLine + kMarkerLine);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");  // the library itself prints nothing
  EXPECT_TRUE(std::isnan(h.increments.u.Row<float>(0)[0]));

  // The operator evaluation of the same level stays silent.
  const FlowPair out = ZeroPair(1, 1);
  ApplyOperatorIsotropic(h.workspace, h.params, h.weights, h.flow, h.increments, out);
  EXPECT_EQ(markers.str(), kMarkerLine + kMarkerLine);
  EXPECT_TRUE(std::isnan(out.u.Row<float>(0)[0]));
}

TEST(ApplyOperatorIsotropic, ItsValueIsARightHandSideThatTheSweepLeavesInPlace) {
  const ImageRef first = SyntheticFrame(19, 15, 301);
  const ImageRef second = SyntheticFrame(19, 15, 302);
  const PreparedLevel level = PrepareLevel(first, second, 0);
  const FlowPair x{RandomFloat(19, 15, -0.5f, 0.5f, 303), RandomFloat(19, 15, -0.5f, 0.5f, 304)};
  const FlowPair f = ZeroPair(19, 15);
  ApplyOperatorIsotropic(level.workspace, level.params, level.weights, level.flow, x, f);
  const FlowPair y = ClonePair(x);
  RelaxIsotropic(level.workspace, level.params, level.weights, level.flow, y, f);
  EXPECT_LT(MaxAbsDiff(x.u, y.u), 1e-5);
  EXPECT_LT(MaxAbsDiff(x.v, y.v), 1e-5);
}

TEST(ApplyOperatorIsotropic, ReturnsTheRightHandSideAtAFixedPointOfTheSweep) {
  const ImageRef first = LoadCrop("middlebury/RubberWhale/frame10.png", cv::Rect(120, 150, 16, 12));
  const ImageRef second = LoadCrop("middlebury/RubberWhale/frame11.png", cv::Rect(120, 150, 16, 12));
  SKIP_WITHOUT_FRAME(first);
  SKIP_WITHOUT_FRAME(second);
  const PreparedLevel level = PrepareLevel(first, second, 0);
  const FixedPointRun run = RelaxTowardsAFixedPoint(level, IsotropicFormulation(), 400);
  EXPECT_LT(run.finalError, 2e-3 * run.rhsScale);
  EXPECT_LT(run.finalError, 0.05 * run.initialError);
}

TEST(RelaxIsotropic, NothingHappensWithoutDataTerms) {
  IsoLevel h = MakeIsoLevel(3, 3, {1, 0, 1, 1, 1, 1}, 8.0f, 0.1);
  h.params.useBrightness = 0;
  h.increments.v = RandomFloat(3, 3, -1.0f, 1.0f, 5);
  const ImageRef before = CloneFloat(h.increments.v);
  Relax(h);
  EXPECT_TRUE(BitIdentical(before, h.increments.v));
}

TEST(ApplyOperatorIsotropic, RowsOverThreadsGiveTheSameBits) {
  const ImageRef first = SyntheticFrame(150, 130, 301);
  const ImageRef second = SyntheticFrame(150, 130, 302);
  PreparedLevel level = PrepareLevel(first, second, 0);
  const FlowPair x{RandomFloat(150, 130, -0.5f, 0.5f, 303), RandomFloat(150, 130, -0.5f, 0.5f, 304)};
  const FlowPair one = ZeroPair(150, 130);
  ApplyOperatorIsotropic(level.workspace, level.params, level.weights, level.flow, x, one);
  level.params.threads = 3;
  const FlowPair three = ZeroPair(150, 130);
  ApplyOperatorIsotropic(level.workspace, level.params, level.weights, level.flow, x, three);
  EXPECT_TRUE(BitIdentical(one.u, three.u));
  EXPECT_TRUE(BitIdentical(one.v, three.v));
  EXPECT_GT(cv::norm(one.u.Mat(), cv::NORM_INF), 0.0);
}
