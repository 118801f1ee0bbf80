#include "driver/run_options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <set>
#include <vector>

#include "driver/flow_video.h"

namespace {

// More threads than this is a typing error, not a machine.
constexpr int kMaxThreads = 1024;
constexpr int kMaxShards = 1000000;
constexpr size_t kMaxPositionals = 4;  // imgdir imgtype smooth resultdir

// A decimal integer in [low, high] with nothing before or after it.
bool ParseInteger(const std::string& text, long long low, long long high, long long& value) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long parsed = std::strtoull(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || parsed > static_cast<unsigned long long>(high)) return false;
  value = static_cast<long long>(parsed);
  return value >= low;
}

// "K/N" with 0 <= K < N.
bool ParseShard(const std::string& text, int& index, int& count) {
  const size_t slash = text.find('/');
  if (slash == std::string::npos) return false;
  long long k = 0;
  long long n = 0;
  if (!ParseInteger(text.substr(0, slash), 0, kMaxShards, k) ||
      !ParseInteger(text.substr(slash + 1), 1, kMaxShards, n) || k >= n) {
    return false;
  }
  index = static_cast<int>(k);
  count = static_cast<int>(n);
  return true;
}

}  // namespace

bool ParseSmoothness(const std::string& text, float& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const float parsed = std::strtof(text.c_str(), &end);
  if (end == text.c_str() || *end != '\0' || errno == ERANGE || !std::isfinite(parsed) || parsed < 0.0f) {
    return false;
  }
  value = parsed;
  return true;
}

bool ParseInitialFlow(const std::string& text, morvi::InitialFlow& value) {
  if (text == "pyramid") {
    value = morvi::InitialFlow::kPyramid;
  } else if (text == "matches") {
    value = morvi::InitialFlow::kMatches;
  } else if (text == "fused") {
    value = morvi::InitialFlow::kFused;
  } else {
    return false;
  }
  return true;
}

bool ParseSolver(const std::string& text, morvi::Solver& value) {
  if (text == "reference") {
    value = morvi::Solver::kReference;
  } else if (text == "fast") {
    value = morvi::Solver::kFast;
  } else {
    return false;
  }
  return true;
}

bool ParsePictureFormat(const std::string& text, PictureFormat& value) {
  if (text == "ppm") {
    value = PictureFormat::kPpm;
  } else if (text == "png") {
    value = PictureFormat::kPng;
  } else {
    return false;
  }
  return true;
}

bool ParseMotionLength(const std::string& text, float& value) {
  float parsed = 0.0f;
  if (!ParseSmoothness(text, parsed) || parsed <= 0.0f) return false;
  value = parsed;
  return true;
}

bool ParseScale(const std::string& text, float& value) {
  float parsed = 0.0f;
  if (!ParseSmoothness(text, parsed) || parsed <= 0.0f || parsed > 1.0f) return false;
  value = parsed;
  return true;
}

std::string UsageLine(const std::string& program) {
  return "Usage: " + program +
         " [--seed N] [--threads N] [--smooth S] [--out DIR] [--resume] [--shard K/N] [--colour-scale S]"
          " [--progress] [--occlusions] [--confidence] [--init pyramid|matches|fused] [--solver reference|fast] [--scale F]"
         " [--picture-format ppm|png] [--video-out FILE]"
         " imgdir|video [imgtype] [smooth] [resultdir]";
}

const char* OptionsHelp() {
  return "Options (anywhere before --; each at most once):\n"
         "  --seed N          fix the seed of the segment motion sampling (reproducible output)\n"
         "  --threads N       use N threads inside each pair (default: all cores); the output is the\n"
         "                    same for every N\n"
         "  --smooth S        smoothness weight, instead of the positional smooth\n"
         "  --out DIR         result directory, instead of the positional resultdir\n"
         "  --resume          skip pairs whose three outputs are already complete\n"
         "  --shard K/N       do only block K (0-based) of N near-equal contiguous blocks of pairs\n"
         "  --colour-scale S  colour pictures saturate at a motion of S pixels (default: each pair's\n"
         "                    largest motion)\n"
         "  --progress        one line per pair on standard error, with the time left\n"
         "  --occlusions      also estimate the backward flow and write <stem>_morviocc.pgm: 255 where\n"
         "                    the first frame's pixel is hidden in the second or leaves it, else 0\n"
         "  --confidence      also estimate the backward flow (shared with --occlusions) and write\n"
         "                    <stem>_morviconf.png: 16-bit grey, 0 = no trust in the pixel's vector,\n"
         "                    65535 = full trust\n"
         "  --init MODE       initial flow: pyramid (coarse to fine, the default), matches (sparse\n"
         "                    matches interpolated along edges; for large motions) or fused (both,\n"
         "                    each colour segment taking the one that explains the frames better)\n"
         "  --solver NAME     variational solver: reference (the default; the same bytes at every\n"
         "                    thread count and on every machine) or fast (faster, equally accurate,\n"
         "                    deterministic too, but bytes of its own)\n"
         "  --scale F         estimate on the frames shrunk by F (0 < F <= 1, default 1: full size) and\n"
         "                    enlarge the flow back; the outputs keep the frames' size. Less time and\n"
         "                    memory, for a coarser flow\n"
         "  --picture-format ppm|png\n"
         "                    the format of the flow picture and the warped frame: ppm (the default)\n"
         "                    or png (<stem>_morvi.png, <stem>_morviwarp.png)\n"
         "  --video-out FILE  also write a video with one frame per pair, the first frame and its flow\n"
         "                    picture side by side, at the source video's frame rate (25 for a folder);\n"
         "                    FILE ends .avi (MJPG), .mp4 (mp4v) or .mkv (FFV1). Not with --shard\n"
         "  --help            show this text\n"
         "  --version         show the version\n"
         "imgdir may be a video file: its frames are read in order, frame k is named\n"
         "<video stem>_<k as six digits>, imgtype is then ignored and resultdir defaults to its folder.\n"
         "Outputs per pair, named after its first frame <stem>.<ext>, in resultdir:\n"
         "  <stem>_morvi.flo, <stem>_morvi.ppm, <stem>_morviwarp.ppm (.pgm for grey frames; both .png\n"
         "  with --picture-format png)";
}

CommandAction ParseCommandLine(int argc, char** argv, RunOptions& options, std::string& error) {
  if (argc <= 1) return CommandAction::kBanner;

  std::optional<float> smoothOption;
  std::optional<std::string> outOption;
  std::set<std::string> seen;
  // Options may stand anywhere before "--"; every other word is positional.
  std::vector<std::string> positional;
  bool optionsEnded = false;
  for (int arg = 1; arg < argc; ++arg) {
    const std::string option = argv[arg];
    if (optionsEnded) {
      positional.push_back(option);
      continue;
    }
    if (option == "--help" || option == "-h") return CommandAction::kHelp;
    if (option == "--version") return CommandAction::kVersion;
    if (option == "--") {
      optionsEnded = true;
      continue;
    }
    if (option.size() < 2 || option[0] != '-' || option[1] != '-') {
      positional.push_back(option);
      continue;
    }
    if (!seen.insert(option).second) {
      error = option + " is given twice";
      return CommandAction::kUsageError;
    }
    if (option == "--resume") {
      options.resume = true;
      continue;
    }
    if (option == "--progress") {
      options.progress = true;
      continue;
    }
    if (option == "--occlusions") {
      options.estimate.occlusions = true;
      continue;
    }
    if (option == "--confidence") {
      options.estimate.confidence = true;
      continue;
    }
    const bool takesValue = option == "--seed" || option == "--threads" || option == "--smooth" ||
                            option == "--out" || option == "--shard" || option == "--colour-scale" ||
                            option == "--init" || option == "--solver" || option == "--scale" ||
                            option == "--picture-format" || option == "--video-out";
    if (!takesValue) {
      error = "unknown option '" + option + "'";
      return CommandAction::kUsageError;
    }
    const std::string value = arg + 1 < argc ? argv[arg + 1] : "";
    const bool hasValue = arg + 1 < argc;
    ++arg;
    long long integer = 0;
    if (option == "--seed") {
      if (!hasValue || !ParseInteger(value, 0, 0xffffffffLL, integer)) {
        error = "--seed needs an integer from 0 to 4294967295";
        return CommandAction::kUsageError;
      }
      options.estimate.seed = static_cast<uint32_t>(integer);
    } else if (option == "--threads") {
      if (!hasValue || !ParseInteger(value, 1, kMaxThreads, integer)) {
        error = "--threads needs an integer from 1 to " + std::to_string(kMaxThreads);
        return CommandAction::kUsageError;
      }
      options.estimate.threads = static_cast<int>(integer);
    } else if (option == "--smooth") {
      float smoothness = 0.0f;
      if (!hasValue || !ParseSmoothness(value, smoothness)) {
        error = "--smooth needs a finite number >= 0";
        return CommandAction::kUsageError;
      }
      smoothOption = smoothness;
    } else if (option == "--out") {
      if (!hasValue || value.empty()) {
        error = "--out needs a directory";
        return CommandAction::kUsageError;
      }
      outOption = value;
    } else if (option == "--init") {
      if (!hasValue || !ParseInitialFlow(value, options.estimate.initialFlow)) {
        error = "--init needs pyramid, matches or fused";
        return CommandAction::kUsageError;
      }
    } else if (option == "--solver") {
      if (!hasValue || !ParseSolver(value, options.estimate.solver)) {
        error = "--solver needs reference or fast";
        return CommandAction::kUsageError;
      }
    } else if (option == "--scale") {
      if (!hasValue || !ParseScale(value, options.estimate.scale)) {
        error = "--scale needs a finite number F with 0 < F <= 1";
        return CommandAction::kUsageError;
      }
    } else if (option == "--picture-format") {
      if (!hasValue || !ParsePictureFormat(value, options.pictureFormat)) {
        error = "--picture-format needs ppm or png";
        return CommandAction::kUsageError;
      }
    } else if (option == "--video-out") {
      if (!hasValue || FlowVideoCodec(value) == 0) {
        error = "--video-out needs a file name ending .avi, .mp4 or .mkv";
        return CommandAction::kUsageError;
      }
      options.videoOut = value;
    } else if (option == "--shard") {
      if (!hasValue || !ParseShard(value, options.shardIndex, options.shardCount)) {
        error = "--shard needs K/N with integers 0 <= K < N <= " + std::to_string(kMaxShards);
        return CommandAction::kUsageError;
      }
    } else {  // --colour-scale
      if (!hasValue || !ParseMotionLength(value, options.colourScale)) {
        error = "--colour-scale needs a finite motion length > 0 (pixels)";
        return CommandAction::kUsageError;
      }
    }
  }

  if (!options.videoOut.empty() && seen.count("--shard") > 0) {
    error = "--video-out needs every pair of the sequence, so it cannot go with --shard";
    return CommandAction::kUsageError;
  }
  if (positional.size() > kMaxPositionals) {
    error = "too many arguments: '" + positional[kMaxPositionals] + "' after imgdir imgtype smooth resultdir";
    return CommandAction::kUsageError;
  }
  if (positional.empty()) {
    error = "the image directory is missing";
    return CommandAction::kUsageError;
  }
  options.source = positional[0];
  if (positional.size() > 1) options.imageType = positional[1];
  if (positional.size() > 2) {
    if (smoothOption) {
      error = "the smoothness is given both by --smooth and as an argument";
      return CommandAction::kUsageError;
    }
    if (!ParseSmoothness(positional[2], options.estimate.smoothness)) {
      error = "the smoothness weight '" + positional[2] + "' is not a finite number >= 0";
      return CommandAction::kUsageError;
    }
  }
  if (smoothOption) options.estimate.smoothness = *smoothOption;
  if (positional.size() > 3) {
    if (outOption) {
      error = "the result directory is given both by --out and as an argument";
      return CommandAction::kUsageError;
    }
    options.resultDirectory = positional[3];
  }
  if (outOption) options.resultDirectory = *outOption;
  return CommandAction::kRun;
}
