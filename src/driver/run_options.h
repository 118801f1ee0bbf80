// The program's command line: imgdir [imgtype] [smooth] [resultdir], with options anywhere before "--".
#pragma once

#include <cstdint>
#include <string>

#include "driver/pair_plan.h"
#include "image/flow_colour.h"
#include "pipeline/estimate_options.h"

// Everything the command line sets for one run.
struct RunOptions {
  std::string source;  // a directory of frames, or a video file
  std::string imageType = ".png";
  // The estimate of every pair: the command line sets its smoothness, seed, threads, initial flow,
  // solver, scale, occlusions and confidence (the backward flow too, the mask and the map written).
  EstimateOptions estimate;
  std::string resultDirectory;  // empty: the source directory (a video's own folder)
  bool resume = false;
  // This run does block shardIndex of shardCount contiguous blocks of pairs.
  int shardIndex = 0;
  int shardCount = 1;
  float colourScale = kPictureScaleFromFlow;  // > 0: fixed motion length of full saturation
  PictureFormat pictureFormat = PictureFormat::kPpm;  // of the flow picture and the warped frame
  bool progress = false;
  // Empty, or the flow video written for the run's pairs (driver/flow_video.h).
  std::string videoOut;
};

enum class CommandAction { kRun, kBanner, kHelp, kVersion, kUsageError };

// Reads argv into `options` (whose estimate.threads should hold the default thread count on entry).
// kUsageError leaves the reason in `error`.
CommandAction ParseCommandLine(int argc, char** argv, RunOptions& options, std::string& error);

// Parses a smoothness weight: a finite decimal number >= 0 with nothing after it.
bool ParseSmoothness(const std::string& text, float& value);

// Parse the words of --init (pyramid, matches) and --solver (reference, fast); false for any other.
bool ParseInitialFlow(const std::string& text, morvi::InitialFlow& value);
bool ParseSolver(const std::string& text, morvi::Solver& value);
// Parses the words of --picture-format (ppm, png); false for any other.
bool ParsePictureFormat(const std::string& text, PictureFormat& value);

// Parses a motion length in pixels (the colour scale): a finite decimal number > 0.
bool ParseMotionLength(const std::string& text, float& value);

// Parses the estimate's scale (--scale): a finite decimal number in (0, 1].
bool ParseScale(const std::string& text, float& value);

// The one-line usage, with the program's path.
std::string UsageLine(const std::string& program);

// The option list printed by --help.
const char* OptionsHelp();
