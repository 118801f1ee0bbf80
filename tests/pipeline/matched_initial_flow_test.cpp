// The matched initial flow: a large shift of a real frame, and the fall back to the pyramid where
// nothing can be matched.
#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "pipeline/matched_initial_flow.h"
#include "support/test_support.h"

namespace {

cv::Mat RealFrame() {
  const std::string path = DataPath("middlebury/RubberWhale/frame10.png");
  return path.empty() ? cv::Mat() : cv::imread(path, cv::IMREAD_COLOR);
}

CommandResult Morvi(const std::string& options, const TempDir& frames, const TempDir& results) {
  return RunCommand(ShellQuote(MORVI_BINARY) + " --seed 4 " + options + " " + ShellQuote(frames.path().string()) +
                    " .png 8 " + ShellQuote(results.path().string()));
}

size_t Occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

}  // namespace

TEST(MatchedInitialFlow, FindsAShiftFarBeyondThePyramidsReach) {
  const cv::Mat frame = RealFrame();
  if (frame.empty()) GTEST_SKIP() << "no data set";
  // Two windows of one frame: every pixel moves by (37, -21).
  const ImageRef first(frame(cv::Rect(60, 20, 400, 300)).clone());
  const ImageRef second(frame(cv::Rect(23, 41, 400, 300)).clone());
  ImageRef u;
  ImageRef v;
  std::string reason;
  ASSERT_TRUE(EstimateMatchedInitialFlow(first, second, u, v, reason)) << reason;
  ASSERT_EQ(u.Width(), 400);
  ASSERT_EQ(v.Height(), 300);
  // Inside the part that stays in view, nearly every vector is within half a pixel.
  int close = 0;
  int counted = 0;
  for (int y = 30; y < 270; ++y) {
    for (int x = 10; x < 350; ++x) {
      const float du = u.Row<float>(y)[x] - 37.0f;
      const float dv = v.Row<float>(y)[x] + 21.0f;
      close += du * du + dv * dv < 0.25f;
      ++counted;
    }
  }
  EXPECT_GT(close, counted * 95 / 100);

  // The same frames give the same field, also with the keypoints, flows and descriptor matching
  // found on threads side by side.
  for (const int threads : {1, 2, 3}) {
    ImageRef u2;
    ImageRef v2;
    ASSERT_TRUE(EstimateMatchedInitialFlow(first, second, u2, v2, reason, threads));
    EXPECT_EQ(cv::norm(u.Mat(), u2.Mat(), cv::NORM_INF), 0.0) << threads << " threads";
    EXPECT_EQ(cv::norm(v.Mat(), v2.Mat(), cv::NORM_INF), 0.0) << threads << " threads";
  }
}

TEST(MatchedInitialFlow, FewMatchesInterpolateToTheirShift) {
  const cv::Mat frame = RealFrame();
  if (frame.empty()) GTEST_SKIP() << "no data set";
  // As few matches as an interpolation takes, and a few more, moving by (7, -4) give or take a
  // tenth of a pixel: each match has fewer other matches than the usual neighbourhood holds.
  const ImageRef first(frame(cv::Rect(100, 80, 160, 120)).clone());
  const ImageRef second(frame(cv::Rect(93, 84, 160, 120)).clone());
  cv::RNG rng(1);
  for (const int count : {kMinMatches, kMinMatches + 9}) {
    std::vector<SparseMatch> matches;
    for (int k = 0; k < count; ++k) {
      const cv::Point2f from(10.0f + static_cast<float>(k % 8) * 18.0f, 8.0f + static_cast<float>(k / 8) * 20.0f);
      const cv::Point2f motion(7.0f + rng.uniform(-0.1f, 0.1f), -4.0f + rng.uniform(-0.1f, 0.1f));
      matches.push_back({from, from + motion, true});
    }
    ImageRef u;
    ImageRef v;
    std::string reason;
    ASSERT_TRUE(InterpolateMatches(first, second, matches, u, v, reason)) << reason;
    EXPECT_NEAR(cv::mean(u.Mat())[0], 7.0, 0.1) << count << " matches";
    EXPECT_NEAR(cv::mean(v.Mat())[0], -4.0, 0.1) << count << " matches";
  }
}

TEST(MatchedInitialFlow, NeighboursRejectAWrongRepetitionAndSpareWhatNothingContradicts) {
  // A wall moving by (5, 0) matched on an 8-pixel grid; one match on it took the repetition a
  // period of 12 pixels further. Far off, a lone match of a small object moving by (40, 9), and
  // a pair of matches of another object, each with too few neighbours to be judged. In a second
  // row, a fast object's matches differ among themselves by up to a quarter of their length and
  // still confirm each other.
  std::vector<SparseMatch> matches;
  for (int y = 0; y <= 64; y += 8) {
    for (int x = 0; x <= 64; x += 8) {
      const float dx = (x == 32 && y == 32) ? 17.0f : 5.0f;
      matches.push_back({cv::Point2f(x, y), cv::Point2f(x + dx, y)});
    }
  }
  matches.push_back({cv::Point2f(300, 300), cv::Point2f(340, 309)});
  matches.push_back({cv::Point2f(200, 10), cv::Point2f(190, 10)});
  matches.push_back({cv::Point2f(208, 10), cv::Point2f(198, 10)});
  for (int k = 0; k < 6; ++k) {  // moving by 40, 42, ..., 50 pixels
    const float x = 100.0f + 8.0f * static_cast<float>(k);
    matches.push_back({cv::Point2f(x, 100), cv::Point2f(x + 40.0f + 2.0f * static_cast<float>(k), 100)});
  }
  const std::vector<SparseMatch> kept = MatchesTheirNeighboursConfirm(matches);
  ASSERT_EQ(kept.size(), matches.size() - 1);
  for (const SparseMatch& match : kept) {
    EXPECT_FALSE(match.from == cv::Point2f(32, 32)) << "the wrong repetition survived";
  }
  EXPECT_TRUE(MatchesTheirNeighboursConfirm({}).empty());
}

TEST(MatchedInitialFlow, RealPairGivesTheSameBytesAtEveryThreadCount) {
  const cv::Mat frame = RealFrame();
  if (frame.empty()) GTEST_SKIP() << "no data set";
  TempDir frames;
  cv::imwrite(frames / "a.png", frame(cv::Rect(200, 100, 160, 120)));
  cv::imwrite(frames / "b.png", cv::imread(DataPath("middlebury/RubberWhale/frame11.png"))(cv::Rect(200, 100, 160, 120)));
  TempDir pyramid;
  ASSERT_EQ(Morvi("--init pyramid", frames, pyramid).status, 0);
  for (const std::string init : {"matches", "fused"}) {
    std::vector<unsigned char> reference;
    for (const char* threads : {"1", "3", "1"}) {
      TempDir results;
      const CommandResult run = Morvi("--init " + init + " --threads " + threads, frames, results);
      ASSERT_EQ(run.status, 0) << run.err;
      EXPECT_EQ(run.err.find("starts from the pyramid"), std::string::npos) << init << run.err;
      const std::vector<unsigned char> bytes = ReadBytes(results / "a_morvi.flo");
      if (reference.empty()) reference = bytes;
      EXPECT_EQ(bytes, reference) << init << " at threads " << threads;
    }
    EXPECT_NE(ReadBytes(pyramid / "a_morvi.flo"), reference) << init;
  }
}

TEST(MatchedInitialFlow, UnmatchableFramesFallBackToThePyramidOncePerPair) {
  // A constant pair, a straight colour edge moving by a pixel, and tiny frames.
  std::vector<std::pair<cv::Mat, cv::Mat>> pairs;
  pairs.emplace_back(cv::Mat(48, 64, CV_8UC3, cv::Scalar(90, 120, 150)), cv::Mat(48, 64, CV_8UC3, cv::Scalar(90, 120, 150)));
  cv::Mat edge1(48, 64, CV_8UC3, cv::Scalar(30, 30, 30));
  cv::Mat edge2 = edge1.clone();
  edge1(cv::Rect(30, 0, 34, 48)).setTo(cv::Scalar(40, 200, 90));
  edge2(cv::Rect(31, 0, 33, 48)).setTo(cv::Scalar(40, 200, 90));
  pairs.emplace_back(edge1, edge2);
  for (const int side : {1, 8, 16}) {
    cv::Mat a(side, side + 1, CV_8UC3);
    cv::Mat b(side, side + 1, CV_8UC3);
    cv::randu(a, 0, 255);
    cv::randu(b, 0, 255);
    pairs.emplace_back(a, b);
  }
  for (size_t i = 0; i < pairs.size(); ++i) {
    TempDir frames;
    cv::imwrite(frames / "f0.png", pairs[i].first);
    cv::imwrite(frames / "f1.png", pairs[i].second);
    cv::imwrite(frames / "f2.png", pairs[i].first);
    TempDir pyramid;
    ASSERT_EQ(Morvi("", frames, pyramid).status, 0);
    for (const std::string init : {"matches", "fused"}) {
      TempDir matched;
      const CommandResult run = Morvi("--init " + init, frames, matched);
      ASSERT_EQ(run.status, 0) << i << init << run.err;
      // Once per pair, on standard error, naming the pair.
      EXPECT_EQ(Occurrences(run.err, "starts from the pyramid"), 2u) << i << init << run.err;
      for (const char* pair : {"pair f0: ", "pair f1: "}) {
        const size_t line = run.err.find(pair);
        ASSERT_NE(line, std::string::npos) << i << run.err;
        EXPECT_LT(run.err.find("starts from the pyramid", line), run.err.find('\n', line)) << i << run.err;
      }
      for (const char* name : {"f0_morvi.flo", "f0_morvi.ppm", "f1_morviwarp.ppm"}) {
        EXPECT_EQ(ReadBytes(matched / name), ReadBytes(pyramid / name)) << i << " " << init << " " << name;
      }
    }
  }
  TempDir frames;
  TempDir results;
  const CommandResult bad = Morvi("--init fast", frames, results);
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE(bad.err.find("--init"), std::string::npos);
}
