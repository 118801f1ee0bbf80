#include "segmentation/segment_image.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <opencv2/imgproc.hpp>
#include <random>
#include <string>

namespace {

// The pipeline's parameters.
constexpr int kMinRegion = 20;
constexpr int kSigmaS = 7;
constexpr float kSigmaR = 6.5f;

// The label image and the list agree, the counts add up to W*H, ids are positions and the labels
// are numbered in the raster order of each segment's first pixel.
void ExpectConsistent(const ImageRef& labels, const SegPatchList& segments) {
  const int W = labels.Width();
  const int H = labels.Height();
  size_t total = 0;
  for (size_t j = 0; j < segments.size(); ++j) {
    ASSERT_EQ(segments[j]->id, static_cast<int32_t>(j));
    ASSERT_FALSE(segments[j]->pixels.empty());
    for (const cv::Point& p : segments[j]->pixels)
      ASSERT_EQ(labels.Row<int32_t>(p.y)[p.x], static_cast<int32_t>(j));
    if (j > 0) {
      const cv::Point a = segments[j - 1]->pixels.front();
      const cv::Point b = segments[j]->pixels.front();
      EXPECT_LT(a.y * W + a.x, b.y * W + b.x) << "segment " << j;
    }
    total += segments[j]->pixels.size();
  }
  EXPECT_EQ(total, static_cast<size_t>(W) * H);
}

// BGR frame of a 2 x 2 layout of colour blocks with uniform noise of +-noise per channel.
ImageRef NoisyBlockFrame(int W, int H, int noise, uint32_t seed) {
  const cv::Vec3b colours[4] = {{40, 40, 200}, {60, 160, 40}, {200, 60, 50}, {90, 220, 230}};
  std::mt19937 generator(seed);
  std::uniform_int_distribution<int> offset(-noise, noise);
  ImageRef frame = CreateByte(W, H, 3);
  for (int y = 0; y < H; ++y) {
    cv::Vec3b* row = frame.Row<cv::Vec3b>(y);
    for (int x = 0; x < W; ++x) {
      const cv::Vec3b& c = colours[(x < W / 2 ? 0 : 1) + (y < H / 2 ? 0 : 2)];
      for (int k = 0; k < 3; ++k) row[x][k] = cv::saturate_cast<uint8_t>(c[k] + offset(generator));
    }
  }
  return frame;
}

}  // namespace

TEST(SegmentImage, UniformFrameIsOneSegmentOfAllPixels) {
  const int W = 23, H = 17;
  ImageRef frame = CreateByte(W, H, 3);
  frame.Mat().setTo(cv::Scalar(30, 140, 210));
  ImageRef labels = CreateInt(5, 5, 1);  // replaced
  SegPatchList segments;
  SegmentImage(frame, labels, segments, kMinRegion, kSigmaS, kSigmaR);

  ASSERT_EQ(labels.Width(), W);
  ASSERT_EQ(labels.Height(), H);
  EXPECT_EQ(labels.Mat().type(), CV_32SC1);
  EXPECT_EQ(cv::countNonZero(labels.Mat()), 0);
  ASSERT_EQ(segments.size(), 1u);
  EXPECT_EQ(segments[0]->pixels.size(), static_cast<size_t>(W) * H);
  EXPECT_EQ(segments[0]->pixels.front(), cv::Point(0, 0));
  EXPECT_EQ(segments[0]->pixels.back(), cv::Point(W - 1, H - 1));
}

TEST(SegmentImage, OneChannelFrameIsSegmentedOnGreyValues) {
  const int W = 30, H = 20;
  ImageRef frame = CreateByte(W, H, 1);
  frame.Mat()(cv::Rect(0, 0, W / 2, H)).setTo(50);
  frame.Mat()(cv::Rect(W / 2, 0, W - W / 2, H)).setTo(150);
  ImageRef labels;
  SegPatchList segments;
  SegmentImage(frame, labels, segments, kMinRegion, kSigmaS, kSigmaR);
  ASSERT_EQ(segments.size(), 2u);
  ExpectConsistent(labels, segments);
  EXPECT_EQ(labels.Row<int32_t>(H - 1)[W / 2 - 1], 0);
  EXPECT_EQ(labels.Row<int32_t>(0)[W / 2], 1);
}

// Also with the neighbour shortcut: a trajectory hands its mode only to pixels of its own colour,
// never across a block's edge.
TEST(SegmentImage, NoisyColourBlocksBecomeTheirBlocks) {
  const int W = 64, H = 48;
  const ImageRef frame = NoisyBlockFrame(W, H, 5, 21);
  for (const FilterSpeedUp speedUp : {FilterSpeedUp::kTrajectories, FilterSpeedUp::kNeighbours}) {
    ImageRef labels;
    SegPatchList segments;
    SegmentImage(frame, labels, segments, kMinRegion, kSigmaS, kSigmaR, 1, speedUp);
    ASSERT_EQ(segments.size(), 4u);
    ExpectConsistent(labels, segments);
    for (int y = 0; y < H; ++y)
      for (int x = 0; x < W; ++x) {
        const int block = (x < W / 2 ? 0 : 1) + (y < H / 2 ? 0 : 2);
        ASSERT_EQ(labels.Row<int32_t>(y)[x], block) << x << "," << y;
      }
  }
}

TEST(SegmentImage, ZeroBandwidthReportsTheSegmentErrorAndGivesNoOutput) {
  const ImageRef frame = NoisyBlockFrame(16, 12, 5, 2);
  ImageRef labels = CreateInt(16, 12, 1);
  SegPatchList segments;
  segments.push_back(std::make_unique<Segmentation::SegPatch>());
  std::string error;
  EXPECT_FALSE(SegmentImage(frame, labels, segments, kMinRegion, 0, kSigmaR, error));
  EXPECT_EQ(error, "msImageProcessor::Segment Error: sigmaS and/or sigmaR is zero or negative.");
  EXPECT_TRUE(labels.Empty());
  EXPECT_TRUE(segments.empty());

  EXPECT_FALSE(SegmentImage(ImageRef(), labels, segments, kMinRegion, kSigmaS, kSigmaR, error));
  EXPECT_EQ(error,
            "MeanShift::DefineLInput Error: Lattice defined using zero or negative height and/or width.");
}

// A real frame, at reduced size to keep the suite fast: the whole Middlebury set runs in the
// segmentation benchmark.
TEST(SegmentImage, MiddleburyFrameSegmentsIntoAPlausibleNumberOfRegions) {
  const std::string path = std::string(MORVI_DATA_DIR) + "/middlebury/RubberWhale/frame10.png";
  if (std::string(MORVI_DATA_DIR).empty() || !std::filesystem::exists(path)) GTEST_SKIP() << "no data";
  const ImageRef full = LoadImage(path, -1);
  ASSERT_FALSE(full.Empty());
  cv::Mat half;
  cv::resize(full.Mat(), half, cv::Size(), 0.4, 0.4, cv::INTER_AREA);
  const ImageRef frame(half);

  ImageRef labels;
  SegPatchList segments;
  std::string error;
  ASSERT_TRUE(SegmentImage(frame, labels, segments, kMinRegion, kSigmaS, kSigmaR, error)) << error;
  ExpectConsistent(labels, segments);
  EXPECT_GE(segments.size(), 20u);
  EXPECT_LE(segments.size(), 1000u);
  for (const auto& segment : segments) EXPECT_GE(segment->pixels.size(), static_cast<size_t>(kMinRegion));
}

// A real crop of odd size and two thin ones: the same labels and segment lists at every thread
// count, with either speed-up (the filter's shortcuts stay within bands of rows).
TEST(SegmentImage, SameSegmentsAtEveryThreadCount) {
  const std::string path = std::string(MORVI_DATA_DIR) + "/middlebury/RubberWhale/frame10.png";
  if (std::string(MORVI_DATA_DIR).empty() || !std::filesystem::exists(path)) GTEST_SKIP() << "no data";
  const ImageRef full = LoadImage(path, -1);
  ASSERT_FALSE(full.Empty());
  const cv::Rect areas[] = {cv::Rect(120, 90, 301, 203), cv::Rect(101, 57, 37, 23), cv::Rect(300, 40, 1, 50)};
  for (const FilterSpeedUp speedUp : {FilterSpeedUp::kTrajectories, FilterSpeedUp::kNeighbours}) {
    for (const cv::Rect& area : areas) {
      const ImageRef frame(full.Mat()(area).clone());
      ImageRef labelsOne;
      SegPatchList segmentsOne;
      SegmentImage(frame, labelsOne, segmentsOne, kMinRegion, kSigmaS, kSigmaR, 1, speedUp);
      ASSERT_FALSE(labelsOne.Empty());
      for (int threads : {2, 3, 8}) {
        ImageRef labels;
        SegPatchList segments;
        std::string error;
        ASSERT_TRUE(SegmentImage(frame, labels, segments, kMinRegion, kSigmaS, kSigmaR, error, threads, speedUp))
            << error;
        const std::string where = "level " + std::to_string(static_cast<int>(speedUp)) + " threads " +
                                  std::to_string(threads);
        EXPECT_EQ(cv::norm(labels.Mat(), labelsOne.Mat(), cv::NORM_INF), 0.0) << area << " " << where;
        ASSERT_EQ(segments.size(), segmentsOne.size()) << area << " " << where;
        for (size_t j = 0; j < segments.size(); ++j) EXPECT_EQ(segments[j]->pixels, segmentsOne[j]->pixels);
      }
    }
  }
}
