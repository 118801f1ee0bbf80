#include "motion/segment_motion.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

constexpr uint32_t kSeed = 1234;
constexpr float kMaskAll = -2.0f;  // sampled and overwritten

AffineParams Model() {
  AffineParams a;
  a.a0 = 0.01f;
  a.a1 = -0.02f;
  a.a2 = 1.25f;
  a.a3 = 0.015f;
  a.a4 = 0.005f;
  a.a5 = -0.5f;
  return a;
}

float ModelU(const AffineParams& a, int x, int y) { return a.a0 * x + a.a1 * y + a.a2; }
float ModelV(const AffineParams& a, int x, int y) { return a.a3 * x + a.a4 * y + a.a5; }

struct Scene {
  ImageRef u, v, mask;
};

Scene MakeScene(int width, int height) {
  Scene s{CreateFloat(width, height, 1), CreateFloat(width, height, 1), CreateFloat(width, height, 1)};
  s.mask.Mat().setTo(kMaskAll);
  return s;
}

std::vector<cv::Point> Block(int x0, int y0, int w, int h) {
  std::vector<cv::Point> pixels;
  for (int y = y0; y < y0 + h; ++y)
    for (int x = x0; x < x0 + w; ++x) pixels.emplace_back(x, y);
  return pixels;
}

void Paint(const Scene& s, const std::vector<cv::Point>& pixels, const AffineParams& a) {
  for (const cv::Point& p : pixels) {
    s.u.Row<float>(p.y)[p.x] = ModelU(a, p.x, p.y);
    s.v.Row<float>(p.y)[p.x] = ModelV(a, p.x, p.y);
  }
}

// A gross error of 3 to 30 pixels in a random direction per component.
void MakeOutlier(const Scene& s, const cv::Point& p, std::mt19937& rng) {
  std::uniform_real_distribution<float> size(3.0f, 30.0f);
  std::bernoulli_distribution sign(0.5);
  s.u.Row<float>(p.y)[p.x] += sign(rng) ? size(rng) : -size(rng);
  s.v.Row<float>(p.y)[p.x] += sign(rng) ? size(rng) : -size(rng);
}

bool SameBytes(const ImageRef& a, const ImageRef& b) {
  return a.Mat().size() == b.Mat().size() && cv::norm(a.Mat(), b.Mat(), cv::NORM_INF) == 0.0 &&
         std::memcmp(a.Mat().data, b.Mat().data, a.Mat().total() * a.Mat().elemSize()) == 0;
}

float MaxModelError(const Scene& s, const std::vector<cv::Point>& pixels, const AffineParams& a) {
  float worst = 0.0f;
  for (const cv::Point& p : pixels) {
    worst = std::max(worst, std::fabs(s.u.Row<float>(p.y)[p.x] - ModelU(a, p.x, p.y)));
    worst = std::max(worst, std::fabs(s.v.Row<float>(p.y)[p.x] - ModelV(a, p.x, p.y)));
  }
  return worst;
}

SegmentFitResult Fit(const Scene& s, const std::vector<cv::Point>& pixels, bool forceWrite = false,
                     uint32_t seed = kSeed) {
  RandomGenerator random(seed);
  return FitSegmentAffine(s.u, s.v, pixels, s.mask, 0.5f, forceWrite, 2000, 0.3f, 0.6f, random);
}

SegPatchList MakeList(const std::vector<std::vector<cv::Point>>& segments) {
  SegPatchList list;
  for (const auto& pixels : segments) {
    auto patch = std::make_unique<Segmentation::SegPatch>();
    patch->id = static_cast<int32_t>(list.size());
    patch->pixels = pixels;
    list.push_back(std::move(patch));
  }
  return list;
}

// Four segments with different characters: exact, noisy, outlier-ridden, and without a dominant
// motion. The flow between them keeps a smooth non-affine field.
Scene MixedScene(std::vector<std::vector<cv::Point>>& segments) {
  Scene s = MakeScene(64, 48);
  std::mt19937 rng(99);
  std::uniform_real_distribution<float> noise(-0.25f, 0.25f);
  for (int y = 0; y < 48; ++y) {
    for (int x = 0; x < 64; ++x) {
      s.u.Row<float>(y)[x] = 0.5f * std::sin(0.1f * x) + noise(rng);
      s.v.Row<float>(y)[x] = 0.3f * std::cos(0.13f * y) + noise(rng);
    }
  }
  segments = {Block(0, 0, 20, 20), Block(20, 0, 24, 20), Block(44, 0, 20, 20), Block(0, 20, 64, 28)};
  Paint(s, segments[0], Model());
  std::uniform_real_distribution<float> small(-0.2f, 0.2f);
  for (const cv::Point& p : segments[1]) {
    s.u.Row<float>(p.y)[p.x] = ModelU(Model(), p.x, p.y) + small(rng);
    s.v.Row<float>(p.y)[p.x] = ModelV(Model(), p.x, p.y) + small(rng);
  }
  Paint(s, segments[2], Model());
  for (size_t i = 0; i < segments[2].size(); i += 3) MakeOutlier(s, segments[2][i], rng);
  return s;
}

Scene Copy(const Scene& s) { return Scene{CloneFloat(s.u), CloneFloat(s.v), CloneFloat(s.mask)}; }

}  // namespace

TEST(FitSegmentMotions, SegmentsBelow200PixelsKeepTheirFlow) {
  Scene s = MakeScene(60, 30);
  std::vector<cv::Point> small = Block(0, 0, 20, 10);
  small.pop_back();  // 199 pixels
  const std::vector<cv::Point> large = Block(30, 10, 20, 10);  // 200 pixels
  Paint(s, small, Model());
  Paint(s, large, Model());
  std::mt19937 rng(3);
  for (size_t i = 0; i < small.size(); i += 10) MakeOutlier(s, small[i], rng);
  for (size_t i = 0; i < large.size(); i += 10) MakeOutlier(s, large[i], rng);
  const Scene before = Copy(s);

  testing::internal::CaptureStdout();
  FitSegmentMotions(MakeList({small, large}), s.u, s.v, s.mask, false, kSeed);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), ".");

  for (const cv::Point& p : small) {
    ASSERT_EQ(s.u.Row<float>(p.y)[p.x], before.u.Row<float>(p.y)[p.x]);
    ASSERT_EQ(s.v.Row<float>(p.y)[p.x], before.v.Row<float>(p.y)[p.x]);
  }
  EXPECT_LT(MaxModelError(s, large, Model()), 1e-4f);  // outliers replaced by the model
  EXPECT_EQ(s.u.Row<float>(9)[19], 0.0f);                // the pixel left out of both segments
}

TEST(FitSegmentMotions, PrintsADotAfterSegmentsZeroHundredTwoHundred) {
  Scene s = MakeScene(16, 16);
  std::vector<std::vector<cv::Point>> single(201, std::vector<cv::Point>{{1, 1}});
  testing::internal::CaptureStdout();
  FitSegmentMotions(MakeList(single), s.u, s.v, s.mask, false, kSeed);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "...");

  single.resize(200);
  testing::internal::CaptureStdout();
  FitSegmentMotions(MakeList(single), s.u, s.v, s.mask, false);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "..");
}

TEST(FitSegmentAffine, ExactlyAffineSegmentScoresOneAndIsReproduced) {
  Scene s = MakeScene(40, 30);
  const std::vector<cv::Point> pixels = Block(5, 3, 25, 20);
  Paint(s, pixels, Model());
  const SegmentFitResult result = Fit(s, pixels);
  EXPECT_EQ(result.bestScore, 1.0f);
  EXPECT_TRUE(result.written);
  EXPECT_FALSE(result.degenerated);
  EXPECT_LT(MaxModelError(s, pixels, Model()), 2e-6f);
  EXPECT_NEAR(result.params.a0, 0.01f, 1e-6f);
  EXPECT_NEAR(result.params.a5, -0.5f, 1e-5f);
}

TEST(FitSegmentAffine, OneRowSegmentIsDegeneratedAndKeepsItsFlow) {
  Scene s = MakeScene(320, 8);
  const std::vector<cv::Point> pixels = Block(10, 4, 300, 1);
  Paint(s, pixels, Model());
  std::mt19937 rng(5);
  for (size_t i = 0; i < pixels.size(); i += 4) MakeOutlier(s, pixels[i], rng);
  const Scene before = Copy(s);

  testing::internal::CaptureStdout();
  const SegmentFitResult result = Fit(s, pixels, /*forceWrite=*/true);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Degenerated\n");
  EXPECT_TRUE(result.degenerated);
  EXPECT_FALSE(result.written);
  EXPECT_TRUE(SameBytes(s.u, before.u));
  EXPECT_TRUE(SameBytes(s.v, before.v));
}

TEST(FitSegmentAffine, PixelsWithMaskZeroAreNeverSampled) {
  // only row 8 may be sampled, and one row gives no usable triple
  Scene s = MakeScene(30, 30);
  const std::vector<cv::Point> pixels = Block(0, 0, 30, 20);
  Paint(s, pixels, Model());
  s.mask.Mat().setTo(0.0f);
  s.mask.Mat().row(8).setTo(kMaskAll);
  testing::internal::CaptureStdout();
  const SegmentFitResult result = Fit(s, pixels);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Degenerated\n");
  EXPECT_TRUE(result.degenerated);
}

TEST(FitSegmentAffine, MaskOfOneIsSampledButNeverOverwritten) {
  // Row 5 (mask -2) alone is collinear, so a usable triple needs the mask-1 rows 0..14 besides it.
  // Rows 15..19 have mask 0 and carry outliers. The mask-1 pixels are off the model by +-0.02
  // (alternating), which keeps them inliers and tells them apart from written values.
  Scene s = MakeScene(30, 30);
  const std::vector<cv::Point> pixels = Block(0, 0, 30, 20);
  Paint(s, pixels, Model());
  s.mask.Mat().setTo(1.0f);
  s.mask.Mat().row(5).setTo(kMaskAll);
  s.mask.Mat().rowRange(15, 30).setTo(0.0f);
  std::mt19937 rng(8);
  std::vector<cv::Point> written;
  for (const cv::Point& p : pixels) {
    if (p.y >= 15 || p.y == 5) {
      if (p.y >= 15 && (p.x + p.y) % 3 == 0) MakeOutlier(s, p, rng);
      written.push_back(p);
    } else {
      s.u.Row<float>(p.y)[p.x] += (p.x % 2 == 0) ? 0.02f : -0.02f;
    }
  }
  const Scene before = Copy(s);

  const SegmentFitResult result = Fit(s, pixels);
  ASSERT_FALSE(result.degenerated);
  ASSERT_TRUE(result.written);
  for (const cv::Point& p : pixels) {
    if (p.y < 15 && p.y != 5) {
      ASSERT_EQ(s.u.Row<float>(p.y)[p.x], before.u.Row<float>(p.y)[p.x]);
      ASSERT_EQ(s.v.Row<float>(p.y)[p.x], before.v.Row<float>(p.y)[p.x]);
    }
  }
  // row 5 and the mask-0 rows, outliers included, carry the refitted model
  EXPECT_LT(MaxModelError(s, written, Model()), 0.005f);
  // pixels outside the segment are never touched
  EXPECT_EQ(s.u.Row<float>(25)[3], 0.0f);
}

TEST(FitSegmentAffine, InlierFractionMustExceedTheAcceptFraction) {
  for (int outliers : {80, 79}) {
    Scene s = MakeScene(24, 12);
    const std::vector<cv::Point> pixels = Block(2, 1, 20, 10);
    Paint(s, pixels, Model());
    std::mt19937 rng(17);
    int made = 0;
    for (size_t i = pixels.size(); i-- > 0 && made < outliers;) {
      if (i % 5 < 2) {
        MakeOutlier(s, pixels[i], rng);
        ++made;
      }
    }
    ASSERT_EQ(made, outliers);
    const Scene before = Copy(s);

    const SegmentFitResult result = Fit(s, pixels);
    if (outliers == 80) {
      EXPECT_EQ(result.bestScore, 0.6f);  // exactly 120 of 200
      EXPECT_FALSE(result.written);
      EXPECT_TRUE(SameBytes(s.u, before.u));
    } else {
      EXPECT_EQ(result.bestScore, 121.0f / 200.0f);
      EXPECT_TRUE(result.written);
      EXPECT_LT(MaxModelError(s, pixels, Model()), 1e-4f);
    }
  }
}

TEST(FitSegmentAffine, RecoversAffineFlowUnderThirtyPercentOutliers) {
  Scene s = MakeScene(40, 40);
  const std::vector<cv::Point> pixels = Block(5, 5, 30, 30);
  Paint(s, pixels, Model());
  std::mt19937 rng(21);
  std::uniform_real_distribution<float> noise(-0.05f, 0.05f);
  std::uniform_real_distribution<float> pick(0.0f, 1.0f);
  for (const cv::Point& p : pixels) {
    if (pick(rng) < 0.3f) {
      MakeOutlier(s, p, rng);
    } else {
      s.u.Row<float>(p.y)[p.x] += noise(rng);
      s.v.Row<float>(p.y)[p.x] += noise(rng);
    }
  }
  const SegmentFitResult result = Fit(s, pixels);
  EXPECT_TRUE(result.written);
  EXPECT_GT(result.bestScore, 0.6f);
  EXPECT_LT(result.bestScore, 0.8f);
  EXPECT_LT(MaxModelError(s, pixels, Model()), 0.03f);
}

TEST(FitSegmentAffine, LaterHypothesisExplainingEveryPixelStillWins) {
  // A block of 200 exactly affine pixels and one distant pixel 1.0 off the block's model. Triples
  // from the block leave that pixel out (200 of 201); a triple through it tilts the model by less
  // than 0.3 over the block and so explains all 201. Once 200 of 201 is the best, only a full score
  // can still win, and it must not be skipped.
  Scene s = MakeScene(60, 60);
  std::vector<cv::Point> pixels{{25, 0}};
  for (const cv::Point& p : Block(20, 45, 20, 10)) pixels.push_back(p);
  Paint(s, pixels, Model());
  s.u.Row<float>(0)[25] += 1.0f;
  for (InlierScan scan : {InlierScan::kReference, InlierScan::kEarlyStop}) {
    const Scene copy = Copy(s);
    RandomGenerator random(kSeed);
    const SegmentFitResult result =
        FitSegmentAffine(copy.u, copy.v, pixels, copy.mask, 0.5f, false, 2000, 0.3f, 0.6f, random, scan);
    EXPECT_EQ(result.bestScore, 1.0f);
    EXPECT_TRUE(result.written);
  }
}

TEST(CountAffineInliers, AgreesWithTheReferenceAndGivesUpExactly) {
  Scene s = MakeScene(50, 40);
  const std::vector<cv::Point> pixels = Block(3, 2, 41, 33);  // not a multiple of the chunk size
  std::mt19937 rng(13);
  std::uniform_real_distribution<float> flow(-0.6f, 0.6f);
  for (const cv::Point& p : pixels) {
    s.u.Row<float>(p.y)[p.x] = flow(rng);
    s.v.Row<float>(p.y)[p.x] = flow(rng);
  }
  GatheredSegment seg;
  GatherSegment(s.u, s.v, s.mask, pixels, 0.5f, seg);
  const int n = static_cast<int>(pixels.size());
  std::uniform_real_distribution<float> slope(-0.004f, 0.004f), offset(-0.2f, 0.2f);
  std::vector<cv::Point> inliers;
  for (float t : {0.3f, 0.5f}) {
    const float bound = SquaredInlierBound(t);
    for (int k = 0; k < 200; ++k) {
      AffineParams a;
      a.a0 = slope(rng);
      a.a1 = slope(rng);
      a.a2 = offset(rng);
      a.a3 = slope(rng);
      a.a4 = slope(rng);
      a.a5 = offset(rng);
      CollectAffineInliers(s.u, s.v, pixels, a, t, inliers);
      const int expected = static_cast<int>(inliers.size());
      ASSERT_EQ(CountAffineInliers(seg, a, bound, n), expected);
      // it completes as long as the count can still reach n - maxMisses, and not beyond
      ASSERT_EQ(CountAffineInliers(seg, a, bound, n - expected), expected);
      if (expected < n) {
        ASSERT_EQ(CountAffineInliers(seg, a, bound, n - expected - 1), -1);
      }
    }
  }
}

TEST(FitSegmentAffine, ForceWriteWritesTheBestModelWithoutAMajority) {
  Scene s = MakeScene(30, 30);
  const std::vector<cv::Point> pixels = Block(0, 0, 30, 30);
  std::mt19937 rng(4);
  for (const cv::Point& p : pixels) MakeOutlier(s, p, rng);  // no dominant motion at all
  const Scene before = Copy(s);

  const SegmentFitResult rejected = Fit(s, pixels, false);
  EXPECT_FALSE(rejected.written);
  EXPECT_LE(rejected.bestScore, 0.6f);
  EXPECT_TRUE(SameBytes(s.u, before.u));

  const SegmentFitResult forced = Fit(s, pixels, true);
  EXPECT_TRUE(forced.written);
  EXPECT_EQ(s.u.Row<float>(29)[29], ModelU(forced.params, 29, 29));
}

TEST(FitSegmentMotions, SameSeedGivesTheSameFlow) {
  std::vector<std::vector<cv::Point>> segments;
  const Scene original = MixedScene(segments);
  const SegPatchList list = MakeList(segments);
  Scene first = Copy(original), second = Copy(original), other = Copy(original);
  testing::internal::CaptureStdout();
  FitSegmentMotions(list, first.u, first.v, first.mask, false, 77u);
  FitSegmentMotions(list, second.u, second.v, second.mask, false, 77u);
  FitSegmentMotions(list, other.u, other.v, other.mask, false, 78u);
  testing::internal::GetCapturedStdout();
  EXPECT_TRUE(SameBytes(first.u, second.u));
  EXPECT_TRUE(SameBytes(first.v, second.v));
  EXPECT_FALSE(SameBytes(first.u, original.u));
  // the noisy segment's refit depends on which hypothesis won
  EXPECT_FALSE(SameBytes(first.u, other.u));
}

TEST(FitSegmentMotions, InlierScansGiveIdenticalFlow) {
  std::vector<std::vector<cv::Point>> segments;
  const Scene original = MixedScene(segments);
  const SegPatchList list = MakeList(segments);
  for (bool forceWrite : {false, true}) {
    Scene reference = Copy(original), complete = Copy(original), early = Copy(original);
    testing::internal::CaptureStdout();
    FitSegmentMotions(list, reference.u, reference.v, reference.mask, forceWrite, 5u, InlierScan::kReference);
    FitSegmentMotions(list, complete.u, complete.v, complete.mask, forceWrite, 5u, InlierScan::kComplete);
    FitSegmentMotions(list, early.u, early.v, early.mask, forceWrite, 5u, InlierScan::kEarlyStop);
    testing::internal::GetCapturedStdout();
    EXPECT_FALSE(SameBytes(reference.u, original.u));
    EXPECT_TRUE(SameBytes(reference.u, complete.u)) << "forceWrite " << forceWrite;
    EXPECT_TRUE(SameBytes(reference.v, complete.v)) << "forceWrite " << forceWrite;
    EXPECT_TRUE(SameBytes(reference.u, early.u)) << "forceWrite " << forceWrite;
    EXPECT_TRUE(SameBytes(reference.v, early.v)) << "forceWrite " << forceWrite;
  }
}

TEST(FitSegmentMotions, RejectsMismatchedImagesAndPixelsOutsideThem) {
  Scene s = MakeScene(20, 20);
  const SegPatchList list = MakeList({Block(0, 0, 20, 10)});
  EXPECT_THROW(FitSegmentMotions(list, s.u, CreateFloat(20, 19, 1), s.mask, false, kSeed), std::invalid_argument);
  EXPECT_THROW(FitSegmentMotions(list, s.u, s.v, CreateByte(20, 20, 1), false, kSeed), std::invalid_argument);
  const SegPatchList outside = MakeList({Block(10, 10, 20, 10)});
  EXPECT_THROW(FitSegmentMotions(outside, s.u, s.v, s.mask, false, kSeed), std::invalid_argument);
}

TEST(SquaredInlierBound, DecidesExactlyAsTheRoot) {
  std::mt19937 rng(31);
  for (float t : {0.3f, 0.1f, 1.0f, 0.7f, 1e-3f, 2.5f, 1e-20f}) {
    const float bound = SquaredInlierBound(t);
    ASSERT_TRUE(std::sqrt(bound) >= t) << t;
    ASSERT_TRUE(std::sqrt(std::nextafter(bound, 0.0f)) < t) << t;
    // every float within 4096 steps of the bound, then a wide random sweep
    float q = bound;
    for (int k = 0; k < 4096; ++k) q = std::nextafter(q, 0.0f);
    for (int k = 0; k < 8192; ++k, q = std::nextafter(q, 1.0f)) {
      ASSERT_EQ(q < bound, std::sqrt(q) < t) << "t " << t << " q " << q;
    }
    std::uniform_real_distribution<float> wide(0.0f, 4.0f * t * t);
    for (int k = 0; k < 20000; ++k) {
      const float r = wide(rng);
      ASSERT_EQ(r < bound, std::sqrt(r) < t);
    }
  }
  EXPECT_EQ(SquaredInlierBound(0.0f), 0.0f);
  EXPECT_EQ(SquaredInlierBound(-1.0f), 0.0f);
  EXPECT_EQ(SquaredInlierBound(std::numeric_limits<float>::quiet_NaN()), 0.0f);
}

TEST(CollectAffineInliers, ThresholdIsStrictAndScoreIsTheFraction) {
  Scene s = MakeScene(10, 10);
  const std::vector<cv::Point> pixels = Block(0, 0, 10, 2);
  Paint(s, pixels, AffineParams{});
  // residual of exactly 0.25 (a 3-4-5 triangle scaled by 0.05) at four pixels
  for (int x = 0; x < 4; ++x) {
    s.u.Row<float>(0)[x] = 0.15f;
    s.v.Row<float>(0)[x] = 0.2f;
  }
  const float r = AffineResidual(s.u, s.v, AffineParams{}, 0, 0);
  std::vector<cv::Point> inliers{{7, 7}};
  const float score = CollectAffineInliers(s.u, s.v, pixels, AffineParams{}, r, inliers);
  EXPECT_EQ(inliers.size(), 16u);
  EXPECT_EQ(inliers.front(), cv::Point(4, 0));
  EXPECT_EQ(score, 16.0f / 20.0f);
  EXPECT_EQ(CollectAffineInliers(s.u, s.v, pixels, AffineParams{}, std::nextafter(r, 1.0f), inliers), 1.0f);
  EXPECT_EQ(CollectAffineInliers(s.u, s.v, {}, AffineParams{}, 0.3f, inliers), 0.0f);
  EXPECT_TRUE(inliers.empty());
}

TEST(IsDegenerateTriple, CollinearOrCoincidentPoints) {
  EXPECT_TRUE(IsDegenerateTriple({0, 0}, {5, 5}, {9, 9}));
  EXPECT_TRUE(IsDegenerateTriple({3, 7}, {3, 7}, {1, 2}));
  EXPECT_TRUE(IsDegenerateTriple({4, 1}, {4, 8}, {4, 30}));
  EXPECT_TRUE(IsDegenerateTriple({2, 2}, {2, 2}, {2, 2}));
  EXPECT_FALSE(IsDegenerateTriple({0, 0}, {1, 0}, {0, 1}));
  EXPECT_FALSE(IsDegenerateTriple({0, 0}, {60000, 1}, {1, 60000}));  // products beyond 32 bits
}

// Ground-truth flow of a scene of planar surfaces: block segments that lie on one plane are accepted
// and the written model stays close to the truth.
TEST(FitSegmentMotions, PlanarGroundTruthIsKeptOnRealData) {
  const std::string dataDir = MORVI_DATA_DIR;
  const std::string path = dataDir + "/middlebury/Venus/flow10.flo";
  std::ifstream file(path, std::ios::binary);
  if (dataDir.empty() || !file) GTEST_SKIP() << "no ground truth at " << path;
  char tag[4];
  int32_t width = 0, height = 0;
  file.read(tag, 4);
  file.read(reinterpret_cast<char*>(&width), 4);
  file.read(reinterpret_cast<char*>(&height), 4);
  ASSERT_EQ(std::string(tag, 4), "PIEH");
  ASSERT_EQ(width, 420);
  std::vector<float> flow(static_cast<size_t>(width) * height * 2);
  file.read(reinterpret_cast<char*>(flow.data()), static_cast<std::streamsize>(flow.size() * sizeof(float)));
  ASSERT_TRUE(file);

  // a 120 x 120 window cut into nine 40 x 40 segments
  constexpr int kX0 = 150, kY0 = 150, kSize = 120, kBlock = 40;
  Scene s = MakeScene(kSize, kSize);
  for (int y = 0; y < kSize; ++y) {
    for (int x = 0; x < kSize; ++x) {
      const size_t at = (static_cast<size_t>(kY0 + y) * width + kX0 + x) * 2;
      s.u.Row<float>(y)[x] = flow[at];
      s.v.Row<float>(y)[x] = flow[at + 1];
    }
  }
  std::vector<std::vector<cv::Point>> blocks;
  for (int by = 0; by < kSize; by += kBlock)
    for (int bx = 0; bx < kSize; bx += kBlock) blocks.push_back(Block(bx, by, kBlock, kBlock));
  const Scene truth = Copy(s);

  testing::internal::CaptureStdout();
  FitSegmentMotions(MakeList(blocks), s.u, s.v, s.mask, false, kSeed);
  testing::internal::GetCapturedStdout();

  // Blocks that straddle a depth edge get one plane written over part of the other surface, so
  // the bounds are on the share of pixels that keep the truth, not on the mean error.
  constexpr float kClose = 0.1f;  // pixels
  int accepted = 0;
  int close = 0;
  for (const auto& block : blocks) {
    bool changed = false;
    int blockClose = 0;
    for (const cv::Point& p : block) {
      const float du = s.u.Row<float>(p.y)[p.x] - truth.u.Row<float>(p.y)[p.x];
      const float dv = s.v.Row<float>(p.y)[p.x] - truth.v.Row<float>(p.y)[p.x];
      changed = changed || du != 0.0f || dv != 0.0f;
      blockClose += std::sqrt(du * du + dv * dv) < kClose ? 1 : 0;
    }
    close += blockClose;
    if (changed) {
      ++accepted;
      // the model was accepted because more than 60 % of the block agreed with it
      EXPECT_GT(blockClose, static_cast<int>(block.size()) / 2);
    }
  }
  EXPECT_GE(accepted, 5);
  EXPECT_GT(close, 0.9 * kSize * kSize);
}

// Segments of every kind in one list: collinear (degenerate after its draws), two equal halves
// under different models (many hypotheses tie at one half, and the first of them must win), noisy,
// outlier-ridden and exact. Every scan gives the same flow and console output at every thread
// count, and so does each segment's result; later segments see the generator exactly where the
// one-thread run leaves it.
TEST(FitSegmentMotions, SameFlowAtEveryThreadCount) {
  Scene s = MakeScene(240, 60);
  AffineParams shifted = Model();
  shifted.a2 += 2.0f;
  const std::vector<cv::Point> row = Block(0, 0, 240, 1);
  std::vector<cv::Point> halves = Block(0, 2, 20, 20);
  for (const cv::Point& p : Block(20, 2, 20, 20)) halves.push_back(p);
  const std::vector<cv::Point> noisy = Block(40, 2, 30, 30);
  const std::vector<cv::Point> outliers = Block(70, 2, 30, 30);
  const std::vector<cv::Point> exact = Block(100, 2, 60, 50);
  Paint(s, Block(0, 2, 20, 20), Model());
  Paint(s, Block(20, 2, 20, 20), shifted);
  std::mt19937 rng(31);
  std::uniform_real_distribution<float> small(-0.2f, 0.2f);
  for (const cv::Point& p : noisy) {
    s.u.Row<float>(p.y)[p.x] = ModelU(Model(), p.x, p.y) + small(rng);
    s.v.Row<float>(p.y)[p.x] = ModelV(Model(), p.x, p.y) + small(rng);
  }
  Paint(s, outliers, Model());
  for (size_t i = 0; i < outliers.size(); i += 3) MakeOutlier(s, outliers[i], rng);
  Paint(s, exact, shifted);
  const SegPatchList list = MakeList({row, halves, noisy, outliers, exact});

  for (InlierScan scan : {InlierScan::kReference, InlierScan::kComplete, InlierScan::kEarlyStop}) {
    for (bool forceWrite : {false, true}) {
      const Scene one = Copy(s);
      testing::internal::CaptureStdout();
      FitSegmentMotions(list, one.u, one.v, one.mask, forceWrite, kSeed, scan, 1);
      const std::string printedOne = testing::internal::GetCapturedStdout();
      EXPECT_NE(printedOne.find("Degenerated"), std::string::npos);
      EXPECT_FALSE(SameBytes(one.u, s.u));
      for (int threads : {2, 3, 8}) {
        const Scene many = Copy(s);
        testing::internal::CaptureStdout();
        FitSegmentMotions(list, many.u, many.v, many.mask, forceWrite, kSeed, scan, threads);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), printedOne);
        EXPECT_TRUE(SameBytes(many.u, one.u) && SameBytes(many.v, one.v))
            << "scan " << static_cast<int>(scan) << " forceWrite " << forceWrite << " threads " << threads;
      }
    }
  }

  // The tied halves under several seeds: which half's model is written depends on which tied
  // hypothesis comes first.
  for (uint32_t seed : {1u, 2u, 3u, 4u}) {
    const Scene one = Copy(s);
    RandomGenerator randomOne(seed);
    const SegmentFitResult a = FitSegmentAffine(one.u, one.v, halves, one.mask, 0.5f, true, 2000, 0.3f, 0.6f,
                                                randomOne, InlierScan::kEarlyStop, 1);
    EXPECT_EQ(a.bestScore, 0.5f);
    const int nextDraw = randomOne.Next();
    for (int threads : {2, 3, 8}) {
      const Scene many = Copy(s);
      RandomGenerator random(seed);
      const SegmentFitResult b = FitSegmentAffine(many.u, many.v, halves, many.mask, 0.5f, true, 2000, 0.3f, 0.6f,
                                                  random, InlierScan::kEarlyStop, threads);
      EXPECT_EQ(b.bestScore, a.bestScore);
      EXPECT_EQ(std::memcmp(&b.params, &a.params, sizeof(AffineParams)), 0) << "seed " << seed << " threads " << threads;
      EXPECT_EQ(random.Next(), nextDraw);
      EXPECT_TRUE(SameBytes(many.u, one.u));
    }
  }
}

// The three pixels determine a hypothesis's model: solved exactly it is the optimizer's model up to
// rounding, and on this scene the same flow comes out, at every thread count.
TEST(FitSegmentMotions, ExactHypothesisFitsGiveTheOptimizersFlow) {
  std::vector<std::vector<cv::Point>> segments;
  const Scene original = MixedScene(segments);
  const SegPatchList list = MakeList(segments);
  for (bool forceWrite : {false, true}) {
    Scene optimizer = Copy(original), exact = Copy(original), exactThreads = Copy(original);
    testing::internal::CaptureStdout();
    FitSegmentMotions(list, optimizer.u, optimizer.v, optimizer.mask, forceWrite, 5u, InlierScan::kEarlyStop, 1,
                      &std::cout, HypothesisFit::kOptimizer);
    FitSegmentMotions(list, exact.u, exact.v, exact.mask, forceWrite, 5u, InlierScan::kEarlyStop, 1, &std::cout,
                      HypothesisFit::kExact);
    FitSegmentMotions(list, exactThreads.u, exactThreads.v, exactThreads.mask, forceWrite, 5u,
                      InlierScan::kEarlyStop, 3, &std::cout, HypothesisFit::kExact);
    testing::internal::GetCapturedStdout();
    EXPECT_FALSE(SameBytes(exact.u, original.u));
    EXPECT_TRUE(SameBytes(exact.u, optimizer.u)) << "forceWrite " << forceWrite;
    EXPECT_TRUE(SameBytes(exact.v, optimizer.v)) << "forceWrite " << forceWrite;
    EXPECT_TRUE(SameBytes(exact.u, exactThreads.u)) << "forceWrite " << forceWrite;
    EXPECT_TRUE(SameBytes(exact.v, exactThreads.v)) << "forceWrite " << forceWrite;
  }
}
