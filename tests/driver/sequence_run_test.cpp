// Runs over whole sequences: shards, resuming, video input, the fixed colour scale.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

#include "image/flow_evaluation.h"
#include "image/flow_reader.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;

const std::string kMorvi = MORVI_BINARY;
const std::string kEval = MORVI_EVAL_BINARY;

// Five real frames (a 96x64 crop of RubberWhale) when the data set is there, else a moving texture.
std::vector<cv::Mat> SequenceFrames(int count = 5) {
  std::vector<cv::Mat> frames;
  for (int i = 0; i < count; ++i) {
    const std::string path = DataPath("middlebury/RubberWhale/frame" + std::string(i + 7 < 10 ? "0" : "") +
                                      std::to_string(i + 7) + ".png");
    if (!path.empty()) {
      frames.push_back(cv::imread(path, cv::IMREAD_COLOR)(cv::Rect(300, 150, 96, 64)).clone());
      continue;
    }
    cv::Mat frame(64, 96, CV_8UC3);
    for (int y = 0; y < 64; ++y) {
      for (int x = 0; x < 96; ++x) {
        for (int c = 0; c < 3; ++c) {
          frame.at<cv::Vec3b>(y, x)[c] =
              static_cast<uint8_t>(128 + 60 * std::sin((x - i) * 0.3 + c) * std::cos((y + i) * 0.2));
        }
      }
    }
    frames.push_back(frame);
  }
  return frames;
}

void WriteFrames(const TempDir& dir, const std::vector<cv::Mat>& frames) {
  for (size_t i = 0; i < frames.size(); ++i) cv::imwrite(dir / ("f" + std::to_string(i) + ".png"), frames[i]);
}

CommandResult Morvi(const std::string& args) {
  return RunCommand(ShellQuote(kMorvi) + " --seed 5 --threads 2 " + args);
}

// Every file of `directory` whose name holds "_morvi", with its bytes.
std::map<std::string, std::vector<unsigned char>> Outputs(const fs::path& directory) {
  std::map<std::string, std::vector<unsigned char>> outputs;
  for (const std::string& name : ListFiles(directory)) {
    if (name.find("_morvi") != std::string::npos) outputs[name] = ReadBytes((directory / name).string());
  }
  return outputs;
}

// True when `text` holds a line "<head><digits>.<digit>s, ETA <h>:<mm>:<ss>".
bool HasProgressLine(const std::string& text, const std::string& head) {
  const auto digits = [](const std::string& part) {
    return !part.empty() && std::all_of(part.begin(), part.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  for (size_t start = 0; start < text.size();) {
    const size_t end = text.find('\n', start);
    const std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    start = end == std::string::npos ? text.size() : end + 1;
    if (line.rfind(head, 0) != 0) continue;
    const std::string rest = line.substr(head.size());  // "12.3s, ETA 0:00:05"
    const size_t dot = rest.find('.');
    const size_t eta = rest.find("s, ETA ");
    if (dot == std::string::npos || eta != dot + 2 || !digits(rest.substr(0, dot)) ||
        !digits(rest.substr(dot + 1, 1))) {
      continue;
    }
    const std::string clock = rest.substr(eta + 7);
    const size_t colon = clock.find(':');
    if (colon != std::string::npos && digits(clock.substr(0, colon)) && clock.size() == colon + 6 &&
        clock[colon + 3] == ':' && digits(clock.substr(colon + 1, 2)) && digits(clock.substr(colon + 4, 2)) &&
        clock[colon + 1] <= '5' && clock[colon + 4] <= '5') {
      return true;
    }
  }
  return false;
}

// Writes `frames` as a lossless FFV1 video.
bool WriteVideoAt(const std::string& path, const std::vector<cv::Mat>& frames, double rate) {
  cv::VideoWriter writer(path, cv::CAP_FFMPEG, cv::VideoWriter::fourcc('F', 'F', 'V', '1'), rate,
                         frames[0].size(), true);
  if (!writer.isOpened()) return false;
  for (const cv::Mat& frame : frames) writer.write(frame);
  return true;
}
bool WriteVideo(const std::string& path, const std::vector<cv::Mat>& frames) { return WriteVideoAt(path, frames, 25.0); }

}  // namespace

TEST(MorviSequences, ShardsTogetherEqualTheWholeRunAndReadOnlyTheirFrames) {
  TempDir frames;
  WriteFrames(frames, SequenceFrames());
  TempDir whole;
  const CommandResult run = Morvi("--progress " + ShellQuote(frames.path().string()) + " .png 8 " +
                                  ShellQuote(whole.path().string()));
  ASSERT_EQ(run.status, 0) << run.err;
  const auto reference = Outputs(whole.path());
  ASSERT_EQ(reference.size(), 12u);
  EXPECT_TRUE(HasProgressLine(run.err, "pair 1/4 f0 ")) << run.err;
  EXPECT_NE(run.err.find("pair 4/4 f3 "), std::string::npos);
  EXPECT_NE(run.err.find("Pairs: 4 done, 0 skipped, 0 failed\n"), std::string::npos) << run.err;

  // Four pairs over three shards: blocks {0}, {1}, {2, 3}; named options instead of positionals.
  TempDir shards;
  for (int k = 0; k < 3; ++k) {
    const CommandResult shard = Morvi("--shard " + std::to_string(k) + "/3 --smooth 8 --out " +
                                      ShellQuote(shards.path().string()) + " " + ShellQuote(frames.path().string()));
    ASSERT_EQ(shard.status, 0) << shard.err;
    EXPECT_NE(shard.err.find(k < 2 ? "Pairs: 1 done" : "Pairs: 2 done"), std::string::npos) << shard.err;
  }
  EXPECT_EQ(Outputs(shards.path()), reference);

  // The last shard needs frames 2 to 4 only: a broken frame 0 does not concern it.
  { std::ofstream(frames / "f0.png") << "not an image"; }
  TempDir last;
  const CommandResult lastShard =
      Morvi("--shard 2/3 --out " + ShellQuote(last.path().string()) + " " + ShellQuote(frames.path().string()));
  ASSERT_EQ(lastShard.status, 0) << lastShard.err;
  auto expected = reference;
  for (const char* stem : {"f0", "f1"}) {
    for (const char* suffix : {"_morvi.flo", "_morvi.ppm", "_morviwarp.ppm"}) expected.erase(stem + std::string(suffix));
  }
  EXPECT_EQ(Outputs(last.path()), expected);
}

TEST(MorviSequences, ResumeAfterAKillGivesTheBytesOfAnUninterruptedRun) {
  TempDir frames;
  WriteFrames(frames, SequenceFrames());
  TempDir whole;
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(Morvi(ShellQuote(frames.path().string()) + " .png 8 " + ShellQuote(whole.path().string())).status, 0);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const auto reference = Outputs(whole.path());

  // Killed about halfway; whatever it left, resuming completes the same bytes.
  TempDir killed;
  char delay[32];
  std::snprintf(delay, sizeof delay, "%.2f", seconds / 2);
  RunCommand("timeout -s KILL " + std::string(delay) + " " + ShellQuote(kMorvi) + " --seed 5 --threads 2 " +
             ShellQuote(frames.path().string()) + " .png 8 " + ShellQuote(killed.path().string()));
  // A foreign file under an output's name, of the wrong size, is redone rather than trusted.
  { std::ofstream(killed / "f1_morvi.flo") << "PIEH and far too short"; }
  const CommandResult resumed =
      Morvi("--resume " + ShellQuote(frames.path().string()) + " .png 8 " + ShellQuote(killed.path().string()));
  ASSERT_EQ(resumed.status, 0) << resumed.err;
  EXPECT_EQ(Outputs(killed.path()), reference);

  // Everything complete: nothing is estimated and nothing changes.
  const CommandResult again =
      Morvi("--resume " + ShellQuote(frames.path().string()) + " .png 8 " + ShellQuote(killed.path().string()));
  ASSERT_EQ(again.status, 0) << again.err;
  EXPECT_EQ(again.out.find("Running Time"), std::string::npos);
  EXPECT_NE(again.err.find("Pairs: 0 done, 4 skipped, 0 failed\n"), std::string::npos) << again.err;
  EXPECT_EQ(Outputs(killed.path()), reference);
}

TEST(MorviSequences, VideoFramesGiveTheOutputsOfTheSameFramesDecodedToPngs) {
  TempDir video;
  const std::vector<cv::Mat> frames = SequenceFrames(4);
  ASSERT_TRUE(WriteVideo(video / "clip.avi", frames));

  // The frames as the program's reader decodes them, in a folder under the video's frame names.
  TempDir decoded;
  cv::VideoCapture capture(video / "clip.avi", cv::CAP_FFMPEG);
  cv::Mat frame;
  for (int k = 0; capture.read(frame); ++k) {
    char name[32];
    std::snprintf(name, sizeof name, "clip_%06d.png", k);
    cv::imwrite(decoded / name, frame);
  }
  ASSERT_EQ(ListFiles(decoded.path()).size(), 4u);
  TempDir fromPngs;
  ASSERT_EQ(Morvi(ShellQuote(decoded.path().string()) + " .png 8 " + ShellQuote(fromPngs.path().string())).status, 0);
  const auto reference = Outputs(fromPngs.path());
  ASSERT_EQ(reference.size(), 9u);
  EXPECT_EQ(reference.count("clip_000002_morviwarp.ppm"), 1u);

  // The results go beside the video by default; the image type is not looked at.
  const CommandResult run = Morvi(ShellQuote(video / "clip.avi") + " .jpg 8");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(Outputs(video.path()), reference);

  // A shard of the video decodes its way to its own first frame.
  TempDir shard;
  ASSERT_EQ(Morvi("--shard 1/2 --out " + ShellQuote(shard.path().string()) + " " + ShellQuote(video / "clip.avi")).status,
            0);
  auto expected = reference;
  for (const char* suffix : {"_morvi.flo", "_morvi.ppm", "_morviwarp.ppm"}) expected.erase("clip_000000" + std::string(suffix));
  EXPECT_EQ(Outputs(shard.path()), expected);
}

TEST(MorviSequences, CutOrForeignVideoIsReportedAfterTheReadablePairs) {
  TempDir video;
  std::vector<cv::Mat> frames;
  cv::RNG random(7);
  for (int i = 0; i < 8; ++i) {
    cv::Mat frame(32, 48, CV_8UC3);
    random.fill(frame, cv::RNG::UNIFORM, 0, 255);
    frames.push_back(frame);
  }
  ASSERT_TRUE(WriteVideo(video / "cut.avi", frames));
  fs::resize_file(video / "cut.avi", fs::file_size(video / "cut.avi") * 6 / 10);
  cv::VideoCapture capture(video / "cut.avi", cv::CAP_FFMPEG);
  int readable = 0;
  while (capture.grab()) ++readable;
  ASSERT_GE(readable, 2);
  ASSERT_LT(readable, 8);

  const CommandResult run = Morvi(ShellQuote(video / "cut.avi"));
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("frame " + std::to_string(readable) + " of video " + video / "cut.avi"), std::string::npos)
      << run.err;
  EXPECT_EQ(Outputs(video.path()).size(), 3u * static_cast<size_t>(readable - 1));
  EXPECT_NE(run.err.find("Pairs: " + std::to_string(readable - 1) + " done, 0 skipped, 0 failed, " +
                         std::to_string(8 - readable) + " not run\n"),
            std::string::npos)
      << run.err;

  { std::ofstream(video / "notes.txt") << "no video here"; }
  TempDir results;
  const CommandResult foreign = Morvi(ShellQuote(video / "notes.txt") + " .png 8 " + ShellQuote(results.path().string()));
  EXPECT_EQ(foreign.status, 1);
  EXPECT_NE(foreign.err.find(video / "notes.txt"), std::string::npos) << foreign.err;
  EXPECT_TRUE(ListFiles(results.path()).empty());
}

TEST(MorviSequences, FixedColourScaleSetsTheSaturationOfEveryPicture) {
  TempDir frames;
  WriteFrames(frames, SequenceFrames(2));
  TempDir byPair;
  ASSERT_EQ(Morvi(ShellQuote(frames.path().string()) + " .png 8 " + ShellQuote(byPair.path().string())).status, 0);
  ImageRef u;
  ImageRef v;
  std::string error;
  ASSERT_TRUE(ReadFlowFile(byPair / "f0_morvi.flo", u, v, error)) << error;
  // The per-pair scale: the largest flow length inside a 10-pixel border.
  float largest = 0.0f;
  for (int y = 10; y <= u.Height() - 10; ++y) {
    for (int x = 10; x <= u.Width() - 10; ++x) {
      const float fu = u.Row<float>(y)[x];
      const float fv = v.Row<float>(y)[x];
      largest = std::max(largest, std::sqrt(fu * fu + fv * fv));
    }
  }
  ASSERT_GT(largest, 0.0f);
  const auto scaleText = [](float scale) {
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", scale);
    return std::string(text);
  };

  TempDir same;
  ASSERT_EQ(Morvi("--colour-scale " + scaleText(largest) + " " + ShellQuote(frames.path().string()) + " .png 8 " +
                  ShellQuote(same.path().string()))
                .status,
            0);
  EXPECT_EQ(ReadBytes(same / "f0_morvi.ppm"), ReadBytes(byPair / "f0_morvi.ppm"));
  EXPECT_EQ(ReadBytes(same / "f0_morvi.flo"), ReadBytes(byPair / "f0_morvi.flo"));

  TempDir half;
  ASSERT_EQ(Morvi("--colour-scale " + scaleText(largest / 2) + " " + ShellQuote(frames.path().string()) + " .png 8 " +
                  ShellQuote(half.path().string()))
                .status,
            0);
  EXPECT_NE(ReadBytes(half / "f0_morvi.ppm"), ReadBytes(byPair / "f0_morvi.ppm"));
  const CommandResult picture = RunCommand(ShellQuote(kEval) + " --picture " + ShellQuote(half / "eval.ppm") +
                                           " --colour-scale " + scaleText(largest / 2) + " " +
                                           ShellQuote(byPair / "f0_morvi.flo"));
  ASSERT_EQ(picture.status, 0) << picture.err;
  EXPECT_EQ(ReadBytes(half / "eval.ppm"), ReadBytes(half / "f0_morvi.ppm"));
  EXPECT_EQ(RunCommand(ShellQuote(kEval) + " --colour-scale 2 " + ShellQuote(byPair / "f0_morvi.flo") + " " +
                       ShellQuote(byPair / "f0_morvi.flo"))
                .status,
            2);
}

TEST(MorviScale, ScaleOneGivesTheBytesOfARunWithoutIt) {
  TempDir frames;
  WriteFrames(frames, SequenceFrames(2));
  TempDir plain, scaled;
  const std::string source = ShellQuote(frames.path().string());
  ASSERT_EQ(Morvi(source + " .png 8 " + ShellQuote(plain.path().string())).status, 0);
  ASSERT_EQ(Morvi("--scale 1 " + source + " .png 8 " + ShellQuote(scaled.path().string())).status, 0);
  EXPECT_EQ(Outputs(plain.path()).size(), 3u);
  EXPECT_EQ(Outputs(plain.path()), Outputs(scaled.path()));
}

// A real 320 x 240 pair estimated at half size: outputs of the frames' size, the flow near the truth.
TEST(MorviScale, HalfScaleGivesFullSizeOutputsNearTheTruth) {
  const std::string firstPath = DataPath("middlebury/RubberWhale/frame10.png");
  const std::string truthPath = DataPath("middlebury/RubberWhale/flow10.flo");
  if (firstPath.empty() || truthPath.empty()) GTEST_SKIP() << "ground-truth data not available";
  const cv::Rect crop(200, 100, 320, 240);
  TempDir frames;
  cv::imwrite(frames / "f0.png", cv::imread(firstPath, cv::IMREAD_COLOR)(crop));
  cv::imwrite(frames / "f1.png", cv::imread(DataPath("middlebury/RubberWhale/frame11.png"), cv::IMREAD_COLOR)(crop));
  ASSERT_EQ(Morvi("--scale 0.5 --occlusions " + ShellQuote(frames.path().string())).status, 0);

  ImageRef u, v, uGt, vGt;
  std::string error;
  ASSERT_TRUE(ReadFlowFile(frames / "f0_morvi.flo", u, v, error)) << error;
  ASSERT_EQ(cv::Size(u.Width(), u.Height()), crop.size());
  for (const char* picture : {"f0_morvi.ppm", "f0_morviwarp.ppm", "f0_morviocc.pgm"}) {
    EXPECT_EQ(cv::imread(frames / picture, cv::IMREAD_UNCHANGED).size(), crop.size()) << picture;
  }
  ASSERT_TRUE(ReadFlowFile(truthPath, uGt, vGt, error)) << error;
  const ImageRef uTruth(uGt.Mat()(crop).clone());
  const ImageRef vTruth(vGt.Mat()(crop).clone());
  FlowErrorStats stats, zeroStats;
  ASSERT_TRUE(EvaluateFlow(uTruth, vTruth, u, v, stats, error)) << error;
  ASSERT_TRUE(EvaluateFlow(uTruth, vTruth, CreateFloat(320, 240, 1), CreateFloat(320, 240, 1), zeroStats, error));
  EXPECT_LT(stats.epe, 0.3);  // 0.19 measured, against 1.32 for a zero flow
  EXPECT_LT(stats.epe, 0.25 * zeroStats.epe);
}

// PNG pictures beside the frames (PNGs too): lossless, so they decode to the PPM run's pictures;
// not taken as frames by a later run, and recognised as complete by --resume in their format only.
TEST(MorviPictureFormat, PngPicturesDecodeToThePpmPicturesAndResumeSkipsThem) {
  TempDir frames;
  WriteFrames(frames, SequenceFrames(3));
  TempDir ppm;
  const std::string source = ShellQuote(frames.path().string());
  ASSERT_EQ(Morvi(source + " .png 8 " + ShellQuote(ppm.path().string())).status, 0);
  ASSERT_EQ(Morvi("--picture-format png " + source).status, 0);
  EXPECT_EQ(ListFiles(frames.path()),
            (std::vector<std::string>{"f0.png", "f0_morvi.flo", "f0_morvi.png", "f0_morviwarp.png", "f1.png",
                                      "f1_morvi.flo", "f1_morvi.png", "f1_morviwarp.png", "f2.png"}));
  for (const std::string stem : {"f0", "f1"}) {
    EXPECT_EQ(ReadBytes(frames / (stem + "_morvi.flo")), ReadBytes(ppm / (stem + "_morvi.flo")));
    for (const std::string picture : {"_morvi", "_morviwarp"}) {
      const cv::Mat png = cv::imread(frames / (stem + picture + ".png"), cv::IMREAD_UNCHANGED);
      ASSERT_EQ(png.size(), cv::Size(96, 64)) << stem << picture;
      ASSERT_EQ(png.type(), CV_8UC3);
      EXPECT_EQ(cv::norm(png, cv::imread(ppm / (stem + picture + ".ppm"), cv::IMREAD_UNCHANGED), cv::NORM_INF), 0.0);
    }
  }

  const CommandResult resumed = Morvi("--resume --picture-format png " + source);
  EXPECT_EQ(resumed.status, 0);
  EXPECT_NE(resumed.err.find("Pairs: 0 done, 2 skipped, 0 failed"), std::string::npos) << resumed.err;
  EXPECT_NE(resumed.err.find("skipped 4 file(s)"), std::string::npos) << resumed.err;

  // A picture cut short is incomplete; PNG outputs do not complete a PPM run.
  const std::vector<unsigned char> bytes = ReadBytes(frames / "f1_morviwarp.png");
  std::ofstream(frames / "f1_morviwarp.png", std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size() - 1));
  const CommandResult redone = Morvi("--resume --picture-format png " + source);
  EXPECT_NE(redone.err.find("Pairs: 1 done, 1 skipped, 0 failed"), std::string::npos) << redone.err;
  EXPECT_EQ(ReadBytes(frames / "f1_morviwarp.png"), bytes);
  const CommandResult asPpm = Morvi("--resume " + source);
  EXPECT_NE(asPpm.err.find("Pairs: 2 done, 0 skipped, 0 failed"), std::string::npos) << asPpm.err;
}

// Frames of a video file and its frame rate, read back with FFmpeg.
struct VideoCount {
  int frames = 0;
  double rate = 0.0;
  cv::Size size;
};
VideoCount CountVideoFrames(const std::string& path) {
  cv::VideoCapture capture(path, cv::CAP_FFMPEG);
  VideoCount count;
  count.rate = capture.get(cv::CAP_PROP_FPS);
  cv::Mat frame;
  while (capture.read(frame)) {
    ++count.frames;
    count.size = frame.size();
  }
  return count;
}

TEST(MorviFlowVideo, OneFramePerPairAlsoWhenResumingAtTheSourcesRate) {
  TempDir frames;
  WriteFrames(frames, SequenceFrames(4));
  TempDir out;
  const std::string source = ShellQuote(frames.path().string());
  ASSERT_EQ(Morvi("--picture-format png --video-out " + ShellQuote(out / "flow.avi") + " " + source).status, 0);
  const VideoCount whole = CountVideoFrames(out / "flow.avi");
  EXPECT_EQ(whole.frames, 3);
  EXPECT_EQ(whole.size, cv::Size(2 * 96, 64));
  EXPECT_EQ(whole.rate, 25.0);

  // Resuming, the skipped pairs' pictures are read back: the video still has every pair, and a
  // killed run's temporary of the video is removed.
  fs::remove(frames / "f1_morvi.flo");
  std::ofstream(out / ".flow.tmp99-1.mkv") << "cut";
  const CommandResult resumed =
      Morvi("--resume --picture-format png --video-out " + ShellQuote(out / "flow.mkv") + " " + source);
  EXPECT_EQ(resumed.status, 0) << resumed.err;
  EXPECT_NE(resumed.err.find("Pairs: 1 done, 2 skipped, 0 failed"), std::string::npos) << resumed.err;
  EXPECT_EQ(CountVideoFrames(out / "flow.mkv").frames, 3);

  // A video source gives its own frame rate.
  ASSERT_TRUE(WriteVideoAt(frames / "clip.mkv", SequenceFrames(3), 10.0));
  ASSERT_EQ(Morvi("--video-out " + ShellQuote(out / "clip.mp4") + " --out " + ShellQuote(out / "clip") + " " +
                  ShellQuote(frames / "clip.mkv"))
                .status,
            0);
  const VideoCount fromVideo = CountVideoFrames(out / "clip.mp4");
  EXPECT_EQ(fromVideo.frames, 2);
  EXPECT_NEAR(fromVideo.rate, 10.0, 1e-6);
  EXPECT_EQ(ListFiles(out.path()), (std::vector<std::string>{"clip.mp4", "flow.avi", "flow.mkv"}));  // no temporary left
}

TEST(MorviFlowVideo, VideoInAMissingFolderFailsBeforeAnyWorkAndLeavesNothing) {
  TempDir frames;
  WriteFrames(frames, SequenceFrames(2));
  const CommandResult r =
      Morvi("--video-out " + ShellQuote(frames / "no/flow.avi") + " " + ShellQuote(frames.path().string()));
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("could not write " + (frames / "no/flow.avi") + ": the folder"), std::string::npos) << r.err;
  EXPECT_EQ(ListFiles(frames.path()), (std::vector<std::string>{"f0.png", "f1.png"}));
}

TEST(MorviSequences, BadSequenceOptionsAreUsageErrorsBeforeAnyWork) {
  TempDir frames;
  WriteFrames(frames, SequenceFrames(2));
  const std::string dir = ShellQuote(frames.path().string());
  for (const std::string& bad :
       {"--shard 3/3 " + dir, "--shard 1/0 " + dir, "--shard x " + dir, "--shard 1/ " + dir, "--shard -1/2 " + dir,
        "--colour-scale 0 " + dir, "--colour-scale -2 " + dir, "--colour-scale nan " + dir,
        "--colour-scale inf " + dir, "--smooth 4 --smooth 5 " + dir, "--smooth 4 " + dir + " .png 8",
        "--out x " + dir + " .png 8 y", "--resume --resume " + dir, std::string("--shard"), "--scale 0 " + dir,
        "--scale 2 " + dir, "--scale x " + dir, "--scale -0.5 " + dir, "--scale nan " + dir,
        "--scale 1.0001 " + dir, std::string("--scale"), "--picture-format jpg " + dir,
        "--picture-format " + dir, "--video-out flow.webm " + dir, "--video-out flow " + dir,
        "--shard 0/1 --video-out flow.avi " + dir, std::string("--video-out")}) {
    const CommandResult r = Morvi(bad);
    EXPECT_EQ(r.status, 1) << bad;
    EXPECT_NE(r.err.find("Usage: "), std::string::npos) << bad;
  }
  EXPECT_EQ(ListFiles(frames.path()).size(), 2u);
}

// --confidence writes a 16-bit grey map per pair beside the frames (PNGs too) without changing the
// other outputs; with --occlusions the map is the same; a later run does not take the maps for
// frames, and --resume treats a map as one more output of its pair.
TEST(MorviConfidence, MapIsOneMoreOutputOfThePair) {
  TempDir frames;
  WriteFrames(frames, SequenceFrames(3));
  const std::string source = ShellQuote(frames.path().string());
  TempDir plain, alone;
  ASSERT_EQ(Morvi(source + " .png 8 " + ShellQuote(plain.path().string())).status, 0);
  ASSERT_EQ(Morvi("--confidence " + source + " .png 8 " + ShellQuote(alone.path().string())).status, 0);
  const CommandResult both = Morvi("--confidence --occlusions " + source);
  ASSERT_EQ(both.status, 0) << both.err;

  const auto plainOutputs = Outputs(plain.path());
  const auto aloneOutputs = Outputs(alone.path());
  const auto besideOutputs = Outputs(frames.path());
  EXPECT_EQ(plainOutputs.size(), 6u);
  EXPECT_EQ(aloneOutputs.size(), 8u);
  for (const auto& [name, bytes] : plainOutputs) EXPECT_EQ(aloneOutputs.at(name), bytes) << name;
  for (const char* map : {"f0_morviconf.png", "f1_morviconf.png"}) {
    EXPECT_EQ(besideOutputs.at(map), aloneOutputs.at(map)) << map;
    const cv::Mat picture = cv::imread(alone / map, cv::IMREAD_UNCHANGED);
    EXPECT_EQ(picture.type(), CV_16UC1) << map;
    EXPECT_EQ(picture.size(), cv::Size(96, 64)) << map;
  }

  // The maps beside the frames are not frames; complete pairs are skipped, a missing map is redone.
  CommandResult resumed = Morvi("--resume --confidence --occlusions " + source);
  ASSERT_EQ(resumed.status, 0) << resumed.err;
  EXPECT_NE(resumed.err.find("Pairs: 0 done, 2 skipped"), std::string::npos) << resumed.err;
  fs::remove(frames / "f1_morviconf.png");
  resumed = Morvi("--resume --confidence --occlusions " + source);
  EXPECT_NE(resumed.err.find("Pairs: 1 done, 1 skipped"), std::string::npos) << resumed.err;
  EXPECT_EQ(Outputs(frames.path()), besideOutputs);
}
