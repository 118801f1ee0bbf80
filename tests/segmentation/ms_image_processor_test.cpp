#include "segmentation/ms_image_processor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <random>
#include <vector>

namespace {

constexpr int kSigmaS = 7;
constexpr float kSigmaR = 6.5f;

// RGB bytes of a W x H image: a 2 x 2 layout of flat colour blocks with uniform noise of +-noise.
std::vector<uint8_t> NoisyBlocks(int W, int H, int noise, uint32_t seed) {
  const uint8_t colours[4][3] = {{200, 40, 40}, {40, 160, 60}, {50, 60, 200}, {230, 220, 90}};
  std::mt19937 generator(seed);
  std::uniform_int_distribution<int> offset(-noise, noise);
  std::vector<uint8_t> rgb(static_cast<size_t>(W) * H * 3);
  for (int y = 0; y < H; ++y) {
    for (int x = 0; x < W; ++x) {
      const int block = (x < W / 2 ? 0 : 1) + (y < H / 2 ? 0 : 2);
      for (int c = 0; c < 3; ++c) {
        rgb[3 * (static_cast<size_t>(y) * W + x) + c] =
            static_cast<uint8_t>(std::clamp(colours[block][c] + offset(generator), 0, 255));
      }
    }
  }
  return rgb;
}

}  // namespace

TEST(ConvertRgbToLuv, BlackIsZeroThroughTheZeroDenominatorCase) {
  const uint8_t black[3] = {0, 0, 0};
  float luv[3] = {-1, -1, -1};
  ConvertRgbToLuv(black, luv);
  EXPECT_EQ(luv[0], 0.0f);
  EXPECT_EQ(luv[1], 0.0f);
  EXPECT_EQ(luv[2], 0.0f);
}

TEST(ConvertRgbToLuv, MatchesTextbookValuesOfWhiteAndPrimaries) {
  struct Case {
    uint8_t rgb[3];
    float L, u, v;
  };
  // CIE L*u*v* of full-intensity sRGB colours (D65 white)
  const Case cases[] = {{{255, 255, 255}, 100.0f, 0.0f, 0.0f},
                        {{255, 0, 0}, 53.24f, 175.01f, 37.76f},
                        {{0, 0, 255}, 32.30f, -9.40f, -130.34f}};
  for (const Case& c : cases) {
    float luv[3];
    ConvertRgbToLuv(c.rgb, luv);
    EXPECT_NEAR(luv[0], c.L, 0.05f);
    EXPECT_NEAR(luv[1], c.u, 0.25f);
    EXPECT_NEAR(luv[2], c.v, 0.25f);
  }
}

TEST(ConvertRgbToLuv, DarkGreyUsesTheLinearLightnessSegment) {
  const uint8_t dark[3] = {1, 1, 1};
  float luv[3];
  ConvertRgbToLuv(dark, luv);
  EXPECT_FLOAT_EQ(luv[0], static_cast<float>(903.3 / 255.0));
  EXPECT_NEAR(luv[1], 0.0f, 1e-5f);
  EXPECT_NEAR(luv[2], 0.0f, 1e-5f);
}

TEST(MeanShiftFilter, UniformImageKeepsEveryPixelsColour) {
  const int W = 19, H = 13;
  std::vector<uint8_t> rgb(static_cast<size_t>(W) * H * 3);
  for (size_t i = 0; i < rgb.size(); i += 3) {
    rgb[i] = 120;
    rgb[i + 1] = 80;
    rgb[i + 2] = 30;
  }
  float luv[3];
  ConvertRgbToLuv(rgb.data(), luv);

  msImageProcessor processor;
  processor.SetImageData(rgb.data(), kColourImage, H, W);
  processor.FilterImage(kSigmaS, kSigmaR, 1);
  ASSERT_EQ(processor.ErrorLevel(), 0) << processor.ErrorMessage();
  const std::vector<float>& filtered = processor.GetFilteredData();
  ASSERT_EQ(filtered.size(), static_cast<size_t>(W) * H * 3);
  for (size_t i = 0; i < filtered.size(); ++i) ASSERT_EQ(filtered[i], luv[i % 3]) << i;
  EXPECT_EQ(processor.RegionCount(), 1);
  EXPECT_EQ(processor.GetRegionPointCounts()[0], W * H);
}

TEST(MeanShiftFilter, GreyImageRunsOnOneRangeValue) {
  const int W = 24, H = 6;
  std::vector<uint8_t> grey(static_cast<size_t>(W) * H);
  for (int i = 0; i < W * H; ++i) grey[i] = static_cast<uint8_t>(i % W < W / 2 ? 40 : 200);
  msImageProcessor processor;
  processor.SetImageData(grey.data(), kGreyImage, H, W);
  processor.FilterImage(kSigmaS, kSigmaR, 1);
  ASSERT_EQ(processor.ErrorLevel(), 0) << processor.ErrorMessage();
  EXPECT_EQ(processor.RangeDimension(), 1);
  ASSERT_EQ(processor.GetFilteredData().size(), grey.size());
  // grey values are filtered as they are, not converted to lightness
  for (size_t i = 0; i < grey.size(); ++i) EXPECT_EQ(processor.GetFilteredData()[i], grey[i]);
  EXPECT_EQ(processor.RegionCount(), 2);
}

// Two flat halves 5 grey levels apart: inside one range bandwidth, so the filter blends them along
// the border; above lightness 80 the difference counts twice and the halves stay apart.
TEST(MeanShiftFilter, LightnessAbove80CountsTwice) {
  const int W = 30, H = 10;
  auto filterHalves = [&](uint8_t left, uint8_t right) {
    std::vector<uint8_t> grey(static_cast<size_t>(W) * H);
    for (int i = 0; i < W * H; ++i) grey[i] = i % W < W / 2 ? left : right;
    msImageProcessor processor;
    processor.SetImageData(grey.data(), kGreyImage, H, W);
    processor.FilterImage(kSigmaS, kSigmaR, 1);
    EXPECT_EQ(processor.ErrorLevel(), 0);
    int blended = 0;
    for (size_t i = 0; i < grey.size(); ++i) blended += processor.GetFilteredData()[i] != grey[i];
    return blended;
  };
  EXPECT_GT(filterHalves(40, 45), 0);
  EXPECT_EQ(filterHalves(90, 95), 0);
}

TEST(MeanShiftFilter, ZeroBandwidthLeavesTheSegmentErrorAndNoRegions) {
  const std::vector<uint8_t> rgb = NoisyBlocks(8, 6, 3, 1);
  for (const auto& [sigmaS, sigmaR] : {std::pair<int, float>{0, kSigmaR}, {kSigmaS, 0.0f}, {-1, kSigmaR}}) {
    msImageProcessor processor;
    processor.SetImageData(rgb.data(), kColourImage, 6, 8);
    processor.FilterImage(sigmaS, sigmaR, 1);
    EXPECT_EQ(processor.ErrorLevel(), 1);
    EXPECT_EQ(processor.ErrorMessage(),
              "msImageProcessor::Segment Error: sigmaS and/or sigmaR is zero or negative.");
    EXPECT_EQ(processor.RegionCount(), 0);
    // the fusion that follows returns at once and keeps the first error
    processor.FuseRegions(kSigmaR, 20);
    EXPECT_EQ(processor.ErrorMessage(),
              "msImageProcessor::Segment Error: sigmaS and/or sigmaR is zero or negative.");
    EXPECT_EQ(processor.RegionCount(), 0);
  }
}

// The trimmed window sums, testing one point or four points at a time, must reproduce the plain
// scan bit for bit, in colour and in grey.
TEST(MeanShiftFilter, FastWindowSumsEqualTheReferenceScan) {
  const int W = 48, H = 36;
  const std::vector<uint8_t> rgb = NoisyBlocks(W, H, 12, 5);
  std::vector<uint8_t> grey(static_cast<size_t>(W) * H);
  for (size_t i = 0; i < grey.size(); ++i) grey[i] = rgb[3 * i + 1];

  for (const bool colour : {true, false}) {
    std::vector<float> results[3];
    std::vector<int> labels[3];
    for (const int form : {0, 1, 2}) {  // reference scan, one point, four points at a time
      msImageProcessor processor;
      processor.UseReferenceWindowSums(form == 0);
      processor.UseVectorWindowTest(form == 2);
      processor.SetImageData(colour ? rgb.data() : grey.data(), colour ? kColourImage : kGreyImage, H, W);
      processor.FilterImage(kSigmaS, kSigmaR, 1);
      ASSERT_EQ(processor.ErrorLevel(), 0);
      results[form] = processor.GetFilteredData();
      labels[form] = processor.GetLabels();
    }
    for (const int form : {1, 2}) {
      EXPECT_EQ(results[form], results[0]) << (colour ? "colour" : "grey") << ", form " << form;
      EXPECT_EQ(labels[form], labels[0]) << (colour ? "colour" : "grey") << ", form " << form;
    }
  }
}

// Level 0 follows every trajectory to its end, level 1 shares modes along trajectories; on clean
// blocks both settle on the same four regions.
TEST(MeanShiftFilter, SpeedUpLevelsAgreeOnNoisyBlocks) {
  const int W = 40, H = 30;
  const std::vector<uint8_t> rgb = NoisyBlocks(W, H, 4, 11);
  for (const int level : {0, 1, 2}) {
    msImageProcessor processor;
    processor.SetImageData(rgb.data(), kColourImage, H, W);
    processor.FilterImage(kSigmaS, kSigmaR, level);
    processor.FuseRegions(kSigmaR, 20);
    ASSERT_EQ(processor.ErrorLevel(), 0);
    EXPECT_EQ(processor.RegionCount(), 4) << "level " << level;
  }
}

// Level 0 against a brute-force mean shift over all pixels (no cube grid, no shortcuts): the same
// modes up to the rounding of differently ordered sums.
TEST(MeanShiftFilter, LevelZeroMatchesBruteForceMeanShift) {
  const int W = 24, H = 18, L = W * H;
  const std::vector<uint8_t> rgb = NoisyBlocks(W, H, 14, 9);
  const double sigmaS = kSigmaS, sigmaR = kSigmaR;

  std::vector<std::array<double, 5>> points(L);
  for (int i = 0; i < L; ++i) {
    float luv[3];
    ConvertRgbToLuv(&rgb[3 * i], luv);
    points[i] = {static_cast<float>(i % W) / kSigmaS, static_cast<float>(i / W) / kSigmaS, luv[0] / kSigmaR,
                 luv[1] / kSigmaR, luv[2] / kSigmaR};
  }
  auto shift = [&](const std::array<double, 5>& yk, std::array<double, 5>& Mh) {
    std::array<double, 5> sum{};
    int n = 0;
    const double lightWeight = yk[2] * sigmaR > 80.0 ? 4.0 : 1.0;
    for (const auto& p : points) {
      const double space = (p[0] - yk[0]) * (p[0] - yk[0]) + (p[1] - yk[1]) * (p[1] - yk[1]);
      const double range = lightWeight * (p[2] - yk[2]) * (p[2] - yk[2]) + (p[3] - yk[3]) * (p[3] - yk[3]) +
                           (p[4] - yk[4]) * (p[4] - yk[4]);
      if (space >= 1.0 || range >= 1.0) continue;
      for (int k = 0; k < 5; ++k) sum[k] += p[k];
      ++n;
    }
    for (int k = 0; k < 5; ++k) Mh[k] = n > 0 ? sum[k] / n - yk[k] : 0.0;
    return sigmaS * sigmaS * (Mh[0] * Mh[0] + Mh[1] * Mh[1]) +
           sigmaR * sigmaR * (Mh[2] * Mh[2] + Mh[3] * Mh[3] + Mh[4] * Mh[4]);
  };

  msImageProcessor processor;
  processor.SetImageData(rgb.data(), kColourImage, H, W);
  processor.FilterImage(kSigmaS, kSigmaR, 0);
  ASSERT_EQ(processor.ErrorLevel(), 0);
  for (int i = 0; i < L; ++i) {
    std::array<double, 5> yk = points[i], Mh;
    double mv = shift(yk, Mh);
    for (int iteration = 1; mv >= 0.01 && iteration < 100; ++iteration) {
      for (int k = 0; k < 5; ++k) yk[k] += Mh[k];
      mv = shift(yk, Mh);
    }
    for (int t = 0; t < 3; ++t) {
      ASSERT_NEAR(processor.GetFilteredData()[3 * i + t], (yk[2 + t] + Mh[2 + t]) * sigmaR, 1e-3)
          << "pixel " << i << " component " << t;
    }
  }
}

// Regression figures of the level-1 filter (trajectory shortcuts) on a fixed noisy image: the
// number of connected regions of the filtered colours and the sum of the filtered values.
TEST(MeanShiftFilter, LevelOneFiguresOnAFixedNoisyImage) {
  const int W = 48, H = 36;
  const std::vector<uint8_t> rgb = NoisyBlocks(W, H, 14, 5);
  msImageProcessor processor;
  processor.SetImageData(rgb.data(), kColourImage, H, W);
  processor.FilterImage(kSigmaS, kSigmaR, 1);
  ASSERT_EQ(processor.ErrorLevel(), 0);
  double sum = 0.0;
  for (float value : processor.GetFilteredData()) sum += value;
  EXPECT_EQ(processor.RegionCount(), 481);
  EXPECT_NEAR(sum, 158199.61, 0.01);
}
