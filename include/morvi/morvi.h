// Morvi: dense optical flow between two frames, as a library on OpenCV matrices.
//
// Every function checks its arguments and reports a problem by throwing std::invalid_argument
// (an argument that can never work: empty, wrong depth, sizes or channel counts that differ) or
// std::runtime_error (a file that cannot be read or written); the message says what is wrong.
// Nothing here keeps state between calls: estimates may run at once on several threads of one
// process, and each gives the same bytes as it would alone.
//
// OpenCV's own thread pool is left as the process set it. The estimate splits its work over
// threads of its own (Options::threads); a process that runs estimates and nothing else that
// needs OpenCV's pool is faster with cv::setNumThreads(1), as the morvi program does. The result
// does not depend on either setting.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <opencv2/core.hpp>

#include "morvi/modes.h"

namespace morvi {

// Version of the library, "major.minor".
const char* Version();

struct Options {
  // Weight of the smoothness term: larger values give smoother flow fields. A finite number >= 0.
  float smoothness = 8.0f;
  // Seed of the segment motions' random sampling. With a seed the result is reproducible (and
  // equals the morvi program's with --seed); without one the sampling follows the calendar time.
  std::optional<std::uint32_t> seed;
  // Threads used inside the estimate, 1 to 1024; every core the machine reports when empty. The
  // result is the same for every count.
  std::optional<int> threads;
  // The initial flow (the program's --init).
  InitialFlow initialFlow = InitialFlow::kPyramid;
  // The variational solver (the program's --solver); the flow equals the program's with the same
  // choice.
  Solver solver = Solver::kReference;
  // The frames are shrunk by this factor before the estimate and the flow is enlarged back to their
  // size (the program's --scale): a finite number with 0 < scale <= 1; 1 resizes nothing.
  float scale = 1.0f;
};

// The optical flow from `first` to `second`: a CV_32FC2 matrix of the first frame's size whose
// element (y, x) holds (u, v), the motion in pixels (u to the right, v downwards) of the first
// frame's pixel (x, y). Frames are 8-bit grey (1 channel) or colour (3 channels, BGR), as
// cv::imread gives them; 16-bit frames are scaled to 8 bits (v / 257) and an alpha channel
// (2 or 4 channels) is dropped, as the morvi program does. Both frames must have the same size
// and channel count. The flow equals, byte for byte, the one the morvi program writes for the
// same frames, smoothness, seed, initial flow, solver and scale. Writes nothing to standard output.
cv::Mat EstimateFlow(const cv::Mat& first, const cv::Mat& second, const Options& options = {});

// The flow from `first` to `second` (as EstimateFlow) and the occlusion mask the program writes
// with --occlusions: an 8-bit one-channel matrix of the first frame's size, 255 where the first
// frame's pixel is judged hidden in the second or moving out of it, 0 elsewhere. Estimates the
// backward flow too, so it takes about twice as long as EstimateFlow.
struct FlowAndOcclusions {
  cv::Mat flow;        // CV_32FC2
  cv::Mat occlusions;  // CV_8UC1
};
FlowAndOcclusions EstimateFlowAndOcclusions(const cv::Mat& first, const cv::Mat& second,
                                            const Options& options = {});

// The flow from `first` to `second` (as EstimateFlow) and the confidence map the program writes
// with --confidence, before its rounding to 16 bits: a CV_32FC1 matrix of the first frame's size
// in [0, 1], 0 = no trust in the pixel's vector, 1 = full trust; it ranks the pixels by their
// expected endpoint error. Estimates the backward flow too, so it takes about twice as long as
// EstimateFlow.
struct FlowAndConfidence {
  cv::Mat flow;        // CV_32FC2
  cv::Mat confidence;  // CV_32FC1
};
FlowAndConfidence EstimateFlowAndConfidence(const cv::Mat& first, const cv::Mat& second,
                                            const Options& options = {});

// Reads a Middlebury .flo file into a CV_32FC2 matrix. Throws std::runtime_error when the file
// cannot be opened or is not a complete, well-formed .flo file.
cv::Mat ReadFlowFile(const std::string& path);

// Writes a CV_32FC2 flow as a .flo file (little-endian "PIEH", width, height, then u, v float
// pairs row by row). The file appears complete under its name or not at all.
void WriteFlowFile(const std::string& path, const cv::Mat& flow);

// The colour picture of a CV_32FC2 flow (CV_8UC3, BGR): the direction of motion picks the hue on
// the Middlebury colour wheel, the length relative to `scale` the saturation. Without a scale the
// picture is scaled by the largest motion inside a 10-pixel border, as the morvi program's
// pictures; a given scale must be a finite number > 0 (use one scale to compare pictures).
cv::Mat FlowToColour(const cv::Mat& flow, std::optional<float> scale = std::nullopt);

// The second frame warped back onto the first by the flow: pixel (x, y) of the result is the
// bilinear sample of `second` at (x + u, y + v), clamped into the frame. `second` is a frame as
// EstimateFlow takes it (reduced the same way) of the flow's size; the result is 8-bit with 1 or
// 3 channels, as the morvi program's warped frames.
cv::Mat WarpBack(const cv::Mat& second, const cv::Mat& flow);

// Error measures of an estimated flow against ground truth, as morvi-eval reports them. A
// ground-truth vector with |u| > 1e9, |v| > 1e9 or a NaN component is unknown and left out.
struct FlowErrors {
  double epe = 0.0;            // mean endpoint error over the scored pixels, in pixels
  double aae = 0.0;            // mean angle between (u, v, 1) and (u_gt, v_gt, 1), in degrees
  double r1 = 0.0;             // percent of known pixels with endpoint error above 1 pixel
  double r3 = 0.0;             // percent of known pixels with endpoint error above 3 pixels
  std::int64_t known = 0;      // pixels with known ground truth
  std::int64_t scored = 0;     // known pixels with a finite estimate (the EPE and AAE population)
  std::int64_t nonFinite = 0;  // known pixels whose estimate is NaN or infinite (R1/R3 outliers)
  std::int64_t unknown = 0;    // pixels whose ground truth is unknown
};

// Scores `estimate` against `groundTruth`, both CV_32FC2 of one size. A mean with no pixel to
// average is NaN.
FlowErrors EvaluateFlow(const cv::Mat& groundTruth, const cv::Mat& estimate);

}  // namespace morvi
