// The program's command line: imgdir [imgtype] [smooth] [resultdir], with options anywhere before "--".
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "pipeline/standard_estimate.h"

// Everything the command line sets for one run.
struct RunOptions {
  std::string source;  // a directory of frames, or a video file
  std::string imageType = ".png";
  float smoothness = kStandardSmoothness;
  std::string resultDirectory;  // empty: the source directory (a video's own folder)
  std::optional<uint32_t> seed;
  int threads = 1;
  bool resume = false;
  // This run does block shardIndex of shardCount contiguous blocks of pairs.
  int shardIndex = 0;
  int shardCount = 1;
  float colourScale = kStandardPictureScaleFromFlow;  // > 0: fixed motion length of full saturation
  bool progress = false;
  bool occlusions = false;  // also estimate the backward flow and write the occlusion mask
  bool matchedInitialFlow = false;  // --init matches: start from interpolated matches
};

enum class CommandAction { kRun, kBanner, kHelp, kVersion, kUsageError };

// Reads argv into `options` (whose threads field should hold the default thread count on entry).
// kUsageError leaves the reason in `error`.
CommandAction ParseCommandLine(int argc, char** argv, RunOptions& options, std::string& error);

// Parses a smoothness weight: a finite decimal number >= 0 with nothing after it.
bool ParseSmoothness(const std::string& text, float& value);

// Parses a motion length in pixels (the colour scale): a finite decimal number > 0.
bool ParseMotionLength(const std::string& text, float& value);

// The one-line usage, with the program's path.
std::string UsageLine(const std::string& program);

// The option list printed by --help.
const char* OptionsHelp();
