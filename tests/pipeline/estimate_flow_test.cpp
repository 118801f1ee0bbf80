#include "pipeline/estimate_flow.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <utility>
#include <vector>

#include "motion/segment_motion.h"
#include "pipeline/initial_flow.h"
#include "pipeline/pipeline_test_frames.h"
#include "pipeline/weight_maps.h"
#include "segmentation/segment_image.h"
#include "solver/level_preparation.h"
#include "solver/warping_iterations.h"
#include "support/test_support.h"

namespace {

constexpr double kBrightnessEps = static_cast<double>(0.1f);
constexpr double kSmoothnessEps = static_cast<double>(0.01f);

bool SameBytes(const ImageRef& a, const ImageRef& b) {
  if (a.Mat().size() != b.Mat().size() || a.Mat().type() != b.Mat().type()) return false;
  for (int y = 0; y < a.Height(); ++y) {
    if (std::memcmp(a.Row<uint8_t>(y), b.Row<uint8_t>(y), a.Mat().elemSize() * a.Width()) != 0) return false;
  }
  return true;
}

void RunEstimate(const ImageRef& first, const ImageRef& second, ImageRef& initialU, ImageRef& initialV, ImageRef& u,
                 ImageRef& v, uint32_t seed) {
  testing::internal::CaptureStdout();
  EstimateFlow(first, second, initialU, initialV, u, v, 1.7f, 0.1f, 0.9f, 8.0f, kBrightnessEps, kBrightnessEps,
               kSmoothnessEps, 1, 3, 3, 20.0f, 7.0f, 6.5f, seed);
  testing::internal::GetCapturedStdout();
}

// The chain of stages written out by hand, to check EstimateFlow's wiring.
void RunStagesByHand(const ImageRef& first, const ImageRef& second, bool fitSegments, float finalSmoothness,
                     int finalIterations, uint32_t seed, ImageRef& u, ImageRef& v) {
  testing::internal::CaptureStdout();
  ImageRef initialU, initialV;
  EstimateInitialFlow(first, second, initialU, initialV, 1.7f, 0.1f, 0.9f, 8.0f, kBrightnessEps, kBrightnessEps,
                      kSmoothnessEps, 1, 3, 3);
  u = CloneFloat(initialU);
  v = CloneFloat(initialV);
  if (fitSegments) {
    ImageRef labels;
    SegPatchList segments;
    SegmentImage(first, labels, segments, 20, 7, 6.5f);
    ImageRef mask = CreateFloat(first.Width(), first.Height(), 1);
    mask.Mat().setTo(-2.0f);
    FitSegmentMotions(segments, u, v, mask, false, seed);
  }
  SolverParams params;
  PairDerivatives derivatives;
  LevelWorkspace workspace;
  PrepareSolver(first, second, kBrightnessEps, kBrightnessEps, kSmoothnessEps, 1, params, derivatives, workspace);
  const WeightMaps weights =
      BuildWeightMaps(first.Width(), first.Height(), u, v, 0.1f, 0.9f, finalSmoothness, params, workspace);
  SolveFlow(params, workspace, derivatives, u, v, weights.brightnessWeight, weights.gradientWeight,
            weights.smoothnessWeight, finalIterations, 0, 3);
  testing::internal::GetCapturedStdout();
}

// Blocks of 10 x 10 pixels in alternating colours, moving right by one pixel: every segment is far
// below the 200 pixels a motion fit needs.
ImageRef SmallBlocks(int shift) {
  ImageRef image = CreateByte(40, 30, 3);
  for (int y = 0; y < 30; ++y) {
    for (int x = 0; x < 40; ++x) {
      const int block = ((x - shift + 40) / 10 + y / 10) % 2;
      uint8_t* p = image.Row<uint8_t>(y) + 3 * x;
      p[0] = block ? 200 : 30;
      p[1] = block ? 60 : 180;
      p[2] = static_cast<uint8_t>(40 + 20 * (y / 10));
    }
  }
  return image;
}

// A smooth colour texture shifted right by `shift` pixels (subpixel shifts blend smoothly).
ImageRef SmoothTexture(int width, int height, float shift) {
  ImageRef image = CreateByte(width, height, 3);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const float xs = static_cast<float>(x) - shift;
      uint8_t* p = image.Row<uint8_t>(y) + 3 * x;
      p[0] = static_cast<uint8_t>(128 + 90 * std::sin(0.31f * xs + 0.17f * y));
      p[1] = static_cast<uint8_t>(128 + 90 * std::cos(0.23f * xs - 0.29f * y));
      p[2] = static_cast<uint8_t>(128 + 60 * std::sin(0.11f * xs * 0.5f + 0.41f * y));
    }
  }
  return image;
}

}  // namespace

TEST(SmallFrameRule, BothSidesAtMost350) {
  EXPECT_TRUE(IsSmallFrame(350, 350));
  EXPECT_TRUE(IsSmallFrame(320, 240));
  EXPECT_FALSE(IsSmallFrame(351, 350));
  EXPECT_FALSE(IsSmallFrame(350, 351));
  EXPECT_FALSE(IsSmallFrame(351, 200));
  EXPECT_FALSE(IsSmallFrame(640, 480));
}

TEST(EstimateFlow, SmallFrameChainsTheStagesWithDoubledSmoothnessAndOneIteration) {
  const CroppedPair pair = LoadCroppedPair("RubberWhale", cv::Rect(220, 170, 96, 72));
  if (pair.first.Empty()) GTEST_SKIP() << "ground-truth data not available";
  ImageRef initialU, initialV, u, v;
  RunEstimate(pair.first, pair.second, initialU, initialV, u, v, 5);
  ImageRef expectedU, expectedV;
  RunStagesByHand(pair.first, pair.second, true, 16.0f, 1, 5, expectedU, expectedV);
  EXPECT_TRUE(SameBytes(u, expectedU));
  EXPECT_TRUE(SameBytes(v, expectedV));
  // The smoothness weight as given, or three iterations, would give another flow.
  ImageRef otherU, otherV;
  RunStagesByHand(pair.first, pair.second, true, 8.0f, 1, 5, otherU, otherV);
  EXPECT_FALSE(SameBytes(u, otherU));
}

TEST(EstimateFlow, InitialAndFinalFlowAreSeparateImages) {
  ImageRef initialU = CreateFloat(40, 30, 1), initialV, u, v;
  ImageRef before = initialU;
  RunEstimate(SmallBlocks(0), SmallBlocks(1), initialU, initialV, u, v, 1);
  EXPECT_NE(initialU.Get(), before.Get());  // the handles refer to new images
  EXPECT_NE(initialU.Get(), u.Get());
  EXPECT_NE(initialV.Get(), v.Get());
  const ImageRef initialCopy = CloneFloat(initialU);
  u.Mat().setTo(123.0f);
  EXPECT_TRUE(SameBytes(initialU, initialCopy));
  EXPECT_EQ(u.Mat().size(), cv::Size(40, 30));
}

TEST(EstimateFlow, SegmentsBelow200PixelsGetNoSegmentMotion) {
  ImageRef labels;
  SegPatchList segments;
  SegmentImage(SmallBlocks(0), labels, segments, 20, 7, 6.5f);
  ASSERT_FALSE(segments.empty());
  for (const auto& segment : segments) ASSERT_LT(segment->pixels.size(), 200u);
  ImageRef initialU, initialV, u, v;
  RunEstimate(SmallBlocks(0), SmallBlocks(1), initialU, initialV, u, v, 9);
  ImageRef expectedU, expectedV;
  RunStagesByHand(SmallBlocks(0), SmallBlocks(1), false, 16.0f, 1, 9, expectedU, expectedV);
  EXPECT_TRUE(SameBytes(u, expectedU));
  EXPECT_TRUE(SameBytes(v, expectedV));
}

TEST(MorviEndToEnd, CroppedMiddleburyPairIsAccurateAndReproducible) {
  const CroppedPair pair = LoadCroppedPair("RubberWhale", cv::Rect(200, 150, 160, 120));
  if (pair.first.Empty() || pair.uGt.Empty()) GTEST_SKIP() << "ground-truth data not available";
  TempDir dir;
  SaveImage(pair.first, dir / "frame10.png");
  SaveImage(pair.second, dir / "frame11.png");
  const std::string command =
      ShellQuote(MORVI_BINARY) + " --seed 7 " + ShellQuote(dir.path().string()) + " .png 8 ";
  ASSERT_EQ(RunCommand(command + ShellQuote(dir / "one")).status, 0);
  ASSERT_EQ(RunCommand(command + ShellQuote(dir / "two")).status, 0);
  const auto bytes = ReadBytes(dir / "one/frame10_morvi.flo");
  ASSERT_EQ(bytes.size(), 12u + 8u * 160u * 120u);
  EXPECT_EQ(bytes, ReadBytes(dir / "two/frame10_morvi.flo"));

  ImageRef u = CreateFloat(160, 120, 1), v = CreateFloat(160, 120, 1);
  for (int y = 0; y < 120; ++y) {
    for (int x = 0; x < 160; ++x) {
      std::memcpy(&u.Row<float>(y)[x], &bytes[12 + 8 * (y * 160 + x)], 4);
      std::memcpy(&v.Row<float>(y)[x], &bytes[16 + 8 * (y * 160 + x)], 4);
    }
  }
  const double epe = MeanEndpointError(u, v, pair.uGt, pair.vGt);
  const double zeroEpe = MeanEndpointError(CreateFloat(160, 120, 1), CreateFloat(160, 120, 1), pair.uGt, pair.vGt);
  EXPECT_GE(epe, 0.0);
  EXPECT_LT(epe, 0.5);
  EXPECT_LT(epe, 0.4 * zeroEpe);
}

// The program's three outputs are the same bytes at every thread count: on a real 320 x 240 pair
// (large enough for every threaded stage) and on frames too small or too thin for most of them.
TEST(MorviEndToEnd, OutputsAreTheSameAtEveryThreadCount) {
  const CroppedPair real = LoadCroppedPair("RubberWhale", cv::Rect(100, 80, 320, 240));
  std::vector<std::pair<ImageRef, ImageRef>> pairs;
  if (!real.first.Empty()) pairs.emplace_back(real.first, real.second);
  for (const cv::Size size : {cv::Size(37, 23), cv::Size(1, 50)}) {
    pairs.emplace_back(SmoothTexture(size.width, size.height, 0.0f), SmoothTexture(size.width, size.height, 0.7f));
  }
  for (const auto& [first, second] : pairs) {
    TempDir dir;
    SaveImage(first, dir / "f0.png");
    SaveImage(second, dir / "f1.png");
    std::vector<std::vector<unsigned char>> reference;
    for (int threads : {1, 2, 3, 8}) {
      const std::string out = dir / ("t" + std::to_string(threads));
      const CommandResult r = RunCommand(ShellQuote(MORVI_BINARY) + " --seed 5 --threads " +
                                         std::to_string(threads) + " " + ShellQuote(dir.path().string()) +
                                         " .png 8 " + ShellQuote(out));
      ASSERT_EQ(r.status, 0) << r.err;
      std::vector<std::vector<unsigned char>> files;
      for (const char* name : {"/f0_morvi.flo", "/f0_morvi.ppm", "/f0_morviwarp.ppm"}) {
        files.push_back(ReadBytes(out + name));
        ASSERT_FALSE(files.back().empty()) << name;
      }
      if (reference.empty()) {
        reference = files;
      } else {
        EXPECT_EQ(files, reference) << first.Width() << "x" << first.Height() << " at " << threads << " threads";
      }
    }
  }
}
