// Runs the built morvi-eval program and checks its statuses, its output and its pictures.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "image/flow_colour.h"
#include "image/flow_file.h"
#include "image/flow_reader.h"
#include "image/flow_test_files.h"

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
  EXPECT_EQ(run.out, estimate_ + ": EPE 2.0000 AAE 46.7813 R1 50.000% R3 25.000% pixels 4 nonfinite 0\n");
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
  EXPECT_TRUE(Contains(first, "\"epe\": 2, \"aae\": 46.78125409, \"r1\": 50, \"r3\": 25, \"pixels\": 4")) << first;
  EXPECT_TRUE(Contains(second, "with NaN \\\"quoted\\\".flo\"")) << second;
  EXPECT_TRUE(Contains(second, "\"epe\": 0, \"aae\": 0, \"r1\": 25, \"r3\": 25, \"pixels\": 4, \"scored\": 3, "
                               "\"nonfinite\": 1, \"unknown\": 0}")) << second;
  EXPECT_TRUE(Contains(second, "\"width\": 2, \"height\": 2")) << second;

  const RunResult text = RunEval(dir_, {groundTruth_, withNaN});
  EXPECT_TRUE(Contains(text.out, "EPE 0.0000 AAE 0.0000 R1 25.000% R3 25.000% pixels 4 nonfinite 1")) << text.out;
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
  EXPECT_TRUE(Contains(run.out, ": EPE 0.0000 AAE 0.0000 R1 0.000% R3 0.000% pixels ")) << run.out;
}

}  // namespace
