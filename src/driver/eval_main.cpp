// morvi-eval: scores flow estimates against ground truth (.flo or KITTI flow PNG, told apart by
// content), one pair at a time or whole folders, converts between the two formats, and draws the
// colour picture of a flow and the key of its colours.
//
//   morvi-eval [--json] [--occlusions-truth MASK.png] GROUND_TRUTH ESTIMATE [ESTIMATE ...]
//   morvi-eval [--json | --csv] --table GROUND_TRUTH_DIR RESULT_DIR
//   morvi-eval --convert IN OUT
//   morvi-eval --picture OUT.ppm [--colour-scale S] FLOW
//   morvi-eval --legend OUT.png [--colour-scale S]
//   morvi-eval [--json] --occlusions GROUND_TRUTH.png ESTIMATE.pgm
//   morvi-eval [--json] --confidence GROUND_TRUTH ESTIMATE CONFIDENCE.png
//
// Exit status: 0 on success, 1 when a file cannot be read or written or the sizes differ, 2 for a
// usage error. Every failure is explained on standard error.
#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "driver/flow_table.h"
#include "driver/run_options.h"
#include "image/confidence_file.h"
#include "image/flow_colour.h"
#include "image/flow_evaluation.h"
#include "image/flow_file.h"
#include "image/flow_reader.h"
#include "image/image_codec.h"
#include "image/image_ref.h"
#include "image/kitti_flow.h"
#include "image/occlusion_score.h"
#include "image/sparsification.h"

namespace {

constexpr int kStatusOk = 0;
constexpr int kStatusFileError = 1;
constexpr int kStatusUsage = 2;
constexpr float kScaleByLargestInteriorFlow = -1.0f;  // picture scale: the largest interior length

constexpr const char* kUsage =
    "Usage: morvi-eval [--json] [--occlusions-truth MASK.png] GROUND_TRUTH ESTIMATE [ESTIMATE ...]\n"
    "       morvi-eval [--json | --csv] --table GROUND_TRUTH_DIR RESULT_DIR\n"
    "       morvi-eval --convert IN OUT\n"
    "       morvi-eval --picture OUT [--colour-scale S] FLOW\n"
    "       morvi-eval --legend OUT [--colour-scale S]\n"
    "       morvi-eval [--json] --occlusions GROUND_TRUTH.png ESTIMATE.pgm\n"
    "       morvi-eval [--json] --confidence GROUND_TRUTH ESTIMATE CONFIDENCE.png\n"
    "       morvi-eval --help\n"
    "\n"
    "A flow file is a .flo file or a KITTI flow PNG (16-bit, channels u, v, valid; u = (value -\n"
    "32768) / 64), recognised by content, not by name. An invalid pixel of a KITTI ground truth is\n"
    "unknown; an invalid pixel of a KITTI estimate has no estimate (counted as nonfinite).\n"
    "\n"
    "Scores every estimate against the ground truth, one line per estimate:\n"
    "  EPE        mean endpoint error, in pixels\n"
    "  AAE        mean angle between (u, v, 1) and (u_gt, v_gt, 1), in degrees\n"
    "  R1, R3     percent of known pixels with endpoint error above 1 and 3 pixels\n"
    "  Fl         percent of known pixels with endpoint error above 3 pixels and above 5 % of\n"
    "             the ground-truth vector's length\n"
    "  pixels     known ground-truth pixels; a ground-truth vector with |u| > 1e9 or |v| > 1e9\n"
    "             or a NaN component is unknown and left out of every figure\n"
    "  nonfinite  known pixels whose estimate is NaN or infinite: outliers for R1, R3 and Fl,\n"
    "             left out of the EPE and AAE means\n"
    "\n"
    "Options:\n"
    "  --json         one JSON object per line and estimate instead of text\n"
    "  --occlusions-truth MASK  also the EPE over the visible and over the occluded pixels\n"
    "                 (MASK: occluded where not 0, the ground truth's size)\n"
    "  --table        score every RESULT_DIR/<stem>_morvi.flo against the ground truth for <stem>\n"
    "                 in GROUND_TRUTH_DIR: <stem>.flo, <stem>.png (KITTI) or, for frameNN,\n"
    "                 flowNN.flo; GROUND_TRUTH_DIR/occlusions/<stem>.png adds the visible and\n"
    "                 occluded EPE. One row per pair and the mean over the scored pairs; pairs\n"
    "                 without ground truth are listed as such, ground truth without an estimate\n"
    "                 is reported and gives status 1. A file instead of a folder is a usage error\n"
    "  --csv          with --table: comma-separated values instead of text\n"
    "  --convert      convert IN (.flo or KITTI PNG) to OUT, whose extension (.flo or .png)\n"
    "                 picks the format. Into PNG, components beyond -512 .. 511.984 pixels are\n"
    "                 clamped (counted on standard error), non-finite and unknown vectors become\n"
    "                 invalid pixels; into .flo, invalid pixels become unknown vectors (1e10)\n"
    "  --picture OUT  write the colour picture of FLOW to OUT (.png or .ppm, by the extension),\n"
    "                 scaled by the largest flow length inside a 10-pixel border\n"
    "  --legend OUT   write the key of the colour coding to OUT (.png or .ppm): a disc whose\n"
    "                 rim is full saturation\n"
    "  --colour-scale S  with --picture or --legend: full saturation at a motion of S pixels\n"
    "                 (written on the legend) instead of the largest\n"
    "  --occlusions   score an occlusion mask (grey or colour image, occluded where not 0) against\n"
    "                 the true mask: precision, recall and F1 of the occluded class (each 1\n"
    "                 when neither mask marks a pixel)\n"
    "  --confidence   score a confidence map (16-bit grey PNG, 65535 = full trust) of ESTIMATE:\n"
    "                 the sparsification curve (mean EPE left after removing the least trusted\n"
    "                 0, 5, ..., 95 % of the scored pixels), the oracle curve (removing the largest\n"
    "                 true errors first), AUSE (area between them) and AUC (area under the\n"
    "                 sparsification curve), trapezoid rule over the fraction, curves divided by the\n"
    "                 mean EPE; the areas in pixels too\n"
    "  --help         show this text\n"
    "  --             end of options (for file names starting with '-')\n"
    "\n"
    "Exit status: 0 success, 1 a file cannot be read or written or the sizes differ,\n"
    "2 usage error.\n";

struct Options {
  bool json = false;
  bool csv = false;
  bool help = false;
  bool picture = false;
  std::string pictureName;
  std::string legendName;
  float colourScale = kScaleByLargestInteriorFlow;
  bool occlusions = false;
  bool confidence = false;
  std::string occlusionsTruth;
  bool convert = false;
  bool table = false;
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

// An option with a value, given as "--name VALUE" or "--name=VALUE". Returns true when `arg` is
// the option; `problem` says what is wrong with it, if anything.
bool TakeValue(const std::string& name, const std::string& what, int argc, char** argv, int& i,
               std::string& value, std::string& problem) {
  const std::string arg = argv[i];
  if (arg != name && arg.rfind(name + "=", 0) != 0) return false;
  if (!value.empty()) {
    problem = name + " given twice";
    return true;
  }
  if (arg == name) {
    if (i + 1 >= argc) {
      problem = name + " needs " + what;
      return true;
    }
    value = argv[++i];
  } else {
    value = arg.substr(name.size() + 1);
  }
  if (value.empty()) problem = name + " needs " + what;
  return true;
}

// The extension of a file name in lower case, with its dot ("" when there is none).
std::string LowerExtension(const std::string& fileName) {
  std::string extension = std::filesystem::path(fileName).extension().string();
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return extension;
}

// Returns an empty string when the command line is well formed, else what is wrong with it.
std::string ParseOptions(int argc, char** argv, Options& options) {
  bool optionsEnded = false;
  std::string problem;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      options.files.push_back(arg);
    } else if (arg == "--") {
      optionsEnded = true;
    } else if (arg == "--json") {
      options.json = true;
    } else if (arg == "--csv") {
      options.csv = true;
    } else if (arg == "--help" || arg == "-h") {
      options.help = true;
    } else if (TakeValue("--picture", "an output file name", argc, argv, i, options.pictureName, problem) ||
               TakeValue("--legend", "an output file name", argc, argv, i, options.legendName, problem) ||
               TakeValue("--occlusions-truth", "a mask file name", argc, argv, i, options.occlusionsTruth,
                         problem)) {
      if (!problem.empty()) return problem;
    } else if (arg == "--occlusions") {
      options.occlusions = true;
    } else if (arg == "--confidence") {
      options.confidence = true;
    } else if (arg == "--convert") {
      options.convert = true;
    } else if (arg == "--table") {
      options.table = true;
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
  options.picture = !options.pictureName.empty();
  if (options.help) return "";
  const bool legend = !options.legendName.empty();
  const bool withMask = !options.occlusionsTruth.empty();
  const int modes =
      options.picture + legend + options.occlusions + options.confidence + options.convert + options.table;
  if (modes > 1) return "--picture, --legend, --occlusions, --confidence, --convert and --table exclude each other";
  if (options.csv && !options.table) return "--csv applies to --table only";
  if (options.json && options.csv) return "--json and --csv exclude each other";
  if (withMask && modes > 0) return "--occlusions-truth applies to scoring estimates only";
  if (options.colourScale > 0.0f && !options.picture && !legend) {
    return "--colour-scale applies to --picture and --legend only";
  }
  if (options.occlusions) {
    if (options.files.size() != 2) return "--occlusions takes a ground-truth mask and one estimate";
  } else if (options.confidence) {
    if (options.files.size() != 3) return "--confidence takes a ground truth, an estimate and its confidence map";
  } else if (options.picture) {
    if (options.json) return "--json does not apply to --picture";
    if (options.files.size() != 1) return "--picture takes exactly one flow file";
  } else if (legend) {
    if (options.json) return "--json does not apply to --legend";
    if (!options.files.empty()) return "--legend takes no input file";
  } else if (options.convert) {
    if (options.json) return "--json does not apply to --convert";
    if (options.files.size() != 2) return "--convert takes an input and an output file";
    const std::string extension = LowerExtension(options.files[1]);
    if (extension != ".flo" && extension != ".png") {
      return "--convert writes .flo or .png files, not " + options.files[1];
    }
  } else if (options.table) {
    if (options.files.size() != 2) return "--table takes a ground-truth folder and a result folder";
    for (const std::string& folder : options.files) {
      std::error_code status;
      if (std::filesystem::exists(folder, status) && !std::filesystem::is_directory(folder, status)) {
        return "--table takes folders; " + folder + " is a file";
      }
    }
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

// A figure for text output: fixed decimals, or n/a when there was nothing to average.
std::string TextNumber(double value, int decimals) {
  if (!std::isfinite(value)) return "n/a";
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

void PrintText(const std::string& estimateName, const FlowErrorStats& stats, bool withMask) {
  std::printf("%s: EPE %.4f AAE %.4f R1 %.3f%% R3 %.3f%% Fl %.3f%% pixels %lld nonfinite %lld", estimateName.c_str(),
              stats.epe, stats.aae, stats.r1, stats.r3, stats.fl, static_cast<long long>(stats.known),
              static_cast<long long>(stats.nonFinite));
  if (withMask) {
    std::printf(" EPE-visible %s EPE-occluded %s visible %lld occluded %lld", TextNumber(stats.epeVisible, 4).c_str(),
                TextNumber(stats.epeOccluded, 4).c_str(), static_cast<long long>(stats.visible),
                static_cast<long long>(stats.occluded));
  }
  std::printf("\n");
}

// The figures of one score as JSON members, without braces.
std::string JsonFigures(const FlowErrorStats& stats, bool withMask) {
  std::string text = "\"epe\": " + JsonNumber(stats.epe) + ", \"aae\": " + JsonNumber(stats.aae) +
                     ", \"r1\": " + JsonNumber(stats.r1) + ", \"r3\": " + JsonNumber(stats.r3) +
                     ", \"fl\": " + JsonNumber(stats.fl) + ", \"pixels\": " + std::to_string(stats.known) +
                     ", \"scored\": " + std::to_string(stats.scored) + ", \"nonfinite\": " +
                     std::to_string(stats.nonFinite) + ", \"unknown\": " + std::to_string(stats.unknown);
  if (withMask) {
    text += ", \"epe_visible\": " + JsonNumber(stats.epeVisible) + ", \"epe_occluded\": " +
            JsonNumber(stats.epeOccluded) + ", \"visible\": " + std::to_string(stats.visible) +
            ", \"occluded\": " + std::to_string(stats.occluded);
  }
  return text;
}

void PrintJson(const std::string& groundTruthName, const std::string& estimateName, const ImageRef& u,
               const FlowErrorStats& stats, bool withMask) {
  std::printf("{\"ground_truth\": %s, \"estimate\": %s, \"width\": %d, \"height\": %d, %s}\n",
              JsonString(groundTruthName).c_str(), JsonString(estimateName).c_str(), u.Width(), u.Height(),
              JsonFigures(stats, withMask).c_str());
}

// Ground truth keeps the unknown-vector convention for invalid KITTI pixels; an estimate's invalid
// pixel has no estimate at all, which the scores count as non-finite.
bool ReadGroundTruth(const std::string& fileName, ImageRef& u, ImageRef& v, std::string& error) {
  bool wasKitti = false;
  return ReadAnyFlowFile(fileName, kUnknownFlowValue, u, v, wasKitti, error);
}

bool ReadEstimate(const std::string& fileName, ImageRef& u, ImageRef& v, std::string& error) {
  bool wasKitti = false;
  return ReadAnyFlowFile(fileName, std::numeric_limits<float>::quiet_NaN(), u, v, wasKitti, error);
}

std::string SizesDiffer(const std::string& first, int width1, int height1, const std::string& second, int width2,
                        int height2) {
  return "sizes differ: " + first + " is " + std::to_string(width1) + " x " + std::to_string(height1) + ", " +
         second + " is " + std::to_string(width2) + " x " + std::to_string(height2);
}

int DrawPicture(const Options& options) {
  ImageRef u;
  ImageRef v;
  std::string error;
  if (!ReadGroundTruth(options.files[0], u, v, error)) return FileError(error);
  ImageRef picture;
  FlowToColourImage(u, v, picture, options.colourScale);
  std::string writeError;
  if (!SaveImage(picture, options.pictureName, writeError)) return FileError(writeError);
  return kStatusOk;
}

// The key of the colour coding: inside a disc, the pixel at offset (dx, dy) from the centre shows
// the vector (dx, dy) / radius, so the rim is a motion of the full-saturation length in every
// direction; outside the disc the key is white.
int DrawLegend(const Options& options) {
  constexpr int kLegendSide = 257;          // odd, so that the centre is a pixel
  constexpr int kLegendRadius = 120;        // pixels from the centre to the rim
  constexpr double kTextScale = 0.5;        // OpenCV's simplex font at half its size
  constexpr int kTextStrip = 24;            // rows below the disc for the scale
  const cv::Scalar kBackground(255, 255, 255);
  const cv::Scalar kTextColour(0, 0, 0);

  const bool withScale = options.colourScale > 0.0f;
  const int height = kLegendSide + (withScale ? kTextStrip : 0);
  ImageRef key(cv::Mat(height, kLegendSide, CV_8UC3, kBackground));
  const int centre = kLegendSide / 2;
  for (int y = 0; y < kLegendSide; ++y) {
    std::uint8_t* row = key.Row<std::uint8_t>(y);
    for (int x = 0; x < kLegendSide; ++x) {
      const float fx = static_cast<float>(x - centre) / kLegendRadius;
      const float fy = static_cast<float>(y - centre) / kLegendRadius;
      if (fx * fx + fy * fy > 1.0f) continue;
      const std::array<uint8_t, 3> colour = FlowColour(fx, fy);
      for (int c = 0; c < 3; ++c) row[3 * x + c] = colour[c];
    }
  }
  if (withScale) {
    const std::string text = "rim: " + TextNumber(options.colourScale, 2) + " px";
    int baseline = 0;
    const cv::Size size = cv::getTextSize(text, cv::FONT_HERSHEY_SIMPLEX, kTextScale, 1, &baseline);
    cv::putText(key.Mat(), text,
                cv::Point((kLegendSide - size.width) / 2, kLegendSide + (kTextStrip + size.height) / 2),
                cv::FONT_HERSHEY_SIMPLEX, kTextScale, kTextColour, 1, cv::LINE_AA);
  }
  std::string error;
  if (!SaveImage(key, options.legendName, error)) return FileError(error);
  return kStatusOk;
}

int Convert(const Options& options) {
  const std::string& inName = options.files[0];
  const std::string& outName = options.files[1];
  ImageRef u;
  ImageRef v;
  std::string error;
  if (!ReadGroundTruth(inName, u, v, error)) return FileError(error);
  if (LowerExtension(outName) == ".flo") {
    ImageRef flow = CreateFloat(u.Width(), u.Height(), 2);
    cv::merge(std::vector<cv::Mat>{u.Mat(), v.Mat()}, flow.Mat());
    if (!WriteFlowFile(flow, outName, error)) return FileError(error);
    return kStatusOk;
  }
  KittiWriteReport report;
  if (!WriteKittiFlowFile(u, v, outName, report, error)) return FileError(error);
  if (report.clamped > 0) {
    std::fprintf(stderr,
                 "morvi-eval: %s: %lld pixel(s) with a component beyond -512 .. 511.984 pixels, clamped to the "
                 "range\n",
                 outName.c_str(), static_cast<long long>(report.clamped));
  }
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
  const cv::Mat image = ReadImageFile(fileName, cv::IMREAD_UNCHANGED);
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

// Prints a list of figures as a JSON array.
std::string JsonArray(const std::vector<double>& values) {
  std::string text = "[";
  for (size_t i = 0; i < values.size(); ++i) text += (i > 0 ? ", " : "") + JsonNumber(values[i]);
  return text + "]";
}

int ScoreConfidence(const Options& options) {
  const std::string& groundTruthName = options.files[0];
  const std::string& estimateName = options.files[1];
  const std::string& confidenceName = options.files[2];
  ImageRef uGt, vGt, u, v;
  std::string error;
  if (!ReadGroundTruth(groundTruthName, uGt, vGt, error)) return FileError(error);
  if (!ReadEstimate(estimateName, u, v, error)) return FileError(error);
  if (u.Width() != uGt.Width() || u.Height() != uGt.Height()) {
    return FileError(SizesDiffer(groundTruthName, uGt.Width(), uGt.Height(), estimateName, u.Width(), u.Height()));
  }
  cv::Mat confidence;
  if (!ReadConfidenceFile(confidenceName, confidence, error)) return FileError(error);
  if (confidence.cols != uGt.Width() || confidence.rows != uGt.Height()) {
    return FileError(
        SizesDiffer(groundTruthName, uGt.Width(), uGt.Height(), confidenceName, confidence.cols, confidence.rows));
  }
  SparsificationScore score;
  if (!ScoreConfidenceMap(uGt, vGt, u, v, confidence, score, error)) return FileError(error);
  if (options.json) {
    std::printf(
        "{\"ground_truth\": %s, \"estimate\": %s, \"confidence\": %s, \"width\": %d, \"height\": %d, "
        "\"scored\": %lld, \"epe\": %s, \"ause\": %s, \"auc\": %s, \"oracle_auc\": %s, \"ause_px\": %s, "
        "\"auc_px\": %s, \"oracle_auc_px\": %s, \"fractions\": %s, \"sparsification\": %s, \"oracle\": %s}\n",
        JsonString(groundTruthName).c_str(), JsonString(estimateName).c_str(), JsonString(confidenceName).c_str(),
        uGt.Width(), uGt.Height(), static_cast<long long>(score.scored), JsonNumber(score.meanEpe).c_str(),
        JsonNumber(score.ause).c_str(), JsonNumber(score.auc).c_str(), JsonNumber(score.oracleAuc).c_str(),
        JsonNumber(score.auseRaw).c_str(), JsonNumber(score.aucRaw).c_str(), JsonNumber(score.oracleAucRaw).c_str(),
        JsonArray(score.fractions).c_str(), JsonArray(score.estimate).c_str(), JsonArray(score.oracle).c_str());
    return kStatusOk;
  }
  std::printf("%s: AUSE %s AUC %s oracle-AUC %s (curves / EPE %s); in pixels AUSE %s AUC %s oracle-AUC %s; scored %lld\n",
              confidenceName.c_str(), TextNumber(score.ause, 4).c_str(), TextNumber(score.auc, 4).c_str(),
              TextNumber(score.oracleAuc, 4).c_str(), TextNumber(score.meanEpe, 4).c_str(),
              TextNumber(score.auseRaw, 4).c_str(), TextNumber(score.aucRaw, 4).c_str(),
              TextNumber(score.oracleAucRaw, 4).c_str(), static_cast<long long>(score.scored));
  std::printf("removed  EPE-kept  oracle\n");
  for (size_t i = 0; i < score.fractions.size(); ++i) {
    std::printf("%6.0f%%  %8s  %6s\n", 100.0 * score.fractions[i], TextNumber(score.estimate[i], 4).c_str(),
                TextNumber(score.oracle[i], 4).c_str());
  }
  return kStatusOk;
}

// One row of a folder's table: a scored pair, or why it was not scored.
struct TableRow {
  FlowTablePair pair;
  bool scored = false;
  std::string status;  // "scored", "no ground truth" or "error"
  FlowErrorStats stats;
};

// The unweighted mean over pairs of one figure, leaving out pairs where it is not defined.
double MeanOver(const std::vector<TableRow>& rows, double FlowErrorStats::*figure) {
  double sum = 0.0;
  int count = 0;
  for (const TableRow& row : rows) {
    if (!row.scored || !std::isfinite(row.stats.*figure)) continue;
    sum += row.stats.*figure;
    ++count;
  }
  return count > 0 ? sum / count : std::numeric_limits<double>::quiet_NaN();
}

TableRow ScorePair(const FlowTablePair& pair, int& status) {
  TableRow row;
  row.pair = pair;
  if (pair.groundTruth.empty()) {
    row.status = "no ground truth";
    return row;
  }
  row.status = "error";
  ImageRef uGt, vGt, u, v;
  std::string error;
  if (!ReadGroundTruth(pair.groundTruth, uGt, vGt, error) || !ReadEstimate(pair.estimate, u, v, error)) {
    status = FileError(error);
    return row;
  }
  if (u.Width() != uGt.Width() || u.Height() != uGt.Height()) {
    status = FileError(SizesDiffer(pair.groundTruth, uGt.Width(), uGt.Height(), pair.estimate, u.Width(), u.Height()));
    return row;
  }
  cv::Mat mask;
  if (!pair.occlusions.empty()) {
    mask = ReadMask(pair.occlusions);
    if (mask.empty()) {
      status = kStatusFileError;
      return row;
    }
  }
  if (!EvaluateFlow(uGt, vGt, u, v, mask, row.stats, error)) {
    status = FileError(pair.estimate + ": " + error);
    return row;
  }
  if (mask.empty()) {
    row.stats.epeVisible = std::numeric_limits<double>::quiet_NaN();
    row.stats.epeOccluded = std::numeric_limits<double>::quiet_NaN();
  }
  row.scored = true;
  row.status = "scored";
  return row;
}

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\n\r") == std::string::npos) return text;
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

std::string CsvNumber(double value) { return std::isfinite(value) ? JsonNumber(value) : ""; }

void PrintTableText(const std::vector<TableRow>& rows, const FlowErrorStats& mean, int scored) {
  std::size_t width = std::string("mean").size();
  for (const TableRow& row : rows) width = std::max(width, row.pair.stem.size());
  const int column = static_cast<int>(width);
  std::printf("%-*s  %8s %8s %8s %8s %8s %9s %9s %11s %11s\n", column, "pair", "EPE", "AAE", "R1%", "R3%", "Fl%",
              "pixels", "nonfinite", "EPE-visible", "EPE-occl.");
  const auto figures = [&](const char* label, const FlowErrorStats& stats, const std::string& pixels,
                           const std::string& nonFinite) {
    std::printf("%-*s  %8s %8s %8s %8s %8s %9s %9s %11s %11s\n", column, label, TextNumber(stats.epe, 4).c_str(),
                TextNumber(stats.aae, 4).c_str(), TextNumber(stats.r1, 3).c_str(), TextNumber(stats.r3, 3).c_str(),
                TextNumber(stats.fl, 3).c_str(), pixels.c_str(), nonFinite.c_str(),
                TextNumber(stats.epeVisible, 4).c_str(), TextNumber(stats.epeOccluded, 4).c_str());
  };
  for (const TableRow& row : rows) {
    if (row.scored) {
      figures(row.pair.stem.c_str(), row.stats, std::to_string(row.stats.known), std::to_string(row.stats.nonFinite));
    } else {
      std::printf("%-*s  %s\n", column, row.pair.stem.c_str(), row.status.c_str());
    }
  }
  figures("mean", mean, "", "");
  std::printf("%d of %zu pair(s) scored\n", scored, rows.size());
}

void PrintTableJson(const Options& options, const std::vector<TableRow>& rows, const FlowErrorStats& mean, int scored,
                    const std::vector<std::string>& withoutEstimate) {
  const auto nameOrNull = [](const std::string& name) { return name.empty() ? std::string("null") : JsonString(name); };
  std::string text = "{\"ground_truth_dir\": " + JsonString(options.files[0]) +
                     ", \"result_dir\": " + JsonString(options.files[1]) + ", \"pairs\": [";
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const TableRow& row = rows[i];
    text += (i ? ", " : "") + std::string("{\"stem\": ") + JsonString(row.pair.stem) +
            ", \"estimate\": " + JsonString(row.pair.estimate) + ", \"ground_truth\": " +
            nameOrNull(row.pair.groundTruth) + ", \"occlusions\": " + nameOrNull(row.pair.occlusions) +
            ", \"status\": " + JsonString(row.status);
    if (row.scored) text += ", " + JsonFigures(row.stats, true);
    text += "}";
  }
  text += "], \"mean\": {\"pairs\": " + std::to_string(scored) + ", \"epe\": " + JsonNumber(mean.epe) +
          ", \"aae\": " + JsonNumber(mean.aae) + ", \"r1\": " + JsonNumber(mean.r1) + ", \"r3\": " +
          JsonNumber(mean.r3) + ", \"fl\": " + JsonNumber(mean.fl) + ", \"epe_visible\": " +
          JsonNumber(mean.epeVisible) + ", \"epe_occluded\": " + JsonNumber(mean.epeOccluded) +
          "}, \"without_estimate\": [";
  for (std::size_t i = 0; i < withoutEstimate.size(); ++i) text += (i ? ", " : "") + JsonString(withoutEstimate[i]);
  text += "]}\n";
  std::fputs(text.c_str(), stdout);
}

void PrintTableCsv(const std::vector<TableRow>& rows, const FlowErrorStats& mean) {
  std::printf("pair,estimate,ground_truth,status,epe,aae,r1,r3,fl,pixels,nonfinite,epe_visible,epe_occluded\n");
  for (const TableRow& row : rows) {
    std::string line = CsvField(row.pair.stem) + "," + CsvField(row.pair.estimate) + "," +
                       CsvField(row.pair.groundTruth) + "," + row.status;
    if (row.scored) {
      line += "," + CsvNumber(row.stats.epe) + "," + CsvNumber(row.stats.aae) + "," + CsvNumber(row.stats.r1) + "," +
              CsvNumber(row.stats.r3) + "," + CsvNumber(row.stats.fl) + "," + std::to_string(row.stats.known) + "," +
              std::to_string(row.stats.nonFinite) + "," + CsvNumber(row.stats.epeVisible) + "," +
              CsvNumber(row.stats.epeOccluded);
    } else {
      line += ",,,,,,,,,";
    }
    std::printf("%s\n", line.c_str());
  }
  std::printf("mean,,,mean,%s,%s,%s,%s,%s,,,%s,%s\n", CsvNumber(mean.epe).c_str(), CsvNumber(mean.aae).c_str(),
              CsvNumber(mean.r1).c_str(), CsvNumber(mean.r3).c_str(), CsvNumber(mean.fl).c_str(),
              CsvNumber(mean.epeVisible).c_str(), CsvNumber(mean.epeOccluded).c_str());
}

// Scores every estimate of the result folder against its ground truth: one row per pair and the
// mean over the scored pairs (each pair weighs the same, whatever its size).
int ScoreTable(const Options& options) {
  for (const std::string& folder : options.files) {
    std::error_code status;
    if (!std::filesystem::is_directory(folder, status)) return FileError(folder + ": no such folder");
  }
  FlowTablePlan plan;
  std::string error;
  if (!PlanFlowTable(options.files[0], options.files[1], plan, error)) return FileError(error);

  int status = kStatusOk;
  std::vector<TableRow> rows;
  for (const FlowTablePair& pair : plan.pairs) rows.push_back(ScorePair(pair, status));
  for (const std::string& truth : plan.groundTruthWithoutEstimate) {
    status = FileError("no estimate for the ground truth " + truth);
  }
  int scored = 0;
  for (const TableRow& row : rows) scored += row.scored;
  FlowErrorStats mean;
  mean.epe = MeanOver(rows, &FlowErrorStats::epe);
  mean.aae = MeanOver(rows, &FlowErrorStats::aae);
  mean.r1 = MeanOver(rows, &FlowErrorStats::r1);
  mean.r3 = MeanOver(rows, &FlowErrorStats::r3);
  mean.fl = MeanOver(rows, &FlowErrorStats::fl);
  mean.epeVisible = MeanOver(rows, &FlowErrorStats::epeVisible);
  mean.epeOccluded = MeanOver(rows, &FlowErrorStats::epeOccluded);

  if (options.json) {
    PrintTableJson(options, rows, mean, scored, plan.groundTruthWithoutEstimate);
  } else if (options.csv) {
    PrintTableCsv(rows, mean);
  } else {
    PrintTableText(rows, mean, scored);
  }
  return status;
}
// Scores every estimate; an estimate that cannot be read or has the wrong size is reported and
// skipped, the others are still scored, and the status tells that something failed.
int ScoreEstimates(const Options& options) {
  const std::string& groundTruthName = options.files[0];
  ImageRef uGt;
  ImageRef vGt;
  std::string error;
  if (!ReadGroundTruth(groundTruthName, uGt, vGt, error)) return FileError(error);
  const bool withMask = !options.occlusionsTruth.empty();
  cv::Mat mask;
  if (withMask) {
    mask = ReadMask(options.occlusionsTruth);
    if (mask.empty()) return kStatusFileError;
    if (mask.cols != uGt.Width() || mask.rows != uGt.Height()) {
      return FileError(SizesDiffer(groundTruthName, uGt.Width(), uGt.Height(), options.occlusionsTruth, mask.cols,
                                   mask.rows));
    }
  }

  int status = kStatusOk;
  for (std::size_t i = 1; i < options.files.size(); ++i) {
    const std::string& estimateName = options.files[i];
    ImageRef u;
    ImageRef v;
    if (!ReadEstimate(estimateName, u, v, error)) {
      status = FileError(error);
      continue;
    }
    if (u.Width() != uGt.Width() || u.Height() != uGt.Height()) {
      status = FileError(SizesDiffer(groundTruthName, uGt.Width(), uGt.Height(), estimateName, u.Width(), u.Height()));
      continue;
    }
    FlowErrorStats stats;
    if (!EvaluateFlow(uGt, vGt, u, v, mask, stats, error)) {
      status = FileError(estimateName + ": " + error);
      continue;
    }
    if (options.json) {
      PrintJson(groundTruthName, estimateName, u, stats, withMask);
    } else {
      PrintText(estimateName, stats, withMask);
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
    if (options.confidence) return ScoreConfidence(options);
    if (options.picture) return DrawPicture(options);
    if (!options.legendName.empty()) return DrawLegend(options);
    if (options.convert) return Convert(options);
    if (options.table) return ScoreTable(options);
    return ScoreEstimates(options);
  } catch (const std::exception& failure) {
    // Only allocation or library failures on legitimate but huge files can reach here.
    return FileError(std::string("cannot process the files: ") + failure.what());
  }
}
