#include "solver/warping_iterations.h"

#include <algorithm>
#include <limits>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "solver/level_preparation.h"
#include "solver/median_filter.h"
#include "solver/solver_fixtures.h"

using namespace solver_test;

namespace {

// Median of an image's values inside a border of `margin` pixels.
float InteriorMedian(const ImageRef& image, int margin) {
  const cv::Mat inner = image.Mat()(cv::Rect(margin, margin, image.Width() - 2 * margin, image.Height() - 2 * margin));
  std::vector<float> values(inner.begin<float>(), inner.end<float>());
  std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
  return values[values.size() / 2];
}

// The frame resampled so that first(x, y) reappears at (x + dx, y + dy), cropped to roi.
ImageRef ShiftedCrop(const cv::Mat& frame, float dx, float dy, const cv::Rect& roi) {
  cv::Mat mapX(frame.size(), CV_32FC1), mapY(frame.size(), CV_32FC1);
  for (int y = 0; y < frame.rows; ++y) {
    for (int x = 0; x < frame.cols; ++x) {
      mapX.at<float>(y, x) = x - dx;
      mapY.at<float>(y, x) = y - dy;
    }
  }
  cv::Mat shifted;
  cv::remap(frame, shifted, mapX, mapY, cv::INTER_LANCZOS4, cv::BORDER_REFLECT);
  return ImageRef(shifted(roi).clone());
}

void Solve(PreparedLevel& level, ImageRef& u, ImageRef& v, int iterations, int clamp, int median) {
  SolveFlow(level.params, level.workspace, level.derivatives, u, v, level.weights.brightnessWeight,
            level.weights.gradientWeight, level.weights.smoothnessWeight, iterations, clamp, median);
}

}  // namespace

// The warping loop that forms its motion tensors from the frames, holding no derivatives, gives
// the bits of the loop over derivatives computed once: both solvers, colour and grey frames.
TEST(SolveFlow, FromFramesGivesTheBitsOfKeptDerivatives) {
  const ImageRef colourFirst = LoadCrop("middlebury/RubberWhale/frame10.png", cv::Rect(200, 150, 96, 72));
  const ImageRef colourSecond = LoadCrop("middlebury/RubberWhale/frame11.png", cv::Rect(200, 150, 96, 72));
  SKIP_WITHOUT_FRAME(colourFirst);
  SKIP_WITHOUT_FRAME(colourSecond);
  cv::Mat greyFirst, greySecond;
  cv::cvtColor(colourFirst.Mat(), greyFirst, cv::COLOR_BGR2GRAY);
  cv::cvtColor(colourSecond.Mat(), greySecond, cv::COLOR_BGR2GRAY);
  const std::pair<ImageRef, ImageRef> pairs[] = {{colourFirst, colourSecond},
                                                 {ImageRef(greyFirst), ImageRef(greySecond)}};
  for (const auto& [first, second] : pairs) {
    for (morvi::Solver solver : {morvi::Solver::kReference, morvi::Solver::kFast}) {
      const int w = first.Width(), h = first.Height();
      const ImageRef bw = Uniform(w, h, kBrightnessWeight), gw = Uniform(w, h, kGradientWeight);
      const ImageRef sw = Uniform(w, h, kSmoothnessWeight);
      SolverParams keptParams, framesParams;
      keptParams.solver = framesParams.solver = solver;
      keptParams.threads = framesParams.threads = 2;
      PairDerivatives derivatives;
      LevelWorkspace keptWorkspace, framesWorkspace;
      PrepareSolver(first, second, kBrightnessEps, kGradientEps, kSmoothnessEps, 1, keptParams, derivatives,
                    keptWorkspace);
      PrepareSolverLevel(first, second, kBrightnessEps, kGradientEps, kSmoothnessEps, 1, framesParams,
                         framesWorkspace);
      ImageRef keptU = CreateFloat(w, h, 1), keptV = CreateFloat(w, h, 1);
      ImageRef framesU = CreateFloat(w, h, 1), framesV = CreateFloat(w, h, 1);
      SolveFlow(keptParams, keptWorkspace, derivatives, keptU, keptV, bw, gw, sw, 3, 0, 3);
      SolveFlow(framesParams, framesWorkspace, DerivativeFrames{&first, &second}, framesU, framesV, bw, gw, sw, 3, 0,
                3);
      const std::string where = std::string(first.Channels() == 3 ? "colour" : "grey") +
                                (solver == morvi::Solver::kFast ? " fast" : " reference");
      EXPECT_GT(cv::norm(keptU.Mat(), cv::NORM_INF), 0.05) << where;
      EXPECT_TRUE(BitIdentical(framesU, keptU)) << where;
      EXPECT_TRUE(BitIdentical(framesV, keptV)) << where;
    }
  }
}

TEST(SolveFlow, RecoversASubpixelShiftOfARealFrame) {
  const std::string dir = MORVI_DATA_DIR;
  cv::Mat frame = dir.empty() ? cv::Mat() : cv::imread(dir + "/middlebury/RubberWhale/frame10.png");
  if (frame.empty()) GTEST_SKIP() << "real frames not available";
  // Band-limit the frame first: on its sharpest textures the Lanczos resampling that makes the
  // second frame and the Catmull-Rom warping of the solver disagree by a few hundredths of a pixel.
  cv::GaussianBlur(frame, frame, cv::Size(0, 0), 1.2);
  const cv::Rect roi(180, 120, 112, 84);
  const ImageRef first(frame(roi).clone());
  const ImageRef second = ShiftedCrop(frame, 0.4f, -0.3f, roi);
  PreparedLevel level = PrepareLevel(first, second, 1);
  ImageRef u = CreateFloat(roi.width, roi.height, 1);
  ImageRef v = CreateFloat(roi.width, roi.height, 1);
  Solve(level, u, v, 3, 0, 3);
  EXPECT_NEAR(InteriorMedian(u, 10), 0.4f, 0.05f);
  EXPECT_NEAR(InteriorMedian(v, 10), -0.3f, 0.05f);
}

TEST(SolveFlow, RecoversAnIntegerShiftOfARawFrameExactly) {
  // Warping by whole pixels involves no interpolation, so the data terms vanish at the true shift.
  const std::string dir = MORVI_DATA_DIR;
  const cv::Mat frame = dir.empty() ? cv::Mat() : cv::imread(dir + "/middlebury/Urban2/frame10.png");
  if (frame.empty()) GTEST_SKIP() << "real frames not available";
  const cv::Rect roi(300, 200, 80, 60);
  const ImageRef first(frame(roi).clone());
  const ImageRef second(frame(roi - cv::Point(1, 0)).clone());  // second(x) = first(x - 1)
  PreparedLevel level = PrepareLevel(first, second, 1);
  ImageRef u = CreateFloat(roi.width, roi.height, 1);
  ImageRef v = CreateFloat(roi.width, roi.height, 1);
  Solve(level, u, v, 4, 0, 3);
  EXPECT_NEAR(InteriorMedian(u, 10), 1.0f, 0.01f);
  EXPECT_NEAR(InteriorMedian(v, 10), 0.0f, 0.01f);
}

TEST(SolveFlow, UndefinedFirstFlowValueIsReportedOncePerIterationWithoutWaiting) {
  const ImageRef frame = SyntheticFrame(8, 6, 12);
  PreparedLevel level = PrepareLevel(frame, frame, 1);
  ImageRef u = CreateFloat(8, 6, 1);
  ImageRef v = CreateFloat(8, 6, 1);
  u.Row<float>(0)[0] = std::numeric_limits<float>::quiet_NaN();
  std::ostringstream markers;
  level.params.diagnostics = &markers;
  testing::internal::CaptureStdout();
  Solve(level, u, v, 3, 0, 0);
  EXPECT_EQ(markers.str(), "X_API\nX_API\nX_API\n");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");  // the library itself prints nothing
}

TEST(SolveFlow, ZeroIterationsLeaveTheFlowUntouched) {
  const ImageRef frame = SyntheticFrame(10, 8, 13);
  PreparedLevel level = PrepareLevel(frame, SyntheticFrame(10, 8, 14), 1);
  ImageRef u = RandomFloat(10, 8, -1, 1, 15);
  ImageRef v = RandomFloat(10, 8, -1, 1, 16);
  const ImageRef uBefore = u;
  const ImageRef uCopy = CloneFloat(u);
  Solve(level, u, v, 0, 0, 3);
  EXPECT_EQ(u.Get(), uBefore.Get());
  EXPECT_TRUE(BitIdentical(u, uCopy));
}

TEST(SolveFlow, MedianFilterRunsOnlyForWindowsAboveTwo) {
  const ImageRef first = SyntheticFrame(20, 16, 17);
  const ImageRef second = SyntheticFrame(20, 16, 18);
  ImageRef u0 = CreateFloat(20, 16, 1), v0 = CreateFloat(20, 16, 1);
  ImageRef u2 = CreateFloat(20, 16, 1), v2 = CreateFloat(20, 16, 1);
  ImageRef u3 = CreateFloat(20, 16, 1), v3 = CreateFloat(20, 16, 1);
  const ImageRef u3Before = u3;
  {
    PreparedLevel level = PrepareLevel(first, second, 1);
    Solve(level, u0, v0, 1, 0, 0);
  }
  {
    PreparedLevel level = PrepareLevel(first, second, 1);
    Solve(level, u2, v2, 1, 0, 2);
  }
  {
    PreparedLevel level = PrepareLevel(first, second, 1);
    Solve(level, u3, v3, 1, 0, 3);
  }
  EXPECT_TRUE(BitIdentical(u0, u2));
  EXPECT_TRUE(BitIdentical(v0, v2));
  ImageRef filteredU, filteredV;
  MedianFilterFlow(u0, filteredU, 3);
  MedianFilterFlow(v0, filteredV, 3);
  EXPECT_TRUE(BitIdentical(u3, filteredU));
  EXPECT_TRUE(BitIdentical(v3, filteredV));
  // The handles now refer to the filtered images; the old image holds the unfiltered flow.
  EXPECT_NE(u3.Get(), u3Before.Get());
  EXPECT_TRUE(BitIdentical(u3Before, u0));
}

TEST(SolveIncrement, ClampLimitsEveryIncrementToOnePixel) {
  // A smooth frame and its copy moved by 4 pixels: the first linearised solve asks for more
  // than one pixel in places.
  cv::Mat smooth;
  cv::GaussianBlur(SyntheticFrame(48, 32, 19).Mat(), smooth, cv::Size(0, 0), 3.0);
  cv::normalize(smooth, smooth, 0, 255, cv::NORM_MINMAX);
  cv::Mat moved = smooth.clone();
  smooth(cv::Rect(0, 0, 44, 32)).copyTo(moved(cv::Rect(4, 0, 44, 32)));
  const ImageRef first(smooth), second(moved);
  auto maxStep = [&](int clamp) {
    PreparedLevel level = PrepareLevel(first, second, 1);
    ImageRef u = CreateFloat(48, 32, 1), v = CreateFloat(48, 32, 1);
    SolveIncrement(level.params, level.workspace, level.derivatives, u, v, level.weights.brightnessWeight,
                   level.weights.gradientWeight, level.weights.smoothnessWeight, clamp);
    return std::max(cv::norm(u.Mat(), cv::NORM_INF), cv::norm(v.Mat(), cv::NORM_INF));
  };
  EXPECT_GT(maxStep(0), 1.0);
  EXPECT_LE(maxStep(1), 1.0);
}
