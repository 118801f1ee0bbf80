#include "solver/level_preparation.h"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include "solver/solver_fixtures.h"

using namespace solver_test;

namespace {

// An 8-bit grey image whose value at (x, y) is f(x, y).
template <typename F>
ImageRef ByteImage(int width, int height, F f) {
  ImageRef image = CreateByte(width, height, 1);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) image.Row<uchar>(y)[x] = static_cast<uchar>(f(x, y));
  }
  return image;
}

ImageRef BgrImage(int width, int height, uchar b, uchar g, uchar r) {
  return ImageRef(cv::Mat(height, width, CV_8UC3, cv::Scalar(b, g, r)));
}

}  // namespace

TEST(Derivative5, ConstantImageHasZeroDerivativesBordersIncluded) {
  const ImageRef byteImage = ByteImage(9, 7, [](int, int) { return 77; });
  const ImageRef floatImage = Uniform(9, 7, 77.0f);
  for (const ImageRef* source : {&byteImage, &floatImage}) {
    const ImageRef dx = CreateFloat(9, 7, 1);
    const ImageRef dy = CreateFloat(9, 7, 1);
    dx.Mat().setTo(5.0f);
    dy.Mat().setTo(5.0f);
    Derivative5(*source, dx, dy);
    EXPECT_EQ(cv::countNonZero(dx.Mat()), 0);
    EXPECT_EQ(cv::countNonZero(dy.Mat()), 0);
  }
}

TEST(Derivative5, RampAlongRowsUsesMirroredBorderWithoutRepeatingTheEdge) {
  constexpr int kWidth = 10;
  const ImageRef ramp = ByteImage(kWidth, 6, [](int x, int) { return x; });
  const ImageRef dx = CreateFloat(kWidth, 6, 1);
  const ImageRef dy = CreateFloat(kWidth, 6, 1);
  Derivative5(ramp, dx, dy);
  for (int y = 0; y < 6; ++y) {
    const float* row = dx.Row<float>(y);
    EXPECT_EQ(row[0], 0.0f);  // (2 - 8 + 8 - 2) / 12
    EXPECT_FLOAT_EQ(row[1], 14.0f / 12.0f);
    for (int x = 2; x < kWidth - 2; ++x) EXPECT_FLOAT_EQ(row[x], 1.0f) << x;
    EXPECT_FLOAT_EQ(row[kWidth - 2], 14.0f / 12.0f);
    EXPECT_EQ(row[kWidth - 1], 0.0f);
  }
  EXPECT_EQ(cv::countNonZero(dy.Mat()), 0);
}

TEST(Derivative5, FloatVariantMatchesByteVariantAndDifferentiatesColumns) {
  const ImageRef bytes = ByteImage(5, 8, [](int x, int y) { return 3 * y + x; });
  ImageRef floats = CreateFloat(5, 8, 1);
  bytes.Mat().convertTo(floats.Mat(), CV_32F);
  const ImageRef dxB = CreateFloat(5, 8, 1), dyB = CreateFloat(5, 8, 1);
  const ImageRef dxF = CreateFloat(5, 8, 1), dyF = CreateFloat(5, 8, 1);
  Derivative5(bytes, dxB, dyB);
  Derivative5(floats, dxF, dyF);
  EXPECT_TRUE(BitIdentical(dxB, dxF));
  EXPECT_TRUE(BitIdentical(dyB, dyF));
  EXPECT_FLOAT_EQ(dyF.Row<float>(4)[2], 3.0f);
  EXPECT_FLOAT_EQ(dyF.Row<float>(1)[2], 3.0f * 14.0f / 12.0f);
}

TEST(Derivative5, ByteVariantReadsChannelZeroOfAColourImage) {
  cv::Mat bgr(6, 8, CV_8UC3);
  for (int y = 0; y < 6; ++y) {
    for (int x = 0; x < 8; ++x) bgr.at<cv::Vec3b>(y, x) = cv::Vec3b(static_cast<uchar>(2 * x), 200, 9);
  }
  const ImageRef dx = CreateFloat(8, 6, 1), dy = CreateFloat(8, 6, 1);
  Derivative5(ImageRef(bgr), dx, dy);
  EXPECT_FLOAT_EQ(dx.Row<float>(3)[4], 2.0f);
}

TEST(Derivative5, TinyImagesStayInsideTheImage) {
  for (const cv::Size size : {cv::Size(1, 1), cv::Size(2, 1), cv::Size(1, 3), cv::Size(2, 2)}) {
    const ImageRef image = RandomFloat(size.width, size.height, 0.0f, 1.0f, 7);
    const ImageRef dx = CreateFloat(size.width, size.height, 1), dy = CreateFloat(size.width, size.height, 1);
    Derivative5(image, dx, dy);
    EXPECT_TRUE(cv::checkRange(dx.Mat()) && cv::checkRange(dy.Mat()));
  }
}

TEST(ComputeDiffusionTensor, IsHalfIdentityWhereTheGradientVanishes) {
  LevelWorkspace w;
  w.s11 = Uniform(4, 3, 0.0f);
  w.s22 = Uniform(4, 3, 0.0f);
  w.s12 = Uniform(4, 3, 0.0f);
  w.s11.Row<float>(1)[2] = 100.0f;  // a horizontal gradient of 10
  ComputeDiffusionTensor(w);
  EXPECT_EQ(w.d11.Row<float>(0)[0], 0.5f);
  EXPECT_EQ(w.d22.Row<float>(0)[0], 0.5f);
  EXPECT_EQ(w.d12x2.Row<float>(0)[0], 0.0f);
  // Across the edge the diffusivity drops: (0 + 50) / 200 in x, (100 + 50) / 200 in y.
  EXPECT_FLOAT_EQ(w.d11.Row<float>(1)[2], 0.25f);
  EXPECT_FLOAT_EQ(w.d22.Row<float>(1)[2], 0.75f);
}

TEST(ComputeDiffusionTensor, OffDiagonalStoresTwiceTheNegatedEntry) {
  LevelWorkspace w;
  w.s11 = Uniform(1, 1, 9.0f);
  w.s22 = Uniform(1, 1, 16.0f);
  w.s12 = Uniform(1, 1, 12.0f);
  ComputeDiffusionTensor(w);
  EXPECT_FLOAT_EQ(w.d12x2.Row<float>(0)[0], -24.0f / 125.0f);
  EXPECT_FLOAT_EQ(w.d11.Row<float>(0)[0], 66.0f / 125.0f);
}

TEST(ComputePairDerivatives, StepOf255LimitsTheStructureTensorAt2500) {
  const ImageRef step = ByteImage(12, 5, [](int x, int) { return x < 6 ? 0 : 255; });
  SolverParams params;
  PairDerivatives derivatives;
  LevelWorkspace workspace;
  PrepareSolver(step, step, kBrightnessEps, kGradientEps, kSmoothnessEps, 1, params, derivatives, workspace);
  for (int y = 0; y < 5; ++y) {
    // (8 * 255 - 255) / 12 = 148.75 at the two columns next to the step
    EXPECT_EQ(workspace.s11.Row<float>(y)[5], 2500.0f);
    EXPECT_EQ(workspace.s11.Row<float>(y)[6], 2500.0f);
    // -255 / 12 one column further away stays below the limit
    EXPECT_FLOAT_EQ(workspace.s11.Row<float>(y)[4], 21.25f * 21.25f);
    EXPECT_EQ(workspace.s11.Row<float>(y)[1], 0.0f);
  }
  EXPECT_EQ(cv::countNonZero(workspace.s22.Mat()), 0);
  EXPECT_EQ(cv::countNonZero(workspace.s12.Mat()), 0);
}

TEST(ComputePairDerivatives, EqualColourChannelsGiveLuminanceAndNoColourDifference) {
  const ImageRef grey = BgrImage(7, 6, 120, 120, 120);
  SolverParams params;
  PairDerivatives d;
  LevelWorkspace w;
  PrepareSolver(grey, grey, kBrightnessEps, kGradientEps, kSmoothnessEps, 1, params, d, w);
  ASSERT_EQ(d.channels, 3);
  EXPECT_FLOAT_EQ(d.first[0].Row<float>(2)[3], 0.9999f * 120.0f);
  for (int c = 1; c < 3; ++c) {
    EXPECT_EQ(cv::countNonZero(d.first[c].Mat()), 0);
    EXPECT_EQ(cv::countNonZero(d.firstDx[c].Mat()), 0);
    EXPECT_EQ(cv::countNonZero(d.secondDy[c].Mat()), 0);
  }
}

TEST(ComputePairDerivatives, ColourDifferencesAreSigned) {
  const ImageRef frame = BgrImage(5, 5, 200, 100, 40);
  SolverParams params;
  PairDerivatives d;
  LevelWorkspace w;
  PrepareSolver(frame, frame, kBrightnessEps, kGradientEps, kSmoothnessEps, 0, params, d, w);
  EXPECT_EQ(d.first[1].Row<float>(0)[0], -25.0f);
  EXPECT_EQ(d.first[2].Row<float>(0)[0], 15.0f);
  EXPECT_FLOAT_EQ(d.second[0].Row<float>(4)[4], 0.114f * 200 + 0.587f * 100 + 0.2989f * 40);
}

TEST(ComputePairDerivatives, StructureTensorTakesTheStrongestChannelPerComponent) {
  // B rises by 1 per column and per row, G falls by 1 per column, R rises by 3 per row.
  cv::Mat frame(9, 9, CV_8UC3);
  for (int y = 0; y < 9; ++y) {
    for (int x = 0; x < 9; ++x) frame.at<cv::Vec3b>(y, x) = cv::Vec3b(10 + x + y, 100 - x, 3 * y);
  }
  SolverParams params;
  PairDerivatives d;
  LevelWorkspace w;
  PrepareSolver(ImageRef(frame), ImageRef(frame.clone()), kBrightnessEps, kGradientEps, kSmoothnessEps, 1, params,
                d, w);
  // Gx: B and G tie in magnitude, B (the earlier channel) wins with +1; Gy: R with 3.
  EXPECT_FLOAT_EQ(w.s11.Row<float>(4)[4], 1.0f);
  EXPECT_FLOAT_EQ(w.s22.Row<float>(4)[4], 9.0f);
  EXPECT_FLOAT_EQ(w.s12.Row<float>(4)[4], 3.0f);
}

TEST(PrepareSolver, FillsParametersAndAllocatesOnlyActiveTerms) {
  const ImageRef grey = ByteImage(6, 4, [](int x, int y) { return 10 * x + y; });
  SolverParams params;
  PairDerivatives d;
  LevelWorkspace w;
  PrepareSolver(grey, grey, 0.25, 0.5, 0.125, 0, params, d, w);
  EXPECT_EQ(params.brightnessEps, 0.25);
  EXPECT_EQ(params.gradientEps, 0.5);
  EXPECT_EQ(params.smoothnessEps, 0.125);
  EXPECT_EQ(params.useBrightness, 1);
  EXPECT_EQ(params.useGradient, 1);
  EXPECT_EQ(params.anisotropic, 0);
  EXPECT_EQ(w.channels, 1);
  EXPECT_EQ(w.hx, 1.0);
  EXPECT_EQ(w.hy, 1.0);
  // A grey pair fills entry 0 only.
  EXPECT_FALSE(w.b11[0].Empty());
  EXPECT_TRUE(w.b11[1].Empty() && w.b33[2].Empty() && d.first[1].Empty() && d.secondDx[2].Empty());
  EXPECT_FALSE(w.g33[1].Empty());
  EXPECT_FALSE(d.greySecondDy.Empty());
  // Isotropic smoothness: no structure or diffusion tensor.
  EXPECT_TRUE(w.s11.Empty() && w.s22.Empty() && w.s12.Empty() && w.d11.Empty() && w.d22.Empty() &&
              w.d12x2.Empty());
  EXPECT_EQ(w.b11[0].Width(), 6);
  EXPECT_EQ(w.b11[0].Height(), 4);
}

TEST(PrepareSolver, RejectsFramesTheSolverCannotConvert) {
  SolverParams params;
  PairDerivatives d;
  LevelWorkspace w;
  const ImageRef rgba(cv::Mat(4, 4, CV_8UC4, cv::Scalar::all(1)));
  const ImageRef grey(cv::Mat(4, 4, CV_8UC1, cv::Scalar::all(1)));
  const ImageRef wider(cv::Mat(4, 5, CV_8UC1, cv::Scalar::all(1)));
  const ImageRef colour(cv::Mat(4, 4, CV_8UC3, cv::Scalar::all(1)));
  EXPECT_THROW(PrepareSolver(rgba, rgba, 0.1, 0.1, 0.01, 1, params, d, w), cv::Exception);
  EXPECT_THROW(PrepareSolver(grey, wider, 0.1, 0.1, 0.01, 1, params, d, w), cv::Exception);
  EXPECT_THROW(PrepareSolver(grey, colour, 0.1, 0.1, 0.01, 1, params, d, w), cv::Exception);
}

TEST(SolverRecords, WorkspaceCopiesShareTheirImages) {
  const ImageRef frame = SyntheticFrame(8, 6, 3);
  SolverParams params;
  PairDerivatives d;
  LevelWorkspace w;
  PrepareSolver(frame, frame, kBrightnessEps, kGradientEps, kSmoothnessEps, 1, params, d, w);
  LevelWorkspace copy = w;
  copy.b12[2].Row<float>(1)[1] = 42.0f;
  copy.d12x2.Row<float>(0)[3] = -7.0f;
  EXPECT_EQ(w.b12[2].Row<float>(1)[1], 42.0f);
  EXPECT_EQ(w.d12x2.Row<float>(0)[3], -7.0f);
  EXPECT_EQ(w.s11.Get(), copy.s11.Get());
  const FlowPair pair{Uniform(2, 2, 1.0f), Uniform(2, 2, 2.0f)};
  const FlowPair pairCopy = pair;
  pairCopy.v.Row<float>(1)[1] = 5.0f;
  EXPECT_EQ(pair.v.Row<float>(1)[1], 5.0f);
}

// A whole real frame pair and two thin crops: channels, derivatives, structure and diffusion
// tensor have the same bytes at every thread count.
TEST(PrepareSolver, SameBytesAtEveryThreadCount) {
  const cv::Rect areas[] = {cv::Rect(0, 0, 584, 388), cv::Rect(101, 57, 37, 23), cv::Rect(300, 40, 1, 50)};
  for (const cv::Rect& area : areas) {
    const ImageRef first = LoadCrop("middlebury/RubberWhale/frame10.png", area);
    const ImageRef second = LoadCrop("middlebury/RubberWhale/frame11.png", area);
    SKIP_WITHOUT_FRAME(first);
    auto prepareAt = [&](int threads) {
      PreparedLevel level;
      level.params.threads = threads;
      PrepareSolver(first, second, kBrightnessEps, kGradientEps, kSmoothnessEps, 1, level.params, level.derivatives,
                    level.workspace);
      EXPECT_EQ(level.params.threads, threads);
      return level;
    };
    const PreparedLevel one = prepareAt(1);
    for (int threads : {2, 3, 8}) {
      const PreparedLevel many = prepareAt(threads);
      const PairDerivatives& a = one.derivatives;
      const PairDerivatives& b = many.derivatives;
      for (int c = 0; c < 3; ++c) {
        EXPECT_TRUE(BitIdentical(a.first[c], b.first[c]) && BitIdentical(a.second[c], b.second[c]) &&
                    BitIdentical(a.firstDx[c], b.firstDx[c]) && BitIdentical(a.firstDy[c], b.firstDy[c]) &&
                    BitIdentical(a.secondDx[c], b.secondDx[c]) && BitIdentical(a.secondDy[c], b.secondDy[c]))
            << area << " channel " << c << " threads " << threads;
      }
      EXPECT_TRUE(BitIdentical(a.greyFirstDx, b.greyFirstDx) && BitIdentical(a.greySecondDy, b.greySecondDy));
      for (auto image : {&LevelWorkspace::s11, &LevelWorkspace::s22, &LevelWorkspace::s12, &LevelWorkspace::d11,
                         &LevelWorkspace::d22, &LevelWorkspace::d12x2}) {
        EXPECT_TRUE(BitIdentical(one.workspace.*image, many.workspace.*image)) << area << " threads " << threads;
      }
    }
  }
}
