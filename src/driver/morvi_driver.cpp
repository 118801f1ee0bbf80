#include "driver/morvi_driver.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <optional>
#include <system_error>
#include <vector>

#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "driver/directory_scan.h"
#include "image/atomic_file.h"
#include "image/flow_file.h"
#include "image/parallel.h"
#include "image/warp.h"
#include "pipeline/estimate_flow.h"

namespace {

// The pipeline's fixed parameters, in the order EstimateFlow takes them.
constexpr float kPyramidFactor = 1.7f;
constexpr float kBrightnessTermWeight = 0.1f;
constexpr float kGradientTermWeight = 0.9f;
constexpr float kDefaultSmoothness = 8.0f;
// The penaliser epsilons arrive as single-precision constants widened to double.
constexpr double kBrightnessEps = static_cast<double>(0.1f);
constexpr double kGradientEps = static_cast<double>(0.1f);
constexpr double kSmoothnessEps = static_cast<double>(0.01f);
constexpr int kAnisotropic = 1;
constexpr int kOuterIterations = 3;
constexpr int kMedianWindow = 3;
constexpr float kMinRegion = 20.0f;
constexpr float kSigmaS = 7.0f;
constexpr float kSigmaR = 6.5f;
constexpr float kPictureScaleFromFlow = -1.0f;  // scale the colour picture by the largest motion

constexpr const char* kFlowSuffix = "_morvi.flo";
constexpr const char* kWarpSuffix = "_morviwarp";

struct Settings {
  std::string imageDirectory;
  std::string imageType = ".png";
  float smoothness = kDefaultSmoothness;
  std::string resultDirectory;
  std::optional<uint32_t> seed;
  int threads = DefaultThreadCount();
};

// More threads than this is a typing error, not a machine.
constexpr int kMaxThreads = 1024;

void PrintBanner(const char* program) {
  std::cout << "Morvi Optical Flow Estimation" << std::endl;
  std::cout << "Version 1.3" << std::endl;
  std::cout << "Written by the Morvi developers" << std::endl;
  std::cout << "Usage: " << program << " imgdir [imgtype] [smooth] [resultdir]" << std::endl;
  std::cout << "Example: " << program << " \"./data/football\" \".png\" 20 \"./data/football\"" << std::endl;
}

void PrintOptions() {
  std::cout << "Options (before the positional arguments):\n"
               "  --seed N    fix the seed of the segment motion sampling (reproducible output)\n"
               "  --threads N use N threads inside each pair (default: all cores); the output is the\n"
               "              same for every N\n"
               "  --help      show this text\n"
               "  --version   show the version\n"
               "Outputs per pair, named after its first frame <stem>.<ext>, in resultdir:\n"
               "  <stem>_morvi.flo, <stem>_morvi.ppm, <stem>_morviwarp.ppm (.pgm for grey frames)"
            << std::endl;
}

int UsageError(const char* program, const std::string& message) {
  std::cerr << program << ": " << message << "\n"
            << "Usage: " << program << " [--seed N] [--threads N] imgdir [imgtype] [smooth] [resultdir]" << std::endl;
  return 1;
}

bool ParseSeed(const std::string& text, uint32_t& seed) {
  if (text.empty() || text[0] == '-' || text[0] == '+') return false;
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || value > 0xffffffffULL) return false;
  seed = static_cast<uint32_t>(value);
  return true;
}

bool ParseThreads(const std::string& text, int& threads) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || value < 1 || value > kMaxThreads) return false;
  threads = static_cast<int>(value);
  return true;
}

std::string StemOf(const std::string& name) {
  const size_t dot = name.rfind('.');
  return dot == std::string::npos ? name : name.substr(0, dot);
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

ImageRef LoadFrame(const std::string& path, std::string& reason) {
  ImageRef frame = LoadImage(path, cv::IMREAD_UNCHANGED);
  if (frame.Empty()) {
    reason = "cannot be read as an image";
    return ImageRef();
  }
  const cv::Mat reduced = ToFrameLayout(frame.Mat(), reason);
  if (reduced.empty()) return ImageRef();
  if (reduced.data == frame.Mat().data) return frame;
  return ImageRef(reduced.clone());
}

int RunMorvi(int argc, char** argv) {
  const char* program = argv[0];
  if (argc <= 1) {
    PrintBanner(program);
    return 0;
  }

  Settings settings;
  int arg = 1;
  for (; arg < argc; ++arg) {
    const std::string option = argv[arg];
    if (option == "--help" || option == "-h") {
      PrintBanner(program);
      PrintOptions();
      return 0;
    }
    if (option == "--version") {
      std::cout << "Morvi Optical Flow Estimation" << std::endl << "Version 1.3" << std::endl;
      return 0;
    }
    if (option == "--seed") {
      uint32_t seed = 0;
      if (arg + 1 >= argc || !ParseSeed(argv[arg + 1], seed)) {
        return UsageError(program, "--seed needs an integer from 0 to 4294967295");
      }
      settings.seed = seed;
      ++arg;
      continue;
    }
    if (option == "--threads") {
      if (arg + 1 >= argc || !ParseThreads(argv[arg + 1], settings.threads)) {
        return UsageError(program, "--threads needs an integer from 1 to " + std::to_string(kMaxThreads));
      }
      ++arg;
      continue;
    }
    if (option == "--") {
      ++arg;
      break;
    }
    if (option.size() > 1 && option[0] == '-' && option[1] == '-') {
      return UsageError(program, "unknown option '" + option + "'");
    }
    break;
  }
  const std::vector<std::string> positional(argv + arg, argv + argc);
  if (positional.empty()) return UsageError(program, "the image directory is missing");

  settings.imageDirectory = positional[0];
  settings.resultDirectory = positional[0];
  if (positional.size() > 1) settings.imageType = positional[1];
  if (positional.size() > 2 && !ParseSmoothness(positional[2], settings.smoothness)) {
    return UsageError(program, "the smoothness weight '" + positional[2] + "' is not a finite number >= 0");
  }
  if (positional.size() > 3) settings.resultDirectory = positional[3];

  // The estimate splits its work over threads of its own (settings.threads). OpenCV's pool stays
  // on this thread: its idle workers spin after every call and would take the cores from ours.
  cv::setNumThreads(1);

  const std::vector<std::string> names = ListImageFiles(settings.imageDirectory, settings.imageType);
  if (names.size() < 2) return 0;

  std::error_code error;
  std::filesystem::create_directories(settings.resultDirectory, error);
  if (error || !std::filesystem::is_directory(settings.resultDirectory)) {
    std::cerr << program << ": cannot create the result directory " << settings.resultDirectory << ": "
              << (error ? error.message() : "not a directory") << std::endl;
    return 1;
  }

  const auto framePath = [&](const std::string& name) { return settings.imageDirectory + "/" + name; };
  std::string reason;
  ImageRef first = LoadFrame(framePath(names[0]), reason);
  if (first.Empty()) {
    std::cerr << program << ": frame " << framePath(names[0]) << " " << reason << std::endl;
    return 1;
  }
  const int width = first.Width();
  const int height = first.Height();
  const int channels = first.Channels();
  ImageRef initialU = CreateFloat(width, height, 1);
  ImageRef initialV = CreateFloat(width, height, 1);
  ImageRef u = CreateFloat(width, height, 1);
  ImageRef v = CreateFloat(width, height, 1);

  int status = 0;
  for (size_t i = 1; i < names.size(); ++i) {
    ImageRef second = LoadFrame(framePath(names[i]), reason);
    if (second.Empty()) {
      std::cerr << program << ": frame " << framePath(names[i]) << " " << reason << std::endl;
      return 1;
    }
    if (second.Width() != width || second.Height() != height || second.Channels() != channels) {
      std::cerr << program << ": frame " << framePath(names[i]) << " is " << second.Width() << "x"
                << second.Height() << " with " << second.Channels() << " channel(s), but the sequence's first frame "
                << framePath(names[0]) << " is " << width << "x" << height << " with " << channels
                << " channel(s)" << std::endl;
      return 1;
    }

    const auto start = std::chrono::steady_clock::now();
    EstimateFlow(first, second, initialU, initialV, u, v, kPyramidFactor, kBrightnessTermWeight,
                 kGradientTermWeight, settings.smoothness, kBrightnessEps, kGradientEps, kSmoothnessEps,
                 kAnisotropic, kOuterIterations, kMedianWindow, kMinRegion, kSigmaS, kSigmaR, settings.seed,
                 settings.threads);
    std::cout << std::endl;
    const double elapsedMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    std::cout << "Running Time: " << static_cast<long>(elapsedMs / 1000.0) << "s" << std::endl;

    const std::string base = settings.resultDirectory + "/" + StemOf(names[i - 1]);
    if (!SaveFlowResult(u, v, base + kFlowSuffix, kPictureScaleFromFlow)) status = 1;

    ImageRef warped = CreateByte(width, height, first.Channels());
    WarpByFlow(u, v, second, warped, settings.threads);
    const std::string warpName = base + kWarpSuffix + (channels == 3 ? ".ppm" : ".pgm");
    const std::string temporaryName = TemporaryNameFor(warpName);
    if (!SaveImage(warped, temporaryName) || !CommitTemporaryFile(temporaryName, warpName)) {
      DiscardTemporaryFile(temporaryName);
      std::cerr << program << ": could not write " << warpName << std::endl;
      status = 1;
    }
    first = second;
  }
  return status;
}
