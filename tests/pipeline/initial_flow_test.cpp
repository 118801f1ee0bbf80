#include "pipeline/initial_flow.h"

#include <atomic>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "pipeline/pipeline_test_frames.h"

namespace {

ImageRef Texture(int w, int h, int shift) {
  ImageRef image = CreateByte(w, h, 3);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      for (int c = 0; c < 3; ++c) {
        const double xs = x - shift;
        image.Row<uint8_t>(y)[x * 3 + c] =
            static_cast<uint8_t>(128 + 60 * std::sin(xs * 0.4 + c) * std::cos(y * 0.3 - c));
      }
    }
  }
  return image;
}

std::string RunCapturingOutput(const ImageRef& first, const ImageRef& second, ImageRef& u, ImageRef& v) {
  testing::internal::CaptureStdout();
  EstimateInitialFlow(first, second, u, v, EstimateOptions{}, &std::cout);
  return testing::internal::GetCapturedStdout();
}

}  // namespace

TEST(UpsampleFlow, RescalesByTheRatioOfIntegerSizes) {
  ImageRef coarseU = CreateFloat(376, 282, 1);
  ImageRef coarseV = CreateFloat(376, 282, 1);
  coarseU.Mat().setTo(1.0f);
  coarseV.Mat().setTo(1.0f);
  ImageRef u = CreateFloat(640, 480, 1);
  ImageRef v = CreateFloat(640, 480, 1);
  UpsampleFlow(coarseU, coarseV, u, v);
  EXPECT_FLOAT_EQ(u.Row<float>(240)[320], static_cast<float>(640.0 / 376.0));
  EXPECT_FLOAT_EQ(v.Row<float>(240)[320], static_cast<float>(480.0 / 282.0));
  EXPECT_NE(u.Row<float>(0)[0], EstimateOptions{}.pyramidFactor);  // not the nominal factor
}

TEST(EstimateInitialFlow, WritesOneDotPerLevelAndReturnsTheFullSize) {
  ImageRef u, v;
  // 100 x 80 gives 58 x 47 and 34 x 27; the next, 20 x 15, is below 16 rows.
  EXPECT_EQ(RunCapturingOutput(Texture(100, 80, 0), Texture(100, 80, 1), u, v), "Processing ...");
  EXPECT_EQ(u.Mat().size(), cv::Size(100, 80));
  EXPECT_EQ(v.Mat().size(), cv::Size(100, 80));
  EXPECT_NE(u.Get(), v.Get());
}

TEST(EstimateInitialFlow, NarrowFrameSolvesOnceAtFullResolution) {
  ImageRef u, v;
  EXPECT_EQ(RunCapturingOutput(Texture(27, 60, 0), Texture(27, 60, 1), u, v), "Processing .");
  EXPECT_EQ(u.Mat().size(), cv::Size(27, 60));
}

TEST(EstimateInitialFlow, RecoversRealMotionFarBetterThanZeroFlow) {
  const CroppedPair pair = LoadCroppedPair("RubberWhale", cv::Rect(200, 150, 200, 160));
  if (pair.first.Empty() || pair.uGt.Empty()) GTEST_SKIP() << "ground-truth data not available";
  ImageRef u, v;
  RunCapturingOutput(pair.first, pair.second, u, v);
  const double epe = MeanEndpointError(u, v, pair.uGt, pair.vGt);
  const double zeroEpe = MeanEndpointError(CreateFloat(200, 160, 1), CreateFloat(200, 160, 1), pair.uGt, pair.vGt);
  EXPECT_GE(epe, 0.0);
  EXPECT_LT(epe, 0.5 * zeroEpe) << "EPE " << epe << " against " << zeroEpe << " for zero flow";
}

// Threads lent by other work join the levels that start after they come; the flow is the same as
// with the stage's own threads alone, with either solver.
TEST(EstimateInitialFlow, LentThreadsLeaveTheFlowUnchanged) {
  const CroppedPair pair = LoadCroppedPair("RubberWhale", cv::Rect(120, 90, 301, 203));
  if (pair.first.Empty()) GTEST_SKIP() << "data not available";
  for (const morvi::Solver solver : {morvi::Solver::kReference, morvi::Solver::kFast}) {
    EstimateOptions options;
    options.solver = solver;
    ImageRef u, v, lentU, lentV;
    EstimateInitialFlow(pair.first, pair.second, u, v, options, nullptr);
    const std::atomic<int> lent{2};
    EstimateInitialFlow(pair.first, pair.second, lentU, lentV, options, nullptr, &lent);
    EXPECT_EQ(cv::norm(u.Mat(), lentU.Mat(), cv::NORM_INF), 0.0);
    EXPECT_EQ(cv::norm(v.Mat(), lentV.Mat(), cv::NORM_INF), 0.0);
    // a thread lent while the estimate runs, most likely in the middle of a level
    std::atomic<int> later{0};
    std::thread lender([&later] {
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      later.store(1, std::memory_order_release);
    });
    EstimateInitialFlow(pair.first, pair.second, lentU, lentV, options, nullptr, &later);
    lender.join();
    EXPECT_EQ(cv::norm(u.Mat(), lentU.Mat(), cv::NORM_INF), 0.0);
    EXPECT_EQ(cv::norm(v.Mat(), lentV.Mat(), cv::NORM_INF), 0.0);
  }
}
