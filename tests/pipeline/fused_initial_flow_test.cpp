// The fused initial flow: its data cost, its choice per segment, and a facade of repeated windows
// moved by more than half their period, where the matches alone lock onto the wrong repetition.
#include "pipeline/fused_initial_flow.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "pipeline/estimate_flow.h"
#include "pipeline/initial_flow.h"
#include "pipeline/matched_initial_flow.h"
#include "pipeline/pipeline_test_frames.h"

namespace {

constexpr int kFacadeWidth = 240;
constexpr int kFacadeHeight = 160;
constexpr int kPeriodX = 24;     // windows repeat every 24 pixels along a floor
constexpr int kPeriodY = 24;     // and every 24 pixels from floor to floor
constexpr int kWallShift = 15;   // the wall moves right by more than half a period
constexpr int kFrontU = -4;      // the textured foreground moves left and down
constexpr int kFrontV = 3;
const cv::Rect kFront(150, 50, 56, 64);

// A wall of windows in a regular grid with a slow shading, the colour of frame position (x, y) of
// the wall (x may leave the frame: the wall goes on).
cv::Vec3b Wall(int x, int y) {
  const int wx = ((x % kPeriodX) + kPeriodX) % kPeriodX;
  const int wy = ((y % kPeriodY) + kPeriodY) % kPeriodY;
  const bool window = wx >= 5 && wx < 19 && wy >= 5 && wy < 19;
  const bool mullion = window && (wx == 12 || wy == 12);
  const double shade = 60.0 * std::sin(2.0 * CV_PI * x / 160.0) + 0.2 * y;
  if (window && !mullion) return cv::Vec3b(90, 60, 40);
  const int wall = cv::saturate_cast<uchar>(160.0 + shade);
  return cv::Vec3b(static_cast<uchar>(wall - 40), static_cast<uchar>(wall - 10), static_cast<uchar>(wall));
}

// The foreground's texture: seeded noise, smoothed, in its own colours.
cv::Mat FrontTexture() {
  cv::Mat noise(kFront.height + 16, kFront.width + 16, CV_32FC3);
  cv::RNG rng(20261209);
  rng.fill(noise, cv::RNG::UNIFORM, 0.0, 255.0);
  cv::GaussianBlur(noise, noise, cv::Size(0, 0), 1.5);
  cv::Mat texture;
  noise.convertTo(texture, CV_8UC3, 2.5, -190.0);  // stretch the smoothed noise's contrast
  return texture;
}

struct FacadePair {
  ImageRef first;
  ImageRef second;
  ImageRef uGt;
  ImageRef vGt;
};

// The wall moved by (kWallShift, 0) behind a textured square moving by (kFrontU, kFrontV).
FacadePair Facade() {
  const cv::Mat texture = FrontTexture();
  FacadePair pair{CreateByte(kFacadeWidth, kFacadeHeight, 3), CreateByte(kFacadeWidth, kFacadeHeight, 3),
                  CreateFloat(kFacadeWidth, kFacadeHeight, 1), CreateFloat(kFacadeWidth, kFacadeHeight, 1)};
  const cv::Rect front2 = kFront + cv::Point(kFrontU, kFrontV);
  for (int y = 0; y < kFacadeHeight; ++y) {
    for (int x = 0; x < kFacadeWidth; ++x) {
      const bool inFront = kFront.contains(cv::Point(x, y));
      const bool inFront2 = front2.contains(cv::Point(x, y));
      pair.first.Mat().at<cv::Vec3b>(y, x) = inFront ? texture.at<cv::Vec3b>(y - kFront.y + 8, x - kFront.x + 8)
                                                     : Wall(x, y);
      pair.second.Mat().at<cv::Vec3b>(y, x) =
          inFront2 ? texture.at<cv::Vec3b>(y - front2.y + 8, x - front2.x + 8) : Wall(x - kWallShift, y);
      pair.uGt.Row<float>(y)[x] = static_cast<float>(inFront ? kFrontU : kWallShift);
      pair.vGt.Row<float>(y)[x] = static_cast<float>(inFront ? kFrontV : 0);
    }
  }
  return pair;
}

}  // namespace

// The data cost of the true flow of a shifted texture is the penalisers' floor inside the frame, a
// wrong flow costs more, and targets outside the frame (or no number at all) cost the cap. The
// segments then choose by their sums, the default keeping ties and near-ties.
TEST(FusedInitialFlow, DataCostAndChoicePerSegmentGiveKnownAnswers) {
  constexpr int kWidth = 64;
  constexpr int kHeight = 48;
  cv::Mat noise(kHeight + 20, kWidth + 20, CV_8UC3);
  cv::RNG rng(7);
  rng.fill(noise, cv::RNG::UNIFORM, 0, 256);
  cv::GaussianBlur(noise, noise, cv::Size(0, 0), 1.0);
  // content at (x, y) of the first frame is at (x + 3, y - 2) in the second
  const ImageRef first(noise(cv::Rect(10, 10, kWidth, kHeight)).clone());
  const ImageRef second(noise(cv::Rect(7, 12, kWidth, kHeight)).clone());
  ImageRef u = CreateFloat(kWidth, kHeight, 1);
  ImageRef v = CreateFloat(kWidth, kHeight, 1);
  u.Mat().setTo(3.0f);
  v.Mat().setTo(-2.0f);
  const EstimateOptions options;
  const ImageRef cost = FlowDataCost(first, second, u, v, options);
  const double floor = options.brightnessTermWeight * options.brightnessEps +
                       options.gradientTermWeight * options.gradientEps;
  // away from the border the smoothing mirrors at, both frames hold the same values
  for (int y = 8; y < kHeight - 8; ++y) {
    for (int x = 8; x < kWidth - 8; ++x) ASSERT_NEAR(cost.Row<float>(y)[x], floor, 1e-4) << x << "," << y;
  }
  const ImageRef zero = CreateFloat(kWidth, kHeight, 1);
  EXPECT_GT(cv::mean(FlowDataCost(first, second, zero, zero, options).Mat())[0], 20.0 * floor);
  u.Row<float>(20)[30] = 100.0f;                                     // leaves the frame
  v.Row<float>(21)[30] = std::numeric_limits<float>::quiet_NaN();    // no number
  const ImageRef capped = FlowDataCost(first, second, u, v, options);
  EXPECT_EQ(capped.Row<float>(20)[30], kFusionCostCap);
  EXPECT_EQ(capped.Row<float>(21)[30], kFusionCostCap);
  EXPECT_THROW(FlowDataCost(first, ImageRef(noise.clone()), u, v, options), std::invalid_argument);

  // three segments (columns 0, 1, 2 of a 3 x 2 label image); candidate 1 costs 0.4, 0.6 and
  // exactly 0.5 times the default's
  ImageRef labels = CreateInt(3, 2, 1);
  ImageRef cost0 = CreateFloat(3, 2, 1);
  ImageRef cost1 = CreateFloat(3, 2, 1);
  for (int y = 0; y < 2; ++y) {
    for (int x = 0; x < 3; ++x) {
      labels.Row<int>(y)[x] = x;
      cost0.Row<float>(y)[x] = 2.0f;
      cost1.Row<float>(y)[x] = x == 0 ? 0.8f : (x == 1 ? 1.2f : 1.0f);
    }
  }
  EXPECT_EQ(ChooseBySegments({cost0, cost1}, labels, 0.5), (std::vector<int>{1, 0, 0}));
  EXPECT_EQ(ChooseBySegments({cost0, cost1}, labels, 0.0), (std::vector<int>{1, 1, 1}));
  EXPECT_EQ(ChooseBySegments({cost0, cost0}, labels, 0.0), (std::vector<int>{0, 0, 0}));
}

// A facade of windows moved by more than half their period: the dense patch matches take the
// wrong repetition over much of the wall, and interpolated as they are found they would carry it
// over whole stretches of it. The keypoint matches there, distinctive through the wall's shading,
// contradict them and explain their patches better; moved to the keypoints' repetition, the
// matched start and the fused one end within a tenth of the pyramid's error.
TEST(FusedInitialFlow, FacadeWrongRepetitionIsResolvedBeforeTheInterpolation) {
  const FacadePair pair = Facade();
  const std::vector<SparseMatch> found = FindMatches(pair.first, pair.second);
  FlowCandidate raw;
  FlowCandidate confirmed;
  std::string reason;
  ASSERT_TRUE(InterpolateMatches(pair.first, pair.second, found, raw.u, raw.v, reason)) << reason;
  ASSERT_TRUE(InterpolateMatches(pair.first, pair.second, ReliableMatches(pair.first, pair.second, found),
                                 confirmed.u, confirmed.v, reason))
      << reason;
  const double rawEpe = MeanEndpointError(raw.u, raw.v, pair.uGt, pair.vGt);
  const double confirmedEpe = MeanEndpointError(confirmed.u, confirmed.v, pair.uGt, pair.vGt);
  EXPECT_GT(rawEpe, 4.0) << "the raw matches no longer take the wrong repetition; the test shows nothing";
  EXPECT_LT(confirmedEpe, 0.5 * rawEpe);

  for (const morvi::Solver solver : {morvi::Solver::kReference, morvi::Solver::kFast}) {
    EstimateOptions options;
    options.seed = 1;
    options.solver = solver;
    double epe[3] = {};
    for (const morvi::InitialFlow init :
         {morvi::InitialFlow::kPyramid, morvi::InitialFlow::kMatches, morvi::InitialFlow::kFused}) {
      options.initialFlow = init;
      const PairFlow flow = EstimatePair(pair.first, pair.second, options, nullptr);
      EXPECT_TRUE(flow.notes.empty());
      epe[static_cast<int>(init)] = MeanEndpointError(flow.u, flow.v, pair.uGt, pair.vGt);
    }
    const double pyramid = epe[0];
    EXPECT_LT(epe[1], 1.1 * pyramid) << "solver " << static_cast<int>(solver) << ", matches";
    EXPECT_LT(epe[2], 1.1 * pyramid) << "solver " << static_cast<int>(solver) << ", fused";
  }
}
