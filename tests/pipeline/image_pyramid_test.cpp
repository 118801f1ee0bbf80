#include "pipeline/image_pyramid.h"

#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "pipeline/pipeline_test_frames.h"

namespace {

ImageRef Noise(int w, int h, int channels) {
  ImageRef image = CreateByte(w, h, channels);
  cv::RNG rng(11);
  rng.fill(image.Mat(), cv::RNG::UNIFORM, 0, 256);
  return image;
}

}  // namespace

TEST(ImagePyramid, SizesAndKernelsFor640x480) {
  ImagePyramid pyramid;
  const ImageRef frame = Noise(640, 480, 3);
  pyramid.Build(frame, 1.7f, 16, 16);
  const std::vector<cv::Size> sizes = {{640, 480}, {376, 282}, {221, 165}, {129, 97},
                                       {75, 57},   {44, 33},   {25, 19}};
  ASSERT_EQ(pyramid.levelCount, 7);
  ASSERT_EQ(pyramid.levels.size(), 7u);
  for (size_t k = 0; k < sizes.size(); ++k) {
    EXPECT_EQ(pyramid.levels[k].Mat().size(), sizes[k]) << k;
    EXPECT_EQ(pyramid.levels[k].Mat().type(), CV_8UC3);
  }
  EXPECT_EQ(pyramid.levels[0].Get(), frame.Get());  // level 0 shares the frame
  float scale = 1.0f;
  const int kernels[6] = {9, 15, 25, 43, 71, 121};
  for (int k = 0; k < 6; ++k) {
    scale *= 1.7f;
    EXPECT_EQ(PyramidKernelSize(scale), kernels[k]);
  }
  EXPECT_EQ(PyramidKernelSize(0.3f), 3);
}

TEST(ImagePyramid, SizesFor320x240AndNarrowFrames) {
  ImagePyramid pyramid;
  pyramid.Build(Noise(320, 240, 1), 1.7f, 16, 16);
  ASSERT_EQ(pyramid.levelCount, 6);
  EXPECT_EQ(pyramid.levels.back().Mat().size(), cv::Size(21, 16));
  pyramid.Build(Noise(27, 200, 1), 1.7f, 16, 16);
  EXPECT_EQ(pyramid.levelCount, 1);
}

TEST(ImagePyramid, EveryLevelIsBlurredFromTheFullFrame) {
  ImagePyramid pyramid;
  const ImageRef frame = Noise(200, 150, 1);
  pyramid.Build(frame, 1.7f, 16, 16);
  ASSERT_GE(pyramid.levelCount, 3);
  const float sigma = 1.7f * 1.7f;
  cv::Mat blurred, expected;
  cv::GaussianBlur(frame.Mat(), blurred, cv::Size(PyramidKernelSize(sigma), PyramidKernelSize(sigma)), sigma, sigma);
  cv::resize(blurred, expected, pyramid.levels[2].Mat().size(), 0, 0, cv::INTER_LINEAR);
  EXPECT_EQ(cv::norm(expected, pyramid.levels[2].Mat(), cv::NORM_INF), 0.0);
}

TEST(ImagePyramid, SameLevelsOnThreads) {
  const ImageRef frame = Noise(321, 203, 3);
  ImagePyramid one, three;
  one.Build(frame, 1.7f, 16, 16);
  three.Build(frame, 1.7f, 16, 16, 3);
  ASSERT_EQ(three.levelCount, one.levelCount);
  for (int k = 0; k < one.levelCount; ++k) {
    ASSERT_EQ(three.levels[k].Mat().size(), one.levels[k].Mat().size()) << k;
    EXPECT_EQ(cv::norm(three.levels[k].Mat(), one.levels[k].Mat(), cv::NORM_INF), 0.0) << k;
  }
}

// The cascade builds the same scale space from small kernels: on a real frame every level has the
// size of the full-frame construction and differs from it by a fraction of a grey level on
// average; the resampling of the intermediate levels adds a little blur, more at coarser levels.
TEST(ImagePyramid, CascadeApproximatesTheFullFrameBlur) {
  const CroppedPair pair = LoadCroppedPair("RubberWhale", cv::Rect(0, 0, 584, 388));
  if (pair.first.Empty()) GTEST_SKIP() << "data not available";
  ImagePyramid full, cascade;
  full.Build(pair.first, 1.7f, 16, 16);
  cascade.Build(pair.first, 1.7f, 16, 16, 1, PyramidBlur::kCascade);
  ASSERT_EQ(cascade.levelCount, full.levelCount);
  EXPECT_EQ(cascade.levels[0].Get(), pair.first.Get());
  for (int k = 1; k < full.levelCount; ++k) {
    ASSERT_EQ(cascade.levels[k].Mat().size(), full.levels[k].Mat().size()) << k;
    ASSERT_EQ(cascade.levels[k].Mat().type(), full.levels[k].Mat().type()) << k;
    const double meanDifference = cv::norm(cascade.levels[k].Mat(), full.levels[k].Mat(), cv::NORM_L1) /
                                  static_cast<double>(full.levels[k].Mat().total() * full.levels[k].Mat().channels());
    EXPECT_LT(meanDifference, 0.25 * k) << k;
  }
  // the first level is one small blur of the frame: a grey level of rounding at most
  const double firstLevel = cv::norm(cascade.levels[1].Mat(), full.levels[1].Mat(), cv::NORM_INF);
  EXPECT_GT(firstLevel, 0.0);
  EXPECT_LE(firstLevel, 1.0);
}
