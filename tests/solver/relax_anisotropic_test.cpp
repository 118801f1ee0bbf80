#include "solver/relax_anisotropic.h"

#include <cmath>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include "solver/level_cycle.h"
#include "solver/pixel_system.h"
#include "solver/solver_fixtures.h"

using namespace solver_test;

namespace {

// A hand-made level: one brightness channel with uniform tensor entries, no gradient term,
// anisotropic smoothness with the given diffusion tensor and a flat structure tensor.
struct HandLevel {
  SolverParams params;
  LevelWorkspace workspace;
  WeightMaps weights;
  FlowPair flow;
  FlowPair increments;
  FlowPair rhs;
};

HandLevel MakeHandLevel(int width, int height, const std::array<float, 6>& tensor, float brightnessWeight,
                        float smoothnessWeight, double brightnessEps) {
  HandLevel h;
  h.params.brightnessEps = brightnessEps;
  h.params.gradientEps = kGradientEps;
  h.params.smoothnessEps = kSmoothnessEps;
  h.params.useBrightness = 1;
  h.params.useGradient = 0;
  h.params.anisotropic = 1;
  LevelWorkspace& w = h.workspace;
  w.channels = 1;
  w.b11[0] = Uniform(width, height, tensor[0]);
  w.b12[0] = Uniform(width, height, tensor[1]);
  w.b22[0] = Uniform(width, height, tensor[2]);
  w.b13[0] = Uniform(width, height, tensor[3]);
  w.b23[0] = Uniform(width, height, tensor[4]);
  w.b33[0] = Uniform(width, height, tensor[5]);
  w.s11 = Uniform(width, height, 0.0f);
  w.s22 = Uniform(width, height, 0.0f);
  w.s12 = Uniform(width, height, 0.0f);
  w.d11 = Uniform(width, height, 0.5f);
  w.d22 = Uniform(width, height, 0.5f);
  w.d12x2 = Uniform(width, height, 0.0f);
  h.weights = WeightMaps{Uniform(width, height, brightnessWeight), Uniform(width, height, 0.0f),
                         Uniform(width, height, smoothnessWeight)};
  h.flow = ZeroPair(width, height);
  h.increments = ZeroPair(width, height);
  h.rhs = ZeroPair(width, height);
  return h;
}

void Relax(const HandLevel& h) { RelaxAnisotropic(h.workspace, h.params, h.weights, h.flow, h.increments, h.rhs); }

float Du(const HandLevel& h) { return h.increments.u.Row<float>(0)[0]; }
float Dv(const HandLevel& h) { return h.increments.v.Row<float>(0)[0]; }

}  // namespace

TEST(ClampedNeighbour, VisitsTheEightNeighboursInOrderAndClamps) {
  const int expected[8][2] = {{0, 1}, {1, 1}, {1, 0}, {1, -1}, {0, -1}, {-1, -1}, {-1, 0}, {-1, 1}};
  for (int k = 0; k < 8; ++k) {
    const NeighbourPosition p = ClampedNeighbour(k, 5, 5, 2, 2);
    EXPECT_EQ(p.x, 2 + expected[k][0]);
    EXPECT_EQ(p.y, 2 + expected[k][1]);
    EXPECT_TRUE(p.inside);
  }
  const NeighbourPosition corner = ClampedNeighbour(5, 5, 5, 0, 0);
  EXPECT_EQ(corner.x, 0);
  EXPECT_EQ(corner.y, 0);
  EXPECT_FALSE(corner.inside);
  const NeighbourPosition belowRight = ClampedNeighbour(1, 5, 3, 4, 1);
  EXPECT_EQ(belowRight.x, 4);
  EXPECT_EQ(belowRight.y, 2);
  EXPECT_FALSE(belowRight.inside);
}

TEST(SmoothnessMagnitudeAnisotropic, HalfTheSquaredGradientWithoutStructure) {
  HandLevel h = MakeHandLevel(6, 3, {0, 0, 0, 0, 0, 0}, 1.0f, 1.0f, 0.1);
  // Total flow U = x, split between the flow and the increments.
  for (int y = 0; y < 3; ++y) {
    for (int x = 0; x < 6; ++x) {
      h.flow.u.Row<float>(y)[x] = 0.25f * x;
      h.increments.u.Row<float>(y)[x] = 0.75f * x;
    }
  }
  EXPECT_FLOAT_EQ(SmoothnessMagnitudeAnisotropic(h.workspace, h.flow, h.increments, 3, 1), 0.5f);
  // One-sided at the first and last column: Ux = 0.5.
  EXPECT_FLOAT_EQ(SmoothnessMagnitudeAnisotropic(h.workspace, h.flow, h.increments, 0, 1), 0.125f);
  EXPECT_FLOAT_EQ(SmoothnessMagnitudeAnisotropic(h.workspace, h.flow, h.increments, 5, 0), 0.125f);
  // A strong horizontal image gradient weakens smoothing across it: 50 / (2500 + 100).
  h.workspace.s11.Row<float>(1)[3] = 2500.0f;
  EXPECT_FLOAT_EQ(SmoothnessMagnitudeAnisotropic(h.workspace, h.flow, h.increments, 3, 1), 50.0f / 2600.0f);
}

TEST(SmoothnessMagnitudeAnisotropic, VerticalDerivativesWeightedByTheOtherDiagonalEntry) {
  HandLevel h = MakeHandLevel(3, 5, {0, 0, 0, 0, 0, 0}, 1.0f, 1.0f, 0.1);
  for (int y = 0; y < 5; ++y) {
    for (int x = 0; x < 3; ++x) h.flow.v.Row<float>(y)[x] = 2.0f * y;
  }
  h.workspace.s11.Row<float>(2)[1] = 100.0f;
  // Vy = 2: (s11 + 50) Vy^2 / (s11 + s22 + 100) = 150 * 4 / 200.
  EXPECT_FLOAT_EQ(SmoothnessMagnitudeAnisotropic(h.workspace, h.flow, h.increments, 1, 2), 3.0f);
}

TEST(RelaxAnisotropic, SmallPositiveDeterminantIsRaisedToPlusOneHundredth) {
  // psi = 1 (weight 1, q = b33 = 1, eps 0) and no smoothness: a11 = 1, a12 = sqrt(0.004), a22 = 0.
  const float a12 = std::sqrt(0.004f);
  HandLevel h = MakeHandLevel(1, 1, {1.0f, a12, 0.0f, 0.0f, 0.0f, 1.0f}, 1.0f, 0.0f, 0.0);
  h.rhs.u.Row<float>(0)[0] = 1.0f;
  h.rhs.v.Row<float>(0)[0] = 2.0f;
  Relax(h);
  EXPECT_FLOAT_EQ(Du(h), a12 * 2.0f / 0.01f);
  EXPECT_FLOAT_EQ(Dv(h), (a12 * 1.0f - 2.0f) / 0.01f);
}

TEST(RelaxAnisotropic, SmallNegativeDeterminantIsLoweredToMinusOneHundredth) {
  HandLevel h = MakeHandLevel(1, 1, {0.04f, 0.0f, 0.1f, 0.0f, 0.0f, 1.0f}, 1.0f, 0.0f, 0.0);
  h.rhs.u.Row<float>(0)[0] = 1.0f;
  h.rhs.v.Row<float>(0)[0] = 2.0f;
  Relax(h);
  EXPECT_FLOAT_EQ(Du(h), -0.1f / -0.01f);
  EXPECT_FLOAT_EQ(Dv(h), -0.08f / -0.01f);
}

TEST(RelaxAnisotropic, SingularPixelKeepsItsIncrements) {
  HandLevel h = MakeHandLevel(1, 1, {1.0f, 1.0f, 1.0f, 0.0f, 0.0f, 1.0f}, 1.0f, 0.0f, 0.0);
  h.increments.u.Row<float>(0)[0] = 0.25f;
  h.increments.v.Row<float>(0)[0] = -0.5f;
  h.rhs.u.Row<float>(0)[0] = 3.0f;
  Relax(h);
  EXPECT_EQ(Du(h), 0.25f);
  EXPECT_EQ(Dv(h), -0.5f);
}

TEST(RelaxAnisotropic, OnePixelLevelSolvesDataTermsWithDiagonalSmoothness) {
  const std::array<float, 6> J = {4.0f, 1.0f, 3.0f, 2.0f, -1.0f, 5.0f};
  HandLevel h = MakeHandLevel(1, 1, J, 0.5f, 2.0f, 0.1);
  h.workspace.d11.Row<float>(0)[0] = 0.3f;
  h.workspace.d22.Row<float>(0)[0] = 0.7f;
  h.workspace.d12x2.Row<float>(0)[0] = 0.4f;  // mixed terms vanish: every neighbour is the pixel
  h.flow.u.Row<float>(0)[0] = 3.0f;
  const double du0 = 0.1, dv0 = -0.2, fu = 0.3, fv = -0.2;
  h.increments.u.Row<float>(0)[0] = static_cast<float>(du0);
  h.increments.v.Row<float>(0)[0] = static_cast<float>(dv0);
  h.rhs.u.Row<float>(0)[0] = static_cast<float>(fu);
  h.rhs.v.Row<float>(0)[0] = static_cast<float>(fv);
  Relax(h);

  const double q = 2 * (dv0 * J[4] + du0 * J[3] + du0 * dv0 * J[1]) + du0 * du0 * J[0] + dv0 * dv0 * J[2] + J[5];
  const double psi = 0.5 / std::sqrt(q + 0.01);
  const double psiS = 1.0 / kSmoothnessEps;  // zero magnitude
  const double wx = 0.5 * 2.0 * (2 * psiS) * (2 * 0.3) * 0.5;
  const double wy = 0.5 * 2.0 * (2 * psiS) * (2 * 0.7) * 0.5;
  const double a11 = psi * J[0] + 2 * wx + 2 * wy;
  const double a22 = psi * J[2] + 2 * wx + 2 * wy;
  const double a12 = psi * J[1];
  const double bu = -psi * J[3] + fu + (2 * wx + 2 * wy) * du0;
  const double bv = -psi * J[4] + fv + (2 * wx + 2 * wy) * dv0;
  const double det = a12 * a12 - a11 * a22;
  EXPECT_NEAR(Du(h), (a12 * bv - a22 * bu) / det, 1e-5);
  EXPECT_NEAR(Dv(h), (a12 * bu - a11 * bv) / det, 1e-5);
}

TEST(RelaxAnisotropic, ZeroTensorsAndConstantFlowKeepIncrementsAtZero) {
  HandLevel h = MakeHandLevel(7, 5, {0, 0, 0, 0, 0, 0}, 0.1f, 8.0f, 0.1);
  h.flow.u.Mat().setTo(1.5f);
  h.flow.v.Mat().setTo(-0.5f);
  for (int i = 0; i < 3; ++i) Relax(h);
  EXPECT_EQ(cv::countNonZero(h.increments.u.Mat()), 0);
  EXPECT_EQ(cv::countNonZero(h.increments.v.Mat()), 0);
  const FlowPair out = ZeroPair(7, 5);
  out.u.Mat().setTo(9.0f);
  ApplyOperatorAnisotropic(h.workspace, h.params, h.weights, h.flow, h.increments, out);
  EXPECT_EQ(cv::countNonZero(out.u.Mat()), 0);
  EXPECT_EQ(cv::countNonZero(out.v.Mat()), 0);
}

TEST(RelaxAnisotropic, NothingHappensWithoutDataTerms) {
  HandLevel h = MakeHandLevel(4, 4, {1, 0, 1, 1, 1, 1}, 1.0f, 1.0f, 0.1);
  h.params.useBrightness = 0;
  h.increments.u = RandomFloat(4, 4, -1.0f, 1.0f, 3);
  const ImageRef before = CloneFloat(h.increments.u);
  Relax(h);
  EXPECT_TRUE(BitIdentical(before, h.increments.u));
}

// The sweep's fast forms (vector blocks, interleaved row pairs, rows pipelined over threads) and
// the operator's (vector blocks, rows over threads) against the plain scalar loops, bit for bit.
// Sizes cover one-pixel sides, levels too narrow for a vector block, blocks meeting the borders,
// a level wide enough for four column bands, and a real 160 x 120 crop.
TEST(RelaxAnisotropic, EveryScheduleMatchesThePlainSweepBitForBit) {
  const cv::Size sizes[] = {{1, 1}, {1, 7}, {7, 1}, {2, 2}, {3, 2}, {5, 4}, {13, 9}, {24, 17}, {1, 50}, {50, 1},
                            {37, 23}, {64, 40}, {400, 48}, {160, 120}};
  unsigned seed = 100;
  for (const cv::Size& size : sizes) {
    const bool real = size == cv::Size(160, 120);
    ImageRef first = real ? LoadCrop("middlebury/RubberWhale/frame10.png", cv::Rect(200, 150, 160, 120))
                          : SyntheticFrame(size.width, size.height, seed++);
    ImageRef second = real ? LoadCrop("middlebury/RubberWhale/frame11.png", cv::Rect(200, 150, 160, 120))
                           : SyntheticFrame(size.width, size.height, seed++);
    if (first.Empty() || second.Empty()) {
      first = SyntheticFrame(size.width, size.height, seed++);
      second = SyntheticFrame(size.width, size.height, seed++);
    }
    const ImageRef u = RandomFloat(size.width, size.height, -1, 1, seed++);
    const ImageRef v = RandomFloat(size.width, size.height, -1, 1, seed++);
    PreparedLevel level = PrepareLevel(first, second, 1, u, v);
    const FlowPair rhs{RandomFloat(size.width, size.height, -5, 5, seed), RandomFloat(size.width, size.height, -5, 5, seed + 1)};
    const FlowPair start{RandomFloat(size.width, size.height, -0.5f, 0.5f, seed + 2),
                         RandomFloat(size.width, size.height, -0.5f, 0.5f, seed + 3)};
    seed += 4;
    const FlowPair plain = ClonePair(start);
    for (int i = 0; i < 3; ++i) {
      RelaxAnisotropicReference(level.workspace, level.params, level.weights, level.flow, plain, rhs);
    }
    const FlowPair plainOut = ZeroPair(size.width, size.height);
    level.params.vectorise = 0;
    level.params.threads = 1;
    // the scalar operator on one thread is the plain raster loop
    ApplyOperatorAnisotropic(level.workspace, level.params, level.weights, level.flow, plain, plainOut);

    for (int vectorise : {0, 1}) {
      for (int threads : {1, 2, 3, 8}) {
        level.params.vectorise = vectorise;
        level.params.threads = threads;
        const FlowPair fast = ClonePair(start);
        for (int i = 0; i < 3; ++i) {
          RelaxAnisotropic(level.workspace, level.params, level.weights, level.flow, fast, rhs);
        }
        EXPECT_TRUE(BitIdentical(fast.u, plain.u)) << size << " vectorise " << vectorise << " threads " << threads;
        EXPECT_TRUE(BitIdentical(fast.v, plain.v)) << size << " vectorise " << vectorise << " threads " << threads;
        const FlowPair out = ZeroPair(size.width, size.height);
        ApplyOperatorAnisotropic(level.workspace, level.params, level.weights, level.flow, plain, out);
        EXPECT_TRUE(BitIdentical(out.u, plainOut.u)) << size << " vectorise " << vectorise << " threads " << threads;
        EXPECT_TRUE(BitIdentical(out.v, plainOut.v)) << size << " vectorise " << vectorise << " threads " << threads;
      }
    }
  }
}

TEST(ApplyOperatorAnisotropic, ItsValueIsARightHandSideThatTheSweepLeavesInPlace) {
  // The converse of the fixed-point property, exact up to rounding: with f = A(x), every pixel's
  // system is solved by the pixel's own x, so a sweep started at x changes nothing.
  const ImageRef first = SyntheticFrame(21, 17, 201);
  const ImageRef second = SyntheticFrame(21, 17, 202);
  const PreparedLevel level = PrepareLevel(first, second, 1);
  const FlowPair x{RandomFloat(21, 17, -0.5f, 0.5f, 203), RandomFloat(21, 17, -0.5f, 0.5f, 204)};
  const FlowPair f = ZeroPair(21, 17);
  ApplyOperatorAnisotropic(level.workspace, level.params, level.weights, level.flow, x, f);
  const FlowPair y = ClonePair(x);
  RelaxAnisotropic(level.workspace, level.params, level.weights, level.flow, y, f);
  EXPECT_LT(MaxAbsDiff(x.u, y.u), 1e-5);
  EXPECT_LT(MaxAbsDiff(x.v, y.v), 1e-5);
  // With another right-hand side the same sweep does move.
  const FlowPair z = ClonePair(x);
  RelaxAnisotropic(level.workspace, level.params, level.weights, level.flow, z, ZeroPair(21, 17));
  EXPECT_GT(MaxAbsDiff(x.u, z.u), 1e-2);
}

TEST(ApplyOperatorAnisotropic, ReturnsTheRightHandSideAtAFixedPointOfTheSweep) {
  const ImageRef first = LoadCrop("middlebury/RubberWhale/frame10.png", cv::Rect(300, 200, 16, 12));
  const ImageRef second = LoadCrop("middlebury/RubberWhale/frame11.png", cv::Rect(300, 200, 16, 12));
  SKIP_WITHOUT_FRAME(first);
  SKIP_WITHOUT_FRAME(second);
  const PreparedLevel level = PrepareLevel(first, second, 1);
  const FixedPointRun run = RelaxTowardsAFixedPoint(level, AnisotropicFormulation(), 400);
  EXPECT_LT(run.finalError, 2e-3 * run.rhsScale);
  EXPECT_LT(run.finalError, 0.05 * run.initialError);
}

TEST(ApplyOperatorAnisotropic, GradientTermAloneTakesTheLevelSizeFromItsTensor) {
  const ImageRef first = SyntheticFrame(12, 9, 41);
  const ImageRef second = SyntheticFrame(12, 9, 42);
  PreparedLevel level = PrepareLevel(first, second, 1);
  level.params.useBrightness = 0;
  for (int c = 0; c < 3; ++c) {
    for (auto* array : {&level.workspace.b11, &level.workspace.b12, &level.workspace.b22, &level.workspace.b13,
                        &level.workspace.b23, &level.workspace.b33}) {
      (*array)[c].Release();
    }
  }
  const FlowPair x{RandomFloat(12, 9, -0.5f, 0.5f, 43), RandomFloat(12, 9, -0.5f, 0.5f, 44)};
  const FlowPair f = ZeroPair(12, 9);
  ApplyOperatorAnisotropic(level.workspace, level.params, level.weights, level.flow, x, f);
  const FlowPair y = ClonePair(x);
  RelaxAnisotropic(level.workspace, level.params, level.weights, level.flow, y, f);
  EXPECT_LT(MaxAbsDiff(x.u, y.u), 1e-5);
  EXPECT_LT(MaxAbsDiff(x.v, y.v), 1e-5);
}
