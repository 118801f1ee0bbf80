#include "solver/motion_tensors.h"

#include <cmath>
#include <cstring>
#include <limits>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include "solver/level_preparation.h"
#include "solver/solver_fixtures.h"

using namespace solver_test;

namespace {

ImageRef HorizontalRamp(int width, int height) {
  ImageRef ramp = CreateFloat(width, height, 1);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) ramp.Row<float>(y)[x] = static_cast<float>(x);
  }
  return ramp;
}

float Sample(const ImageRef& image, float x, float y) {
  float value = 0.0f;
  SampleBicubic(image, x, y, &value);
  return value;
}

// The six brightness products of channel 0 at (x, y).
std::array<float, 6> Products(const LevelWorkspace& w, int x, int y) {
  return {w.b11[0].Row<float>(y)[x], w.b12[0].Row<float>(y)[x], w.b22[0].Row<float>(y)[x],
          w.b13[0].Row<float>(y)[x], w.b23[0].Row<float>(y)[x], w.b33[0].Row<float>(y)[x]};
}

bool AllZero(const std::array<float, 6>& p) {
  for (float value : p) {
    if (value != 0.0f) return false;
  }
  return true;
}

}  // namespace

TEST(SampleBicubic, ReturnsThePixelAtIntegerPositions) {
  const ImageRef image = RandomFloat(7, 5, -10.0f, 10.0f, 11);
  for (int y = 0; y < 5; ++y) {
    for (int x = 0; x < 7; ++x) EXPECT_EQ(Sample(image, x, y), image.Row<float>(y)[x]);
  }
}

TEST(SampleBicubic, RampIsReproducedInsideAndBentByTheReplicatedBorder) {
  const ImageRef ramp = HorizontalRamp(6, 4);
  EXPECT_FLOAT_EQ(Sample(ramp, 2.5f, 1.0f), 2.5f);
  EXPECT_FLOAT_EQ(Sample(ramp, 2.5f, 1.7f), 2.5f);
  EXPECT_FLOAT_EQ(Sample(ramp, 0.5f, 2.0f), 0.4375f);  // samples 0, 0, 1, 2
  // Positions outside are clamped into the image.
  EXPECT_EQ(Sample(ramp, -3.0f, 0.0f), 0.0f);
  EXPECT_EQ(Sample(ramp, 9.0f, 7.0f), 5.0f);
}

TEST(SampleBicubic, InterpolatesEveryChannel) {
  cv::Mat twoChannels(4, 6, CV_32FC2);
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 6; ++x) twoChannels.at<cv::Vec2f>(y, x) = cv::Vec2f(static_cast<float>(x), 7.0f);
  }
  float values[2] = {0.0f, 0.0f};
  SampleBicubic(ImageRef(twoChannels), 2.5f, 1.25f, values);
  EXPECT_FLOAT_EQ(values[0], 2.5f);
  EXPECT_FLOAT_EQ(values[1], 7.0f);
}

TEST(ComputeMotionTensors, IdenticalFramesAndZeroFlowLeaveOnlySpatialProducts) {
  const ImageRef frame = SyntheticFrame(16, 12, 5);
  const PreparedLevel level = PrepareLevel(frame, frame, 1);
  const LevelWorkspace& w = level.workspace;
  for (int c = 0; c < 3; ++c) {
    EXPECT_EQ(cv::countNonZero(w.b13[c].Mat()), 0);
    EXPECT_EQ(cv::countNonZero(w.b23[c].Mat()), 0);
    EXPECT_EQ(cv::countNonZero(w.b33[c].Mat()), 0);
    const cv::Mat dx = level.derivatives.firstDx[c].Mat();
    EXPECT_EQ(cv::norm(w.b11[c].Mat(), dx.mul(dx), cv::NORM_INF), 0.0);
    EXPECT_EQ(cv::norm(w.b12[c].Mat(), dx.mul(level.derivatives.firstDy[c].Mat()), cv::NORM_INF), 0.0);
  }
  // The gradient constraints differentiate the grey derivatives once more.
  const ImageRef fx = CreateFloat(16, 12, 1), fy = CreateFloat(16, 12, 1);
  Derivative5(level.derivatives.greyFirstDy, fx, fy);
  EXPECT_EQ(cv::norm(w.g22[1].Mat(), fy.Mat().mul(fy.Mat()), cv::NORM_INF), 0.0);
  for (int k = 0; k < 2; ++k) EXPECT_EQ(cv::countNonZero(w.g33[k].Mat()), 0);
  EXPECT_GT(cv::countNonZero(w.b11[0].Mat()), 0);
}

TEST(ComputeMotionTensors, WarpsTheSecondFrameForward) {
  // second(x, y) = first(x - 2, y): the flow (2, 0) matches every pixel whose target is inside.
  const ImageRef first = SyntheticFrame(20, 10, 9);
  cv::Mat shifted = first.Mat().clone();
  first.Mat()(cv::Rect(0, 0, 18, 10)).copyTo(shifted(cv::Rect(2, 0, 18, 10)));
  const PreparedLevel level = PrepareLevel(first, ImageRef(shifted), 1, Uniform(20, 10, 2.0f), Uniform(20, 10, 0.0f));
  for (int c = 0; c < 3; ++c) {
    const cv::Mat b33 = level.workspace.b33[c].Mat();
    EXPECT_EQ(cv::countNonZero(b33(cv::Rect(0, 0, 18, 10))), 0) << c;
    // Pixels whose target leaves the frame get no data term at all.
    EXPECT_EQ(cv::countNonZero(level.workspace.b11[c].Mat()(cv::Rect(18, 0, 2, 10))), 0);
  }
}

TEST(ComputeMotionTensors, ValidityRuleAtTheBorderAndForUndefinedFlow) {
  const ImageRef frame = SyntheticFrame(12, 6, 21);
  ImageRef u = CreateFloat(12, 6, 1);
  ImageRef v = CreateFloat(12, 6, 1);
  u.Row<float>(2)[11] = 0.001f;                                     // just beyond column W - 1
  u.Row<float>(2)[10] = 1.0f;                                       // exactly on column W - 1
  u.Row<float>(3)[4] = std::numeric_limits<float>::infinity();      // infinite
  v.Row<float>(3)[5] = std::numeric_limits<float>::quiet_NaN();     // undefined
  v.Row<float>(0)[6] = -0.5f;                                       // above row 0
  const PreparedLevel level = PrepareLevel(frame, frame, 1, u, v);
  const LevelWorkspace& w = level.workspace;
  EXPECT_TRUE(AllZero(Products(w, 11, 2)));
  EXPECT_FALSE(AllZero(Products(w, 10, 2)));
  EXPECT_TRUE(AllZero(Products(w, 4, 3)));
  EXPECT_TRUE(AllZero(Products(w, 5, 3)));
  EXPECT_TRUE(AllZero(Products(w, 6, 0)));
  EXPECT_FALSE(AllZero(Products(w, 6, 1)));
  EXPECT_EQ(w.g11[0].Row<float>(3)[5], 0.0f);
}

TEST(ComputeMotionTensors, FlowBeyond1000IsInvalidEvenWithATargetInside) {
  // A frame wider than 1000 pixels, so that a target 1000.5 pixels away is still inside.
  constexpr int kWidth = 1100;
  const ImageRef frame = SyntheticFrame(kWidth, 3, 4);
  ImageRef u = CreateFloat(kWidth, 3, 1);
  u.Row<float>(1)[1050] = -1000.5f;
  u.Row<float>(1)[1060] = -1000.0f;
  const PreparedLevel level = PrepareLevel(frame, frame, 0, u, CreateFloat(kWidth, 3, 1));
  EXPECT_TRUE(AllZero(Products(level.workspace, 1050, 1)));
  EXPECT_FALSE(AllZero(Products(level.workspace, 1060, 1)));
}

// A whole real frame pair and two thin crops, linearised around a smooth flow that sends some
// pixels out of the frame: every tensor image has the same bytes at every thread count.
TEST(ComputeMotionTensors, SameBytesAtEveryThreadCount) {
  const cv::Rect areas[] = {cv::Rect(0, 0, 584, 388), cv::Rect(101, 57, 37, 23), cv::Rect(300, 40, 1, 50)};
  for (const cv::Rect& area : areas) {
    const ImageRef first = LoadCrop("middlebury/RubberWhale/frame10.png", area);
    const ImageRef second = LoadCrop("middlebury/RubberWhale/frame11.png", area);
    SKIP_WITHOUT_FRAME(first);
    const FlowPair flow{RandomFloat(area.width, area.height, -4.0f, 4.0f, 71),
                        RandomFloat(area.width, area.height, -4.0f, 4.0f, 72)};
    cv::GaussianBlur(flow.u.Mat(), flow.u.Mat(), cv::Size(0, 0), 3.0);
    cv::GaussianBlur(flow.v.Mat(), flow.v.Mat(), cv::Size(0, 0), 3.0);
    if (area.width == 1) flow.u.Mat().setTo(0.0f);  // any horizontal motion leaves a one-pixel column
    auto tensorsAt = [&](int threads) {
      PreparedLevel level;
      PrepareSolver(first, second, kBrightnessEps, kGradientEps, kSmoothnessEps, 1, level.params, level.derivatives,
                    level.workspace);
      level.params.threads = threads;
      ComputeMotionTensors(level.params, level.derivatives, flow.u, flow.v, level.workspace);
      return level.workspace;
    };
    const LevelWorkspace one = tensorsAt(1);
    EXPECT_GT(cv::countNonZero(one.b33[0].Mat()), 0) << area;
    for (int threads : {2, 3, 8}) {
      const LevelWorkspace many = tensorsAt(threads);
      for (int c = 0; c < 3; ++c) {
        for (auto image : {&LevelWorkspace::b11, &LevelWorkspace::b12, &LevelWorkspace::b22, &LevelWorkspace::b13,
                           &LevelWorkspace::b23, &LevelWorkspace::b33}) {
          EXPECT_TRUE(BitIdentical((one.*image)[c], (many.*image)[c])) << area << " threads " << threads;
        }
      }
      for (int k = 0; k < 2; ++k) {
        for (auto image : {&LevelWorkspace::g11, &LevelWorkspace::g12, &LevelWorkspace::g22, &LevelWorkspace::g13,
                           &LevelWorkspace::g23, &LevelWorkspace::g33}) {
          EXPECT_TRUE(BitIdentical((one.*image)[k], (many.*image)[k])) << area << " threads " << threads;
        }
      }
    }
  }
}

// The products at every pixel of a real frame, rebuilt from single bicubic samples: the warped
// samples inside the frame (consecutive tap columns) and at its border (replicated columns) must
// both give the per-pixel scalar result bit for bit, with the vector kernels (blocks of eight
// pixels) and without.
TEST(ComputeMotionTensors, ProductsAreThoseOfSingleBicubicSamples) {
  const cv::Rect area(180, 120, 96, 64);
  const ImageRef first = LoadCrop("middlebury/RubberWhale/frame10.png", area);
  const ImageRef second = LoadCrop("middlebury/RubberWhale/frame11.png", area);
  SKIP_WITHOUT_FRAME(first);
  const FlowPair flow{RandomFloat(area.width, area.height, -3.0f, 3.0f, 81),
                      RandomFloat(area.width, area.height, -3.0f, 3.0f, 82)};
  for (int vectorise : {1, 0}) {
    PreparedLevel level;
    PrepareSolver(first, second, kBrightnessEps, kGradientEps, kSmoothnessEps, 1, level.params, level.derivatives,
                  level.workspace);
    level.params.vectorise = vectorise;
    ComputeMotionTensors(level.params, level.derivatives, flow.u, flow.v, level.workspace);
    const PairDerivatives& d = level.derivatives;
    int checked = 0;
    for (int y = 0; y < area.height; ++y) {
      for (int x = 0; x < area.width; ++x) {
        const float xw = static_cast<float>(x) + flow.u.Row<float>(y)[x];
        const float yw = static_cast<float>(y) + flow.v.Row<float>(y)[x];
        if (!(xw >= 0.0f && xw <= area.width - 1.0f && yw >= 0.0f && yw <= area.height - 1.0f)) continue;
        for (int c = 0; c < 3; ++c) {
          const float Ix = 0.5f * (Sample(d.secondDx[c], xw, yw) + d.firstDx[c].Row<float>(y)[x]);
          const float Iy = 0.5f * (Sample(d.secondDy[c], xw, yw) + d.firstDy[c].Row<float>(y)[x]);
          const float Iz = Sample(d.second[c], xw, yw) - d.first[c].Row<float>(y)[x];
          const std::array<float, 6> expected = {Ix * Ix, Ix * Iy, Iy * Iy, Ix * Iz, Iy * Iz, Iz * Iz};
          const LevelWorkspace& w = level.workspace;
          const std::array<float, 6> actual = {w.b11[c].Row<float>(y)[x], w.b12[c].Row<float>(y)[x],
                                               w.b22[c].Row<float>(y)[x], w.b13[c].Row<float>(y)[x],
                                               w.b23[c].Row<float>(y)[x], w.b33[c].Row<float>(y)[x]};
          ASSERT_EQ(std::memcmp(expected.data(), actual.data(), sizeof expected), 0)
              << x << ", " << y << " channel " << c << " vectorise " << vectorise;
        }
        ++checked;
      }
    }
    EXPECT_GT(checked, area.width * area.height / 2);
  }
}
