#include "image/sparsification.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "image/flow_evaluation.h"

namespace {

// Endpoint errors 0, 1, 2, 5 (mean 2). With N = 4 the removed counts are 0, 1, 2, 3 for five
// fractions each, so the oracle curve is 2, 1, 0.5, 0 and the reversed ranking's 2, 8/3, 3.5, 5
// (each value held over five fractions); the areas follow from the trapezoid rule by hand.
const std::vector<float> kErrors = {0.0f, 1.0f, 2.0f, 5.0f};

TEST(Sparsification, KnownCurvesAndAreasOfHandMadeRankings) {
  // confidence = minus the true error: the oracle itself
  const SparsificationScore oracle = ScoreSparsification(kErrors, {0.0f, -1.0f, -2.0f, -5.0f});
  EXPECT_EQ(oracle.scored, 4);
  EXPECT_EQ(oracle.estimate, oracle.oracle);
  EXPECT_EQ(oracle.ause, 0.0);
  EXPECT_DOUBLE_EQ(oracle.oracleAuc, 0.4125);
  EXPECT_DOUBLE_EQ(oracle.oracle[5], 1.0);
  EXPECT_DOUBLE_EQ(oracle.oracle[19], 0.0);

  // the worst ranking: the most trusted pixels carry the largest errors
  const SparsificationScore reversed = ScoreSparsification(kErrors, {0.0f, 1.0f, 2.0f, 5.0f});
  EXPECT_DOUBLE_EQ(reversed.estimate[5], 8.0 / 3.0);
  EXPECT_DOUBLE_EQ(reversed.estimate[19], 5.0);
  EXPECT_NEAR(reversed.ause, 1.1458333333, 1e-9);
  EXPECT_NEAR(reversed.auseRaw, 2.2916666667, 1e-9);
  EXPECT_NEAR(reversed.auc, 1.5583333333, 1e-9);
  EXPECT_NEAR(reversed.oracleAuc, 0.4125, 1e-12);

  // one confidence for all: ties are removed as their average, so the curve stays at the mean
  const SparsificationScore flat = ScoreSparsification(kErrors, {0.5f, 0.5f, 0.5f, 0.5f});
  for (const double value : flat.estimate) EXPECT_DOUBLE_EQ(value, 2.0);
  EXPECT_NEAR(flat.auc, 0.95, 1e-12);
  EXPECT_NEAR(flat.ause, 0.5375, 1e-12);

  // a tie cut by the removal: confidences {0, 0, 1, 1} on errors {5, 1, 2, 0}; at one pixel
  // removed the tied pair gives up half of 5 + 1
  const SparsificationScore cut = ScoreSparsification({5.0f, 1.0f, 2.0f, 0.0f}, {0.0f, 0.0f, 1.0f, 1.0f});
  EXPECT_DOUBLE_EQ(cut.estimate[5], (8.0 - 3.0) / 3.0);
  EXPECT_DOUBLE_EQ(cut.estimate[10], 1.0);

  const SparsificationScore empty = ScoreSparsification({}, {});
  EXPECT_EQ(empty.scored, 0);
  EXPECT_TRUE(std::isnan(empty.ause));
}

TEST(Sparsification, MapScoresOnlyKnownFiniteAndTrustedPixels) {
  const auto plane = [](std::vector<float> values) { return ImageRef(cv::Mat(1, 4, CV_32F, values.data()).clone()); };
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const ImageRef uGt = plane({0, 1, kUnknownFlowValue, 3});
  const ImageRef vGt = plane({0, 0, 0, 4});
  const ImageRef u = plane({0, 0, 0, nan});
  const ImageRef v = plane({0, 0, 0, 0});
  cv::Mat confidence = cv::Mat(1, 4, CV_32F, cv::Scalar(0.5));
  SparsificationScore score;
  std::string error;
  ASSERT_TRUE(ScoreConfidenceMap(uGt, vGt, u, v, confidence, score, error)) << error;
  EXPECT_EQ(score.scored, 2);  // the unknown truth and the non-finite estimate are left out
  EXPECT_DOUBLE_EQ(score.meanEpe, 0.5);
  confidence.at<float>(0, 1) = nan;
  ASSERT_TRUE(ScoreConfidenceMap(uGt, vGt, u, v, confidence, score, error));
  EXPECT_EQ(score.scored, 1);
  EXPECT_FALSE(ScoreConfidenceMap(uGt, vGt, u, v, cv::Mat(2, 2, CV_32F, cv::Scalar(0)), score, error));
}

}  // namespace
