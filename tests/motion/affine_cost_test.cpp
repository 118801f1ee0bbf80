#include "motion/affine_cost.h"

#include <cmath>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

namespace {

// u = 0.02 x - 0.01 y + 1.5, v = -0.03 x + 0.015 y - 0.75, evaluated in float like stored flow
void FillAffineFlow(const ImageRef& u, const ImageRef& v) {
  for (int y = 0; y < u.Height(); ++y) {
    for (int x = 0; x < u.Width(); ++x) {
      u.Row<float>(y)[x] = 0.02f * x - 0.01f * y + 1.5f;
      v.Row<float>(y)[x] = -0.03f * x + 0.015f * y - 0.75f;
    }
  }
}

ParamVector Params(std::initializer_list<double> values) {
  ParamVector x(static_cast<int>(values.size()));
  int i = 0;
  for (double value : values) x[i++] = value;
  return x;
}

}  // namespace

TEST(AffineCostFun, ThreePointsAreFittedExactly) {
  ImageRef u = CreateFloat(40, 30, 1), v = CreateFloat(40, 30, 1);
  FillAffineFlow(u, v);
  OpenCvExt::AffineCostFun cost;
  cost.SetFlow(u, v);
  const std::vector<cv::Point> points = {{3, 4}, {35, 7}, {12, 27}};
  cost.SetPoints(points);

  AffineParams a;
  const double finalCost = MinimizeAffineCost(cost, a);
  EXPECT_LT(finalCost, 1e-10);
  for (const cv::Point& p : points) {
    EXPECT_NEAR(a.a0 * p.x + a.a1 * p.y + a.a2, u.Row<float>(p.y)[p.x], 1e-5);
    EXPECT_NEAR(a.a3 * p.x + a.a4 * p.y + a.a5, v.Row<float>(p.y)[p.x], 1e-5);
  }
  EXPECT_NEAR(a.a0, 0.02f, 1e-5);
  EXPECT_NEAR(a.a4, 0.015f, 1e-5);
}

TEST(AffineCostFun, EmptyPointListGivesZeroModelAndCost) {
  ImageRef u = CreateFloat(8, 8, 1), v = CreateFloat(8, 8, 1);
  FillAffineFlow(u, v);
  OpenCvExt::AffineCostFun cost;
  cost.SetFlow(u, v);

  ParamVector x = Params({0.5, 1, 2, 3, 4, 5});
  EXPECT_EQ(cost.Value(x), 0.0);
  ParamVector g;
  cost.Gradient(x, g);
  SquareMatrix h;
  cost.Hessian(x, h);
  ASSERT_EQ(g.Length(), 6);
  ASSERT_EQ(h.Rows(), 6);
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(g[i], 0.0);
    for (int j = 0; j < 6; ++j) EXPECT_EQ(h[i][j], 0.0);
  }

  AffineParams a;
  a.a0 = 9.0f;
  EXPECT_EQ(MinimizeAffineCost(cost, a), 0.0);
  EXPECT_EQ(a.a0, 0.0f);
  EXPECT_EQ(a.a2, 0.0f);
  EXPECT_EQ(a.a5, 0.0f);
}

TEST(AffineCostFun, DerivativesMatchCentralDifferences) {
  ImageRef u = CreateFloat(20, 20, 1), v = CreateFloat(20, 20, 1);
  FillAffineFlow(u, v);
  OpenCvExt::AffineCostFun cost;
  cost.SetFlow(u, v);
  cost.SetPoints({{1, 2}, {5, 17}, {18, 3}, {9, 9}, {14, 12}});

  // parameters and steps that floats hold exactly, so the float storage adds no error
  const ParamVector x = Params({0.5, -0.25, 1.0, 0.125, 0.75, -2.0});
  const double h = 0.0625;
  ParamVector g;
  SquareMatrix H;
  cost.Gradient(x, g);
  cost.Hessian(x, H);
  for (int j = 0; j < 6; ++j) {
    ParamVector plus = x, minus = x;
    plus[j] += h;
    minus[j] -= h;
    const double fd = (cost.Value(plus) - cost.Value(minus)) / (2.0 * h);
    EXPECT_NEAR(g[j], fd, 1e-4 * (1.0 + std::abs(fd))) << "parameter " << j;

    ParamVector gPlus, gMinus;
    cost.Gradient(plus, gPlus);
    cost.Gradient(minus, gMinus);
    for (int i = 0; i < 6; ++i) {
      const double hd = (gPlus[i] - gMinus[i]) / (2.0 * h);
      EXPECT_NEAR(H[i][j], hd, 1e-4 * (1.0 + std::abs(hd))) << "entry " << i << ", " << j;
    }
  }
  // the u and v blocks are decoupled
  EXPECT_EQ(H[0][3], 0.0);
  EXPECT_EQ(H[5][1], 0.0);
  EXPECT_EQ(H[2][2], 10.0);  // 2 N
}

TEST(AffineCostFun, RejectsFlowImagesOfOtherTypesOrSizes) {
  OpenCvExt::AffineCostFun cost;
  EXPECT_THROW(cost.SetFlow(CreateFloat(4, 4, 1), CreateFloat(4, 5, 1)), std::invalid_argument);
  EXPECT_THROW(cost.SetFlow(CreateFloat(4, 4, 1), CreateByte(4, 4, 1)), std::invalid_argument);
  EXPECT_THROW(cost.SetFlow(ImageRef(), CreateFloat(4, 4, 1)), std::invalid_argument);
}
