#include "solver/median_filter.h"

#include <cmath>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "solver/solver_fixtures.h"

using namespace solver_test;

namespace {

// A 4 x 3 field with distinct values 1..12, row by row.
ImageRef Counting() {
  ImageRef image = CreateFloat(4, 3, 1);
  for (int y = 0; y < 3; ++y) {
    for (int x = 0; x < 4; ++x) image.Row<float>(y)[x] = static_cast<float>(1 + x + 4 * y);
  }
  return image;
}

}  // namespace

TEST(MedianFilterFlow, ShrinksTheWindowAtTheBorderAndTakesTheUpperMiddle) {
  const ImageRef source = Counting();
  ImageRef result;
  MedianFilterFlow(source, result, 3);
  // Corner (0, 0): {1, 2, 5, 6}, index 2 of the sorted four.
  EXPECT_EQ(result.Row<float>(0)[0], 5.0f);
  // Top edge (1, 0): {1, 2, 3, 5, 6, 7}, index 3.
  EXPECT_EQ(result.Row<float>(0)[1], 5.0f);
  // Left edge (0, 1): {1, 2, 5, 6, 9, 10}, index 3.
  EXPECT_EQ(result.Row<float>(1)[0], 6.0f);
  // Interior (1, 1): nine values 1..11 around 6, index 4.
  EXPECT_EQ(result.Row<float>(1)[1], 6.0f);
  // Corner (3, 2): {7, 8, 11, 12}.
  EXPECT_EQ(result.Row<float>(2)[3], 11.0f);
}

TEST(MedianFilterFlow, RemovesASingleOutlierAndATwoByTwoBlock) {
  ImageRef field = Uniform(8, 8, 1.5f);
  field.Row<float>(1)[1] = 100.0f;
  field.Row<float>(4)[4] = -50.0f;
  field.Row<float>(4)[5] = -50.0f;
  field.Row<float>(5)[4] = -50.0f;
  field.Row<float>(5)[5] = -50.0f;
  MedianFilterFlow(field, field, 3);
  EXPECT_EQ(cv::norm(field.Mat(), Uniform(8, 8, 1.5f).Mat(), cv::NORM_INF), 0.0);
}

TEST(MedianFilterFlow, WindowOfOneCopies) {
  const ImageRef source = RandomFloat(5, 4, -1.0f, 1.0f, 2);
  ImageRef result;
  MedianFilterFlow(source, result, 1);
  EXPECT_TRUE(BitIdentical(source, result));
  EXPECT_NE(source.Get(), result.Get());
}

TEST(MedianFilterFlow, EvenWindowReachesFurtherLeftAndUp) {
  // Window 4 covers offsets -2..1: at (0, 0) only columns and rows 0..1 exist.
  const ImageRef source = Counting();
  ImageRef result;
  MedianFilterFlow(source, result, 4);
  EXPECT_EQ(result.Row<float>(0)[0], 5.0f);  // {1, 2, 5, 6}
  EXPECT_EQ(result.Row<float>(2)[3], 7.0f);  // columns 1..3 x rows 0..2: {2, 3, 4, 6, 7, 8, 10, 11, 12}
}

TEST(MedianFilterFlow, InPlaceFilteringLeavesEarlierHandlesOnTheUnfilteredImage) {
  ImageRef u = Uniform(6, 6, 0.0f);
  u.Row<float>(2)[3] = 9.0f;
  const ImageRef earlier = u;
  MedianFilterFlow(u, u, 3);
  EXPECT_NE(u.Get(), earlier.Get());
  EXPECT_EQ(earlier.Row<float>(2)[3], 9.0f);
  EXPECT_EQ(u.Row<float>(2)[3], 0.0f);
  EXPECT_EQ(earlier.UseCount(), 1);
}

TEST(MedianFilterFlow, FiltersEveryChannelAndSurvivesUndefinedValues) {
  cv::Mat twoChannels(5, 5, CV_32FC2, cv::Scalar(1.0f, -2.0f));
  twoChannels.at<cv::Vec2f>(2, 2) = cv::Vec2f(30.0f, std::numeric_limits<float>::quiet_NaN());
  ImageRef result;
  MedianFilterFlow(ImageRef(twoChannels), result, 3);
  EXPECT_EQ(result.Channels(), 2);
  EXPECT_EQ(result.Mat().at<cv::Vec2f>(2, 2)[0], 1.0f);
  EXPECT_EQ(result.Mat().at<cv::Vec2f>(0, 0)[1], -2.0f);
}

// A two-channel field of a frame's size and two thin ones, filtered in place with odd and even
// windows: the same bytes at every thread count, and other handles keep the unfiltered image.
TEST(MedianFilterFlow, SameBytesAtEveryThreadCountAlsoInPlace) {
  const cv::Size sizes[] = {cv::Size(584, 388), cv::Size(37, 23), cv::Size(1, 50)};
  for (const cv::Size& size : sizes) {
    cv::Mat field;
    cv::merge(std::vector<cv::Mat>{RandomFloat(size.width, size.height, -5.0f, 5.0f, 81).Mat(),
                                   RandomFloat(size.width, size.height, -5.0f, 5.0f, 82).Mat()},
              field);
    const ImageRef source(field);
    for (int window : {3, 4}) {
      ImageRef reference;
      MedianFilterFlow(source, reference, window, 1);
      for (int threads : {1, 2, 3, 8}) {
        ImageRef flow = CloneFloat(source);
        const ImageRef earlier = flow;
        MedianFilterFlow(flow, flow, window, threads);
        EXPECT_TRUE(BitIdentical(flow, reference)) << size << " window " << window << " threads " << threads;
        EXPECT_TRUE(BitIdentical(earlier, source));
      }
    }
  }
}

// The eight-at-a-time 3 x 3 medians against the scalar ones: continuous values, values with many
// ties, and fields with zeros of both signs and undefined values scattered in (blocks the network
// leaves to the scalar path), on sizes around the block width.
TEST(MedianFilterFlow, VectorMediansEqualTheScalarOnes) {
  const cv::Size sizes[] = {cv::Size(584, 388), cv::Size(37, 23), cv::Size(10, 3), cv::Size(9, 5), cv::Size(1, 4)};
  for (const cv::Size& size : sizes) {
    for (int kind = 0; kind < 3; ++kind) {
      ImageRef field = RandomFloat(size.width, size.height, -4.0f, 4.0f, 90 + kind);
      for (int y = 0; y < size.height; ++y) {
        float* row = field.Row<float>(y);
        for (int x = 0; x < size.width; ++x) {
          if (kind >= 1) row[x] = std::round(row[x]) + 0.5f;  // ties, no zeros
          if (kind == 2 && (x * 7 + y * 3) % 61 == 0) row[x] = (x % 2 == 0) ? -0.0f : 0.0f;
          if (kind == 2 && (x * 5 + y * 11) % 97 == 0) row[x] = std::numeric_limits<float>::quiet_NaN();
        }
      }
      ImageRef scalar, vector;
      MedianFilterFlow(field, scalar, 3, 2, false);
      MedianFilterFlow(field, vector, 3, 2, true);
      EXPECT_TRUE(BitIdentical(vector, scalar)) << size << " kind " << kind;
    }
  }
}
