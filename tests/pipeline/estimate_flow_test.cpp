#include "pipeline/estimate_flow.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "motion/segment_motion.h"
#include "pipeline/initial_flow.h"
#include "pipeline/occlusion_mask.h"
#include "pipeline/pipeline_test_frames.h"
#include "pipeline/weight_maps.h"
#include "segmentation/segment_image.h"
#include "solver/level_preparation.h"
#include "solver/warping_iterations.h"
#include "support/test_support.h"

namespace {

bool SameBytes(const ImageRef& a, const ImageRef& b) {
  if (a.Mat().size() != b.Mat().size() || a.Mat().type() != b.Mat().type()) return false;
  for (int y = 0; y < a.Height(); ++y) {
    if (std::memcmp(a.Row<uint8_t>(y), b.Row<uint8_t>(y), a.Mat().elemSize() * a.Width()) != 0) return false;
  }
  return true;
}

PairFlow RunEstimate(const ImageRef& first, const ImageRef& second, uint32_t seed) {
  EstimateOptions options;
  options.seed = seed;
  testing::internal::CaptureStdout();
  PairFlow flow = EstimatePair(first, second, options, &std::cout);
  testing::internal::GetCapturedStdout();
  return flow;
}

// The chain of stages written out by hand, to check EstimatePair's wiring.
void RunStagesByHand(const ImageRef& first, const ImageRef& second, bool fitSegments, float finalSmoothness,
                     int finalIterations, uint32_t seed, ImageRef& u, ImageRef& v) {
  const EstimateOptions options;
  testing::internal::CaptureStdout();
  ImageRef initialU, initialV;
  EstimateInitialFlow(first, second, initialU, initialV, options, &std::cout);
  u = CloneFloat(initialU);
  v = CloneFloat(initialV);
  if (fitSegments) {
    ImageRef labels;
    SegPatchList segments;
    SegmentImage(first, labels, segments, options.minRegion, options.sigmaS, options.sigmaR);
    ImageRef mask = CreateFloat(first.Width(), first.Height(), 1);
    mask.Mat().setTo(-2.0f);
    FitSegmentMotions(segments, u, v, mask, false, seed);
  }
  SolverParams params;
  PairDerivatives derivatives;
  LevelWorkspace workspace;
  PrepareSolver(first, second, options.brightnessEps, options.gradientEps, options.smoothnessEps,
                options.anisotropic ? 1 : 0, params, derivatives, workspace);
  const WeightMaps weights = BuildWeightMaps(first.Width(), first.Height(), u, v, options.brightnessTermWeight,
                                             options.gradientTermWeight, finalSmoothness, params, workspace);
  SolveFlow(params, workspace, derivatives, u, v, weights.brightnessWeight, weights.gradientWeight,
            weights.smoothnessWeight, finalIterations, 0, options.medianWindow);
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

TEST(EstimatePair, SmallFrameChainsTheStagesWithDoubledSmoothnessAndOneIteration) {
  const CroppedPair pair = LoadCroppedPair("RubberWhale", cv::Rect(220, 170, 96, 72));
  if (pair.first.Empty()) GTEST_SKIP() << "ground-truth data not available";
  const float smoothness = EstimateOptions{}.smoothness;
  const PairFlow flow = RunEstimate(pair.first, pair.second, 5);
  ImageRef expectedU, expectedV;
  RunStagesByHand(pair.first, pair.second, true, 2.0f * smoothness, 1, 5, expectedU, expectedV);
  EXPECT_TRUE(SameBytes(flow.u, expectedU));
  EXPECT_TRUE(SameBytes(flow.v, expectedV));
  // The smoothness weight as given, or three iterations, would give another flow.
  ImageRef otherU, otherV;
  RunStagesByHand(pair.first, pair.second, true, smoothness, 1, 5, otherU, otherV);
  EXPECT_FALSE(SameBytes(flow.u, otherU));
}

TEST(EstimatePair, InitialAndFinalFlowAreSeparateImages) {
  const PairFlow flow = RunEstimate(SmallBlocks(0), SmallBlocks(1), 1);
  EXPECT_NE(flow.initialU.Get(), flow.u.Get());
  EXPECT_NE(flow.initialV.Get(), flow.v.Get());
  const ImageRef initialCopy = CloneFloat(flow.initialU);
  flow.u.Mat().setTo(123.0f);
  EXPECT_TRUE(SameBytes(flow.initialU, initialCopy));
  EXPECT_EQ(flow.u.Mat().size(), cv::Size(40, 30));
  EXPECT_TRUE(flow.backU.Empty());  // no backward flow or mask unless asked for
  EXPECT_TRUE(flow.occlusions.Empty());
}

TEST(EstimatePair, SegmentsBelow200PixelsGetNoSegmentMotion) {
  const EstimateOptions options;
  ImageRef labels;
  SegPatchList segments;
  SegmentImage(SmallBlocks(0), labels, segments, options.minRegion, options.sigmaS, options.sigmaR);
  ASSERT_FALSE(segments.empty());
  for (const auto& segment : segments) ASSERT_LT(segment->pixels.size(), 200u);
  const PairFlow flow = RunEstimate(SmallBlocks(0), SmallBlocks(1), 9);
  ImageRef expectedU, expectedV;
  RunStagesByHand(SmallBlocks(0), SmallBlocks(1), false, 2.0f * options.smoothness, 1, 9, expectedU, expectedV);
  EXPECT_TRUE(SameBytes(flow.u, expectedU));
  EXPECT_TRUE(SameBytes(flow.v, expectedV));
}

// With occlusions the forward flow is the one without; the backward flow is the estimate of the
// swapped pair, and the mask is judged from the two.
TEST(EstimatePair, OcclusionsAddTheSwappedPairsFlowAndTheMaskOfBoth) {
  const ImageRef first = SmoothTexture(48, 36, 0.0f);
  const ImageRef second = SmoothTexture(48, 36, 1.5f);
  EstimateOptions options;
  options.seed = 4;
  options.threads = 2;
  const PairFlow forward = EstimatePair(first, second, options, nullptr);
  const PairFlow backward = EstimatePair(second, first, options, nullptr);
  options.occlusions = true;
  const PairFlow both = EstimatePair(first, second, options, nullptr);
  EXPECT_TRUE(SameBytes(both.initialU, forward.initialU));
  EXPECT_TRUE(SameBytes(both.u, forward.u));
  EXPECT_TRUE(SameBytes(both.v, forward.v));
  EXPECT_TRUE(SameBytes(both.backU, backward.u));
  EXPECT_TRUE(SameBytes(both.backV, backward.v));
  ImageRef mask;
  EstimateOcclusionMask(first, second, forward.u, forward.v, backward.u, backward.v, mask);
  ASSERT_FALSE(both.occlusions.Empty());
  EXPECT_TRUE(SameBytes(both.occlusions, mask));
  EXPECT_GT(cv::countNonZero(mask.Mat()), 0);  // the texture leaves the frame on the right

  // Two threads run the directions side by side: the progress is still forward, then backward.
  std::ostringstream sideBySide, oneByOne;
  EstimatePair(first, second, options, &sideBySide);
  options.threads = 1;
  EstimatePair(first, second, options, &oneByOne);
  const std::string printed = oneByOne.str();
  EXPECT_EQ(sideBySide.str(), printed);
  EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 2);
}

// A thread lent while the segment motions or the final pass run (as the direction that ends first
// lends its own to the other) leaves the flow as it is.
TEST(RefineInitialFlow, LentThreadsLeaveTheFlowUnchanged) {
  const CroppedPair pair = LoadCroppedPair("RubberWhale", cv::Rect(120, 90, 301, 203));
  if (pair.first.Empty()) GTEST_SKIP() << "data not available";
  for (const morvi::Solver solver : {morvi::Solver::kReference, morvi::Solver::kFast}) {
    EstimateOptions options;
    options.seed = 1;  // the segment motions' sampling replays
    options.solver = solver;
    ImageRef initialU, initialV;
    EstimateInitialFlow(pair.first, pair.second, initialU, initialV, options, nullptr);
    const auto refine = [&](const std::atomic<int>* lent, ImageRef& u, ImageRef& v) {
      ImageRef labels = CreateInt(pair.first.Width(), pair.first.Height(), 1);
      SegPatchList segments;
      SegmentImage(CloneByte(pair.first), labels, segments, options.minRegion, options.sigmaS, options.sigmaR,
                   options.threads, SegmentationSpeedUp(options));
      RefineInitialFlow(pair.first, pair.second, segments, initialU, initialV, options, nullptr, u, v, lent);
    };
    ImageRef u, v, lentU, lentV;
    refine(nullptr, u, v);
    for (const int delayMs : {0, 40}) {
      std::atomic<int> lent{0};
      std::thread lender([&lent, delayMs] {
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        lent.store(2, std::memory_order_release);
      });
      refine(&lent, lentU, lentV);
      lender.join();
      EXPECT_TRUE(SameBytes(u, lentU)) << "lent after " << delayMs << " ms";
      EXPECT_TRUE(SameBytes(v, lentV)) << "lent after " << delayMs << " ms";
    }
  }
}

// Below scale 1 the estimate is the one of the area-shrunk frames, enlarged bilinearly and measured
// in full-size pixels per axis; the mask is judged at full size from the enlarged flows.
TEST(EstimatePair, ScaledEstimateIsTheShrunkFramesEstimateEnlarged) {
  const ImageRef first = SmoothTexture(47, 35, 0.0f);
  const ImageRef second = SmoothTexture(47, 35, 1.5f);
  EstimateOptions options;
  options.seed = 4;
  options.threads = 2;
  const cv::Size small(ScaledSide(47, 0.5f), ScaledSide(35, 0.5f));
  ASSERT_EQ(small, cv::Size(24, 18));  // 23.5 and 17.5 round away from zero
  cv::Mat firstSmall, secondSmall;
  cv::resize(first.Mat(), firstSmall, small, 0.0, 0.0, cv::INTER_AREA);
  cv::resize(second.Mat(), secondSmall, small, 0.0, 0.0, cv::INTER_AREA);
  const PairFlow atSmallSize = EstimatePair(ImageRef(firstSmall), ImageRef(secondSmall), options, nullptr);
  const PairFlow backAtSmallSize = EstimatePair(ImageRef(secondSmall), ImageRef(firstSmall), options, nullptr);

  options.scale = 0.5f;
  options.occlusions = true;
  const PairFlow scaled = EstimatePair(first, second, options, nullptr);
  const auto enlarged = [](const ImageRef& component, double ratio) {
    cv::Mat out;
    cv::resize(component.Mat(), out, cv::Size(47, 35), 0.0, 0.0, cv::INTER_LINEAR);
    out *= ratio;
    return ImageRef(out);
  };
  EXPECT_TRUE(SameBytes(scaled.u, enlarged(atSmallSize.u, 47.0 / 24.0)));
  EXPECT_TRUE(SameBytes(scaled.v, enlarged(atSmallSize.v, 35.0 / 18.0)));
  EXPECT_TRUE(SameBytes(scaled.initialU, enlarged(atSmallSize.initialU, 47.0 / 24.0)));
  EXPECT_TRUE(SameBytes(scaled.backU, enlarged(backAtSmallSize.u, 47.0 / 24.0)));
  EXPECT_TRUE(SameBytes(scaled.backV, enlarged(backAtSmallSize.v, 35.0 / 18.0)));
  ImageRef mask;
  EstimateOcclusionMask(first, second, scaled.u, scaled.v, scaled.backU, scaled.backV, mask);
  EXPECT_TRUE(SameBytes(scaled.occlusions, mask));

  // Sides never shrink below one pixel; scales outside (0, 1] are refused.
  EXPECT_EQ(ScaledSide(3, 0.1f), 1);
  options.scale = 0.01f;
  EXPECT_EQ(EstimatePair(first, second, options, nullptr).u.Mat().size(), cv::Size(47, 35));
  for (const float bad : {0.0f, -0.5f, 1.5f, NAN}) {
    options.scale = bad;
    EXPECT_THROW(EstimatePair(first, second, options, nullptr), std::invalid_argument) << bad;
  }
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
    for (const std::string solver : {"reference", "fast"}) {
      std::vector<std::vector<unsigned char>> reference;
      for (int threads : {1, 2, 3, 8}) {
        const std::string out = dir / (solver + std::to_string(threads));
        const CommandResult r = RunCommand(ShellQuote(MORVI_BINARY) + " --seed 5 --solver " + solver + " --threads " +
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
          EXPECT_EQ(files, reference) << first.Width() << "x" << first.Height() << " " << solver << " at " << threads
                                      << " threads";
        }
      }
    }
  }
}

// The fast solver: the same bytes with the vector kernels and without, on a real crop and on odd
// sizes, and on the real crop as accurate as the reference solver (which it does not reproduce).
TEST(EstimatePair, FastSolverIsTheSameOnBothKernelsAndAsAccurateAsTheReference) {
  const CroppedPair real = LoadCroppedPair("RubberWhale", cv::Rect(200, 150, 160, 120));
  std::vector<std::pair<ImageRef, ImageRef>> pairs;
  if (!real.first.Empty()) pairs.emplace_back(real.first, real.second);
  for (const cv::Size size : {cv::Size(37, 23), cv::Size(1, 50)}) {
    pairs.emplace_back(SmoothTexture(size.width, size.height, 0.0f), SmoothTexture(size.width, size.height, 0.7f));
  }
  for (const auto& [first, second] : pairs) {
    EstimateOptions options;
    options.seed = 3;
    options.threads = 2;
    options.solver = morvi::Solver::kFast;
    const PairFlow vector = EstimatePair(first, second, options, nullptr);
    options.vectorise = false;
    const PairFlow scalar = EstimatePair(first, second, options, nullptr);
    EXPECT_TRUE(SameBytes(vector.u, scalar.u)) << first.Width() << "x" << first.Height();
    EXPECT_TRUE(SameBytes(vector.v, scalar.v)) << first.Width() << "x" << first.Height();
  }
  if (real.first.Empty() || real.uGt.Empty()) GTEST_SKIP() << "ground-truth data not available";
  EstimateOptions options;
  options.seed = 3;
  const PairFlow reference = EstimatePair(real.first, real.second, options, nullptr);
  options.solver = morvi::Solver::kFast;
  const PairFlow fast = EstimatePair(real.first, real.second, options, nullptr);
  EXPECT_FALSE(SameBytes(fast.u, reference.u));
  const double referenceEpe = MeanEndpointError(reference.u, reference.v, real.uGt, real.vGt);
  const double fastEpe = MeanEndpointError(fast.u, fast.v, real.uGt, real.vGt);
  EXPECT_LT(fastEpe, 1.05 * referenceEpe + 0.005) << "reference " << referenceEpe;
}
