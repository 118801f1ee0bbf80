#include "driver/morvi_driver.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <system_error>
#include <vector>

#include <opencv2/core/utility.hpp>

#include "driver/frame_source.h"
#include "driver/pair_plan.h"
#include "driver/run_options.h"
#include "image/atomic_file.h"
#include "image/flow_file.h"
#include "image/parallel.h"
#include "image/warp.h"
#include "pipeline/estimate_flow.h"

namespace {

void PrintBanner(const char* program) {
  std::cout << "Morvi Optical Flow Estimation" << std::endl;
  std::cout << "Version 1.3" << std::endl;
  std::cout << "Written by the Morvi developers" << std::endl;
  std::cout << "Usage: " << program << " imgdir [imgtype] [smooth] [resultdir]" << std::endl;
  std::cout << "Example: " << program << " \"./data/football\" \".png\" 20 \"./data/football\"" << std::endl;
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
  PairFrames(const char* program, FrameSource& source) : program_(program), source_(source) {}

  // The frame, or an empty handle after a message on standard error.
  ImageRef Get(size_t index) {
    if (!cached_.Empty() && cachedIndex_ == index) return cached_;
    std::string reason;
    ImageRef frame = source_.Load(index, reason);
    if (frame.Empty()) {
      std::cerr << program_ << ": " << source_.Describe(index) << " " << reason << std::endl;
      return ImageRef();
    }
    if (layoutIndex_ < 0) {
      layout_ = {frame.Width(), frame.Height(), frame.Channels()};
      layoutIndex_ = static_cast<long long>(index);
    } else if (frame.Width() != layout_.width || frame.Height() != layout_.height ||
               frame.Channels() != layout_.channels) {
      std::cerr << program_ << ": " << source_.Describe(index) << " is " << frame.Width() << "x" << frame.Height()
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
  FrameLayout layout_;
  long long layoutIndex_ = -1;
  ImageRef cached_;
  size_t cachedIndex_ = 0;
};

// Saves an image under a temporary name and renames it into place; false after a message.
bool SaveImageAtomically(const char* program, const ImageRef& image, const std::string& fileName) {
  const std::string temporaryName = TemporaryNameFor(fileName);
  if (!SaveImage(image, temporaryName) || !CommitTemporaryFile(temporaryName, fileName)) {
    DiscardTemporaryFile(temporaryName);
    std::cerr << program << ": could not write " << fileName << std::endl;
    return false;
  }
  return true;
}

// Writes the flow, its picture, the warped second frame and, when given, the occlusion mask under
// their final names.
bool WritePairOutputs(const char* program, const PairOutputs& outputs, const ImageRef& u, const ImageRef& v,
                      const ImageRef& second, const ImageRef& occlusions, float colourScale, int threads) {
  bool written = SaveFlowResult(u, v, outputs.flow, colourScale);
  ImageRef warped = CreateByte(second.Width(), second.Height(), second.Channels());
  WarpByFlow(u, v, second, warped, threads);
  written = SaveImageAtomically(program, warped, outputs.warp) && written;
  if (!outputs.occlusions.empty()) written = SaveImageAtomically(program, occlusions, outputs.occlusions) && written;
  return written;
}

// The number of pairs estimated, skipped as complete and failed, reported at the end of a run.
struct PairCounts {
  size_t done = 0;
  size_t skipped = 0;
  size_t failed = 0;

  void Print(size_t notRun) const {
    std::cerr << "Pairs: " << done << " done, " << skipped << " skipped, " << failed << " failed";
    if (notRun > 0) std::cerr << ", " << notRun << " not run";
    std::cerr << std::endl;
  }
};

// One run over the pairs of a frame source into a result directory.
class SequenceRun {
 public:
  SequenceRun(const char* program, const RunOptions& options, FrameSource& frames, std::string resultDirectory)
      : program_(program),
        options_(options),
        frames_(frames),
        resultDirectory_(std::move(resultDirectory)),
        pairFrames_(program, frames) {}

  // The pairs this run estimates: the shard's block, less those whose outputs are complete when
  // resuming. False after a message, counted as a failed pair, when the frame that sizes the
  // outputs cannot be read.
  bool Plan(const PairBlock& block, std::vector<size_t>& toRun) {
    if (!options_.resume) {
      for (size_t pair = block.begin; pair < block.end; ++pair) toRun.push_back(pair);
      return true;
    }
    // The layout of the block's first frame names the warp and sizes complete files.
    if (block.begin < block.end && pairFrames_.Get(block.begin).Empty()) {
      ++counts_.failed;
      return false;
    }
    const FrameLayout& layout = pairFrames_.Layout();
    for (size_t pair = block.begin; pair < block.end; ++pair) {
      const PairOutputs outputs =
          OutputsOf(resultDirectory_, frames_.Stem(pair), layout.channels, options_.estimate.occlusions);
      if (OutputsComplete(outputs, layout.width, layout.height, layout.channels)) {
        ++counts_.skipped;
      } else {
        toRun.push_back(pair);
      }
    }
    return true;
  }

  // Estimates pair `pair` and writes its outputs. False after a message when one of its frames
  // cannot be used; a file that cannot be written is counted as failed and the run goes on.
  bool RunPair(size_t pair) {
    const ImageRef first = pairFrames_.Get(pair);
    const ImageRef second = first.Empty() ? ImageRef() : pairFrames_.Get(pair + 1);
    if (second.Empty()) {
      ++counts_.failed;
      return false;
    }
    const FrameLayout& layout = pairFrames_.Layout();
    const auto start = std::chrono::steady_clock::now();
    const PairFlow flow = EstimatePair(first, second, options_.estimate, &std::cout);
    for (const std::string& note : flow.notes) std::cerr << program_ << ": " << note << std::endl;
    const double elapsedMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::cout << "Running Time: " << static_cast<long>(elapsedMs / 1000.0) << "s" << std::endl;

    const PairOutputs outputs =
        OutputsOf(resultDirectory_, frames_.Stem(pair), layout.channels, options_.estimate.occlusions);
    if (WritePairOutputs(program_, outputs, flow.u, flow.v, second, flow.occlusions, options_.colourScale,
                         options_.estimate.threads)) {
      ++counts_.done;
    } else {
      ++counts_.failed;
      status_ = 1;
    }
    return true;
  }

  // Runs the planned pairs; the exit status. A frame that cannot be used stops the run, with
  // the summary printed (Stopped()).
  int Run(const std::vector<size_t>& toRun) {
    const auto runStart = std::chrono::steady_clock::now();
    for (size_t i = 0; i < toRun.size(); ++i) {
      const auto pairStart = std::chrono::steady_clock::now();
      if (!RunPair(toRun[i])) {
        counts_.Print(toRun.size() - i - 1);
        stopped_ = true;
        return 1;
      }
      if (options_.progress) {
        const auto now = std::chrono::steady_clock::now();
        const double pairSeconds = std::chrono::duration<double>(now - pairStart).count();
        const double perPair = std::chrono::duration<double>(now - runStart).count() / static_cast<double>(i + 1);
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.1f", pairSeconds);
        std::cerr << "pair " << i + 1 << "/" << toRun.size() << " " << frames_.Stem(toRun[i]) << " " << seconds
                  << "s, ETA " << ClockTime(perPair * static_cast<double>(toRun.size() - i - 1)) << std::endl;
      }
    }
    return status_;
  }

  const PairCounts& Counts() const { return counts_; }

  bool Stopped() const { return stopped_; }

 private:
  const char* program_;
  const RunOptions& options_;
  FrameSource& frames_;
  std::string resultDirectory_;
  PairFrames pairFrames_;
  PairCounts counts_;
  int status_ = 0;
  bool stopped_ = false;
};

// The result directory, created with its parents: the one given, else the source's own folder.
// Empty after a message when it cannot be created.
std::string PrepareResultDirectory(const char* program, const RunOptions& options, const FrameSource& frames) {
  const std::string directory = options.resultDirectory.empty() ? frames.Folder() : options.resultDirectory;
  std::error_code error;
  std::filesystem::create_directories(directory, error);
  if (error || !std::filesystem::is_directory(directory)) {
    std::cerr << program << ": cannot create the result directory " << directory << ": "
              << (error ? error.message() : "not a directory") << std::endl;
    return "";
  }
  return directory;
}

}  // namespace

int RunMorvi(int argc, char** argv) {
  const char* program = argv[0];
  RunOptions options;
  options.estimate.threads = DefaultThreadCount();
  std::string error;
  switch (ParseCommandLine(argc, argv, options, error)) {
    case CommandAction::kBanner:
      PrintBanner(program);
      return 0;
    case CommandAction::kHelp:
      PrintBanner(program);
      std::cout << OptionsHelp() << std::endl;
      return 0;
    case CommandAction::kVersion:
      std::cout << "Morvi Optical Flow Estimation" << std::endl << "Version 1.3" << std::endl;
      return 0;
    case CommandAction::kUsageError:
      std::cerr << program << ": " << error << "\n" << UsageLine(program) << std::endl;
      return 1;
    case CommandAction::kRun:
      break;
  }

  // The estimate splits its work over threads of its own (options.estimate.threads). OpenCV's pool
  // stays on this thread: its idle workers spin after every call and would take the cores from ours.
  cv::setNumThreads(1);

  std::unique_ptr<FrameSource> frames = OpenFrameSource(options.source, options.imageType, error);
  if (!frames) {
    std::cerr << program << ": " << error << std::endl;
    return 1;
  }
  if (frames->FrameCount() < 2) {
    if (frames->Damage().empty()) return 0;
    std::cerr << program << ": " << frames->Damage() << std::endl;
    return 1;
  }
  const std::string resultDirectory = PrepareResultDirectory(program, options, *frames);
  if (resultDirectory.empty()) return 1;

  // What runs is decided before anything is estimated.
  const size_t pairCount = frames->FrameCount() - 1;
  const PairBlock block = ShardBlock(pairCount, options.shardIndex, options.shardCount);
  SequenceRun run(program, options, *frames, resultDirectory);
  std::vector<size_t> toRun;
  if (!run.Plan(block, toRun)) {
    run.Counts().Print(block.end - block.begin - 1);
    return 1;
  }
  int status = run.Run(toRun);
  if (run.Stopped()) return status;
  // A cut video: its readable pairs are written, then the damage is reported by the run that
  // holds the sequence's last pair.
  if (!frames->Damage().empty() && block.end == pairCount) {
    std::cerr << program << ": " << frames->Damage() << std::endl;
    status = 1;
  }
  run.Counts().Print(0);
  return status;
}
