// How far each vector of a pair's flow can be trusted: a per-pixel map in [0, 1] (1 = full
// trust) that ranks the pixels by their expected endpoint error. The expected error is a fixed
// weighted sum of the logarithms of cheap signals of the forward and backward flows and the
// frames, smoothed a little; the weights were chosen by measurement (bench/tune_confidence.cpp).
#pragma once

#include <array>

#include <opencv2/core.hpp>

#include "image/image_ref.h"
#include "morvi/modes.h"

// The signals, each a CV_32FC1 plane of the frames' size, each large where the flow is doubtful.
enum ConfidenceSignal {
  kForwardBackward,  // |w(x) + w_b(x + w(x))|, pixels: the backward flow does not lead back
  kOutside,          // how far x + w(x) lies beyond the frame, pixels (0 inside)
  kResidual,         // colour distance between the first frame at x and the second at x + w(x), grey levels
  kVariation,        // |grad u| + |grad v| by central differences: motion boundaries and unstable fields
  kTexturelessness,  // t / (t + lambda_min), lambda_min the smaller eigenvalue of the first frame's structure
                     // tensor: 1 on flat ground, towards 0 where every direction has texture
  kRevision,         // |w - w_0|, how far the segment motions and the final pass moved the initial flow
  kMagnitude,        // |w|, pixels: long motions err by more
  kDisagreement,     // |w - w_DIS|, pixels: how far an independent quick estimate (DIS, medium preset, on
                     // the grey frames) lies from the flow; 0 on frames under 32 pixels a side
  kRegionalForwardBackward,  // the forward-backward distance averaged over a wide Gaussian window: a
                             // region whose flow fails is wrong also where it happens to lead back
  kMatchedStart,             // |w - w_M|, pixels: the distance to the matched start (sparse matches
                             // interpolated along edges); after the pyramid's start an independent
                             // estimate that does not lose fast objects, after the matched start
                             // how far the estimate moved it. 0 where there is none
  kSignalCount
};

// The parameters of the map; the initial values are those bench/tune_confidence.cpp chose for the
// estimates from the pyramid's start on the shared Middlebury and Sintel pairs (reference solver).
struct ConfidenceParams {
  // Weights of the signals in the expected error, in the order of ConfidenceSignal. After the
  // pyramid's start the distance to the matched start weighs most: where the pyramid lost a fast
  // object the two end far apart. The revision and the regional distance measured no gain beside
  // the others (0).
  std::array<float, kSignalCount> weights = {1.0f, 0.105f, 0.28f, 1.2f, 0.56f, 0.0f, 0.14f, 0.25f, 0.0f, 2.1f};
  // Sum the weighted logarithms log(1 + s) of the signals instead of the signals: errors that grow
  // as a product of their causes (measured better than the plain sum).
  bool logarithmic = true;
  // Standard deviation of the Gaussian that smooths the weighted sum (pixels; 0 = none): an error
  // spreads over a neighbourhood, a single signal pixel is noisy.
  float smoothingSigma = 1.5f;
  // Structure tensor: Gaussian window (pixels) and the texture scale t (squared grey levels per
  // pixel squared) against which lambda_min counts as texture.
  float tensorSigma = 0.5f;
  float textureScale = 1.5625f;
  // Standard deviation of the window of the regional forward-backward distance (pixels).
  float regionSigma = 8.0f;
  // Compute every signal, also those of weight 0 (for the search that chooses the weights).
  bool computeAll = false;
};

// The parameters bench/tune_confidence.cpp chose for the estimates from this initial flow: after
// the pyramid's start ConfidenceParams' initial values; after the matched start (and the fused
// one, mostly the matched start) a set of its own, in which the matched start is the initial flow
// and its distance a revision.
ConfidenceParams ConfidenceParamsFor(morvi::InitialFlow initialFlow);

// The signals of the flow (u, v) from `first` to `second`, its backward flow (backU, backV), the
// initial flow (initialU, initialV) the final flow started from and the matched start (matchedU,
// matchedV; empty when there is none); 8-bit frames of 1 or 3 (BGR) channels and float flow
// planes, all of one size. A non-finite vector gives non-finite signals.
// The signals that cost samples, a wide blur or an estimate of their own (the colour residual,
// the regional distance, the distance to the quick estimate) are left at 0 when they weigh 0,
// unless params.computeAll. Up to `threads` threads share the pixels and run the quick estimate
// beside them; the signals are the same for every count. A caller that has the quick estimate
// already (MatchedStart::quickFlow) passes it as `quickFlow`.
std::array<cv::Mat, kSignalCount> ComputeConfidenceSignals(const ImageRef& first, const ImageRef& second,
                                                           const ImageRef& u, const ImageRef& v,
                                                           const ImageRef& backU, const ImageRef& backV,
                                                           const ImageRef& initialU, const ImageRef& initialV,
                                                           const ImageRef& matchedU, const ImageRef& matchedV,
                                                           const ConfidenceParams& params, int threads = 1,
                                                           const cv::Mat& quickFlow = cv::Mat());

// The map from the signals: 1 / (1 + e), e the smoothed weighted sum (of log(1 + s) with
// params.logarithmic); 0 where a signal is not finite. CV_32FC1 in [0, 1].
cv::Mat CombineConfidenceSignals(const std::array<cv::Mat, kSignalCount>& signals, const ConfidenceParams& params,
                                 int threads = 1);

// Both steps with the given parameters. The result depends on its inputs only (not on the thread
// count): every pass treats each pixel alone or is an OpenCV filter of fixed arithmetic.
cv::Mat EstimateConfidenceMap(const ImageRef& first, const ImageRef& second, const ImageRef& u, const ImageRef& v,
                              const ImageRef& backU, const ImageRef& backV, const ImageRef& initialU,
                              const ImageRef& initialV, const ImageRef& matchedU, const ImageRef& matchedV,
                              const ConfidenceParams& params, int threads = 1, const cv::Mat& quickFlow = cv::Mat());

// The map as the 16-bit grey picture the program writes: round(c * 65535).
cv::Mat ConfidenceTo16Bit(const cv::Mat& confidence);
