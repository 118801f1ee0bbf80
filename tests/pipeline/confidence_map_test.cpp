// The confidence map end to end on a real pair with a patch that has no match, at several thread
// counts, and on degenerate frames.
#include "pipeline/confidence_map.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "pipeline/estimate_flow.h"
#include "pipeline/matched_initial_flow.h"
#include "pipeline/pipeline_test_frames.h"

namespace {

// A random texture at the frame's channel count, reproducible from `seed`.
cv::Mat Texture(int width, int height, int channels, int seed) {
  cv::Mat noise(height, width, CV_32FC(channels));
  cv::RNG random(seed);
  random.fill(noise, cv::RNG::UNIFORM, 0.0, 255.0);
  cv::GaussianBlur(noise, noise, cv::Size(0, 0), 1.0);
  cv::normalize(noise, noise, 0, 255, cv::NORM_MINMAX);
  cv::Mat texture;
  noise.convertTo(texture, CV_8U);
  return texture;
}

bool SameBytes(const cv::Mat& a, const cv::Mat& b) {
  return a.size() == b.size() && a.type() == b.type() && cv::countNonZero(a.reshape(1) != b.reshape(1)) == 0;
}

bool ValidMap(const cv::Mat& map, int width, int height) {
  if (map.type() != CV_32FC1 || map.cols != width || map.rows != height) return false;
  for (int y = 0; y < map.rows; ++y) {
    for (int x = 0; x < map.cols; ++x) {
      const float c = map.at<float>(y, x);
      if (!(c >= 0.0f && c <= 1.0f)) return false;
    }
  }
  return true;
}

}  // namespace

// A textured patch pasted into the second frame only hides the true matches of the first frame's
// pixels under it: most of them must fall among the fifth of the pixels trusted least. The map's
// bytes are the same at every thread count.
TEST(ConfidenceMap, PatchWithoutTrueMatchIsAmongTheLeastTrustedAtAnyThreadCount) {
  const CroppedPair pair = LoadCroppedPair("RubberWhale", cv::Rect(200, 150, 160, 120));
  if (pair.first.Empty()) GTEST_SKIP() << "ground-truth data not available";
  const cv::Rect patch(70, 45, 24, 24);
  cv::Mat second = pair.second.Mat().clone();
  Texture(patch.width, patch.height, second.channels(), 7).copyTo(second(patch));

  EstimateOptions options;
  options.seed = 1;
  options.confidence = true;
  cv::Mat reference;
  for (const int threads : {1, 3}) {
    options.threads = threads;
    const PairFlow flow = EstimatePair(pair.first, ImageRef(second), options, nullptr);
    ASSERT_TRUE(ValidMap(flow.confidence.Mat(), 160, 120));
    if (reference.empty()) {
      reference = flow.confidence.Mat().clone();
    } else {
      EXPECT_TRUE(SameBytes(flow.confidence.Mat(), reference)) << "at " << threads << " threads";
    }
  }

  // A patch pixel is among the fifth trusted least when at least 80 % of all pixels are trusted
  // strictly more (so a map of ties cannot pass).
  std::vector<float> all(reference.begin<float>(), reference.end<float>());
  std::sort(all.begin(), all.end());
  const cv::Rect inner(patch.x + 2, patch.y + 2, patch.width - 4, patch.height - 4);  // true motions are < 2 px
  int inLowestFifth = 0;
  for (int y = inner.y; y < inner.y + inner.height; ++y) {
    for (int x = inner.x; x < inner.x + inner.width; ++x) {
      const float c = reference.at<float>(y, x);
      const size_t trustedMore = all.end() - std::upper_bound(all.begin(), all.end(), c);
      inLowestFifth += trustedMore >= 0.8 * all.size();
    }
  }
  EXPECT_GE(inLowestFifth, 0.8 * inner.area()) << "of " << inner.area() << " patch pixels";
}

// The program's map, whose quick estimate comes from the matched start, is the one the map's own
// quick estimate gives.
TEST(ConfidenceMap, SharedQuickEstimateGivesTheSameMap) {
  const CroppedPair pair = LoadCroppedPair("RubberWhale", cv::Rect(200, 150, 160, 120));
  if (pair.first.Empty()) GTEST_SKIP() << "ground-truth data not available";
  EstimateOptions options;
  options.seed = 1;
  options.confidence = true;
  options.threads = 2;
  const PairFlow flow = EstimatePair(pair.first, pair.second, options, nullptr);
  const MatchedStart matched = EstimateMatchedStart(pair.first, pair.second);
  ASSERT_FALSE(matched.quickFlow.empty());
  const cv::Mat own = EstimateConfidenceMap(pair.first, pair.second, flow.u, flow.v, flow.backU, flow.backV,
                                            flow.initialU, flow.initialV, matched.u, matched.v,
                                            ConfidenceParamsFor(options.initialFlow));
  EXPECT_TRUE(SameBytes(own, flow.confidence.Mat()));
}

// Frames of one pixel, frames without texture and a non-finite vector give a map in [0, 1]
// without NaN; the non-finite vector has no trust at all.
TEST(ConfidenceMap, DegenerateFramesGiveAValidMap) {
  EstimateOptions options;
  options.seed = 1;
  options.confidence = true;
  for (const cv::Size size : {cv::Size(1, 1), cv::Size(1, 9), cv::Size(23, 17)}) {
    const ImageRef flat(cv::Mat(size, CV_8UC3, cv::Scalar(90, 120, 30)));
    const PairFlow flow = EstimatePair(flat, flat, options, nullptr);
    EXPECT_TRUE(ValidMap(flow.confidence.Mat(), size.width, size.height)) << size;
  }
  const ImageRef frame(Texture(20, 10, 1, 3));
  ImageRef u(cv::Mat(10, 20, CV_32F, cv::Scalar(0.0f)));
  const ImageRef zero(cv::Mat(10, 20, CV_32F, cv::Scalar(0.0f)));
  u.Mat().at<float>(4, 9) = std::numeric_limits<float>::quiet_NaN();
  const cv::Mat map = EstimateConfidenceMap(frame, frame, u, zero, zero, zero, zero, zero, zero, zero, ConfidenceParams());
  ASSERT_TRUE(ValidMap(map, 20, 10));
  EXPECT_EQ(map.at<float>(4, 9), 0.0f);
  EXPECT_GT(map.at<float>(0, 0), 0.0f);
}
