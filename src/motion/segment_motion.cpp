#include "motion/segment_motion.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <limits>
#include <stdexcept>

namespace {

constexpr int kMinSegmentPixels = 200;   // below this a segment carries too little evidence for six parameters
constexpr int kMaxSampleAttempts = 60;   // draws before a segment counts as degenerate
constexpr float kMaskThreshold = 0.5f;   // |mask| >= 0.5 may be sampled, mask < 0.5 may be overwritten
constexpr int kIterations = 2000;        // hypotheses per segment
constexpr int kForcedIterations = 1000;  // hypotheses when the model is written anyway
constexpr float kInlierThreshold = 0.3f;  // pixels: a vector this close to the model supports it
constexpr float kAcceptFraction = 0.6f;   // the model must explain more than this share of the segment
constexpr size_t kProgressEvery = 100;    // one progress dot per this many segments
constexpr double kRandomRange = 32767.0;  // largest value of RandomGenerator::Next
constexpr int kCountChunk = 64;           // pixels counted between two checks of the early stop

static_assert(RandomGenerator::kMax == 32767, "the sampling formula maps 0..32767 onto the pixel list");

bool IsFlowImage(const ImageRef& image) { return !image.Empty() && image.Mat().type() == CV_32FC1; }

void CheckImages(const ImageRef& u, const ImageRef& v, const ImageRef& mask) {
  if (!IsFlowImage(u) || !IsFlowImage(v) || !IsFlowImage(mask) || u.Width() != v.Width() ||
      u.Height() != v.Height() || u.Width() != mask.Width() || u.Height() != mask.Height()) {
    throw std::invalid_argument("segment motion: u, v and mask must be single-channel float images of one size");
  }
}

// Index into a list of n pixels from a value in 0..32767; the largest value maps onto n - 1.
int DrawIndex(RandomGenerator& random, int n) {
  const int r = random.Next();
  return static_cast<int>(r / kRandomRange * (n - 1));
}

float Fraction(int count, int n) { return static_cast<float>(count) / static_cast<float>(n); }

// The smallest inlier count whose fraction is strictly above that of bestCount (n + 1 if none).
// The fraction never decreases with the count, so every count below the result loses.
int SmallestBeatingCount(int bestCount, int n) {
  const float best = Fraction(bestCount, n);
  int count = bestCount + 1;
  while (count <= n && !(Fraction(count, n) > best)) ++count;
  return count;
}

void ListInliers(const GatheredSegment& seg, const std::vector<cv::Point>& pixels, const AffineParams& a,
                 float bound, std::vector<cv::Point>& inliers) {
  inliers.clear();
  for (size_t i = 0; i < pixels.size(); ++i) {
    const float du = seg.u[i] - (a.a0 * seg.x[i] + a.a1 * seg.y[i] + a.a2);
    const float dv = seg.v[i] - (a.a3 * seg.x[i] + a.a4 * seg.y[i] + a.a5);
    if (du * du + dv * dv < bound) inliers.push_back(pixels[i]);
  }
}

}  // namespace

void GatherSegment(const ImageRef& u, const ImageRef& v, const ImageRef& mask, const std::vector<cv::Point>& pixels,
                   float maskThreshold, GatheredSegment& seg) {
  const size_t n = pixels.size();
  seg.x.resize(n);
  seg.y.resize(n);
  seg.u.resize(n);
  seg.v.resize(n);
  seg.sampleable.resize(n);
  for (size_t i = 0; i < n; ++i) {
    const cv::Point& p = pixels[i];
    if (p.x < 0 || p.y < 0 || p.x >= u.Width() || p.y >= u.Height()) {
      throw std::invalid_argument("segment motion: segment pixel outside the flow images");
    }
    seg.x[i] = static_cast<float>(p.x);
    seg.y[i] = static_cast<float>(p.y);
    seg.u[i] = u.Row<float>(p.y)[p.x];
    seg.v[i] = v.Row<float>(p.y)[p.x];
    seg.sampleable[i] = std::fabs(mask.Row<float>(p.y)[p.x]) < maskThreshold ? 0 : 1;
  }
}

int CountAffineInliers(const GatheredSegment& seg, const AffineParams& a, float squaredBound, int maxMisses) {
  const int n = static_cast<int>(seg.x.size());
  const float* xs = seg.x.data();
  const float* ys = seg.y.data();
  const float* us = seg.u.data();
  const float* vs = seg.v.data();
  int count = 0;
  for (int start = 0; start < n; start += kCountChunk) {
    const int end = std::min(start + kCountChunk, n);
    int chunkCount = 0;
    for (int i = start; i < end; ++i) {
      // the same single-precision expressions as AffineResidual, compared without the root
      const float du = us[i] - (a.a0 * xs[i] + a.a1 * ys[i] + a.a2);
      const float dv = vs[i] - (a.a3 * xs[i] + a.a4 * ys[i] + a.a5);
      chunkCount += (du * du + dv * dv < squaredBound) ? 1 : 0;
    }
    // checked per chunk so that the inner loop stays branch-free; the last chunk is checked too
    count += chunkCount;
    if (end - count > maxMisses) return -1;
  }
  return count;
}

bool IsDegenerateTriple(const cv::Point& p0, const cv::Point& p1, const cv::Point& p2) {
  // twice the signed area of the triangle, exact in 64-bit integers
  const int64_t x0 = p0.x, y0 = p0.y, x1 = p1.x, y1 = p1.y, x2 = p2.x, y2 = p2.y;
  const int64_t d = (y1 - y2) * (x0 - x1) - (x1 - x2) * (y0 - y1);
  return d == 0;
}

float AffineResidual(const ImageRef& u, const ImageRef& v, const AffineParams& a, int x, int y) {
  const float du = u.Row<float>(y)[x] - (a.a0 * x + a.a1 * y + a.a2);
  const float dv = v.Row<float>(y)[x] - (a.a3 * x + a.a4 * y + a.a5);
  return std::sqrt(du * du + dv * dv);
}

float CollectAffineInliers(const ImageRef& u, const ImageRef& v, const std::vector<cv::Point>& pixels,
                           const AffineParams& a, float inlierThreshold, std::vector<cv::Point>& inliers) {
  inliers.clear();
  for (const cv::Point& p : pixels) {
    if (inlierThreshold > AffineResidual(u, v, a, p.x, p.y)) inliers.push_back(p);
  }
  if (pixels.empty()) return 0.0f;
  return Fraction(static_cast<int>(inliers.size()), static_cast<int>(pixels.size()));
}

void WriteSegmentFlow(const ImageRef& u, const ImageRef& v, const std::vector<cv::Point>& pixels,
                      const ImageRef& mask, const AffineParams& a, float maskThreshold) {
  for (const cv::Point& p : pixels) {
    if (mask.Row<float>(p.y)[p.x] < maskThreshold) {
      u.Row<float>(p.y)[p.x] = a.a0 * p.x + a.a1 * p.y + a.a2;
      v.Row<float>(p.y)[p.x] = a.a3 * p.x + a.a4 * p.y + a.a5;
    }
  }
}

float SquaredInlierBound(float inlierThreshold) {
  const float t = inlierThreshold;
  if (!(t > 0.0f)) return 0.0f;  // no residual is below a non-positive (or NaN) threshold
  const float inf = std::numeric_limits<float>::infinity();
  if (t == inf) return inf;
  // The correctly rounded root is monotone, so {q : sqrtf(q) < t} is the set of floats below the
  // first q whose root reaches t. Start from t^2 and walk to that boundary one float at a time.
  float q = t * t;
  if (std::sqrt(q) >= t) {
    while (q > 0.0f && std::sqrt(std::nextafter(q, 0.0f)) >= t) q = std::nextafter(q, 0.0f);
  } else {
    while (std::sqrt(q) < t) q = std::nextafter(q, inf);
  }
  return q;
}

SegmentFitResult FitSegmentAffine(const ImageRef& u, const ImageRef& v, const std::vector<cv::Point>& pixels,
                                  const ImageRef& mask, float maskThreshold, bool forceWrite, int iterations,
                                  float inlierThreshold, float acceptFraction, RandomGenerator& random,
                                  InlierScan scan) {
  SegmentFitResult result;
  const int n = static_cast<int>(pixels.size());
  if (n < kMinSegmentPixels) return result;
  CheckImages(u, v, mask);

  GatheredSegment seg;
  GatherSegment(u, v, mask, pixels, maskThreshold, seg);

  OpenCvExt::AffineCostFun cost;
  cost.SetFlow(u, v);
  std::vector<cv::Point> triple(3);
  std::vector<cv::Point> inliers;
  std::vector<cv::Point> bestInliers;
  inliers.reserve(pixels.size());
  bestInliers.reserve(pixels.size());

  const float bound = SquaredInlierBound(inlierThreshold);
  float bestScore = 0.0f;
  int beatingCount = SmallestBeatingCount(0, n);

  for (int iteration = 0; iteration < iterations; ++iteration) {
    // draw a non-degenerate triple of sampleable pixels
    bool sampled = false;
    for (int attempt = 0; attempt < kMaxSampleAttempts && !sampled; ++attempt) {
      const int k0 = DrawIndex(random, n);
      const int k1 = DrawIndex(random, n);
      const int k2 = DrawIndex(random, n);
      if (IsDegenerateTriple(pixels[k0], pixels[k1], pixels[k2])) continue;
      if (!seg.sampleable[k0] || !seg.sampleable[k1] || !seg.sampleable[k2]) continue;
      triple[0] = pixels[k0];
      triple[1] = pixels[k1];
      triple[2] = pixels[k2];
      sampled = true;
    }
    if (!sampled) {
      std::cout << "Degenerated" << std::endl;
      result.bestScore = bestScore;
      result.degenerated = true;
      return result;
    }

    // Once no count can beat the best, a hypothesis changes nothing; only the draws above still
    // matter (a later run of failed attempts still cancels the segment).
    if (scan == InlierScan::kEarlyStop && beatingCount > n) continue;

    // the three pixels determine the model exactly
    cost.SetPoints(triple);
    AffineParams a;
    MinimizeAffineCost(cost, a);

    // vote
    if (scan == InlierScan::kReference) {
      const float score = CollectAffineInliers(u, v, pixels, a, inlierThreshold, inliers);
      if (score > bestScore) {
        bestScore = score;
        bestInliers = inliers;
      }
    } else {
      const int maxMisses = scan == InlierScan::kEarlyStop ? n - beatingCount : n;
      const int count = CountAffineInliers(seg, a, bound, maxMisses);
      if (count < 0) continue;
      const float score = Fraction(count, n);
      if (score > bestScore) {
        bestScore = score;
        ListInliers(seg, pixels, a, bound, bestInliers);
        beatingCount = SmallestBeatingCount(count, n);
      }
    }
  }

  result.bestScore = bestScore;
  if (forceWrite || bestScore > acceptFraction) {
    // refit to every pixel that supported the best hypothesis
    cost.SetPoints(bestInliers);
    MinimizeAffineCost(cost, result.params);
    WriteSegmentFlow(u, v, pixels, mask, result.params, maskThreshold);
    result.written = true;
  }
  return result;
}

void FitSegmentMotions(const SegPatchList& segments, const ImageRef& u, const ImageRef& v, const ImageRef& mask,
                       bool forceWrite, std::optional<uint32_t> seed, InlierScan scan) {
  CheckImages(u, v, mask);
  RandomGenerator random(seed ? *seed : CalendarSeed());
  const int iterations = forceWrite ? kForcedIterations : kIterations;
  for (size_t i = 0; i < segments.size(); ++i) {
    if (!segments[i]) throw std::invalid_argument("FitSegmentMotions: null segment record");
    FitSegmentAffine(u, v, segments[i]->pixels, mask, kMaskThreshold, forceWrite, iterations, kInlierThreshold,
                     kAcceptFraction, random, scan);
    if (i % kProgressEvery == 0) std::cout << '.' << std::flush;
  }
}

void FitSegmentMotions(const SegPatchList& segments, const ImageRef& u, const ImageRef& v, const ImageRef& mask,
                       bool forceWrite, std::optional<uint32_t> seed) {
  FitSegmentMotions(segments, u, v, mask, forceWrite, seed, InlierScan::kEarlyStop);
}
