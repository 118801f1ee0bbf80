// End-to-end runs of the built program on small frames.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "driver/morvi_driver.h"
#include "morvi/morvi.h"
#include "support/test_support.h"

namespace {

const std::string kMorvi = MORVI_BINARY;

// A small textured frame; `shift` moves the texture to the right.
cv::Mat Texture(int w, int h, int channels, int shift) {
  cv::Mat image(h, w, CV_8UC(channels));
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      for (int c = 0; c < channels; ++c) {
        const int xs = x - shift;
        image.ptr<uint8_t>(y)[x * channels + c] = static_cast<uint8_t>((xs * 37 + y * 11 + c * 60) % 200 + 20);
      }
    }
  }
  return image;
}

CommandResult Morvi(const std::string& args) { return RunCommand(ShellQuote(kMorvi) + " --seed 3 " + args); }

}  // namespace

TEST(MorviCommandLine, NoArgumentsPrintsBannerAndUsage) {
  TempDir cwd;
  const CommandResult r = RunCommand("cd " + ShellQuote(cwd.path().string()) + " && " + ShellQuote(kMorvi));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("Morvi Optical Flow Estimation\nVersion " + std::string(morvi::Version()) + "\n", 0), 0u);
  EXPECT_NE(r.out.find("Usage: " + kMorvi + " imgdir [imgtype] [smooth] [resultdir]\n"), std::string::npos);
  EXPECT_NE(r.out.find("Example: " + kMorvi + " \"./data/football\" \".png\" 20 \"./data/football\"\n"),
            std::string::npos);
  EXPECT_TRUE(ListFiles(cwd.path()).empty());
}

TEST(MorviCommandLine, HelpAndVersion) {
  const CommandResult help = RunCommand(ShellQuote(kMorvi) + " --help");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--seed N"), std::string::npos);
  const CommandResult version = RunCommand(ShellQuote(kMorvi) + " --version");
  EXPECT_EQ(version.status, 0);
  EXPECT_NE(version.out.find("Version " + std::string(morvi::Version())), std::string::npos);
}

TEST(MorviCommandLine, SingleFrameWritesNothing) {
  TempDir dir;
  cv::imwrite(dir / "only.png", Texture(24, 20, 3, 0));
  const CommandResult r = Morvi(ShellQuote(dir.path().string()));
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(r.err.empty());
  EXPECT_EQ(ListFiles(dir.path()), (std::vector<std::string>{"only.png"}));
}

TEST(MorviCommandLine, ThreeColourFramesGiveTwoTriplesNamedAfterTheFirstFrames) {
  TempDir dir;
  for (int i = 1; i <= 3; ++i) cv::imwrite(dir / ("a.0" + std::to_string(i) + ".png"), Texture(24, 20, 3, i));
  const CommandResult r = Morvi(ShellQuote(dir.path().string()));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ListFiles(dir.path()),
            (std::vector<std::string>{"a.01.png", "a.01_morvi.flo", "a.01_morvi.ppm", "a.01_morviwarp.ppm",
                                      "a.02.png", "a.02_morvi.flo", "a.02_morvi.ppm", "a.02_morviwarp.ppm",
                                      "a.03.png"}));
  EXPECT_EQ(ReadBytes(dir / "a.01_morvi.flo").size(), 12u + 8u * 24u * 20u);
  EXPECT_NE(r.out.find("Running Time: "), std::string::npos);
}

TEST(MorviCommandLine, GreyFramesGivePgmWarpsInTheResultDirectoryWhichIsCreated) {
  TempDir dir;
  cv::imwrite(dir / "f1.png", Texture(24, 20, 1, 0));
  cv::imwrite(dir / "f2.png", Texture(24, 20, 1, 1));
  const std::string results = dir / "out/deeper";
  const CommandResult r = Morvi(ShellQuote(dir.path().string()) + " .png 8 " + ShellQuote(results));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ListFiles(results), (std::vector<std::string>{"f1_morvi.flo", "f1_morvi.ppm", "f1_morviwarp.pgm"}));

  // As PNG the warp is a one-channel PNG, which --resume takes as complete.
  const std::string pngResults = dir / "png";
  ASSERT_EQ(Morvi("--picture-format png " + ShellQuote(dir.path().string()) + " .png 8 " + ShellQuote(pngResults))
                .status,
            0);
  const cv::Mat warp = cv::imread(pngResults + "/f1_morviwarp.png", cv::IMREAD_UNCHANGED);
  EXPECT_EQ(warp.type(), CV_8UC1);
  EXPECT_EQ(warp.size(), cv::Size(24, 20));
  const CommandResult resumed =
      Morvi("--resume --picture-format png " + ShellQuote(dir.path().string()) + " .png 8 " + ShellQuote(pngResults));
  EXPECT_NE(resumed.err.find("Pairs: 0 done, 1 skipped"), std::string::npos) << resumed.err;
}

TEST(MorviCommandLine, AlphaAndSixteenBitFramesAreReduced) {
  TempDir dir;
  cv::Mat bgra;
  cv::cvtColor(Texture(24, 20, 3, 0), bgra, cv::COLOR_BGR2BGRA);
  cv::imwrite(dir / "c1.png", bgra);
  cv::cvtColor(Texture(24, 20, 3, 1), bgra, cv::COLOR_BGR2BGRA);
  cv::imwrite(dir / "c2.png", bgra);
  const CommandResult r = Morvi(ShellQuote(dir.path().string()));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(std::filesystem::exists(dir / "c1_morviwarp.ppm"));

  TempDir deep;
  cv::Mat wide;
  Texture(24, 20, 1, 0).convertTo(wide, CV_16U, 257.0);
  cv::imwrite(deep / "g1.png", wide);
  Texture(24, 20, 1, 1).convertTo(wide, CV_16U, 257.0);
  cv::imwrite(deep / "g2.png", wide);
  std::string reason;
  const ImageRef frame = LoadFrame(deep / "g1.png", reason);
  ASSERT_FALSE(frame.Empty());
  EXPECT_EQ(frame.Mat().type(), CV_8UC1);
  EXPECT_EQ(cv::norm(frame.Mat(), Texture(24, 20, 1, 0), cv::NORM_INF), 0.0);
  EXPECT_EQ(Morvi(ShellQuote(deep.path().string())).status, 0);
  EXPECT_TRUE(std::filesystem::exists(deep / "g1_morviwarp.pgm"));
}

TEST(MorviCommandLine, BadSmoothnessIsAUsageErrorBeforeAnyWork) {
  TempDir dir;
  cv::imwrite(dir / "a1.png", Texture(24, 20, 3, 0));
  cv::imwrite(dir / "a2.png", Texture(24, 20, 3, 1));
  for (const char* bad : {"abc", "8x", "nan", "inf", "-1", ""}) {
    const CommandResult r = Morvi(ShellQuote(dir.path().string()) + " .png " + ShellQuote(bad));
    EXPECT_EQ(r.status, 1) << bad;
    EXPECT_NE(r.err.find("smoothness"), std::string::npos) << bad;
  }
  EXPECT_EQ(ListFiles(dir.path()).size(), 2u);
  float value = 0.0f;
  EXPECT_TRUE(ParseSmoothness("0", value));
  EXPECT_TRUE(ParseSmoothness("12.5", value));
  EXPECT_EQ(value, 12.5f);
}

TEST(MorviCommandLine, BadThreadCountIsAUsageErrorBeforeAnyWork) {
  TempDir dir;
  cv::imwrite(dir / "a1.png", Texture(24, 20, 3, 0));
  cv::imwrite(dir / "a2.png", Texture(24, 20, 3, 1));
  for (const char* bad : {"0", "-1", "x", "1.5", "2x", "", "99999999999"}) {
    const CommandResult r = Morvi("--threads " + ShellQuote(bad) + " " + ShellQuote(dir.path().string()));
    EXPECT_EQ(r.status, 1) << bad;
    EXPECT_NE(r.err.find("--threads"), std::string::npos) << bad;
  }
  const CommandResult missing = RunCommand(ShellQuote(kMorvi) + " --threads");
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("--threads"), std::string::npos);
  EXPECT_EQ(ListFiles(dir.path()).size(), 2u);
  const CommandResult help = RunCommand(ShellQuote(kMorvi) + " --help");
  EXPECT_NE(help.out.find("--threads N"), std::string::npos);
}

TEST(MorviCommandLine, BadOrMissingSolverIsAUsageErrorBeforeAnyWork) {
  TempDir dir;
  cv::imwrite(dir / "a1.png", Texture(24, 20, 3, 0));
  cv::imwrite(dir / "a2.png", Texture(24, 20, 3, 1));
  for (const std::string& args : {"--solver fastest " + ShellQuote(dir.path().string()),
                                  "--solver '' " + ShellQuote(dir.path().string()),
                                  "--solver " + ShellQuote(dir.path().string()), std::string("--solver")}) {
    const CommandResult r = Morvi(args);
    EXPECT_EQ(r.status, 1) << args;
    EXPECT_NE(r.err.find("--solver needs reference or fast"), std::string::npos) << args << r.err;
    EXPECT_NE(r.err.find("Usage: "), std::string::npos) << args;
    EXPECT_TRUE(r.out.empty()) << args;
  }
  EXPECT_EQ(ListFiles(dir.path()).size(), 2u);
  EXPECT_NE(RunCommand(ShellQuote(kMorvi) + " --help").out.find("--solver NAME"), std::string::npos);
}

// Naming the default solver changes nothing, and the other one is accepted.
TEST(MorviCommandLine, SolverReferenceIsTheDefault) {
  TempDir dir;
  cv::imwrite(dir / "a1.png", Texture(40, 30, 3, 0));
  cv::imwrite(dir / "a2.png", Texture(40, 30, 3, 1));
  ASSERT_EQ(Morvi(ShellQuote(dir.path().string()) + " .png 8 " + ShellQuote(dir / "default")).status, 0);
  ASSERT_EQ(Morvi("--solver reference " + ShellQuote(dir.path().string()) + " .png 8 " + ShellQuote(dir / "named"))
                .status,
            0);
  const std::vector<unsigned char> flow = ReadBytes(dir / "default/a1_morvi.flo");
  ASSERT_FALSE(flow.empty());
  EXPECT_EQ(ReadBytes(dir / "named/a1_morvi.flo"), flow);
  const CommandResult fast =
      Morvi("--solver fast " + ShellQuote(dir.path().string()) + " .png 8 " + ShellQuote(dir / "fast"));
  EXPECT_EQ(fast.status, 0) << fast.err;
  EXPECT_EQ(ReadBytes(dir / "fast/a1_morvi.flo").size(), flow.size());
}

TEST(MorviCommandLine, MissingDirectoryIsFatal) {
  TempDir dir;
  const CommandResult r = Morvi(ShellQuote(dir / "nowhere"));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find(": cannot open the frame directory " + (dir / "nowhere") + ": No such file or directory"),
            std::string::npos)
      << r.err;
}

TEST(MorviCommandLine, UncreatableResultDirectoryIsFatalBeforeAnyWork) {
  TempDir dir;
  cv::imwrite(dir / "a1.png", Texture(24, 20, 3, 0));
  cv::imwrite(dir / "a2.png", Texture(24, 20, 3, 1));
  std::ofstream(dir / "blocker") << "file";
  const CommandResult r = Morvi(ShellQuote(dir.path().string()) + " .png 8 " + ShellQuote(dir / "blocker/out"));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("result directory"), std::string::npos);
  EXPECT_EQ(r.out.find("Running Time"), std::string::npos);
}

TEST(MorviCommandLine, UnreadableOrMismatchedFrameEndsTheRunKeepingEarlierOutputs) {
  TempDir dir;
  cv::imwrite(dir / "a1.png", Texture(24, 20, 3, 0));
  cv::imwrite(dir / "a2.png", Texture(24, 20, 3, 1));
  std::ofstream(dir / "a3.png") << "not an image";
  CommandResult r = Morvi(ShellQuote(dir.path().string()));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find(dir / "a3.png"), std::string::npos);
  EXPECT_TRUE(std::filesystem::exists(dir / "a1_morvi.flo"));

  cv::imwrite(dir / "a3.png", Texture(26, 20, 3, 2));
  r = Morvi(ShellQuote(dir.path().string()));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("26x20"), std::string::npos);
  cv::imwrite(dir / "a3.png", Texture(24, 20, 1, 2));
  r = Morvi(ShellQuote(dir.path().string()));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("channel"), std::string::npos);
}

TEST(MorviCommandLine, UnwritableOutputIsReportedAndTheRunGoesOn) {
  TempDir dir;
  for (int i = 1; i <= 3; ++i) cv::imwrite(dir / ("a" + std::to_string(i) + ".png"), Texture(24, 20, 3, i));
  // A directory standing where the first pair's flow file should go makes that write fail.
  std::filesystem::create_directory(dir.path() / "a1_morvi.flo");
  const CommandResult r = Morvi(ShellQuote(dir.path().string()));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("a1_morvi.flo"), std::string::npos);
  EXPECT_TRUE(std::filesystem::exists(dir / "a2_morvi.flo"));
  EXPECT_TRUE(std::filesystem::exists(dir / "a1_morviwarp.ppm"));
  for (const std::string& name : ListFiles(dir.path())) EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;
}

TEST(MorviCommandLine, TinyFramesAreProcessed) {
  for (const cv::Size size : {cv::Size(1, 1), cv::Size(1, 5), cv::Size(5, 1), cv::Size(2, 2), cv::Size(40, 2)}) {
    for (int channels : {1, 3}) {
      TempDir dir;
      cv::imwrite(dir / "t1.png", Texture(size.width, size.height, channels, 0));
      cv::imwrite(dir / "t2.png", Texture(size.width, size.height, channels, 1));
      const CommandResult r = Morvi(ShellQuote(dir.path().string()));
      EXPECT_EQ(r.status, 0) << size << " " << channels << r.err;
      EXPECT_EQ(ReadBytes(dir / "t1_morvi.flo").size(), 12u + 8u * size.area()) << size;
    }
  }
}

TEST(MorviCommandLine, OptionsStandAnywhereBeforeTheEndOfOptions) {
  TempDir dir;
  cv::imwrite(dir / "a1.png", Texture(24, 20, 3, 0));
  cv::imwrite(dir / "a2.png", Texture(24, 20, 3, 1));
  const std::string frames = ShellQuote(dir.path().string());
  ASSERT_EQ(Morvi("--threads 2 --out " + ShellQuote(dir / "before") + " " + frames).status, 0);
  const CommandResult after = Morvi(frames + " --threads 2 .png --out " + ShellQuote(dir / "after"));
  EXPECT_EQ(after.status, 0) << after.err;
  EXPECT_EQ(ListFiles(dir / "after"), (std::vector<std::string>{"a1_morvi.flo", "a1_morvi.ppm", "a1_morviwarp.ppm"}));
  EXPECT_EQ(ReadBytes(dir / "after/a1_morvi.flo"), ReadBytes(dir / "before/a1_morvi.flo"));

  // After "--" every word is positional, so "--threads" is the image type: no frame has it.
  const CommandResult ended = Morvi("--out " + ShellQuote(dir / "ended") + " -- " + frames + " --threads");
  EXPECT_EQ(ended.status, 0) << ended.err;
  EXPECT_EQ(ended.out.find("Running Time"), std::string::npos);

  for (const std::string& bad : {frames + " .png 8 " + ShellQuote(dir / "out") + " fifth", frames + " --bogus",
                                 "--bogus " + frames, "--shard 0/1000001 " + frames}) {
    const CommandResult r = Morvi(bad);
    EXPECT_EQ(r.status, 1) << bad;
    EXPECT_NE(r.err.find("Usage: "), std::string::npos) << bad;
  }
  EXPECT_NE(Morvi("--shard 0/1000001 " + frames).err.find("N <= 1000000"), std::string::npos);

  const CommandResult image = Morvi(ShellQuote(dir / "a1.png"));
  EXPECT_EQ(image.status, 1);
  EXPECT_NE(image.err.find(dir / "a1.png" + " is an image, not a folder of frames or a video"), std::string::npos)
      << image.err;
  EXPECT_EQ(ListFiles(dir.path()), (std::vector<std::string>{"a1.png", "a2.png"}));
}

TEST(MorviCommandLine, OutputsOfAnEarlierRunAreNotTakenAsFrames) {
  TempDir dir;
  for (int i = 1; i <= 3; ++i) cv::imwrite(dir / ("p" + std::to_string(i) + ".ppm"), Texture(24, 20, 3, i));
  const std::string args = ShellQuote(dir.path().string()) + " .ppm";
  ASSERT_EQ(Morvi(args).status, 0);
  const std::vector<std::string> firstRun = ListFiles(dir.path());
  const std::vector<unsigned char> flow = ReadBytes(dir / "p1_morvi.flo");
  const CommandResult again = Morvi(args);
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_NE(again.err.find("skipped 4 file(s)"), std::string::npos) << again.err;
  EXPECT_NE(again.err.find("Pairs: 2 done, 0 skipped, 0 failed\n"), std::string::npos) << again.err;
  EXPECT_EQ(ListFiles(dir.path()), firstRun);
  EXPECT_EQ(ReadBytes(dir / "p1_morvi.flo"), flow);
}

namespace {

// Runs morvi with every file it writes limited to `kilobytes` (a full disk for larger files); the
// limit's signal is ignored, so a write beyond it fails with EFBIG instead of ending the process.
CommandResult MorviWithFileLimit(int kilobytes, const std::string& args) {
  const std::string inner = "trap '' XFSZ; ulimit -f " + std::to_string(kilobytes) + "; exec " + ShellQuote(kMorvi) +
                            " --seed 3 " + args;
  return RunCommand("bash -c " + ShellQuote(inner));
}

// The names in `directory` that begin with '.' (the writers' temporaries).
std::vector<std::string> HiddenNames(const std::filesystem::path& directory) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    const std::string name = entry.path().filename().string();
    if (name[0] == '.') names.push_back(name);
  }
  return names;
}

}  // namespace

TEST(MorviFullDisk, EveryFileThatDoesNotFitFailsItsPairAndLeavesNothing) {
  TempDir dir;
  // 64x48 colour frames: a 24588-byte flow and 9231-byte pictures, none within 4 KiB.
  for (int i = 1; i <= 3; ++i) cv::imwrite(dir / ("a" + std::to_string(i) + ".png"), Texture(64, 48, 3, i));
  const std::string results = dir / "results";
  const CommandResult r =
      MorviWithFileLimit(4, ShellQuote(dir.path().string()) + " --out " + ShellQuote(results));
  EXPECT_EQ(r.status, 1);
  for (const char* name : {"a1_morvi.flo", "a1_morvi.ppm", "a1_morviwarp.ppm", "a2_morvi.flo", "a2_morvi.ppm",
                           "a2_morviwarp.ppm"}) {
    EXPECT_NE(r.err.find(": could not write " + (std::filesystem::path(results) / name).string() + ": File too large"),
              std::string::npos)
        << name << "\n"
        << r.err;
  }
  // The files are written side by side; their messages still come in one order.
  const size_t flowAt = r.err.find("a1_morvi.flo:");
  const size_t pictureAt = r.err.find("a1_morvi.ppm:");
  const size_t warpAt = r.err.find("a1_morviwarp.ppm:");
  EXPECT_TRUE(flowAt < pictureAt && pictureAt < warpAt && warpAt < r.err.find("a2_morvi.flo:")) << r.err;
  EXPECT_NE(r.err.find("Pairs: 0 done, 0 skipped, 2 failed\n"), std::string::npos) << r.err;
  EXPECT_TRUE(ListFiles(results).empty());
  EXPECT_TRUE(HiddenNames(results).empty());
}

TEST(MorviFullDisk, ResumeOnAFullDiskLeavesCompleteFilesAsTheyAre) {
  TempDir dir;
  for (int i = 1; i <= 3; ++i) cv::imwrite(dir / ("a" + std::to_string(i) + ".png"), Texture(64, 48, 3, i));
  const std::string results = dir / "results";
  const std::string args = ShellQuote(dir.path().string()) + " --out " + ShellQuote(results);
  ASSERT_EQ(Morvi(args).status, 0);
  // Pair a1 lost its warped frame; its other files are complete. A killed writer of each pair left
  // a temporary behind.
  std::filesystem::remove(results + "/a1_morviwarp.ppm");
  const std::vector<unsigned char> flow = ReadBytes(results + "/a1_morvi.flo");
  const std::vector<unsigned char> picture = ReadBytes(results + "/a1_morvi.ppm");
  for (const char* leftover : {".a1_morviwarp.tmp12-34.ppm", ".a2_morvi.tmp12-34.flo"}) {
    std::ofstream(std::filesystem::path(results) / leftover) << "partial";
  }

  // Shard 0 of 2 owns pair a1 only.
  const CommandResult r = MorviWithFileLimit(4, "--resume --shard 0/2 " + args);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find(": could not write " + results + "/a1_morviwarp.ppm: File too large"), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("Pairs: 0 done, 0 skipped, 1 failed\n"), std::string::npos) << r.err;
  EXPECT_EQ(ReadBytes(results + "/a1_morvi.flo"), flow);
  EXPECT_EQ(ReadBytes(results + "/a1_morvi.ppm"), picture);
  EXPECT_FALSE(std::filesystem::exists(results + "/a1_morviwarp.ppm"));
  // Its own leftover is gone; the other shard's is not its to remove.
  EXPECT_EQ(HiddenNames(results), (std::vector<std::string>{".a2_morvi.tmp12-34.flo"}));
}
