#include "image/flow_evaluation.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "image/flow_reader.h"
#include "image/flow_test_files.h"

namespace {

using flow_test::MakePlane;

constexpr double kPi = 3.141592653589793;
constexpr double kDegrees = 180.0 / kPi;

// Angle between (u, v, 1) and (uGt, vGt, 1) from the normalised dot product: an independent
// formula for checking the atan2 form used by the library.
double AcosAngleDegrees(double u, double v, double uGt, double vGt) {
  const double dot = u * uGt + v * vGt + 1.0;
  const double norms = std::sqrt((u * u + v * v + 1.0) * (uGt * uGt + vGt * vGt + 1.0));
  return std::acos(dot / norms) * kDegrees;
}

FlowErrorStats Evaluate(int width, int height, const std::vector<float>& uGt, const std::vector<float>& vGt,
                        const std::vector<float>& u, const std::vector<float>& v) {
  FlowErrorStats stats;
  std::string error;
  EXPECT_TRUE(EvaluateFlow(MakePlane(width, height, uGt), MakePlane(width, height, vGt),
                           MakePlane(width, height, u), MakePlane(width, height, v), stats, error))
      << error;
  return stats;
}

// Ground truth (1, 0), (0, 0), (0, 2), (3, 4) against estimates (1, 0), (1, 0), (0, 0), (0, 0):
// endpoint errors 0, 1, 2, 5; angles 0, 45°, acos(1/√5), acos(1/√26).
TEST(EvaluateFlow, HandComputedTwoByTwo) {
  const FlowErrorStats stats = Evaluate(2, 2, {1, 0, 0, 3}, {0, 0, 2, 4}, {1, 1, 0, 0}, {0, 0, 0, 0});
  EXPECT_DOUBLE_EQ(stats.epe, (0.0 + 1.0 + 2.0 + 5.0) / 4.0);
  const double expectedAae =
      (0.0 + 45.0 + std::acos(1.0 / std::sqrt(5.0)) * kDegrees + std::acos(1.0 / std::sqrt(26.0)) * kDegrees) / 4.0;
  EXPECT_NEAR(stats.aae, expectedAae, 1e-10);
  EXPECT_NEAR(stats.aae, 46.781254087, 1e-8);
  // An endpoint error of exactly 1 is not above 1.
  EXPECT_DOUBLE_EQ(stats.r1, 50.0);
  EXPECT_DOUBLE_EQ(stats.r3, 25.0);
  EXPECT_EQ(stats.known, 4);
  EXPECT_EQ(stats.scored, 4);
  EXPECT_EQ(stats.nonFinite, 0);
  EXPECT_EQ(stats.unknown, 0);
}

TEST(EvaluateFlow, UnknownGroundTruthIsLeftOutOfEveryFigure) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  // Unknown: u beyond 1e9, v below -1e9, a NaN component, an infinite one. Exactly 1e9 is known.
  const std::vector<float> uGt = {1e10f, 0.0f, nan, inf, 1e9f, 0.0f};
  const std::vector<float> vGt = {0.0f, -2e9f, 0.0f, 0.0f, 0.0f, 0.0f};
  // Whatever the estimate holds at unknown pixels (even NaN) must not matter.
  const std::vector<float> u = {5.0f, nan, 7.0f, 1.0f, 1e9f, 0.0f};
  const std::vector<float> v = {5.0f, 0.0f, 7.0f, inf, 3.0f, 0.0f};
  const FlowErrorStats stats = Evaluate(3, 2, uGt, vGt, u, v);
  EXPECT_EQ(stats.unknown, 4);
  EXPECT_EQ(stats.known, 2);
  EXPECT_EQ(stats.scored, 2);
  EXPECT_EQ(stats.nonFinite, 0);
  EXPECT_DOUBLE_EQ(stats.epe, 1.5);  // errors 3 and 0
  EXPECT_DOUBLE_EQ(stats.r1, 50.0);
  EXPECT_DOUBLE_EQ(stats.r3, 0.0);

  EXPECT_TRUE(IsUnknownFlow(1.0000001e9f, 0.0f));
  EXPECT_TRUE(IsUnknownFlow(0.0f, -inf));
  EXPECT_FALSE(IsUnknownFlow(-1e9f, 1e9f));
}

TEST(EvaluateFlow, NonFiniteEstimatesAreCountedAsOutliersAndLeftOutOfTheMeans) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const FlowErrorStats stats =
      Evaluate(2, 2, {0, 0, 0, 0}, {0, 0, 0, 0}, {0.0f, 0.5f, nan, 0.0f}, {0.0f, 0.0f, 0.0f, -inf});
  EXPECT_EQ(stats.known, 4);
  EXPECT_EQ(stats.nonFinite, 2);
  EXPECT_EQ(stats.scored, 2);
  EXPECT_EQ(stats.known, stats.scored + stats.nonFinite);
  EXPECT_DOUBLE_EQ(stats.epe, 0.25);
  EXPECT_NEAR(stats.aae, std::atan(0.5) * kDegrees / 2.0, 1e-12);
  EXPECT_DOUBLE_EQ(stats.r1, 50.0);
  EXPECT_DOUBLE_EQ(stats.r3, 50.0);
}

TEST(EvaluateFlow, NothingKnownGivesNaNFigures) {
  const FlowErrorStats stats = Evaluate(2, 1, {2e9f, 2e9f}, {0, 0}, {0, 0}, {0, 0});
  EXPECT_EQ(stats.known, 0);
  EXPECT_EQ(stats.unknown, 2);
  EXPECT_TRUE(std::isnan(stats.epe));
  EXPECT_TRUE(std::isnan(stats.aae));
  EXPECT_TRUE(std::isnan(stats.r1));
  EXPECT_TRUE(std::isnan(stats.r3));
}

TEST(EvaluateFlow, RejectsDifferentSizesAndWrongImageTypes) {
  const ImageRef small = CreateFloat(2, 2, 1);
  const ImageRef wide = CreateFloat(3, 2, 1);
  FlowErrorStats stats;
  std::string error;
  EXPECT_FALSE(EvaluateFlow(small, small, wide, wide, stats, error));
  EXPECT_NE(error.find("sizes differ: ground truth is 2 x 2, estimate is 3 x 2"), std::string::npos) << error;
  EXPECT_FALSE(EvaluateFlow(small, small, small, wide, stats, error));
  EXPECT_FALSE(EvaluateFlow(small, small, CreateFloat(2, 2, 2), small, stats, error));
  EXPECT_FALSE(EvaluateFlow(small, small, CreateByte(2, 2, 1), small, stats, error));
  EXPECT_FALSE(EvaluateFlow(ImageRef(), small, small, small, stats, error));
  EXPECT_NE(error.find("single-channel float"), std::string::npos) << error;
}

TEST(AngularErrorDegrees, AgreesWithTheDotProductFormulaAndIsZeroForEqualVectors) {
  std::mt19937 generator(20240611u);
  std::uniform_real_distribution<double> component(-20.0, 20.0);
  for (int i = 0; i < 1000; ++i) {
    const double u = component(generator), v = component(generator);
    const double uGt = component(generator), vGt = component(generator);
    EXPECT_NEAR(AngularErrorDegrees(u, v, uGt, vGt), AcosAngleDegrees(u, v, uGt, vGt), 1e-6);
    EXPECT_DOUBLE_EQ(AngularErrorDegrees(u, v, uGt, vGt), AngularErrorDegrees(uGt, vGt, u, v));
    EXPECT_EQ(AngularErrorDegrees(u, v, u, v), 0.0);
    EXPECT_EQ(EndpointError(u, v, u, v), 0.0);
  }
  // Opposite unit motions: (1, 0, 1) and (-1, 0, 1) are perpendicular.
  EXPECT_NEAR(AngularErrorDegrees(1, 0, -1, 0), 90.0, 1e-12);
  EXPECT_DOUBLE_EQ(EndpointError(3, 0, 0, 4), 5.0);
}

TEST(EvaluateFlow, GroundTruthAgainstItselfScoresZeroOnTheData) {
  if (!flow_test::HaveData()) GTEST_SKIP() << "no ground-truth data";
  for (const auto& file : flow_test::GroundTruthFiles()) {
    ImageRef uGt, vGt;
    std::string error;
    ASSERT_TRUE(ReadFlowFile(flow_test::DataDir() + "/" + file.path, uGt, vGt, error)) << error;
    FlowErrorStats stats;
    ASSERT_TRUE(EvaluateFlow(uGt, vGt, uGt, vGt, stats, error)) << error;
    EXPECT_EQ(stats.epe, 0.0) << file.path;
    EXPECT_EQ(stats.aae, 0.0) << file.path;
    EXPECT_EQ(stats.r1, 0.0) << file.path;
    EXPECT_EQ(stats.r3, 0.0) << file.path;
    EXPECT_EQ(stats.nonFinite, 0) << file.path;
    EXPECT_EQ(stats.known + stats.unknown, static_cast<std::int64_t>(file.width) * file.height) << file.path;
    EXPECT_GT(stats.known, stats.unknown) << file.path;
  }
}

// Shifting the known ground truth of a real sequence by (0.6, 0.8) gives an endpoint error of 1
// (up to float rounding of the shifted values) at every known pixel.
TEST(EvaluateFlow, ConstantOffsetOfRealGroundTruthGivesItsLength) {
  if (!flow_test::HaveData()) GTEST_SKIP() << "no ground-truth data";
  ImageRef uGt, vGt;
  std::string error;
  ASSERT_TRUE(ReadFlowFile(flow_test::DataDir() + "/middlebury/Venus/flow10.flo", uGt, vGt, error)) << error;
  const ImageRef u = CloneFloat(uGt);
  const ImageRef v = CloneFloat(vGt);
  u.Mat() += 0.6f;
  v.Mat() += 0.8f;
  FlowErrorStats stats;
  ASSERT_TRUE(EvaluateFlow(uGt, vGt, u, v, stats, error)) << error;
  EXPECT_NEAR(stats.epe, 1.0, 1e-5);
  EXPECT_DOUBLE_EQ(stats.r3, 0.0);
  EXPECT_GT(stats.aae, 0.0);
  EXPECT_GT(stats.known, 0);
}

// Ground truth (100, 0), (10, 0), (0, 0), (3, 0) against (104, 0), (14, 0), (2, 0), NaN: endpoint
// errors 4, 4, 2 and none. The first error is above 3 px but within 5 % of a 100 px motion, so only
// the second and the non-finite pixel are Fl outliers. The mask occludes the first and third pixels.
TEST(EvaluateFlow, FlNeedsBothThresholdsAndTheMaskSplitsTheEpe) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const ImageRef uGt = MakePlane(2, 2, {100, 10, 0, 3});
  const ImageRef vGt = MakePlane(2, 2, {0, 0, 0, 0});
  const ImageRef u = MakePlane(2, 2, {104, 14, 2, nan});
  const ImageRef v = MakePlane(2, 2, {0, 0, 0, 0});
  cv::Mat mask = (cv::Mat_<unsigned char>(2, 2) << 255, 0, 1, 0);
  FlowErrorStats stats;
  std::string error;
  ASSERT_TRUE(EvaluateFlow(uGt, vGt, u, v, mask, stats, error)) << error;
  EXPECT_DOUBLE_EQ(stats.fl, 50.0);
  EXPECT_DOUBLE_EQ(stats.r3, 75.0);
  EXPECT_DOUBLE_EQ(stats.epe, 10.0 / 3.0);
  EXPECT_DOUBLE_EQ(stats.epeVisible, 4.0);
  EXPECT_DOUBLE_EQ(stats.epeOccluded, 3.0);
  EXPECT_EQ(stats.visible, 1);
  EXPECT_EQ(stats.occluded, 2);
  EXPECT_EQ(stats.visible + stats.occluded, stats.scored);

  // Without a mask the same figures, and no split.
  FlowErrorStats plain;
  ASSERT_TRUE(EvaluateFlow(uGt, vGt, u, v, plain, error)) << error;
  EXPECT_DOUBLE_EQ(plain.fl, 50.0);
  EXPECT_TRUE(std::isnan(plain.epeVisible) && std::isnan(plain.epeOccluded));

  // A mask of another size is refused with a reason.
  const cv::Mat wide = cv::Mat::zeros(2, 3, CV_8UC1);
  EXPECT_FALSE(EvaluateFlow(uGt, vGt, u, v, wide, stats, error));
  EXPECT_NE(error.find("occlusion mask"), std::string::npos) << error;
}

}  // namespace
