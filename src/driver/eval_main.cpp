// morvi-eval: scores .flo estimates against a ground-truth .flo file, and draws the colour picture
// of a .flo file.
//
//   morvi-eval [--json] GROUND_TRUTH.flo ESTIMATE.flo [ESTIMATE.flo ...]
//   morvi-eval --picture OUT.ppm [--colour-scale S] FLOW.flo
//   morvi-eval [--json] --occlusions GROUND_TRUTH.png ESTIMATE.pgm
//
// Exit status: 0 on success, 1 when a file cannot be read or written or the sizes differ, 2 for a
// usage error. Every failure is explained on standard error.
#include <cmath>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "driver/run_options.h"
#include "image/flow_colour.h"
#include "image/flow_evaluation.h"
#include "image/flow_reader.h"
#include "image/image_ref.h"
#include "image/occlusion_score.h"

namespace {

constexpr int kStatusOk = 0;
constexpr int kStatusFileError = 1;
constexpr int kStatusUsage = 2;
constexpr float kScaleByLargestInteriorFlow = -1.0f;  // picture scale: the largest interior length

constexpr const char* kUsage =
    "Usage: morvi-eval [--json] GROUND_TRUTH.flo ESTIMATE.flo [ESTIMATE.flo ...]\n"
    "       morvi-eval --picture OUT.ppm [--colour-scale S] FLOW.flo\n"
    "       morvi-eval [--json] --occlusions GROUND_TRUTH.png ESTIMATE.pgm\n"
    "       morvi-eval --help\n"
    "\n"
    "Scores every estimate against the ground truth, one line per estimate:\n"
    "  EPE        mean endpoint error, in pixels\n"
    "  AAE        mean angle between (u, v, 1) and (u_gt, v_gt, 1), in degrees\n"
    "  R1, R3     percent of known pixels with endpoint error above 1 and 3 pixels\n"
    "  pixels     known ground-truth pixels; a ground-truth vector with |u| > 1e9 or |v| > 1e9\n"
    "             or a NaN component is unknown and left out of every figure\n"
    "  nonfinite  known pixels whose estimate is NaN or infinite: outliers for R1 and R3,\n"
    "             left out of the EPE and AAE means\n"
    "\n"
    "Options:\n"
    "  --json         one JSON object per line and estimate instead of text\n"
    "  --picture OUT  write the colour picture of FLOW.flo to OUT (format from the extension,\n"
    "                 e.g. .ppm or .png), scaled by the largest flow length inside a\n"
    "                 10-pixel border\n"
    "  --colour-scale S  with --picture: full saturation at a motion of S pixels instead\n"
    "                 of the largest\n"
    "  --occlusions   score an occlusion mask (grey or colour image, occluded where not 0) against\n"
    "                 the true mask: precision, recall and F1 of the occluded class (each 1\n"
    "                 when neither mask marks a pixel)\n"
    "  --help         show this text\n"
    "  --             end of options (for file names starting with '-')\n"
    "\n"
    "Exit status: 0 success, 1 a file cannot be read or written or the sizes differ,\n"
    "2 usage error.\n";

struct Options {
  bool json = false;
  bool help = false;
  bool picture = false;
  std::string pictureName;
  float colourScale = kScaleByLargestInteriorFlow;
  bool occlusions = false;
  std::vector<std::string> files;
};

int UsageError(const std::string& message) {
  std::fprintf(stderr, "morvi-eval: %s\n%s", message.c_str(), kUsage);
  return kStatusUsage;
}

int FileError(const std::string& message) {
  std::fprintf(stderr, "morvi-eval: %s\n", message.c_str());
  return kStatusFileError;
}

// Returns an empty string when the command line is well formed, else what is wrong with it.
std::string ParseOptions(int argc, char** argv, Options& options) {
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      options.files.push_back(arg);
    } else if (arg == "--") {
      optionsEnded = true;
    } else if (arg == "--json") {
      options.json = true;
    } else if (arg == "--help" || arg == "-h") {
      options.help = true;
    } else if (arg == "--picture" || arg.rfind("--picture=", 0) == 0) {
      if (options.picture) return "--picture given twice";
      options.picture = true;
      if (arg == "--picture") {
        if (i + 1 >= argc) return "--picture needs an output file name";
        options.pictureName = argv[++i];
      } else {
        options.pictureName = arg.substr(std::string("--picture=").size());
      }
      if (options.pictureName.empty()) return "--picture needs an output file name";
    } else if (arg == "--occlusions") {
      options.occlusions = true;
    } else if (arg == "--colour-scale" || arg.rfind("--colour-scale=", 0) == 0) {
      if (options.colourScale > 0.0f) return "--colour-scale given twice";
      std::string value;
      if (arg == "--colour-scale") {
        if (i + 1 >= argc) return "--colour-scale needs a motion length";
        value = argv[++i];
      } else {
        value = arg.substr(std::string("--colour-scale=").size());
      }
      if (!ParseMotionLength(value, options.colourScale)) {
        return "--colour-scale needs a finite motion length > 0 (pixels)";
      }
    } else {
      return "unknown option " + arg;
    }
  }
  if (options.help) return "";
  if (options.occlusions) {
    if (options.picture || options.colourScale > 0.0f) return "--occlusions does not combine with --picture";
    if (options.files.size() != 2) return "--occlusions takes a ground-truth mask and one estimate";
  } else if (options.picture) {
    if (options.json) return "--json does not apply to --picture";
    if (options.files.size() != 1) return "--picture takes exactly one flow file";
  } else if (options.colourScale > 0.0f) {
    return "--colour-scale applies to --picture only";
  } else if (options.files.size() < 2) {
    return "needs a ground-truth file and at least one estimate";
  }
  return "";
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (const char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

// JSON has no NaN: a figure without any pixel to average is null.
std::string JsonNumber(double value) {
  if (!std::isfinite(value)) return "null";
  char text[32];
  std::snprintf(text, sizeof text, "%.10g", value);
  return text;
}

void PrintText(const std::string& estimateName, const FlowErrorStats& stats) {
  std::printf("%s: EPE %.4f AAE %.4f R1 %.3f%% R3 %.3f%% pixels %lld nonfinite %lld\n", estimateName.c_str(),
              stats.epe, stats.aae, stats.r1, stats.r3, static_cast<long long>(stats.known),
              static_cast<long long>(stats.nonFinite));
}

void PrintJson(const std::string& groundTruthName, const std::string& estimateName, const ImageRef& u,
               const FlowErrorStats& stats) {
  std::printf(
      "{\"ground_truth\": %s, \"estimate\": %s, \"width\": %d, \"height\": %d, \"epe\": %s, \"aae\": %s, "
      "\"r1\": %s, \"r3\": %s, \"pixels\": %lld, \"scored\": %lld, \"nonfinite\": %lld, \"unknown\": %lld}\n",
      JsonString(groundTruthName).c_str(), JsonString(estimateName).c_str(), u.Width(), u.Height(),
      JsonNumber(stats.epe).c_str(), JsonNumber(stats.aae).c_str(), JsonNumber(stats.r1).c_str(),
      JsonNumber(stats.r3).c_str(), static_cast<long long>(stats.known), static_cast<long long>(stats.scored),
      static_cast<long long>(stats.nonFinite), static_cast<long long>(stats.unknown));
}

int DrawPicture(const Options& options) {
  ImageRef u;
  ImageRef v;
  std::string error;
  if (!ReadFlowFile(options.files[0], u, v, error)) return FileError(error);
  ImageRef picture;
  FlowToColourImage(u, v, picture, options.colourScale);
  std::string writeError;
  if (!SaveImage(picture, options.pictureName, writeError)) return FileError(writeError);
  return kStatusOk;
}

// Reads an occlusion mask as one 8-bit channel, 255 where any colour channel of the file's pixel is
// not 0 (an alpha channel is left out), else 0; empty after a message on failure.
cv::Mat ReadMask(const std::string& fileName) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(fileName, error)) {
    FileError(fileName + ": not a readable file");
    return cv::Mat();
  }
  const cv::Mat image = cv::imread(fileName, cv::IMREAD_UNCHANGED);
  if (image.empty()) {
    FileError(fileName + ": cannot be read as an image");
    return cv::Mat();
  }
  // Grey to grey, grey + alpha to grey, colour (+ alpha) to colour: a converted grey value would
  // turn a dark red mark into "visible".
  std::vector<cv::Mat> planes;
  cv::split(image, planes);
  const size_t colourPlanes = planes.size() >= 3 ? 3 : 1;
  cv::Mat mask = cv::Mat::zeros(image.size(), CV_8UC1);
  for (size_t c = 0; c < colourPlanes; ++c) mask.setTo(255, planes[c] != 0);
  return mask;
}

int ScoreOcclusions(const Options& options) {
  const cv::Mat truth = ReadMask(options.files[0]);
  if (truth.empty()) return kStatusFileError;
  const cv::Mat estimate = ReadMask(options.files[1]);
  if (estimate.empty()) return kStatusFileError;
  if (truth.size() != estimate.size()) {
    return FileError("sizes differ: " + options.files[0] + " is " + std::to_string(truth.cols) + " x " +
                     std::to_string(truth.rows) + ", " + options.files[1] + " is " + std::to_string(estimate.cols) +
                     " x " + std::to_string(estimate.rows));
  }
  const OcclusionScore score = ScoreOcclusionMask(truth, estimate);
  if (options.json) {
    std::printf(
        "{\"ground_truth\": %s, \"estimate\": %s, \"width\": %d, \"height\": %d, \"precision\": %s, "
        "\"recall\": %s, \"f1\": %s, \"true_positives\": %lld, \"false_positives\": %lld, "
        "\"false_negatives\": %lld}\n",
        JsonString(options.files[0]).c_str(), JsonString(options.files[1]).c_str(), truth.cols, truth.rows,
        JsonNumber(score.precision).c_str(), JsonNumber(score.recall).c_str(), JsonNumber(score.f1).c_str(),
        static_cast<long long>(score.truePositives), static_cast<long long>(score.falsePositives),
        static_cast<long long>(score.falseNegatives));
  } else {
    std::printf("%s: precision %.4f recall %.4f F1 %.4f occluded %lld marked %lld\n", options.files[1].c_str(),
                score.precision, score.recall, score.f1,
                static_cast<long long>(score.truePositives + score.falseNegatives),
                static_cast<long long>(score.truePositives + score.falsePositives));
  }
  return kStatusOk;
}

// Scores every estimate; an estimate that cannot be read or has the wrong size is reported and
// skipped, the others are still scored, and the status tells that something failed.
int ScoreEstimates(const Options& options) {
  const std::string& groundTruthName = options.files[0];
  ImageRef uGt;
  ImageRef vGt;
  std::string error;
  if (!ReadFlowFile(groundTruthName, uGt, vGt, error)) return FileError(error);

  int status = kStatusOk;
  for (std::size_t i = 1; i < options.files.size(); ++i) {
    const std::string& estimateName = options.files[i];
    ImageRef u;
    ImageRef v;
    if (!ReadFlowFile(estimateName, u, v, error)) {
      status = FileError(error);
      continue;
    }
    if (u.Width() != uGt.Width() || u.Height() != uGt.Height()) {
      status = FileError("sizes differ: " + groundTruthName + " is " + std::to_string(uGt.Width()) + " x " +
                         std::to_string(uGt.Height()) + ", " + estimateName + " is " +
                         std::to_string(u.Width()) + " x " + std::to_string(u.Height()));
      continue;
    }
    FlowErrorStats stats;
    if (!EvaluateFlow(uGt, vGt, u, v, stats, error)) {
      status = FileError(estimateName + ": " + error);
      continue;
    }
    if (options.json) {
      PrintJson(groundTruthName, estimateName, u, stats);
    } else {
      PrintText(estimateName, stats);
    }
    std::fflush(stdout);
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  const std::string problem = ParseOptions(argc, argv, options);
  if (!problem.empty()) return UsageError(problem);
  if (options.help) {
    std::fputs(kUsage, stdout);
    return kStatusOk;
  }
  try {
    if (options.occlusions) return ScoreOcclusions(options);
    return options.picture ? DrawPicture(options) : ScoreEstimates(options);
  } catch (const std::exception& failure) {
    // Only allocation or library failures on legitimate but huge files can reach here.
    return FileError(std::string("cannot process the files: ") + failure.what());
  }
}
