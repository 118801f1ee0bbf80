// Robust affine motion per segment: random triples, Levenberg-Marquardt fits, inlier voting.
#pragma once

#include <cstdint>
#include <iostream>
#include <optional>
#include <vector>

#include <opencv2/core.hpp>

#include "image/image_ref.h"
#include "motion/affine_cost.h"
#include "motion/random.h"
#include "segmentation/seg_patch.h"

// How a hypothesis's inliers are counted. All three give identical results; they differ in speed.
enum class InlierScan {
  kReference,  // CollectAffineInliers over the images for every hypothesis
  kComplete,   // count over the segment's gathered pixels, every pixel visited
  kEarlyStop,  // as kComplete, but a hypothesis is dropped once it can no longer beat the best
};

// How a hypothesis's model is fitted to its three pixels. kOptimizer minimises the squared
// residuals by Levenberg-Marquardt as the final refit does (the reference); kExact solves the two
// 3 x 3 systems the three pixels determine, by Cramer's rule in double precision: the same model up
// to rounding, without the optimizer's iterations (the fast solver's choice).
enum class HypothesisFit { kOptimizer, kExact };

// A segment's pixels and flow vectors in contiguous arrays, gathered once per segment so that the
// inlier counts of all hypotheses stream through memory instead of chasing image rows.
struct GatheredSegment {
  std::vector<float> x, y;          // coordinates as the model sees them (int -> float is exact)
  std::vector<float> u, v;          // flow at the pixel
  std::vector<uint8_t> sampleable;  // |mask| >= maskThreshold
};

// What FitSegmentAffine found for one segment.
struct SegmentFitResult {
  float bestScore = 0.0f;    // best inlier fraction over the hypotheses drawn
  bool degenerated = false;  // no usable triple within the sampling attempts
  bool written = false;      // the refitted model was written into the flow
  AffineParams params;       // the refitted model when written
};

// Fits an affine motion to every segment of at least 200 pixels and writes it into u and v where
// more than 60 % of the segment's pixels agree within 0.3 pixel (always when forceWrite). A pixel
// is sampled only when |mask| >= 0.5 and overwritten only when mask < 0.5. Without a seed the
// sampling generator is seeded from the calendar time. The segments draw their triples one after
// the other from the one generator; disjoint segments are then fitted side by side on `threads`
// threads (one holding most pixels with its hypotheses shared out), overlapping ones one after the
// other, with the same result for every count. One "." per hundred segments (and "Degenerated" lines) go to
// `progress`; nothing is written when it is null.
void FitSegmentMotions(const SegPatchList& segments, const ImageRef& u, const ImageRef& v, const ImageRef& mask,
                       bool forceWrite, std::optional<uint32_t> seed = std::nullopt, int threads = 1,
                       std::ostream* progress = &std::cout);
// The same with a chosen inlier scan (the overload above uses InlierScan::kEarlyStop).
// `fit` chooses how the hypotheses are fitted (the refit to the best one's inliers is always the
// optimizer's).
void FitSegmentMotions(const SegPatchList& segments, const ImageRef& u, const ImageRef& v, const ImageRef& mask,
                       bool forceWrite, std::optional<uint32_t> seed, InlierScan scan, int threads = 1,
                       std::ostream* progress = &std::cout, HypothesisFit fit = HypothesisFit::kOptimizer);

// Robust fit for one segment. Segments below 200 pixels are left alone. Every iteration draws a
// non-degenerate triple of sampleable pixels (|mask| >= maskThreshold; up to 60 attempts, else
// "Degenerated" is written to `progress` and nothing is written into the flow), fits the model to it and scores it by the
// fraction of pixels whose residual is strictly below inlierThreshold. When the best fraction is
// strictly above acceptFraction (or forceWrite), the model is refitted to the best hypothesis's
// inliers and written where mask < maskThreshold. u, v and mask are single-channel float images
// of one size holding every pixel of the list. The triples are drawn first, in the order of the
// hypotheses; the fits and votes then run in runs of consecutive hypotheses on up to `threads`
// threads, each run with an optimizer of its own. The first hypothesis of the highest score wins, so the result is the same for every count.
SegmentFitResult FitSegmentAffine(const ImageRef& u, const ImageRef& v, const std::vector<cv::Point>& pixels,
                                  const ImageRef& mask, float maskThreshold, bool forceWrite, int iterations,
                                  float inlierThreshold, float acceptFraction, RandomGenerator& random,
                                  InlierScan scan = InlierScan::kEarlyStop, int threads = 1,
                                  std::ostream* progress = &std::cout, HypothesisFit fit = HypothesisFit::kOptimizer);

// True when the three points are collinear or two of them coincide.
bool IsDegenerateTriple(const cv::Point& p0, const cv::Point& p1, const cv::Point& p2);

// Length of the difference between the flow at (x, y) and the model's prediction, in single
// precision.
float AffineResidual(const ImageRef& u, const ImageRef& v, const AffineParams& a, int x, int y);

// Replaces `inliers` by the pixels (in list order) whose residual is strictly below
// inlierThreshold and returns their number divided by the list length (0 for an empty list).
float CollectAffineInliers(const ImageRef& u, const ImageRef& v, const std::vector<cv::Point>& pixels,
                           const AffineParams& a, float inlierThreshold, std::vector<cv::Point>& inliers);

// Writes the model's prediction into u and v at every pixel of the list whose mask value is
// strictly below maskThreshold.
void WriteSegmentFlow(const ImageRef& u, const ImageRef& v, const std::vector<cv::Point>& pixels,
                      const ImageRef& mask, const AffineParams& a, float maskThreshold);

// Fills `seg` from the pixel list; throws std::invalid_argument for a pixel outside the images.
void GatherSegment(const ImageRef& u, const ImageRef& v, const ImageRef& mask, const std::vector<cv::Point>& pixels,
                   float maskThreshold, GatheredSegment& seg);

// Counts the pixels whose squared residual du^2 + dv^2 (single precision, the expressions of
// AffineResidual) is below squaredBound = SquaredInlierBound(inlierThreshold), which decides
// exactly as CollectAffineInliers. Returns -1 instead once more than maxMisses pixels have failed,
// that is exactly when the count would end below (pixel count - maxMisses).
int CountAffineInliers(const GatheredSegment& seg, const AffineParams& a, float squaredBound, int maxMisses);

// The smallest float q with sqrtf(q) >= inlierThreshold, so that for every float q >= 0 (and NaN)
// q < bound decides exactly as sqrtf(q) < inlierThreshold. Non-positive or NaN thresholds give 0.
float SquaredInlierBound(float inlierThreshold);
