// Runs the built morvi-eval program and checks its statuses, its output and its pictures.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <array>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "image/flow_colour.h"
#include "image/flow_evaluation.h"
#include "image/flow_file.h"
#include "image/flow_reader.h"
#include "image/flow_test_files.h"
#include "image/kitti_flow.h"

namespace {

using flow_test::MakeFlow;
using flow_test::ScratchDir;

constexpr int kStatusOk = 0;
constexpr int kStatusFileError = 1;
constexpr int kStatusUsage = 2;

struct RunResult {
  int status = -1;
  std::string out;
  std::string err;
};

std::string ReadText(const std::string& fileName) {
  std::ifstream in(fileName, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string Quote(const std::string& arg) {
  std::string quoted = "'";
  for (const char c : arg) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

RunResult RunEval(const ScratchDir& dir, const std::vector<std::string>& args) {
  std::string command = Quote(MORVI_EVAL_BINARY);
  for (const auto& arg : args) command += " " + Quote(arg);
  const std::string outName = dir.File("stdout.txt");
  const std::string errName = dir.File("stderr.txt");
  command += " >" + Quote(outName) + " 2>" + Quote(errName);
  RunResult result;
  const int raw = std::system(command.c_str());
  result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  result.out = ReadText(outName);
  result.err = ReadText(errName);
  return result;
}

int CountLines(const std::string& text) {
  int lines = 0;
  for (const char c : text) lines += c == '\n';
  return lines;
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class EvalCli : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(std::filesystem::exists(MORVI_EVAL_BINARY)) << "morvi-eval not built at " << MORVI_EVAL_BINARY;
    // The hand-computed case: endpoint errors 0, 1, 2, 5 (EPE 2, R1 50 %, R3 25 %).
    groundTruth_ = dir_.File("gt.flo");
    estimate_ = dir_.File("est.flo");
    ASSERT_TRUE(WriteFlowFile(MakeFlow(2, 2, {1, 0, 0, 3}, {0, 0, 2, 4}), groundTruth_));
    ASSERT_TRUE(WriteFlowFile(MakeFlow(2, 2, {1, 1, 0, 0}, {0, 0, 0, 0}), estimate_));
  }

  ScratchDir dir_;
  std::string groundTruth_;
  std::string estimate_;
};

TEST_F(EvalCli, PrintsOneLineWithTheFigures) {
  const RunResult run = RunEval(dir_, {groundTruth_, estimate_});
  EXPECT_EQ(run.status, kStatusOk) << run.err;
  EXPECT_EQ(run.out, estimate_ + ": EPE 2.0000 AAE 46.7813 R1 50.000% R3 25.000% Fl 25.000% pixels 4 nonfinite 0\n");
  EXPECT_TRUE(run.err.empty()) << run.err;
}

// The second estimate is the ground truth with one NaN: it scores 0 on the other three pixels, and
// the NaN is reported and counted as an outlier.
TEST_F(EvalCli, JsonGivesOneObjectPerEstimateAndReportsNonFiniteVectors) {
  const std::string withNaN = dir_.File("with NaN \"quoted\".flo");
  const float nan = std::numeric_limits<float>::quiet_NaN();
  ASSERT_TRUE(WriteFlowFile(MakeFlow(2, 2, {1, nan, 0, 3}, {0, 0, 2, 4}), withNaN));
  const RunResult run = RunEval(dir_, {"--json", groundTruth_, estimate_, withNaN});
  EXPECT_EQ(run.status, kStatusOk) << run.err;
  ASSERT_EQ(CountLines(run.out), 2) << run.out;
  const std::string first = run.out.substr(0, run.out.find('\n'));
  const std::string second = run.out.substr(run.out.find('\n') + 1);
  EXPECT_EQ(first.front(), '{');
  EXPECT_EQ(first.back(), '}');
  EXPECT_TRUE(Contains(first, "\"estimate\": \"" + estimate_ + "\"")) << first;
  EXPECT_TRUE(Contains(first, "\"epe\": 2, \"aae\": 46.78125409, \"r1\": 50, \"r3\": 25, \"fl\": 25, \"pixels\": 4")) << first;
  EXPECT_TRUE(Contains(second, "with NaN \\\"quoted\\\".flo\"")) << second;
  EXPECT_TRUE(Contains(second, "\"epe\": 0, \"aae\": 0, \"r1\": 25, \"r3\": 25, \"fl\": 25, \"pixels\": 4, \"scored\": 3, "
                               "\"nonfinite\": 1, \"unknown\": 0}")) << second;
  EXPECT_TRUE(Contains(second, "\"width\": 2, \"height\": 2")) << second;

  const RunResult text = RunEval(dir_, {groundTruth_, withNaN});
  EXPECT_TRUE(Contains(text.out, "EPE 0.0000 AAE 0.0000 R1 25.000% R3 25.000% Fl 25.000% pixels 4 nonfinite 1")) << text.out;
}

TEST_F(EvalCli, UsageErrorsGiveStatusTwo) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {groundTruth_},
      {"--frobnicate", groundTruth_, estimate_},
      {"--picture"},
      {"--picture", dir_.File("a.ppm")},
      {"--picture", dir_.File("a.ppm"), groundTruth_, estimate_},
      {"--json", "--picture", dir_.File("a.ppm"), groundTruth_},
      {"--convert", groundTruth_, dir_.File("out.jpg")},
      {"--convert", groundTruth_},
      {"--table", groundTruth_, dir_.Path()},
      {"--csv", groundTruth_, estimate_},
      {"--legend", dir_.File("key.png"), groundTruth_},
      {"--occlusions-truth", dir_.File("m.png"), "--table", dir_.Path(), dir_.Path()},
  };
  for (const auto& args : cases) {
    const RunResult run = RunEval(dir_, args);
    EXPECT_EQ(run.status, kStatusUsage) << ::testing::PrintToString(args);
    EXPECT_TRUE(Contains(run.err, "Usage: morvi-eval")) << run.err;
    EXPECT_TRUE(run.out.empty()) << run.out;
  }
  const RunResult help = RunEval(dir_, {"--help"});
  EXPECT_EQ(help.status, kStatusOk);
  EXPECT_TRUE(Contains(help.out, "Usage: morvi-eval")) << help.out;
  EXPECT_TRUE(Contains(help.out, "--json")) << help.out;
  EXPECT_TRUE(Contains(help.out, "--picture")) << help.out;
}

TEST_F(EvalCli, UnreadableFilesAndSizeMismatchGiveStatusOne) {
  const std::string wide = dir_.File("wide.flo");
  ASSERT_TRUE(WriteFlowFile(MakeFlow(3, 2, {0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0}), wide));
  RunResult run = RunEval(dir_, {groundTruth_, wide});
  EXPECT_EQ(run.status, kStatusFileError);
  EXPECT_TRUE(Contains(run.err, "sizes differ: " + groundTruth_ + " is 2 x 2, " + wide + " is 3 x 2")) << run.err;
  EXPECT_TRUE(run.out.empty()) << run.out;

  const std::string corrupt = dir_.File("corrupt.flo");
  flow_test::WriteBytes(corrupt, flow_test::FloBytes(1 << 30, 1 << 30, {}));
  run = RunEval(dir_, {corrupt, estimate_});
  EXPECT_EQ(run.status, kStatusFileError);
  EXPECT_TRUE(Contains(run.err, corrupt + ": truncated")) << run.err;

  // A bad estimate among good ones: the good ones are still scored, the status reports the failure.
  const std::string missing = dir_.File("missing.flo");
  run = RunEval(dir_, {groundTruth_, missing, estimate_});
  EXPECT_EQ(run.status, kStatusFileError);
  EXPECT_TRUE(Contains(run.err, missing + ": cannot open")) << run.err;
  EXPECT_EQ(CountLines(run.out), 1) << run.out;
  EXPECT_TRUE(Contains(run.out, estimate_ + ": EPE 2.0000")) << run.out;
}

TEST_F(EvalCli, PictureMatchesTheColourCodingOfTheFlow) {
  // Big enough to have an interior beyond the 10-pixel border; one unknown vector.
  constexpr int kWidth = 24;
  constexpr int kHeight = 22;
  std::vector<float> u(kWidth * kHeight), v(kWidth * kHeight);
  for (int i = 0; i < kWidth * kHeight; ++i) {
    u[i] = static_cast<float>(i % kWidth) * 0.25f - 3.0f;
    v[i] = static_cast<float>(i / kWidth) * -0.2f + 1.0f;
  }
  u[5] = 2e9f;
  const std::string flowName = dir_.File("flow.flo");
  ASSERT_TRUE(WriteFlowFile(MakeFlow(kWidth, kHeight, u, v), flowName));
  const std::string pictureName = dir_.File("flow picture.ppm");
  const RunResult run = RunEval(dir_, {"--picture", pictureName, flowName});
  ASSERT_EQ(run.status, kStatusOk) << run.err;

  ImageRef uRead, vRead, expected;
  std::string error;
  ASSERT_TRUE(ReadFlowFile(flowName, uRead, vRead, error)) << error;
  FlowToColourImage(uRead, vRead, expected, -1.0f);
  const ImageRef picture = LoadImage(pictureName, -1);
  ASSERT_FALSE(picture.Empty());
  ASSERT_EQ(picture.Width(), kWidth);
  ASSERT_EQ(picture.Height(), kHeight);
  ASSERT_EQ(picture.Channels(), 3);
  EXPECT_EQ(cv::norm(picture.Mat(), expected.Mat(), cv::NORM_INF), 0.0);
  EXPECT_EQ(picture.Row<uint8_t>(0)[3 * 5 + 2], 2);  // the unknown vector's marker colour (B, G, R) = (0, 1, 2)

  EXPECT_EQ(RunEval(dir_, {"--picture", pictureName, dir_.File("none.flo")}).status, kStatusFileError);
  const RunResult unwritable = RunEval(dir_, {"--picture", dir_.File("no/such/dir/p.ppm"), flowName});
  EXPECT_EQ(unwritable.status, kStatusFileError);
  EXPECT_TRUE(Contains(unwritable.err, "morvi-eval: could not write " + dir_.File("no/such/dir/p.ppm") +
                                            ": No such file or directory"))
      << unwritable.err;
}

TEST_F(EvalCli, GroundTruthOfTheDataAgainstItself) {
  if (!flow_test::HaveData()) GTEST_SKIP() << "no ground-truth data";
  const std::string venus = flow_test::DataDir() + "/middlebury/Venus/flow10.flo";
  const RunResult run = RunEval(dir_, {venus, venus});
  EXPECT_EQ(run.status, kStatusOk) << run.err;
  EXPECT_TRUE(Contains(run.out, ": EPE 0.0000 AAE 0.0000 R1 0.000% R3 0.000% Fl 0.000% pixels ")) << run.out;
}

// A KITTI ground truth whose second pixel is invalid: only the other three are scored, and the
// estimate may itself be a KITTI PNG.
TEST_F(EvalCli, SparseKittiGroundTruthIsScoredOverItsValidPixels) {
  const std::string kitti = dir_.File("gt_kitti.png");
  const RunResult toPng = RunEval(dir_, {"--convert", groundTruth_, kitti});
  ASSERT_EQ(toPng.status, kStatusOk) << toPng.err;
  ImageRef u, v;
  bool wasKitti = false;
  std::string error;
  ASSERT_TRUE(ReadAnyFlowFile(kitti, kUnknownFlowValue, u, v, wasKitti, error)) << error;
  u.Row<float>(0)[1] = kUnknownFlowValue;  // the pixel whose error was 1
  KittiWriteReport report;
  ASSERT_TRUE(WriteKittiFlowFile(u, v, kitti, report, error)) << error;
  ASSERT_EQ(report.invalid, 1);

  RunResult run = RunEval(dir_, {kitti, estimate_});
  EXPECT_EQ(run.status, kStatusOk) << run.err;
  EXPECT_EQ(run.out, estimate_ + ": EPE 2.3333 AAE 47.3750 R1 66.667% R3 33.333% Fl 33.333% pixels 3 nonfinite 0\n");

  // Back to .flo: the invalid pixel becomes an unknown vector, and scores the same.
  const std::string back = dir_.File("back.flo");
  ASSERT_EQ(RunEval(dir_, {"--convert", kitti, back}).status, kStatusOk);
  run = RunEval(dir_, {back, estimate_});
  EXPECT_TRUE(Contains(run.out, "EPE 2.3333 AAE 47.3750 R1 66.667% R3 33.333% Fl 33.333% pixels 3")) << run.out;

  // Motions beyond the PNG's range are clamped and counted on standard error.
  const std::string fast = dir_.File("fast.flo");
  ASSERT_TRUE(WriteFlowFile(MakeFlow(2, 2, {600, 0, 0, -513}, {0, 0, 0, 0}), fast));
  run = RunEval(dir_, {"--convert", fast, dir_.File("fast.png")});
  EXPECT_EQ(run.status, kStatusOk) << run.err;
  EXPECT_TRUE(Contains(run.err, "fast.png: 2 pixel(s) with a component beyond -512 .. 511.984 pixels")) << run.err;
}

TEST_F(EvalCli, BadKittiFilesGiveStatusOne) {
  const std::string kitti = dir_.File("gt.png");
  ASSERT_EQ(RunEval(dir_, {"--convert", groundTruth_, kitti}).status, kStatusOk);
  const std::string whole = ReadText(kitti);
  const std::string cut = dir_.File("cut.png");
  flow_test::WriteBytes(cut, std::vector<unsigned char>(whole.begin(), whole.begin() + whole.size() / 2));
  const std::string eightBit = dir_.File("eight.png");
  ASSERT_TRUE(SaveImage(ImageRef(cv::Mat(2, 2, CV_8UC3, cv::Scalar(1, 2, 3))), eightBit));
  const std::string grey16 = dir_.File("grey16.png");
  ASSERT_TRUE(SaveImage(ImageRef(cv::Mat(2, 2, CV_16UC1, cv::Scalar(1))), grey16));
  for (const std::string& bad : {cut, eightBit, grey16}) {
    const RunResult run = RunEval(dir_, {bad, estimate_});
    EXPECT_EQ(run.status, kStatusFileError) << bad;
    EXPECT_TRUE(Contains(run.err, "morvi-eval: " + bad + ": ")) << run.err;
    EXPECT_TRUE(run.out.empty()) << run.out;
  }
}

// The mask occludes the pixels whose errors are 2 and 5; visible ones have 0 and 1.
TEST_F(EvalCli, OcclusionTruthSplitsTheEpe) {
  const std::string mask = dir_.File("occ.png");
  ASSERT_TRUE(SaveImage(ImageRef((cv::Mat_<unsigned char>(2, 2) << 0, 0, 255, 255)), mask));
  RunResult run = RunEval(dir_, {"--occlusions-truth", mask, groundTruth_, estimate_});
  EXPECT_EQ(run.status, kStatusOk) << run.err;
  EXPECT_TRUE(Contains(run.out, "EPE-visible 0.5000 EPE-occluded 3.5000 visible 2 occluded 2\n")) << run.out;
  run = RunEval(dir_, {"--json", "--occlusions-truth", mask, groundTruth_, estimate_});
  EXPECT_TRUE(Contains(run.out, "\"epe_visible\": 0.5, \"epe_occluded\": 3.5, \"visible\": 2, \"occluded\": 2}"))
      << run.out;

  const std::string wide = dir_.File("wide.png");
  ASSERT_TRUE(SaveImage(ImageRef(cv::Mat::zeros(2, 3, CV_8UC1)), wide));
  run = RunEval(dir_, {"--occlusions-truth", wide, groundTruth_, estimate_});
  EXPECT_EQ(run.status, kStatusFileError);
  EXPECT_TRUE(Contains(run.err, "sizes differ")) << run.err;
}

// Two estimates, one with Middlebury-named ground truth and an occlusion mask, one without
// ground truth; a third ground truth has no estimate.
TEST_F(EvalCli, TableScoresEveryPairOfTwoFolders) {
  const std::string gtDir = dir_.File("gt");
  const std::string resultDir = dir_.File("results");
  std::filesystem::create_directories(gtDir + "/occlusions");
  std::filesystem::create_directories(resultDir);
  std::filesystem::copy_file(groundTruth_, gtDir + "/flow10.flo");
  ASSERT_TRUE(SaveImage(ImageRef((cv::Mat_<unsigned char>(2, 2) << 0, 0, 255, 255)), gtDir + "/occlusions/frame10.png"));
  std::filesystem::copy_file(estimate_, resultDir + "/frame10_morvi.flo");
  std::filesystem::copy_file(estimate_, resultDir + "/lonely_morvi.flo");

  RunResult run = RunEval(dir_, {"--table", gtDir, resultDir});
  EXPECT_EQ(run.status, kStatusOk) << run.err;
  ASSERT_EQ(CountLines(run.out), 5) << run.out;  // header, two pairs, mean, count
  EXPECT_TRUE(Contains(run.out, "frame10    2.0000  46.7813   50.000   25.000   25.000         4         0      0.5000      3.5000\n")) << run.out;
  EXPECT_TRUE(Contains(run.out, "lonely   no ground truth\n")) << run.out;
  EXPECT_TRUE(Contains(run.out, "mean       2.0000  46.7813")) << run.out;
  EXPECT_TRUE(Contains(run.out, "1 of 2 pair(s) scored")) << run.out;

  run = RunEval(dir_, {"--csv", "--table", gtDir, resultDir});
  EXPECT_EQ(run.status, kStatusOk) << run.err;
  EXPECT_TRUE(Contains(run.out, "frame10," + resultDir + "/frame10_morvi.flo," + gtDir + "/flow10.flo,scored,2,")) << run.out;
  EXPECT_TRUE(Contains(run.out, "lonely," + resultDir + "/lonely_morvi.flo,,no ground truth,")) << run.out;

  std::filesystem::copy_file(groundTruth_, gtDir + "/other.flo");
  run = RunEval(dir_, {"--json", "--table", gtDir, resultDir});
  EXPECT_EQ(run.status, kStatusFileError);
  EXPECT_TRUE(Contains(run.err, "no estimate for the ground truth " + gtDir + "/other.flo")) << run.err;
  EXPECT_TRUE(Contains(run.out, "\"without_estimate\": [\"" + gtDir + "/other.flo\"]"))
      << run.out;
  EXPECT_TRUE(Contains(run.out, "\"mean\": {\"pairs\": 1, \"epe\": 2,")) << run.out;

  EXPECT_EQ(RunEval(dir_, {"--table", dir_.File("none"), resultDir}).status, kStatusFileError);
}

TEST_F(EvalCli, LegendIsTheColourWheelWithWhiteAround) {
  const std::string key = dir_.File("key.png");
  const RunResult run = RunEval(dir_, {"--legend", key, "--colour-scale", "5"});
  ASSERT_EQ(run.status, kStatusOk) << run.err;
  const ImageRef picture = LoadImage(key, -1);
  ASSERT_FALSE(picture.Empty());
  const int centre = picture.Width() / 2;
  const std::array<uint8_t, 3> still = FlowColour(0.0f, 0.0f);
  const uint8_t* middle = picture.Row<uint8_t>(centre) + 3 * centre;
  EXPECT_EQ(std::vector<int>(middle, middle + 3), std::vector<int>(still.begin(), still.end()));
  const uint8_t* corner = picture.Row<uint8_t>(0);
  EXPECT_EQ(std::vector<int>(corner, corner + 3), std::vector<int>({255, 255, 255}));
  // The scale is written below the disc: some dark pixels in the bottom rows.
  const cv::Mat strip = picture.Mat().rowRange(picture.Width(), picture.Height());
  ASSERT_GT(strip.rows, 0);
  cv::Mat grey;
  cv::cvtColor(strip, grey, cv::COLOR_BGR2GRAY);
  EXPECT_GT(cv::countNonZero(grey < 128), 0);
}

}  // namespace

// The hand-computed case's errors are 0, 1, 2, 5: a map that trusts them in that order is the
// oracle (AUSE 0); the reverse order gives the areas worked out by hand in the sparsification tests.
TEST_F(EvalCli, ConfidenceGivesTheSparsificationAreasOfKnownRankings) {
  const std::string oracle = dir_.File("oracle.png");
  const std::string reversed = dir_.File("reversed.png");
  ASSERT_TRUE(SaveImage(ImageRef((cv::Mat_<uint16_t>(2, 2) << 65535, 64535, 63535, 60535)), oracle));
  ASSERT_TRUE(SaveImage(ImageRef((cv::Mat_<uint16_t>(2, 2) << 0, 1000, 2000, 5000)), reversed));
  RunResult run = RunEval(dir_, {"--confidence", groundTruth_, estimate_, oracle});
  EXPECT_EQ(run.status, kStatusOk) << run.err;
  EXPECT_TRUE(Contains(run.out, "AUSE 0.0000 AUC 0.4125 oracle-AUC 0.4125 (curves / EPE 2.0000)")) << run.out;
  EXPECT_TRUE(Contains(run.out, "    25%    1.0000  1.0000\n")) << run.out;
  run = RunEval(dir_, {"--json", "--confidence", groundTruth_, estimate_, reversed});
  EXPECT_EQ(run.status, kStatusOk) << run.err;
  EXPECT_TRUE(Contains(run.out, "\"scored\": 4, \"epe\": 2, \"ause\": 1.145833333, \"auc\": 1.558333333, "
                                "\"oracle_auc\": 0.4125, \"ause_px\": 2.291666667"))
      << run.out;
  EXPECT_EQ(CountLines(run.out), 1);
}

// Maps of another size, depth or channel count, damaged PNGs and missing files: a message naming
// the file and status 1.
TEST_F(EvalCli, ConfidenceMapsOfTheWrongLayoutOrDamagedGiveStatusOne) {
  const std::string good = dir_.File("good.png");
  ASSERT_TRUE(SaveImage(ImageRef(cv::Mat(2, 2, CV_16UC1, cv::Scalar(7))), good));
  const std::vector<unsigned char> bytes = ReadBytes(good);
  const std::string cut = dir_.File("cut.png");
  std::ofstream(cut, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size() - 20);
  const std::string wide = dir_.File("wide.png");
  const std::string eightBit = dir_.File("eight.png");
  const std::string colour = dir_.File("colour.png");
  ASSERT_TRUE(SaveImage(ImageRef(cv::Mat(2, 3, CV_16UC1, cv::Scalar(7))), wide));
  ASSERT_TRUE(SaveImage(ImageRef(cv::Mat(2, 2, CV_8UC1, cv::Scalar(7))), eightBit));
  ASSERT_TRUE(SaveImage(ImageRef(cv::Mat(2, 2, CV_16UC3, cv::Scalar(7, 7, 7))), colour));
  for (const std::string& bad : {cut, wide, eightBit, colour, estimate_, dir_.File("none.png")}) {
    const RunResult run = RunEval(dir_, {"--confidence", groundTruth_, estimate_, bad});
    EXPECT_EQ(run.status, kStatusFileError) << bad;
    EXPECT_TRUE(Contains(run.err, bad)) << run.err;
    EXPECT_TRUE(run.out.empty()) << run.out;
  }
  EXPECT_EQ(RunEval(dir_, {"--confidence", groundTruth_, estimate_}).status, kStatusUsage);
}
