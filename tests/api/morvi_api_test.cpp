// The library's public entry points against the program's own files, concurrently, and on bad input.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "morvi/morvi.h"
#include "support/test_support.h"

namespace {

const std::string kMorvi = MORVI_BINARY;
const std::string kOpenCvData = MORVI_OPENCV_DATA;

// A corner of the RubberWhale pair that Debian's opencv-doc ships: real texture and motion, small
// enough for the whole pipeline to take a fraction of a second.
cv::Mat RubberWhaleCrop(int frame, const cv::Rect& region) {
  const cv::Mat image = cv::imread(kOpenCvData + "/rubberwhale" + std::to_string(frame) + ".png", cv::IMREAD_COLOR);
  if (image.empty()) return image;
  return image(region).clone();
}

bool SameBytes(const cv::Mat& a, const cv::Mat& b) {
  if (a.type() != b.type() || a.size() != b.size() || !a.isContinuous() || !b.isContinuous()) return false;
  return std::memcmp(a.data, b.data, a.total() * a.elemSize()) == 0;
}

template <typename Exception, typename Call>
std::string MessageOf(Call call) {
  try {
    call();
  } catch (const Exception& error) {
    return error.what();
  } catch (...) {
    return "<another exception>";
  }
  return "<no exception>";
}

const cv::Rect kRegion(300, 180, 160, 120);

}  // namespace

TEST(MorviApi, EstimateAndPicturesEqualTheProgramsFiles) {
  const cv::Mat first = RubberWhaleCrop(1, kRegion);
  const cv::Mat second = RubberWhaleCrop(2, kRegion);
  if (first.empty() || second.empty()) GTEST_SKIP() << "opencv-doc's rubberwhale frames are missing";
  TempDir dir;
  ASSERT_TRUE(cv::imwrite(dir / "w1.png", first));
  ASSERT_TRUE(cv::imwrite(dir / "w2.png", second));
  const CommandResult run = RunCommand(ShellQuote(kMorvi) + " --seed 11 --threads 2 " + ShellQuote(dir.path().string()) + " .png 6.5");
  ASSERT_EQ(run.status, 0) << run.err;

  morvi::Options options;
  options.smoothness = 6.5f;
  options.seed = 11u;
  options.threads = 1;
  const cv::Mat flow = morvi::EstimateFlow(first, second, options);
  ASSERT_EQ(flow.type(), CV_32FC2);
  ASSERT_EQ(flow.size(), first.size());
  morvi::WriteFlowFile(dir / "api.flo", flow);
  EXPECT_EQ(ReadBytes(dir / "api.flo"), ReadBytes(dir / "w1_morvi.flo"));
  EXPECT_TRUE(SameBytes(morvi::ReadFlowFile(dir / "w1_morvi.flo"), flow));

  EXPECT_TRUE(SameBytes(morvi::FlowToColour(flow), cv::imread(dir / "w1_morvi.ppm", cv::IMREAD_UNCHANGED)));
  EXPECT_TRUE(SameBytes(morvi::WarpBack(second, flow), cv::imread(dir / "w1_morviwarp.ppm", cv::IMREAD_UNCHANGED)));
  EXPECT_FALSE(SameBytes(morvi::FlowToColour(flow, 50.0f), morvi::FlowToColour(flow)));

  // 16-bit frames with alpha are reduced as the program reduces them: v * 257 comes back as v.
  cv::Mat wideFirst, wideSecond;
  cv::cvtColor(first, wideFirst, cv::COLOR_BGR2BGRA);
  cv::cvtColor(second, wideSecond, cv::COLOR_BGR2BGRA);
  wideFirst.convertTo(wideFirst, CV_16U, 257.0);
  wideSecond.convertTo(wideSecond, CV_16U, 257.0);
  EXPECT_TRUE(SameBytes(morvi::EstimateFlow(wideFirst, wideSecond, options), flow));
}

TEST(MorviApi, MatchedStartAndOcclusionsEqualTheProgramsFiles) {
  const cv::Mat first = RubberWhaleCrop(1, kRegion);
  const cv::Mat second = RubberWhaleCrop(2, kRegion);
  if (first.empty() || second.empty()) GTEST_SKIP() << "opencv-doc's rubberwhale frames are missing";
  TempDir dir;
  ASSERT_TRUE(cv::imwrite(dir / "w1.png", first));
  ASSERT_TRUE(cv::imwrite(dir / "w2.png", second));
  const CommandResult run = RunCommand(ShellQuote(kMorvi) + " --seed 12 --init matches --occlusions " +
                                       ShellQuote(dir.path().string()));
  ASSERT_EQ(run.status, 0) << run.err;

  morvi::Options options;
  options.seed = 12u;
  options.initialFlow = morvi::InitialFlow::kMatches;
  const morvi::FlowAndOcclusions result = morvi::EstimateFlowAndOcclusions(first, second, options);
  morvi::WriteFlowFile(dir / "api.flo", result.flow);
  EXPECT_EQ(ReadBytes(dir / "api.flo"), ReadBytes(dir / "w1_morvi.flo"));
  EXPECT_TRUE(SameBytes(morvi::EstimateFlow(first, second, options), result.flow));
  ASSERT_EQ(result.occlusions.type(), CV_8UC1);
  EXPECT_TRUE(SameBytes(result.occlusions, cv::imread(dir / "w1_morviocc.pgm", cv::IMREAD_UNCHANGED)));
  options.initialFlow = morvi::InitialFlow::kPyramid;
  EXPECT_FALSE(SameBytes(morvi::EstimateFlow(first, second, options), result.flow));
}

TEST(MorviApi, ConcurrentEstimatesEqualSequentialOnes) {
  const cv::Rect otherRegion(60, 40, 150, 110);
  const cv::Mat a1 = RubberWhaleCrop(1, kRegion), a2 = RubberWhaleCrop(2, kRegion);
  const cv::Mat b1 = RubberWhaleCrop(1, otherRegion), b2 = RubberWhaleCrop(2, otherRegion);
  if (a1.empty() || b1.empty()) GTEST_SKIP() << "opencv-doc's rubberwhale frames are missing";
  cv::Mat greyB1, greyB2;
  cv::cvtColor(b1, greyB1, cv::COLOR_BGR2GRAY);
  cv::cvtColor(b2, greyB2, cv::COLOR_BGR2GRAY);

  morvi::Options options;
  options.seed = 3u;
  options.threads = 2;  // the segment motions' votes fan out inside each estimate as well
  const cv::Mat sequentialA = morvi::EstimateFlow(a1, a2, options);
  const cv::Mat sequentialB = morvi::EstimateFlow(greyB1, greyB2, options);

  cv::Mat concurrentA, concurrentB;
  std::thread threadA([&] { concurrentA = morvi::EstimateFlow(a1, a2, options); });
  std::thread threadB([&] { concurrentB = morvi::EstimateFlow(greyB1, greyB2, options); });
  threadA.join();
  threadB.join();
  EXPECT_TRUE(SameBytes(concurrentA, sequentialA));
  EXPECT_TRUE(SameBytes(concurrentB, sequentialB));
}

TEST(MorviApi, BadInputThrowsWithAMessageSayingWhatIsWrong) {
  const cv::Mat frame(12, 16, CV_8UC3, cv::Scalar(10, 20, 30));
  const cv::Mat grey(12, 16, CV_8UC1, cv::Scalar(10));
  const cv::Mat smaller(12, 15, CV_8UC3, cv::Scalar(10, 20, 30));
  const cv::Mat floats(12, 16, CV_32FC3, cv::Scalar(0.5, 0.5, 0.5));
  using Invalid = std::invalid_argument;

  EXPECT_NE(MessageOf<Invalid>([&] { morvi::EstimateFlow(cv::Mat(), frame); }).find("first frame is empty"),
            std::string::npos);
  EXPECT_NE(MessageOf<Invalid>([&] { morvi::EstimateFlow(frame, smaller); }).find("differ in size"),
            std::string::npos);
  EXPECT_NE(MessageOf<Invalid>([&] { morvi::EstimateFlow(frame, grey); }).find("differ in channel count"),
            std::string::npos);
  EXPECT_NE(MessageOf<Invalid>([&] { morvi::EstimateFlow(frame, floats); }).find("32-bit float"),
            std::string::npos);
  morvi::Options badThreads;
  badThreads.threads = 0;
  EXPECT_NE(MessageOf<Invalid>([&] { morvi::EstimateFlow(frame, frame, badThreads); }).find("threads"),
            std::string::npos);
  morvi::Options badSmoothness;
  badSmoothness.smoothness = NAN;
  EXPECT_NE(MessageOf<Invalid>([&] { morvi::EstimateFlow(frame, frame, badSmoothness); }).find("smoothness"),
            std::string::npos);
  morvi::Options badSolver;
  badSolver.solver = static_cast<morvi::Solver>(7);
  EXPECT_NE(MessageOf<Invalid>([&] { morvi::EstimateFlow(frame, frame, badSolver); }).find("solver must be"),
            std::string::npos);
  EXPECT_NE(MessageOf<Invalid>([&] { morvi::EstimateFlowAndOcclusions(frame, frame, badSolver); }).find("not 7"),
            std::string::npos);
  for (const float scale : {0.0f, -1.0f, 1.5f, NAN, INFINITY}) {
    morvi::Options badScale;
    badScale.scale = scale;
    EXPECT_NE(MessageOf<Invalid>([&] { morvi::EstimateFlow(frame, frame, badScale); }).find("scale must be"),
              std::string::npos)
        << scale;
  }
  morvi::Options badStart;
  badStart.initialFlow = static_cast<morvi::InitialFlow>(3);
  EXPECT_NE(MessageOf<Invalid>([&] { morvi::EstimateFlow(frame, frame, badStart); }).find("initialFlow must be"),
            std::string::npos);
  EXPECT_NE(MessageOf<Invalid>([&] { morvi::FlowToColour(cv::Mat(4, 4, CV_32FC3)); }).find("CV_32FC2"),
            std::string::npos);
  EXPECT_NE(MessageOf<Invalid>([&] { morvi::WarpBack(frame, cv::Mat(4, 4, CV_32FC2)); }).find("flow is 4x4"),
            std::string::npos);

  // The smallest frame there is still has a flow.
  const cv::Mat one(1, 1, CV_8UC1, cv::Scalar(7));
  EXPECT_EQ(morvi::EstimateFlow(one, one).size(), cv::Size(1, 1));

  TempDir dir;
  using Runtime = std::runtime_error;
  EXPECT_NE(MessageOf<Runtime>([&] { morvi::ReadFlowFile(dir.path().string()); }).find(dir.path().string()),
            std::string::npos);
  EXPECT_NE(MessageOf<Runtime>([&] { morvi::ReadFlowFile(dir / "missing.flo"); }).find("missing.flo"),
            std::string::npos);
  EXPECT_NE(MessageOf<Runtime>([&] { morvi::WriteFlowFile(dir.path().string(), cv::Mat(2, 2, CV_32FC2)); })
                .find("is a directory"),
            std::string::npos);
  EXPECT_NE(MessageOf<Runtime>([&] { morvi::WriteFlowFile(dir / "no/such/folder/a.flo", cv::Mat(2, 2, CV_32FC2)); })
                .find("could not write " + (dir / "no/such/folder/a.flo") + ": No such file or directory"),
            std::string::npos);
  EXPECT_TRUE(ListFiles(dir.path()).empty());
}

TEST(MorviApi, EvaluationGivesMorviEvalsFigures) {
  const std::string truthPath = DataPath("middlebury/Dimetrodon/flow10.flo");
  if (truthPath.empty()) GTEST_SKIP() << "ground-truth data set not available";
  const cv::Mat truth = morvi::ReadFlowFile(truthPath);
  const morvi::FlowErrors zero = morvi::EvaluateFlow(truth, cv::Mat::zeros(truth.size(), CV_32FC2));
  EXPECT_NEAR(zero.epe, 2.0580, 5e-5);
  EXPECT_NEAR(zero.aae, 62.0688, 5e-5);
  EXPECT_EQ(zero.unknown, 10772);
  EXPECT_EQ(zero.known + zero.unknown, static_cast<std::int64_t>(truth.total()));
  const morvi::FlowErrors self = morvi::EvaluateFlow(truth, truth);
  EXPECT_EQ(self.epe, 0.0);
  EXPECT_EQ(self.r1, 0.0);
}
