// The occlusion decision on hand-made flows, and end to end on a square moving over a background.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "image/occlusion_score.h"
#include "pipeline/occlusion_mask.h"
#include "support/test_support.h"

namespace {

// A smooth random texture, reproducible from `seed`.
cv::Mat Texture(int width, int height, int seed) {
  cv::Mat noise(height, width, CV_32FC3);
  cv::RNG random(seed);
  random.fill(noise, cv::RNG::UNIFORM, 0.0, 255.0);
  cv::GaussianBlur(noise, noise, cv::Size(0, 0), 1.5);
  cv::normalize(noise, noise, 20, 235, cv::NORM_MINMAX);
  cv::Mat texture;
  noise.convertTo(texture, CV_8UC3);
  return texture;
}

ImageRef Constant(int width, int height, float value) {
  ImageRef image = CreateFloat(width, height, 1);
  image.Mat().setTo(value);
  return image;
}

int CountMarked(const ImageRef& mask) { return cv::countNonZero(mask.Mat()); }

}  // namespace

TEST(OcclusionMask, HandMadeFlowsGiveTheExpectedMarks) {
  const cv::Mat frame = Texture(40, 30, 1);
  const ImageRef first(frame.clone());
  const ImageRef zero = Constant(40, 30, 0.0f);
  ImageRef mask;

  // Identical frames, no motion: nothing is occluded.
  EstimateOcclusionMask(first, first, zero, zero, zero, zero, mask);
  ASSERT_EQ(mask.Mat().type(), CV_8UC1);
  EXPECT_EQ(CountMarked(mask), 0);

  // Everything moves 100 pixels to the right: every target leaves the frame.
  const ImageRef far = Constant(40, 30, 100.0f);
  EstimateOcclusionMask(first, first, far, zero, zero, zero, mask);
  EXPECT_EQ(CountMarked(mask), 40 * 30);

  // A non-finite vector is never trusted; the rest stays visible, 0 or 255 only.
  ImageRef u = Constant(40, 30, 0.0f);
  u.Mat().at<float>(15, 20) = std::numeric_limits<float>::quiet_NaN();
  EstimateOcclusionMask(first, first, u, zero, zero, zero, mask);
  EXPECT_EQ(mask.Mat().at<uint8_t>(15, 20), 255);
  EXPECT_EQ(mask.Mat().at<uint8_t>(5, 5), 0);
  EXPECT_EQ(CountMarked(mask) + cv::countNonZero(mask.Mat() == 0), 40 * 30);

  // A backward flow that does not lead back contradicts the forward flow in its square.
  ImageRef backU = Constant(40, 30, 0.0f);
  backU.Mat()(cv::Rect(10, 10, 10, 10)).setTo(3.0f);
  EstimateOcclusionMask(first, first, zero, zero, backU, zero, mask);
  EXPECT_EQ(mask.Mat().at<uint8_t>(15, 15), 255);
  EXPECT_EQ(mask.Mat().at<uint8_t>(25, 35), 0);

  // One pixel and two pixels: valid masks.
  for (const cv::Size size : {cv::Size(1, 1), cv::Size(2, 1)}) {
    const ImageRef tiny(Texture(size.width, size.height, 2));
    const ImageRef still = Constant(size.width, size.height, 0.0f);
    EstimateOcclusionMask(tiny, tiny, still, still, still, still, mask);
    EXPECT_EQ(mask.Width(), size.width);
    EXPECT_EQ(CountMarked(mask), 0);
  }
}

TEST(OcclusionMask, ScoresCountTheOccludedClass) {
  cv::Mat truth = cv::Mat::zeros(4, 5, CV_8U);
  cv::Mat estimate = cv::Mat::zeros(4, 5, CV_8U);
  EXPECT_EQ(ScoreOcclusionMask(truth, estimate).f1, 1.0);  // neither marks anything
  truth(cv::Rect(0, 0, 2, 2)).setTo(255);     // 4 occluded
  estimate(cv::Rect(1, 0, 2, 2)).setTo(200);  // 4 marked, 2 of them right
  const OcclusionScore score = ScoreOcclusionMask(truth, estimate);
  EXPECT_EQ(score.truePositives, 2);
  EXPECT_EQ(score.falsePositives, 2);
  EXPECT_EQ(score.falseNegatives, 2);
  EXPECT_DOUBLE_EQ(score.precision, 0.5);
  EXPECT_DOUBLE_EQ(score.recall, 0.5);
  EXPECT_DOUBLE_EQ(score.f1, 0.5);
  estimate.setTo(0);
  EXPECT_EQ(ScoreOcclusionMask(truth, estimate).f1, 0.0);
}

TEST(OcclusionMask, SquareMovingOverABackgroundHidesTheStripAheadOfIt) {
  // A textured square moves 4 pixels right over a still background: in the first frame the
  // 4-pixel strip right of the square is hidden in the second.
  const int width = 96;
  const int height = 72;
  const cv::Rect square(30, 20, 30, 30);
  const int shift = 4;
  const cv::Mat background = Texture(width, height, 3);
  const cv::Mat object = Texture(square.width, square.height, 4);
  cv::Mat first = background.clone();
  cv::Mat second = background.clone();
  object.copyTo(first(square));
  object.copyTo(second(square + cv::Point(shift, 0)));
  TempDir frames;
  cv::imwrite(frames / "f0.png", first);
  cv::imwrite(frames / "f1.png", second);

  std::vector<unsigned char> reference;
  for (const char* threads : {"1", "3"}) {
    TempDir results;
    const CommandResult run = RunCommand(ShellQuote(MORVI_BINARY) + " --seed 2 --occlusions --threads " + threads +
                                         " " + ShellQuote(frames.path().string()) + " .png 8 " +
                                         ShellQuote(results.path().string()));
    ASSERT_EQ(run.status, 0) << run.err;
    const std::vector<unsigned char> bytes = ReadBytes(results / "f0_morviocc.pgm");
    if (reference.empty()) {
      reference = bytes;
      const cv::Mat mask = cv::imread(results / "f0_morviocc.pgm", cv::IMREAD_UNCHANGED);
      ASSERT_EQ(mask.type(), CV_8UC1);
      cv::Mat truth = cv::Mat::zeros(height, width, CV_8U);
      truth(cv::Rect(square.x + square.width, square.y, shift, square.height)).setTo(255);
      const OcclusionScore score = ScoreOcclusionMask(truth, mask);
      EXPECT_GT(score.recall, 0.8);
      EXPECT_GT(score.f1, 0.6);
      // The evaluation program agrees with the score.
      cv::imwrite(results / "truth.png", truth);
      const CommandResult eval = RunCommand(ShellQuote(MORVI_EVAL_BINARY) + " --json --occlusions " +
                                            ShellQuote(results / "truth.png") + " " +
                                            ShellQuote(results / "f0_morviocc.pgm"));
      ASSERT_EQ(eval.status, 0) << eval.err;
      EXPECT_NE(eval.out.find("\"true_positives\": " + std::to_string(score.truePositives) + ","), std::string::npos)
          << eval.out;
    } else {
      EXPECT_EQ(bytes, reference) << "threads " << threads;
    }
  }

  // Without the option the other outputs are those of a plain run, and no mask is written.
  TempDir plain;
  TempDir withMask;
  for (const auto& [options, directory] :
       {std::pair<std::string, const TempDir*>{"", &plain}, {"--occlusions ", &withMask}}) {
    ASSERT_EQ(RunCommand(ShellQuote(MORVI_BINARY) + " --seed 2 " + options + ShellQuote(frames.path().string()) +
                         " .png 8 " + ShellQuote(directory->path().string()))
                  .status,
              0);
  }
  EXPECT_EQ(ListFiles(plain.path()), (std::vector<std::string>{"f0_morvi.flo", "f0_morvi.ppm", "f0_morviwarp.ppm"}));
  for (const char* name : {"f0_morvi.flo", "f0_morvi.ppm", "f0_morviwarp.ppm"}) {
    EXPECT_EQ(ReadBytes(plain / name), ReadBytes(withMask / name)) << name;
  }
  // Resuming with the option redoes a pair whose mask is missing.
  const CommandResult resumed = RunCommand(ShellQuote(MORVI_BINARY) + " --seed 2 --resume --occlusions " +
                                           ShellQuote(frames.path().string()) + " .png 8 " +
                                           ShellQuote(plain.path().string()));
  ASSERT_EQ(resumed.status, 0) << resumed.err;
  EXPECT_NE(resumed.err.find("Pairs: 1 done, 0 skipped"), std::string::npos) << resumed.err;
  EXPECT_EQ(ReadBytes(plain / "f0_morviocc.pgm"), ReadBytes(withMask / "f0_morviocc.pgm"));
}

TEST(OcclusionMask, EvaluationRejectsMismatchedOrUnreadableMasks) {
  TempDir dir;
  cv::imwrite(dir / "a.png", cv::Mat::zeros(4, 5, CV_8U));
  cv::imwrite(dir / "b.pgm", cv::Mat::zeros(5, 5, CV_8U));
  const std::string eval = ShellQuote(MORVI_EVAL_BINARY) + " --occlusions ";
  const CommandResult sizes = RunCommand(eval + ShellQuote(dir / "a.png") + " " + ShellQuote(dir / "b.pgm"));
  EXPECT_EQ(sizes.status, 1);
  EXPECT_NE(sizes.err.find("sizes differ"), std::string::npos);
  const CommandResult missing = RunCommand(eval + ShellQuote(dir / "a.png") + " " + ShellQuote(dir / "none.pgm"));
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("none.pgm"), std::string::npos);
  const CommandResult directory = RunCommand(eval + ShellQuote(dir / "a.png") + " " + ShellQuote(dir.path().string()));
  EXPECT_EQ(directory.status, 1);
  const CommandResult same = RunCommand(eval + ShellQuote(dir / "a.png") + " " + ShellQuote(dir / "a.png"));
  EXPECT_EQ(same.status, 0);
  EXPECT_NE(same.out.find("F1 1.0000"), std::string::npos) << same.out;

  // Any mark that is not black is occluded: a 0/255 truth, a 0/1 mask and a dark red colour mask
  // marking the same two pixels agree completely.
  cv::Mat truth = cv::Mat::zeros(4, 5, CV_8U);
  cv::Mat ones = truth.clone();
  cv::Mat red = cv::Mat::zeros(4, 5, CV_8UC3);
  for (const cv::Point p : {cv::Point(1, 1), cv::Point(3, 2)}) {
    truth.at<uint8_t>(p) = 255;
    ones.at<uint8_t>(p) = 1;
    red.at<cv::Vec3b>(p) = cv::Vec3b(0, 0, 100);
  }
  cv::imwrite(dir / "truth.png", truth);
  cv::imwrite(dir / "ones.png", ones);
  cv::imwrite(dir / "red.png", red);
  for (const char* mask : {"ones.png", "red.png"}) {
    const CommandResult scored = RunCommand(eval + ShellQuote(dir / "truth.png") + " " + ShellQuote(dir / mask));
    EXPECT_EQ(scored.status, 0) << mask;
    EXPECT_NE(scored.out.find("F1 1.0000 occluded 2 marked 2"), std::string::npos) << mask << scored.out;
  }
}
