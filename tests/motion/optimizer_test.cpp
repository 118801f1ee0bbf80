#include "motion/optimizer.h"

#include <cmath>
#include <random>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

namespace {

// Records every point at which the value is asked for; the derivatives are fixed.
class RecordingCost : public ZAnyScaleFunction {
 public:
  RecordingCost(std::vector<double> gradient, std::vector<std::vector<double>> hessian, double value)
      : gradient_(std::move(gradient)), hessian_(std::move(hessian)), value_(value) {}

  double Value(const ParamVector& x) override {
    std::vector<double> point;
    for (int i = 0; i < x.Length(); ++i) point.push_back(x[i]);
    visited.push_back(point);
    return value_ + slope * x[0];
  }
  void Gradient(const ParamVector& /*x*/, ParamVector& g) override {
    ++gradientCalls;
    g.Resize(static_cast<int>(gradient_.size()));
    for (int i = 0; i < g.Length(); ++i) g[i] = gradient_[i];
  }
  void Hessian(const ParamVector& /*x*/, SquareMatrix& h) override {
    const int n = static_cast<int>(hessian_.size());
    h.Resize(n, n);
    for (int i = 0; i < n; ++i)
      for (int j = 0; j < n; ++j) h[i][j] = hessian_[i][j];
  }

  std::vector<std::vector<double>> visited;
  int gradientCalls = 0;
  double slope = 0.0;  // value = value_ + slope * x0

 private:
  std::vector<double> gradient_;
  std::vector<std::vector<double>> hessian_;
  double value_;
};

class NeverStop : public ZOptimizerTerminator {
 public:
  bool Check() override {
    ++checks;
    return false;
  }
  int checks = 0;
};

// f(x) = sum_i c_i (x_i - t_i)^2 + 0.5 (x_0 - t_0)(x_1 - t_1)
class Quadratic : public ZAnyScaleFunction {
 public:
  double Value(const ParamVector& x) override {
    const double e0 = x[0] - 3.0, e1 = x[1] + 2.0;
    return 2.0 * e0 * e0 + 5.0 * e1 * e1 + 0.5 * e0 * e1;
  }
  void Gradient(const ParamVector& x, ParamVector& g) override {
    const double e0 = x[0] - 3.0, e1 = x[1] + 2.0;
    g.Resize(2);
    g[0] = 4.0 * e0 + 0.5 * e1;
    g[1] = 10.0 * e1 + 0.5 * e0;
  }
  void Hessian(const ParamVector& /*x*/, SquareMatrix& h) override {
    h.Resize(2, 2);
    h[0][0] = 4.0;
    h[0][1] = h[1][0] = 0.5;
    h[1][1] = 10.0;
  }
};

SquareMatrix FromMat(const cv::Mat& m) {
  SquareMatrix out(m.rows, m.cols);
  for (int i = 0; i < m.rows; ++i)
    for (int j = 0; j < m.cols; ++j) out[i][j] = m.at<double>(i, j);
  return out;
}

}  // namespace

TEST(SquareMatrix, CopiesOwnTheirRowsAndNonPositiveSizesAreEmpty) {
  SquareMatrix m(2, 3);
  EXPECT_EQ(m.Size(), 6);
  m[1][2] = 5.0;
  SquareMatrix copy = m;
  copy[1][2] = 7.0;
  EXPECT_EQ(m[1][2], 5.0);
  SquareMatrix moved = std::move(copy);
  EXPECT_EQ(moved[1][2], 7.0);
  m = moved;
  EXPECT_EQ(m[1][2], 7.0);
  m.Resize(0, 4);
  EXPECT_EQ(m.Rows(), 0);
  EXPECT_EQ(m.Size(), 0);
}

TEST(SolveLdlt, MatchesADirectSolveOnSymmetricMatrices) {
  std::mt19937 rng(11);
  std::normal_distribution<double> normal(0.0, 1.0);
  for (int n : {1, 2, 3, 6}) {
    cv::Mat B(n, n, CV_64F), b(n, 1, CV_64F);
    for (int i = 0; i < n; ++i) {
      b.at<double>(i) = normal(rng);
      for (int j = 0; j < n; ++j) B.at<double>(i, j) = normal(rng);
    }
    const cv::Mat spd = B * B.t() + cv::Mat::eye(n, n, CV_64F) * 0.5;
    cv::Mat expected;
    ASSERT_TRUE(cv::solve(spd, b, expected, cv::DECOMP_LU));

    const SquareMatrix A = FromMat(spd);
    ParamVector rhs(n), x(n);
    for (int i = 0; i < n; ++i) rhs[i] = b.at<double>(i);
    ASSERT_TRUE(SolveLdlt(A, rhs, x)) << "n = " << n;
    for (int i = 0; i < n; ++i) EXPECT_NEAR(x[i], expected.at<double>(i), 1e-10) << "n = " << n;
    EXPECT_EQ(A[0][0], spd.at<double>(0, 0));  // A is left as it was
  }

  // indefinite but with non-zero pivots
  cv::Mat indefinite = (cv::Mat_<double>(2, 2) << 1.0, 2.0, 2.0, 1.0);
  ParamVector rhs(2), x(2);
  rhs[0] = 1.0;
  rhs[1] = -1.0;
  ASSERT_TRUE(SolveLdlt(FromMat(indefinite), rhs, x));
  EXPECT_NEAR(x[0], -1.0, 1e-14);
  EXPECT_NEAR(x[1], 1.0, 1e-14);
}

TEST(SolveLdlt, FailsOnAZeroPivotAndLeavesXAlone) {
  // rank 2: the third row is the sum of the first two
  cv::Mat singular = (cv::Mat_<double>(3, 3) << 2, 1, 3, 1, 3, 4, 3, 4, 7);
  ParamVector rhs(3), x(3);
  rhs[0] = 1.0;
  x[0] = 42.0;
  EXPECT_FALSE(SolveLdlt(FromMat(singular), rhs, x));
  EXPECT_EQ(x[0], 42.0);

  // a zero leading pivot fails even though the matrix is invertible (no pivoting)
  cv::Mat swap = (cv::Mat_<double>(2, 2) << 0, 1, 1, 0);
  ParamVector r2(2), x2(2);
  EXPECT_FALSE(SolveLdlt(FromMat(swap), r2, x2));
  // a pivot just above the machine epsilon is still used
  cv::Mat tiny = (cv::Mat_<double>(1, 1) << 1e-15);
  ParamVector r1(1), x1(1);
  r1[0] = 1e-15;
  EXPECT_TRUE(SolveLdlt(FromMat(tiny), r1, x1));
  EXPECT_NEAR(x1[0], 1.0, 1e-12);
  cv::Mat epsPivot = (cv::Mat_<double>(1, 1) << 2.220446e-16);
  EXPECT_FALSE(SolveLdlt(FromMat(epsPivot), r1, x1));
}

TEST(ZOptimizerLM, ConvergesOnAQuadratic) {
  ZOptimizerLM optimizer;
  Quadratic f;
  ParamVector x(2);
  double cost = -1.0;
  EXPECT_TRUE(optimizer.Minimize(f, x, cost));
  EXPECT_NEAR(x[0], 3.0, 1e-9);
  EXPECT_NEAR(x[1], -2.0, 1e-9);
  EXPECT_NEAR(cost, 0.0, 1e-15);
  // the first minimisation installs the embedded default criterion, with its tolerance
  EXPECT_EQ(optimizer.Terminator(), &optimizer.DefaultTerminator());
  EXPECT_EQ(optimizer.DefaultTerminator().Tolerance(), 1e-20);
}

TEST(ZOptimizerLM, TrialOfEqualCostIsRejectedAndDampingGrowsTenfold) {
  // constant cost: every trial reproduces the current cost exactly
  ZOptimizerLM optimizer;
  NeverStop never;
  optimizer.SetTerminator(&never);
  RecordingCost f({1.0}, {{1.0}}, 1.0);
  ParamVector x(1);
  x[0] = 0.5;
  double cost = 0.0;
  optimizer.Minimize(f, x, cost);

  EXPECT_EQ(x[0], 0.5);  // no step was taken
  EXPECT_EQ(cost, 1.0);
  // start value, 20 damped trials, one undamped final trial
  ASSERT_EQ(f.visited.size(), 22u);
  EXPECT_EQ(never.checks, 20);
  double lambda = 0.001;
  for (int k = 0; k < 20; ++k) {
    EXPECT_DOUBLE_EQ(f.visited[1 + k][0], 0.5 - 1.0 / (1.0 + lambda)) << "iteration " << k;
    lambda *= 10.0;
  }
  EXPECT_DOUBLE_EQ(f.visited[21][0], 0.5 - 1.0);
  // rejected steps reuse the derivatives: one evaluation at the start, one for the final step
  EXPECT_EQ(f.gradientCalls, 2);
}

TEST(ZOptimizerLM, DefaultCriterionStopsOnAnUnchangedCost) {
  ZOptimizerLM optimizer;
  RecordingCost f({1.0}, {{1.0}}, 1.0);
  ParamVector x(1);
  double cost = 0.0;
  optimizer.Minimize(f, x, cost);
  // start, one trial (stop), the final step
  EXPECT_EQ(f.visited.size(), 3u);
  EXPECT_EQ(x[0], 0.0);
}

TEST(ZOptimizerLM, FailedSolveFallsBackToADiagonalStep) {
  // H = diag(1, 0): the damped system is singular; the step scales by (lambda + 1) d where d > 0
  // and by lambda alone where the diagonal vanishes, with lambda already grown tenfold
  ZOptimizerLM optimizer;
  NeverStop never;
  optimizer.SetTerminator(&never);
  RecordingCost f({2.0, 3.0}, {{1.0, 0.0}, {0.0, 0.0}}, 1.0);
  ParamVector x(2);
  double cost = 0.0;
  optimizer.Minimize(f, x, cost);
  ASSERT_GE(f.visited.size(), 2u);
  EXPECT_DOUBLE_EQ(f.visited[1][0], -2.0 / 1.01);
  EXPECT_DOUBLE_EQ(f.visited[1][1], -3.0 / 0.01);
}

TEST(ZOptimizerLM, AcceptedStepShrinksTheDamping) {
  // linear cost with a vanishing Hessian: every solve fails, every step goes downhill
  ZOptimizerLM optimizer;
  NeverStop never;
  optimizer.SetTerminator(&never);
  RecordingCost f({1.0}, {{0.0}}, 0.0);
  f.slope = 1.0;
  ParamVector x(1);
  double cost = 0.0;
  optimizer.Minimize(f, x, cost);
  // lambda: 0.001 -> 0.01 (failed solve) -> step of -1/0.01, accepted -> 0.001 -> 0.01 again ...
  ASSERT_EQ(f.visited.size(), 22u);
  EXPECT_DOUBLE_EQ(f.visited[1][0], -100.0);
  EXPECT_DOUBLE_EQ(f.visited[2][0], -200.0);
  EXPECT_DOUBLE_EQ(x[0], -2100.0);  // 20 accepted steps and the final one
  EXPECT_DOUBLE_EQ(cost, -2100.0);
}
