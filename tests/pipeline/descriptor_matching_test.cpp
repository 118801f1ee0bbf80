#include "pipeline/descriptor_matching.h"

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/features2d.hpp>

#include "pipeline/pipeline_test_frames.h"

namespace {

using MatchLists = std::vector<std::vector<cv::DMatch>>;

// Same query, train and image indices, and the same distance bits.
void ExpectSameMatches(const MatchLists& expected, const MatchLists& actual, const std::string& what) {
  ASSERT_EQ(expected.size(), actual.size()) << what;
  for (size_t i = 0; i < expected.size(); ++i) {
    ASSERT_EQ(expected[i].size(), actual[i].size()) << what << " row " << i;
    for (size_t n = 0; n < expected[i].size(); ++n) {
      const cv::DMatch& e = expected[i][n];
      const cv::DMatch& a = actual[i][n];
      EXPECT_EQ(e.queryIdx, a.queryIdx) << what << " row " << i;
      EXPECT_EQ(e.trainIdx, a.trainIdx) << what << " row " << i << " neighbour " << n;
      EXPECT_EQ(e.imgIdx, a.imgIdx) << what << " row " << i;
      EXPECT_EQ(0, std::memcmp(&e.distance, &a.distance, sizeof(float))) << what << " row " << i;
    }
  }
}

void ExpectAsTheBruteForceMatcher(const cv::Mat& first, const cv::Mat& second, const std::string& what) {
  cv::BFMatcher matcher(cv::NORM_L2);
  MatchLists forward, backward;
  matcher.knnMatch(first, second, forward, 2);
  matcher.knnMatch(second, first, backward, 1);
  for (const int threads : {1, 2, 3, 8}) {
    MatchLists ourForward, ourBackward;
    MatchDescriptorsBothWays(first, second, threads, ourForward, ourBackward);
    ExpectSameMatches(forward, ourForward, what + " forward, threads " + std::to_string(threads));
    ExpectSameMatches(backward, ourBackward, what + " backward, threads " + std::to_string(threads));
  }
}

TEST(MatchDescriptorsBothWays, GivesTheBruteForceMatchesOfRealFrames) {
  for (const std::string sequence : {"Grove2", "Urban2"}) {
    const CroppedPair pair = LoadCroppedPair(sequence, cv::Rect(0, 0, 640, 480));
    if (pair.first.Empty()) GTEST_SKIP() << "no data set";
    cv::Mat descriptors[2];
    for (int f = 0; f < 2; ++f) {
      std::vector<cv::KeyPoint> points;
      cv::SIFT::create(0, 3, 0.02)->detectAndCompute((f == 0 ? pair.first : pair.second).Mat(), cv::noArray(),
                                                     points, descriptors[f]);
    }
    ExpectAsTheBruteForceMatcher(descriptors[0], descriptors[1], sequence);
  }
}

TEST(MatchDescriptorsBothWays, KeepsTheMatchersOrderOfTiesAndOddSizes) {
  cv::RNG rng(7);
  // repeated rows (equal distances), a single train row, and rows that are not whole kernel steps
  cv::Mat first(23, 128, CV_32FC1);
  cv::Mat second(37, 128, CV_32FC1);
  rng.fill(first, cv::RNG::UNIFORM, 0.0, 64.0);
  rng.fill(second, cv::RNG::UNIFORM, 0.0, 64.0);
  first.row(3).copyTo(first.row(11));
  for (const int copy : {5, 9, 30}) second.row(2).copyTo(second.row(copy));
  first.row(0).copyTo(second.row(2));
  ExpectAsTheBruteForceMatcher(first, second, "random with ties");
  ExpectAsTheBruteForceMatcher(first, second.rowRange(0, 1), "one train row");
  ExpectAsTheBruteForceMatcher(cv::Mat::zeros(5, 3, CV_32FC1), cv::Mat::zeros(4, 3, CV_32FC1), "all zero");
  cv::Mat withNan = first.clone();
  withNan.at<float>(4, 17) = std::nanf("");
  ExpectAsTheBruteForceMatcher(withNan, second, "not finite");
}

}  // namespace
