// The library's entry points: argument checks, conversions between the caller's matrices and the
// pipeline's image handles, and exceptions in place of the pipeline's status codes.
#include "morvi/morvi.h"

#include <cmath>
#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "image/flow_colour.h"
#include "image/flow_evaluation.h"
#include "image/flow_file.h"
#include "image/flow_reader.h"
#include "image/image_ref.h"
#include "image/parallel.h"
#include "image/warp.h"
#include "pipeline/estimate_flow.h"
#include "pipeline/estimate_options.h"

namespace morvi {
namespace {

constexpr int kMaxThreads = 1024;  // more threads than this is a typing error, not a machine

std::string SizeText(const cv::Mat& image) {
  return std::to_string(image.cols) + "x" + std::to_string(image.rows);
}

std::string DepthName(int depth) {
  switch (depth) {
    case CV_8U: return "8-bit unsigned";
    case CV_8S: return "8-bit signed";
    case CV_16U: return "16-bit unsigned";
    case CV_16S: return "16-bit signed";
    case CV_32S: return "32-bit integer";
    case CV_32F: return "32-bit float";
    case CV_64F: return "64-bit float";
    default: return "depth " + std::to_string(depth);
  }
}

// A frame brought to the estimate's layout (8-bit, 1 or 3 channels) in a new continuous matrix of
// its own, so that nothing the pipeline does can reach the caller's pixels.
ImageRef FrameOf(const cv::Mat& image, const char* function, const char* name) {
  const std::string where = std::string("morvi::") + function + ": " + name + " frame ";
  if (image.empty()) throw std::invalid_argument(where + "is empty");
  if (image.dims != 2) throw std::invalid_argument(where + "is not a two-dimensional image");
  if (image.depth() != CV_8U && image.depth() != CV_16U) {
    throw std::invalid_argument(where + "is " + DepthName(image.depth()) +
                                "; frames are 8-bit or 16-bit unsigned");
  }
  std::string reason;
  const cv::Mat reduced = ToFrameLayout(image, reason);
  if (reduced.empty()) throw std::invalid_argument(where + reason);
  return ImageRef(reduced.clone());
}

// Checks a flow argument: non-empty, two-dimensional, CV_32FC2.
void CheckFlow(const cv::Mat& flow, const char* function, const char* name) {
  const std::string where = std::string("morvi::") + function + ": " + name + " ";
  if (flow.empty()) throw std::invalid_argument(where + "is empty");
  if (flow.dims != 2) throw std::invalid_argument(where + "is not a two-dimensional matrix");
  if (flow.depth() != CV_32F || flow.channels() != 2) {
    throw std::invalid_argument(where + "must be CV_32FC2 (u, v as 32-bit floats), not " +
                                DepthName(flow.depth()) + " with " + std::to_string(flow.channels()) +
                                " channel(s)");
  }
}

// The two planes of a CV_32FC2 flow as single-channel float images.
void SplitFlow(const cv::Mat& flow, ImageRef& u, ImageRef& v) {
  std::vector<cv::Mat> planes;
  cv::split(flow, planes);
  u = ImageRef(planes[0]);
  v = ImageRef(planes[1]);
}

int ThreadCount(const std::optional<int>& threads, const char* function) {
  if (!threads) return DefaultThreadCount();
  if (*threads < 1 || *threads > kMaxThreads) {
    throw std::invalid_argument(std::string("morvi::") + function + ": threads must be from 1 to " +
                                std::to_string(kMaxThreads) + ", not " + std::to_string(*threads));
  }
  return *threads;
}

}  // namespace

const char* Version() { return MORVI_VERSION; }

namespace {

// The library's defaults are the pipeline's.
static_assert(Options{}.smoothness == EstimateOptions{}.smoothness, "the default smoothness differs");
static_assert(Options{}.initialFlow == EstimateOptions{}.initialFlow, "the default initial flow differs");
static_assert(Options{}.solver == EstimateOptions{}.solver, "the default solver differs");
static_assert(Options{}.scale == EstimateOptions{}.scale, "the default scale differs");

// The checked frames and settings of an estimate.
struct EstimateInput {
  ImageRef first;
  ImageRef second;
  EstimateOptions options;
};

EstimateInput CheckEstimate(const cv::Mat& first, const cv::Mat& second, const Options& options,
                            const char* function) {
  EstimateInput input;
  input.first = FrameOf(first, function, "first");
  input.second = FrameOf(second, function, "second");
  const std::string name = std::string("morvi::") + function;
  if (input.first.Width() != input.second.Width() || input.first.Height() != input.second.Height()) {
    throw std::invalid_argument(name + ": the frames differ in size: first is " + SizeText(first) + ", second is " +
                                SizeText(second));
  }
  if (input.first.Channels() != input.second.Channels()) {
    throw std::invalid_argument(name + ": the frames differ in channel count: first has " +
                                std::to_string(first.channels()) + ", second has " +
                                std::to_string(second.channels()));
  }
  if (!std::isfinite(options.smoothness) || options.smoothness < 0.0f) {
    throw std::invalid_argument(name + ": smoothness must be a finite number >= 0, not " +
                                std::to_string(options.smoothness));
  }
  if (options.initialFlow != InitialFlow::kPyramid && options.initialFlow != InitialFlow::kMatches &&
      options.initialFlow != InitialFlow::kFused) {
    throw std::invalid_argument(name +
                                ": initialFlow must be InitialFlow::kPyramid, InitialFlow::kMatches or "
                                "InitialFlow::kFused, not " +
                                std::to_string(static_cast<int>(options.initialFlow)));
  }
  if (options.solver != Solver::kReference && options.solver != Solver::kFast) {
    throw std::invalid_argument(name + ": solver must be Solver::kReference or Solver::kFast, not " +
                                std::to_string(static_cast<int>(options.solver)));
  }
  if (!(std::isfinite(options.scale) && options.scale > 0.0f && options.scale <= 1.0f)) {
    throw std::invalid_argument(name + ": scale must be a finite number with 0 < scale <= 1, not " +
                                std::to_string(options.scale));
  }
  input.options.smoothness = options.smoothness;
  input.options.scale = options.scale;
  input.options.seed = options.seed;
  input.options.threads = ThreadCount(options.threads, function);
  input.options.initialFlow = options.initialFlow;
  input.options.solver = options.solver;
  return input;
}

cv::Mat MergeFlow(const ImageRef& u, const ImageRef& v) {
  cv::Mat flow;
  cv::merge(std::vector<cv::Mat>{u.Mat(), v.Mat()}, flow);
  return flow;
}

}  // namespace

cv::Mat EstimateFlow(const cv::Mat& first, const cv::Mat& second, const Options& options) {
  const EstimateInput input = CheckEstimate(first, second, options, "EstimateFlow");
  const PairFlow flow = EstimatePair(input.first, input.second, input.options, nullptr);
  return MergeFlow(flow.u, flow.v);
}

FlowAndOcclusions EstimateFlowAndOcclusions(const cv::Mat& first, const cv::Mat& second, const Options& options) {
  EstimateInput input = CheckEstimate(first, second, options, "EstimateFlowAndOcclusions");
  input.options.occlusions = true;
  const PairFlow flow = EstimatePair(input.first, input.second, input.options, nullptr);
  return {MergeFlow(flow.u, flow.v), flow.occlusions.Mat()};
}

FlowAndConfidence EstimateFlowAndConfidence(const cv::Mat& first, const cv::Mat& second, const Options& options) {
  EstimateInput input = CheckEstimate(first, second, options, "EstimateFlowAndConfidence");
  input.options.confidence = true;
  const PairFlow flow = EstimatePair(input.first, input.second, input.options, nullptr);
  return {MergeFlow(flow.u, flow.v), flow.confidence.Mat()};
}

cv::Mat ReadFlowFile(const std::string& path) {
  ImageRef flow;
  std::string error;
  if (!::ReadFlowFile(path, flow, error)) throw std::runtime_error("morvi::ReadFlowFile: " + error);
  return flow.Mat();
}

void WriteFlowFile(const std::string& path, const cv::Mat& flow) {
  CheckFlow(flow, "WriteFlowFile", "flow");
  if (path.empty()) throw std::invalid_argument("morvi::WriteFlowFile: the file name is empty");
  std::error_code ignored;
  if (std::filesystem::is_directory(path, ignored)) {
    throw std::runtime_error("morvi::WriteFlowFile: " + path + " is a directory");
  }
  std::string error;
  if (!::WriteFlowFile(ImageRef(flow), path, error)) throw std::runtime_error("morvi::WriteFlowFile: " + error);
}

cv::Mat FlowToColour(const cv::Mat& flow, std::optional<float> scale) {
  CheckFlow(flow, "FlowToColour", "flow");
  if (scale && !(std::isfinite(*scale) && *scale > 0.0f)) {
    throw std::invalid_argument("morvi::FlowToColour: scale must be a finite number > 0, not " +
                                std::to_string(*scale));
  }
  ImageRef u, v, picture;
  SplitFlow(flow, u, v);
  FlowToColourImage(u, v, picture, scale ? *scale : kPictureScaleFromFlow);
  return picture.Mat();
}

cv::Mat WarpBack(const cv::Mat& second, const cv::Mat& flow) {
  CheckFlow(flow, "WarpBack", "flow");
  const ImageRef source = FrameOf(second, "WarpBack", "second");
  if (source.Width() != flow.cols || source.Height() != flow.rows) {
    throw std::invalid_argument("morvi::WarpBack: the frame is " + SizeText(second) + " but the flow is " +
                                SizeText(flow));
  }
  ImageRef u, v;
  SplitFlow(flow, u, v);
  ImageRef warped = CreateByte(source.Width(), source.Height(), source.Channels());
  WarpByFlow(u, v, source, warped, DefaultThreadCount());
  return warped.Mat();
}

FlowErrors EvaluateFlow(const cv::Mat& groundTruth, const cv::Mat& estimate) {
  CheckFlow(groundTruth, "EvaluateFlow", "ground truth");
  CheckFlow(estimate, "EvaluateFlow", "estimate");
  if (groundTruth.size() != estimate.size()) {
    throw std::invalid_argument("morvi::EvaluateFlow: sizes differ: ground truth is " + SizeText(groundTruth) +
                                ", estimate is " + SizeText(estimate));
  }
  ImageRef uGt, vGt, u, v;
  SplitFlow(groundTruth, uGt, vGt);
  SplitFlow(estimate, u, v);
  FlowErrorStats stats;
  std::string error;
  if (!::EvaluateFlow(uGt, vGt, u, v, stats, error)) throw std::invalid_argument("morvi::EvaluateFlow: " + error);
  FlowErrors errors;
  errors.epe = stats.epe;
  errors.aae = stats.aae;
  errors.r1 = stats.r1;
  errors.r3 = stats.r3;
  errors.known = stats.known;
  errors.scored = stats.scored;
  errors.nonFinite = stats.nonFinite;
  errors.unknown = stats.unknown;
  return errors;
}

}  // namespace morvi
