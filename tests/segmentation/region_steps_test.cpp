// Region connection, transitive closure and pruning, run through FuseRegions on grey images that
// were not filtered: the regions are then built from the grey values as given.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "segmentation/ms_image_processor.h"

namespace {

// A range bandwidth so small that only equal colours could merge.
constexpr float kNoMerge = 0.01f;
constexpr float kSigmaR = 6.5f;

struct Regions {
  std::vector<int> labels;
  std::vector<float> filtered;
  std::vector<float> modes;
  std::vector<int> counts;
  int count = 0;
};

Regions FuseGrey(const std::vector<uint8_t>& grey, int W, int H, float sigmaR, int minRegion) {
  msImageProcessor processor;
  processor.SetImageData(grey.data(), kGreyImage, H, W);
  processor.FuseRegions(sigmaR, minRegion);
  EXPECT_EQ(processor.ErrorLevel(), 0) << processor.ErrorMessage();
  Regions regions;
  regions.labels = processor.GetLabels();
  regions.filtered = processor.GetFilteredData();
  regions.count = processor.RegionCount();
  regions.modes.assign(processor.GetRegionModes().begin(),
                       processor.GetRegionModes().begin() + regions.count);
  regions.counts.assign(processor.GetRegionPointCounts().begin(),
                        processor.GetRegionPointCounts().begin() + regions.count);
  return regions;
}

// W x H image of value `background` with a w x h block of value `block` at (x0, y0).
std::vector<uint8_t> BlockImage(int W, int H, uint8_t background, int x0, int y0, int w, int h,
                                uint8_t block) {
  std::vector<uint8_t> grey(static_cast<size_t>(W) * H, background);
  for (int y = y0; y < y0 + h; ++y)
    for (int x = x0; x < x0 + w; ++x) grey[static_cast<size_t>(y) * W + x] = block;
  return grey;
}

}  // namespace

TEST(ConnectRegions, RowEndsAreNotNeighbours) {
  // (2,0) and (0,1) are equal and follow each other in memory, but lie at opposite image borders
  const std::vector<uint8_t> grey = {10, 50,  90,  //
                                     90, 130, 170};
  const Regions regions = FuseGrey(grey, 3, 2, kNoMerge, 1);
  EXPECT_EQ(regions.count, 6);
  EXPECT_EQ(regions.labels, (std::vector<int>{0, 1, 2, 3, 4, 5}));
}

TEST(ConnectRegions, DiagonalNeighboursJoin) {
  const std::vector<uint8_t> grey = {5, 9,  //
                                     9, 5};
  const Regions regions = FuseGrey(grey, 2, 2, kNoMerge, 1);
  EXPECT_EQ(regions.count, 2);
  EXPECT_EQ(regions.labels, (std::vector<int>{0, 1, 1, 0}));
  EXPECT_EQ(regions.counts, (std::vector<int>{2, 2}));
}

TEST(FuseRegions, UniformImageIsOneSurvivingRegion) {
  const int W = 9, H = 4;
  const std::vector<uint8_t> grey(W * H, 77);
  const Regions regions = FuseGrey(grey, W, H, kSigmaR, W * H);
  EXPECT_EQ(regions.count, 1);
  EXPECT_EQ(regions.counts, std::vector<int>{W * H});
  EXPECT_EQ(regions.labels, std::vector<int>(W * H, 0));
  EXPECT_EQ(regions.modes, std::vector<float>{77.0f});
}

TEST(FuseRegions, CloseTouchingRegionsMergeIntoThePixelWeightedMean) {
  const int W = 10, H = 4;
  // 16 pixels of 40 and 24 of 42: (2 / 6.5)^2 < 0.25
  const std::vector<uint8_t> grey = BlockImage(W, H, 40, 4, 0, 6, 4, 42);
  const Regions regions = FuseGrey(grey, W, H, kSigmaR, 1);
  ASSERT_EQ(regions.count, 1);
  const float mean = (16 * 40.0f + 24 * 42.0f) / 40;
  EXPECT_FLOAT_EQ(regions.modes[0], mean);
  EXPECT_EQ(regions.counts[0], W * H);
  for (float value : regions.filtered) EXPECT_FLOAT_EQ(value, mean);
}

TEST(FuseRegions, LightnessAbove80CountsTwiceInTheClosure) {
  const int W = 10, H = 4;
  // (3 / 6.5)^2 = 0.21 merges; four times that does not
  EXPECT_EQ(FuseGrey(BlockImage(W, H, 60, 5, 0, 5, 4, 63), W, H, kSigmaR, 1).count, 1);
  EXPECT_EQ(FuseGrey(BlockImage(W, H, 90, 5, 0, 5, 4, 93), W, H, kSigmaR, 1).count, 2);
}

TEST(FuseRegions, RegionBelowMinRegionIsAbsorbedOneAtMinRegionSurvives) {
  const int W = 6, H = 6;
  const std::vector<uint8_t> grey = BlockImage(W, H, 0, 2, 2, 2, 2, 200);  // a 4-pixel island
  const Regions absorbed = FuseGrey(grey, W, H, kSigmaR, 5);
  EXPECT_EQ(absorbed.count, 1);
  EXPECT_EQ(absorbed.counts, std::vector<int>{W * H});
  EXPECT_FLOAT_EQ(absorbed.modes[0], 4 * 200.0f / (W * H));

  const Regions survives = FuseGrey(grey, W, H, kSigmaR, 4);
  EXPECT_EQ(survives.count, 2);
  EXPECT_EQ(survives.counts, (std::vector<int>{32, 4}));
  EXPECT_EQ(survives.modes, (std::vector<float>{0.0f, 200.0f}));
}

TEST(FuseRegions, EquallyCloseNeighboursGiveTheSmallRegionToTheLowerLabel) {
  // 110 lies 10 from both 100 (label 0) and 120 (label 2)
  const std::vector<uint8_t> grey = {100, 100, 100, 100, 100, 110, 120, 120, 120, 120, 120};
  const Regions regions = FuseGrey(grey, 11, 1, kSigmaR, 2);
  ASSERT_EQ(regions.count, 2);
  EXPECT_EQ(regions.labels, (std::vector<int>{0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1}));
  EXPECT_FLOAT_EQ(regions.modes[0], (5 * 100.0f + 110.0f) / 6);
  EXPECT_EQ(regions.modes[1], 120.0f);

  // the same with the lower label on the other side of the small region
  const std::vector<uint8_t> mirrored(grey.rbegin(), grey.rend());
  const Regions mirroredRegions = FuseGrey(mirrored, 11, 1, kSigmaR, 2);
  ASSERT_EQ(mirroredRegions.count, 2);
  EXPECT_EQ(mirroredRegions.labels, (std::vector<int>{0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1}));
  EXPECT_FLOAT_EQ(mirroredRegions.modes[0], (5 * 120.0f + 110.0f) / 6);
}

// Invariants on a busy image: dense labels numbered by first pixel, counts and colours that agree
// with the labels, and no region below the minimum area.
TEST(FuseRegions, LabelsAreDenseOrderedByFirstPixelAndAgreeWithCounts) {
  const int W = 40, H = 30, minRegion = 12;
  std::mt19937 generator(3);
  std::uniform_int_distribution<int> level(0, 5);
  std::vector<uint8_t> grey(static_cast<size_t>(W) * H);
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) {
      // 4 x 3 tiles of random levels 40 apart, a few single pixels of other levels
      const int tile = (x / 4) * 131 + (y / 3) * 71;
      grey[static_cast<size_t>(y) * W + x] =
          static_cast<uint8_t>(40 * ((tile * 7 + level(generator) / 5) % 6));
    }
  const Regions regions = FuseGrey(grey, W, H, kSigmaR, minRegion);
  ASSERT_GT(regions.count, 1);

  std::vector<int> counted(regions.count, 0);
  int nextNew = 0;
  for (int i = 0; i < W * H; ++i) {
    const int label = regions.labels[i];
    ASSERT_GE(label, 0);
    ASSERT_LT(label, regions.count);
    if (counted[label] == 0) {
      EXPECT_EQ(label, nextNew) << "first pixel order";
      ++nextNew;
    }
    ++counted[label];
    EXPECT_EQ(regions.filtered[i], regions.modes[label]);
  }
  EXPECT_EQ(counted, regions.counts);
  for (int count : regions.counts) EXPECT_GE(count, minRegion);
}
