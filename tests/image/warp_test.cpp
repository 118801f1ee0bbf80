#include "image/warp.h"

#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <string>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace {

ImageRef Gradient(int w, int h, int channels) {
  ImageRef image = CreateByte(w, h, channels);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      for (int c = 0; c < channels; ++c) image.Row<uint8_t>(y)[x * channels + c] = static_cast<uint8_t>(10 * x + 3 * y + 50 * c);
    }
  }
  return image;
}

// A colour frame of the data folder when it is there, else seeded noise of the same size.
ImageRef TexturedFrame(int w, int h) {
  const std::string dir = MORVI_DATA_DIR;
  cv::Mat frame = dir.empty() ? cv::Mat() : cv::imread(dir + "/middlebury/RubberWhale/frame11.png");
  if (!frame.empty() && frame.cols >= w && frame.rows >= h) return ImageRef(frame(cv::Rect(0, 0, w, h)).clone());
  cv::Mat noise(h, w, CV_8UC3);
  cv::randu(noise, 0, 256);
  return ImageRef(noise);
}

// A smooth flow of up to a few pixels that sends the border pixels out of the frame.
ImageRef SmoothFlow(int w, int h, unsigned seed) {
  std::mt19937 generator(seed);
  std::uniform_real_distribution<float> value(-6.0f, 6.0f);
  ImageRef flow = CreateFloat(w, h, 1);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) flow.Row<float>(y)[x] = value(generator);
  }
  cv::GaussianBlur(flow.Mat(), flow.Mat(), cv::Size(0, 0), 2.0);
  return flow;
}

}  // namespace

TEST(WarpByFlow, ZeroFlowReproducesTheSource) {
  ImageRef source = Gradient(7, 5, 3);
  ImageRef out = CreateByte(7, 5, 3);
  WarpByFlow(CreateFloat(7, 5, 1), CreateFloat(7, 5, 1), source, out);
  EXPECT_EQ(cv::norm(source.Mat(), out.Mat(), cv::NORM_INF), 0.0);
}

TEST(WarpByFlow, HalfPixelGivesRoundedMeanAndTheLastColumnItself) {
  ImageRef source = CreateByte(4, 2, 1);
  const uint8_t row[4] = {0, 3, 10, 200};
  for (int y = 0; y < 2; ++y) std::copy(row, row + 4, source.Row<uint8_t>(y));
  ImageRef u = CreateFloat(4, 2, 1);
  u.Mat().setTo(0.5f);
  ImageRef out = CreateByte(4, 2, 1);
  WarpByFlow(u, CreateFloat(4, 2, 1), source, out);
  const uint8_t* r = out.Row<uint8_t>(1);
  EXPECT_EQ(r[0], 2);    // 1.5 rounds up
  EXPECT_EQ(r[1], 7);    // 6.5 rounds up
  EXPECT_EQ(r[2], 105);
  EXPECT_EQ(r[3], 200);  // clamped to the last column
}

TEST(WarpByFlow, FarOutsideTakesBorderPixel) {
  ImageRef source = Gradient(6, 4, 1);
  ImageRef u = CreateFloat(6, 4, 1);
  ImageRef v = CreateFloat(6, 4, 1);
  u.Mat().setTo(-1000.0f);
  v.Row<float>(1)[3] = 1.0f;  // after adding v the row is 2
  ImageRef out = CreateByte(6, 4, 1);
  WarpByFlow(u, v, source, out);
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 6; ++x) {
      const int row = (y == 1 && x == 3) ? 2 : y;
      EXPECT_EQ(out.Row<uint8_t>(y)[x], source.Row<uint8_t>(row)[0]);
    }
  }
}

TEST(WarpByFlow, ChannelsShareTheWeights) {
  ImageRef source = Gradient(5, 5, 3);
  ImageRef u = CreateFloat(5, 5, 1);
  ImageRef v = CreateFloat(5, 5, 1);
  u.Mat().setTo(0.25f);
  v.Mat().setTo(0.75f);
  ImageRef out = CreateByte(5, 5, 3);
  WarpByFlow(u, v, source, out);
  // 10x + 3y + 50c is linear, so every channel moves by 10*0.25 + 3*0.75 = 4.75 inside the frame.
  for (int c = 0; c < 3; ++c) {
    EXPECT_EQ(out.Row<uint8_t>(1)[1 * 3 + c], static_cast<int>(10 + 3 + 50 * c + 4.75f + 0.5f));
  }
}

TEST(WarpByFlow, NonFiniteFlowStaysInsideTheFrame) {
  ImageRef source = Gradient(4, 4, 1);
  ImageRef u = CreateFloat(4, 4, 1);
  ImageRef v = CreateFloat(4, 4, 1);
  u.Row<float>(2)[2] = std::numeric_limits<float>::quiet_NaN();
  v.Row<float>(1)[1] = std::numeric_limits<float>::infinity();
  ImageRef out = CreateByte(4, 4, 1);
  WarpByFlow(u, v, source, out);
  EXPECT_EQ(out.Row<uint8_t>(2)[2], source.Row<uint8_t>(2)[0]);
  EXPECT_EQ(out.Row<uint8_t>(1)[1], source.Row<uint8_t>(3)[1]);
}

TEST(WarpByFlow, SameBytesAtEveryThreadCount) {
  const cv::Size sizes[] = {cv::Size(584, 388), cv::Size(37, 23), cv::Size(1, 50)};
  for (const cv::Size& size : sizes) {
    const ImageRef source = TexturedFrame(size.width, size.height);
    const ImageRef u = SmoothFlow(size.width, size.height, 5);
    const ImageRef v = SmoothFlow(size.width, size.height, 6);
    ImageRef reference = CreateByte(size.width, size.height, 3);
    WarpByFlow(u, v, source, reference, 1);
    EXPECT_GT(cv::norm(reference.Mat(), source.Mat(), cv::NORM_INF), 0.0);
    // Onto itself the warp reads pixels it has already written; that too is the same at any count.
    ImageRef inPlaceReference = CloneByte(source);
    WarpByFlow(u, v, inPlaceReference, inPlaceReference, 1);
    for (int threads : {2, 3, 8}) {
      ImageRef warped = CreateByte(size.width, size.height, 3);
      WarpByFlow(u, v, source, warped, threads);
      EXPECT_EQ(cv::norm(warped.Mat(), reference.Mat(), cv::NORM_INF), 0.0) << size << " threads " << threads;
      ImageRef inPlace = CloneByte(source);
      WarpByFlow(u, v, inPlace, inPlace, threads);
      EXPECT_EQ(cv::norm(inPlace.Mat(), inPlaceReference.Mat(), cv::NORM_INF), 0.0) << size << " threads " << threads;
    }
  }
}
