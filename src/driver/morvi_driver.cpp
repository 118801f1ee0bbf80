#include "driver/morvi_driver.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <memory>
#include <ostream>
#include <system_error>
#include <vector>

#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>

#include "driver/flow_video.h"
#include "driver/frame_source.h"
#include "driver/pair_plan.h"
#include "driver/run_options.h"
#include "image/flow_colour.h"
#include "image/flow_file.h"
#include "image/image_codec.h"
#include "image/parallel.h"
#include "image/warp.h"
#include "morvi/morvi.h"
#include "pipeline/confidence_map.h"
#include "pipeline/estimate_flow.h"

namespace {

void PrintVersion(std::ostream& out) {
  out << "Morvi Optical Flow Estimation" << std::endl;
  out << "Version " << morvi::Version() << std::endl;
}

void PrintBanner(const char* program, std::ostream& out) {
  PrintVersion(out);
  out << "Written by the Morvi developers" << std::endl;
  out << "Usage: " << program << " imgdir [imgtype] [smooth] [resultdir]" << std::endl;
  out << "Example: " << program << " \"./data/football\" \".png\" 20 \"./data/football\"" << std::endl;
}

// h:mm:ss of a duration in seconds.
std::string ClockTime(double seconds) {
  const long long total = static_cast<long long>(std::max(0.0, seconds) + 0.5);
  char text[48];
  std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", total / 3600, total / 60 % 60, total % 60);
  return text;
}

// Frame width, height and channels that every frame of the run must share.
struct FrameLayout {
  int width = 0;
  int height = 0;
  int channels = 0;
};

// Loads the frames of the run's pairs, each once when the pairs are consecutive, and checks that
// they share the layout of the first frame loaded.
class PairFrames {
 public:
  PairFrames(const char* program, FrameSource& source, std::ostream& err)
      : program_(program), source_(source), err_(err) {}

  // The frame, or an empty handle after a message on standard error.
  ImageRef Get(size_t index) {
    if (!cached_.Empty() && cachedIndex_ == index) return cached_;
    std::string reason;
    ImageRef frame = source_.Load(index, reason);
    if (frame.Empty()) {
      err_ << program_ << ": " << source_.Describe(index) << " " << reason << std::endl;
      return ImageRef();
    }
    if (layoutIndex_ < 0) {
      layout_ = {frame.Width(), frame.Height(), frame.Channels()};
      layoutIndex_ = static_cast<long long>(index);
    } else if (frame.Width() != layout_.width || frame.Height() != layout_.height ||
               frame.Channels() != layout_.channels) {
      err_ << program_ << ": " << source_.Describe(index) << " is " << frame.Width() << "x" << frame.Height()
                << " with " << frame.Channels() << " channel(s), but "
                << source_.Describe(static_cast<size_t>(layoutIndex_)) << " is " << layout_.width << "x"
                << layout_.height << " with " << layout_.channels << " channel(s)" << std::endl;
      return ImageRef();
    }
    cached_ = frame;
    cachedIndex_ = index;
    return frame;
  }

  const FrameLayout& Layout() const { return layout_; }

 private:
  const char* program_;
  FrameSource& source_;
  std::ostream& err_;
  FrameLayout layout_;
  long long layoutIndex_ = -1;
  ImageRef cached_;
  size_t cachedIndex_ = 0;
};

// Writes the flow, its picture, the warped second frame and, when given, the occlusion mask and the
// confidence map (as 16-bit grey) under their final names, the pictures in the format their names
// give. Every file is attempted, each as a task of its own on up to `threads` threads (the longest
// first; a file's bytes do not depend on where it is made); false after one message per file not
// written, in the order above. `picture` receives the flow picture.
bool WritePairOutputs(const char* program, const PairOutputs& outputs, const ImageRef& u, const ImageRef& v,
                      const ImageRef& second, const ImageRef& occlusions, const ImageRef& confidence,
                      float colourScale, int threads, ImageRef& picture, std::ostream& err) {
  enum Output { kPicture, kWarp, kFlow, kConfidence, kOcclusions, kOutputCount };
  std::string errors[kOutputCount];
  bool written[kOutputCount] = {true, true, true, true, true};
  picture = CreateByte(u.Width(), u.Height(), 3);
  ParallelTasks(kOutputCount, threads, [&](int task) {
    switch (task) {
      case kPicture:
        FlowToColourImage(u, v, picture, colourScale);
        written[task] = SaveImage(picture, outputs.picture, errors[task]);
        break;
      case kWarp: {
        ImageRef warped = CreateByte(second.Width(), second.Height(), second.Channels());
        WarpByFlow(u, v, second, warped, 1);
        written[task] = SaveImage(warped, outputs.warp, errors[task]);
        break;
      }
      case kFlow: {
        cv::Mat flow;
        cv::merge(std::vector<cv::Mat>{u.Mat(), v.Mat()}, flow);
        written[task] = WriteFlowFile(ImageRef(flow), outputs.flow, errors[task]);
        break;
      }
      case kConfidence:
        if (!outputs.confidence.empty()) {
          written[task] =
              SaveImage(ImageRef(ConfidenceTo16Bit(confidence.Mat())), outputs.confidence, errors[task]);
        }
        break;
      default:
        if (!outputs.occlusions.empty()) {
          written[task] = SaveImage(occlusions, outputs.occlusions, errors[task]);
        }
        break;
    }
  });
  bool all = true;
  for (const Output output : {kFlow, kPicture, kWarp, kOcclusions, kConfidence}) {
    if (written[output]) continue;
    err << program << ": " << errors[output] << std::endl;
    all = false;
  }
  return all;
}

// The number of pairs estimated, skipped as complete, failed and not run (a frame error stopped
// the run, or the frames are missing from a cut video), reported once at the end of a run.
struct PairCounts {
  size_t done = 0;
  size_t skipped = 0;
  size_t failed = 0;
  size_t notRun = 0;

  void Print(std::ostream& err) const {
    err << "Pairs: " << done << " done, " << skipped << " skipped, " << failed << " failed";
    if (notRun > 0) err << ", " << notRun << " not run";
    err << std::endl;
  }
};

// One run over the pairs of a frame source into a result directory.
class SequenceRun {
 public:
  SequenceRun(const char* program, const RunOptions& options, FrameSource& frames, std::string resultDirectory,
              PairCounts& counts, std::ostream& out, std::ostream& err)
      : program_(program),
        options_(options),
        frames_(frames),
        resultDirectory_(std::move(resultDirectory)),
        pairFrames_(program, frames, err),
        counts_(counts),
        out_(out),
        err_(err) {}

  // The pairs this run estimates: the shard's block, less those whose outputs are complete when
  // resuming (whose leftover temporaries are removed first). False after a message, counted as a
  // failed pair, when the frame that sizes the outputs cannot be read.
  bool Plan(const PairBlock& block, std::vector<size_t>& toRun) {
    block_ = block;
    videoNext_ = block.begin;
    if (!options_.resume) {
      for (size_t pair = block.begin; pair < block.end; ++pair) toRun.push_back(pair);
      return true;
    }
    // Only this block's temporaries: other shards may be writing theirs into the same folder.
    std::vector<std::string> stems;
    for (size_t pair = block.begin; pair < block.end; ++pair) stems.push_back(frames_.Stem(pair));
    RemoveLeftoverTemporaries(resultDirectory_, stems);

    // The layout of the block's first frame names the warp and sizes complete files.
    if (block.begin < block.end && pairFrames_.Get(block.begin).Empty()) {
      ++counts_.failed;
      counts_.notRun += block.end - block.begin - 1;
      return false;
    }
    const FrameLayout& layout = pairFrames_.Layout();
    for (size_t pair = block.begin; pair < block.end; ++pair) {
      const PairOutputs outputs =
          OutputsOf(resultDirectory_, frames_.Stem(pair), layout.channels, options_.estimate.occlusions,
                    options_.pictureFormat, options_.estimate.confidence);
      if (OutputsComplete(outputs, layout.width, layout.height, layout.channels)) {
        ++counts_.skipped;
      } else {
        toRun.push_back(pair);
      }
    }
    return true;
  }

  // Opens the flow video when one is asked for, sized by the block's first frame; when resuming,
  // the temporaries a killed run left for it are removed first. False after a message when the
  // frame cannot be read or the video cannot be written.
  bool OpenVideo() {
    if (options_.videoOut.empty() || block_.begin >= block_.end) return true;
    if (options_.resume) RemoveLeftoverVideoTemporaries(options_.videoOut);
    if (pairFrames_.Get(block_.begin).Empty()) return false;
    const FrameLayout& layout = pairFrames_.Layout();
    video_ = std::make_unique<FlowVideo>(options_.videoOut, layout.width, layout.height,
                                         FlowVideoFrameRate(frames_.FrameRate()));
    if (video_->Ok()) return true;
    err_ << program_ << ": " << video_->Error() << std::endl;
    return false;
  }

  // Runs the planned pairs; the exit status. A frame that cannot be used stops the run (the pairs
  // after it count as not run); a pair whose estimate or files fail is counted and the run goes on.
  // The flow video, when asked for, is committed only when it holds a frame for every pair.
  int Run(const std::vector<size_t>& toRun) {
    const auto runStart = std::chrono::steady_clock::now();
    for (size_t i = 0; i < toRun.size(); ++i) {
      const auto pairStart = std::chrono::steady_clock::now();
      if (!AddSkippedToVideo(toRun[i]) || !RunPair(toRun[i])) {
        counts_.notRun += toRun.size() - i - 1;
        stopped_ = true;
        DropVideo("the run stopped before its last pair");
        return 1;
      }
      if (options_.progress) {
        const auto now = std::chrono::steady_clock::now();
        const double pairSeconds = std::chrono::duration<double>(now - pairStart).count();
        const double perPair = std::chrono::duration<double>(now - runStart).count() / static_cast<double>(i + 1);
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.1f", pairSeconds);
        err_ << "pair " << i + 1 << "/" << toRun.size() << " " << frames_.Stem(toRun[i]) << " " << seconds
             << "s, ETA " << ClockTime(perPair * static_cast<double>(toRun.size() - i - 1)) << std::endl;
      }
    }
    if (!AddSkippedToVideo(block_.end)) {
      stopped_ = true;
      DropVideo("the run stopped before its last pair");
      return 1;
    }
    FinishVideo();
    return status_;
  }

  // True when a frame error ended Run before its last pair.
  bool Stopped() const { return stopped_; }

 private:
  // Estimates pair `pair` and writes its outputs. False after a message when one of its frames
  // cannot be used; an estimate that fails or a file that cannot be written is counted as failed
  // and the run goes on.
  bool RunPair(size_t pair) {
    const ImageRef first = pairFrames_.Get(pair);
    const ImageRef second = first.Empty() ? ImageRef() : pairFrames_.Get(pair + 1);
    if (second.Empty()) {
      ++counts_.failed;
      return false;
    }
    const FrameLayout& layout = pairFrames_.Layout();
    const std::string stem = frames_.Stem(pair);
    const auto start = std::chrono::steady_clock::now();
    PairFlow flow;
    try {
      // The pair's name opens its progress line, so that what the estimate reports on the way
      // names the pair.
      out_ << stem << ": ";
      flow = EstimatePair(first, second, options_.estimate, &out_);
    } catch (const std::exception& error) {
      out_ << std::endl;
      err_ << program_ << ": the estimate of pair " << stem << " failed: " << error.what() << std::endl;
      ++counts_.failed;
      status_ = 1;
      missingVideoFrames_ = true;
      videoNext_ = pair + 1;
      return true;
    }
    for (const std::string& note : flow.notes) err_ << program_ << ": pair " << stem << ": " << note << std::endl;
    const double elapsedMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    out_ << "Running Time: " << static_cast<long>(elapsedMs / 1000.0) << "s" << std::endl;

    const PairOutputs outputs =
        OutputsOf(resultDirectory_, stem, layout.channels, options_.estimate.occlusions, options_.pictureFormat,
                  options_.estimate.confidence);
    ImageRef picture;
    if (WritePairOutputs(program_, outputs, flow.u, flow.v, second, flow.occlusions, flow.confidence,
                         options_.colourScale,
                         options_.estimate.threads, picture, err_)) {
      ++counts_.done;
    } else {
      ++counts_.failed;
      status_ = 1;
    }
    // The video shows the picture as computed, also when its file could not be written.
    if (video_) video_->Add(first, picture);
    videoNext_ = pair + 1;
    return true;
  }

  // Adds to the flow video the pairs before `pair` that resuming skipped, their pictures read
  // back from their files. False after a message when one of their first frames cannot be used
  // (which stops the run, as for a pair that runs); a picture that cannot be read leaves the
  // video incomplete.
  bool AddSkippedToVideo(size_t pair) {
    if (!video_) return true;
    for (; videoNext_ < pair; ++videoNext_) {
      const ImageRef first = pairFrames_.Get(videoNext_);
      if (first.Empty()) {
        ++counts_.failed;
        return false;
      }
      const FrameLayout& layout = pairFrames_.Layout();
      const PairOutputs outputs = OutputsOf(resultDirectory_, frames_.Stem(videoNext_), layout.channels,
                                            options_.estimate.occlusions, options_.pictureFormat,
                                            options_.estimate.confidence);
      const ImageRef picture = LoadImage(outputs.picture, cv::IMREAD_COLOR);
      if (picture.Empty()) {
        err_ << program_ << ": " << outputs.picture << " cannot be read back for the flow video" << std::endl;
        status_ = 1;
        missingVideoFrames_ = true;
        continue;
      }
      video_->Add(first, picture);
    }
    return true;
  }

  // Removes the flow video's temporary, saying why the video is not written.
  void DropVideo(const std::string& reason) {
    if (!video_) return;
    err_ << program_ << ": the flow video " << options_.videoOut << " is not written: " << reason << std::endl;
    video_.reset();
  }

  // Renames the flow video into place when it holds every pair's frame; otherwise it is removed.
  void FinishVideo() {
    if (!video_) return;
    const size_t pairs = block_.end - block_.begin;
    if (missingVideoFrames_ || video_->Frames() != static_cast<long>(pairs)) {
      DropVideo(std::to_string(pairs - std::min(pairs, static_cast<size_t>(video_->Frames()))) + " of " +
                std::to_string(pairs) + " pair(s) have no picture");
      status_ = 1;
      return;
    }
    if (!video_->Commit()) {
      err_ << program_ << ": " << video_->Error() << std::endl;
      status_ = 1;
    }
  }

  const char* program_;
  const RunOptions& options_;
  FrameSource& frames_;
  std::string resultDirectory_;
  PairFrames pairFrames_;
  PairCounts& counts_;
  std::ostream& out_;
  std::ostream& err_;
  int status_ = 0;
  bool stopped_ = false;
  PairBlock block_;
  std::unique_ptr<FlowVideo> video_;
  size_t videoNext_ = 0;  // the first pair not yet shown in the video
  bool missingVideoFrames_ = false;
};

// The result directory, created with its parents: the one given, else the source's own folder.
// Empty after a message when it cannot be created.
std::string PrepareResultDirectory(const char* program, const RunOptions& options, const FrameSource& frames,
                                   std::ostream& err) {
  const std::string directory = options.resultDirectory.empty() ? frames.Folder() : options.resultDirectory;
  std::error_code error;
  std::filesystem::create_directories(directory, error);
  if (error || !std::filesystem::is_directory(directory)) {
    err << program << ": cannot create the result directory " << directory << ": "
        << (error ? error.message() : "not a directory") << std::endl;
    return "";
  }
  return directory;
}

// The run over a sequence of two or more frames (counting those a cut video lost): its shard's
// pairs, then the damage of a cut video. Fills `counts`; the exit status.
int RunSequence(const char* program, const RunOptions& options, FrameSource& frames, PairCounts& counts,
                std::ostream& out, std::ostream& err) {
  const size_t pairCount = frames.FrameCount() - 1;  // a video keeps at least one decodable frame
  const PairBlock block = ShardBlock(pairCount, options.shardIndex, options.shardCount);
  // The pairs a cut video lost belong to the last block, whose run reports the damage.
  const bool holdsTheEnd = options.shardIndex == options.shardCount - 1;
  const size_t lostPairs = holdsTheEnd ? frames.LostFrames() : 0;
  int status = 0;
  if (block.begin < block.end) {
    const std::string resultDirectory = PrepareResultDirectory(program, options, frames, err);
    if (resultDirectory.empty()) {
      counts.notRun += block.end - block.begin + lostPairs;
      return 1;
    }
    SequenceRun run(program, options, frames, resultDirectory, counts, out, err);
    std::vector<size_t> toRun;
    if (!run.Plan(block, toRun)) {
      counts.notRun += lostPairs;
      return 1;
    }
    if (!run.OpenVideo()) {
      counts.notRun += toRun.size() + lostPairs;
      return 1;
    }
    status = run.Run(toRun);
    if (run.Stopped()) {
      counts.notRun += lostPairs;
      return status;
    }
  }
  // A cut video: its readable pairs are written, then the damage is reported by the run that
  // holds the sequence's last pair.
  if (!frames.Damage().empty() && holdsTheEnd) {
    err << program << ": " << frames.Damage() << std::endl;
    counts.notRun += lostPairs;
    status = 1;
  }
  return status;
}

}  // namespace

int RunMorvi(int argc, char** argv, std::ostream& out, std::ostream& err) {
  const char* program = argv[0];
  RunOptions options;
  options.estimate.threads = DefaultThreadCount();
  std::string error;
  switch (ParseCommandLine(argc, argv, options, error)) {
    case CommandAction::kBanner:
      PrintBanner(program, out);
      return 0;
    case CommandAction::kHelp:
      PrintBanner(program, out);
      out << OptionsHelp() << std::endl;
      return 0;
    case CommandAction::kVersion:
      PrintVersion(out);
      return 0;
    case CommandAction::kUsageError:
      err << program << ": " << error << "\n" << UsageLine(program) << std::endl;
      return 1;
    case CommandAction::kRun:
      break;
  }
  std::error_code ignored;
  if (std::filesystem::is_regular_file(options.source, ignored) && HaveImageReader(options.source)) {
    err << program << ": " << options.source << " is an image, not a folder of frames or a video\n"
        << UsageLine(program) << std::endl;
    return 1;
  }

  // The estimate splits its work over threads of its own (options.estimate.threads). OpenCV's pool
  // stays on this thread: its idle workers spin after every call and would take the cores from ours.
  cv::setNumThreads(1);

  std::unique_ptr<FrameSource> frames = OpenFrameSource(options.source, options.imageType, error);
  if (!frames) {
    err << program << ": " << error << std::endl;
    return 1;
  }
  if (frames->SkippedOutputs() > 0) {
    err << program << ": skipped " << frames->SkippedOutputs() << " file(s) of " << options.source
        << " named like this program's outputs (*_morvi, *_morviwarp, *_morviocc, *_morviconf)" << std::endl;
  }
  // Fewer than two frames, none of them lost: there is no pair, and nothing to report.
  if (frames->FrameCount() + frames->LostFrames() < 2) return 0;

  PairCounts counts;
  const int status = RunSequence(program, options, *frames, counts, out, err);
  counts.Print(err);
  return status;
}
