#include "motion/segment_motion.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <limits>
#include <stdexcept>

#include "image/parallel.h"

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
// Hypotheses are shared out among threads in runs of at least this many (a fit and a vote take
// about a microsecond, starting a thread some tens).
constexpr int kMinHypothesesPerThread = 250;
// Segments are fitted side by side in blocks of this many: the generator's starting state of each
// is kept for one block only.
constexpr size_t kSegmentBlock = 256;

static_assert(RandomGenerator::kMax == 32767, "the sampling formula maps 0..32767 onto the pixel list");

bool IsFlowImage(const ImageRef& image) { return !image.Empty() && image.Mat().type() == CV_32FC1; }

void CheckImages(const ImageRef& u, const ImageRef& v, const ImageRef& mask) {
  if (!IsFlowImage(u) || !IsFlowImage(v) || !IsFlowImage(mask) || u.Width() != v.Width() ||
      u.Height() != v.Height() || u.Width() != mask.Width() || u.Height() != mask.Height()) {
    throw std::invalid_argument("segment motion: u, v and mask must be single-channel float images of one size");
  }
}

// 1 where the pixel may be sampled for a triple: |mask| >= maskThreshold.
uint8_t IsSampleable(const ImageRef& mask, const cv::Point& p, float maskThreshold) {
  return std::fabs(mask.Row<float>(p.y)[p.x]) < maskThreshold ? 0 : 1;
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

// The pixel indices of one drawn triple.
struct Triple {
  int k[3];
};

// The best hypothesis of a run of consecutive hypotheses: the first one of the highest score.
struct RunBest {
  bool found = false;
  float score = 0.0f;
  AffineParams params;
  std::vector<cv::Point> inliers;  // kept by the reference scan only
};

// The affine model through three non-collinear pixels and their flow vectors: a0 x + a1 y + a2 = u
// and a3 x + a4 y + a5 = v at each, by Cramer's rule on the differences from the first pixel, in
// double precision.
AffineParams ExactTripleModel(const ImageRef& u, const ImageRef& v, const std::vector<cv::Point>& triple) {
  const cv::Point& p0 = triple[0];
  const double dx1 = triple[1].x - p0.x, dy1 = triple[1].y - p0.y;
  const double dx2 = triple[2].x - p0.x, dy2 = triple[2].y - p0.y;
  const double det = dx1 * dy2 - dx2 * dy1;  // non-zero: the triple is not degenerate
  const double u0 = u.Row<float>(p0.y)[p0.x];
  const double v0 = v.Row<float>(p0.y)[p0.x];
  const double du1 = u.Row<float>(triple[1].y)[triple[1].x] - u0, du2 = u.Row<float>(triple[2].y)[triple[2].x] - u0;
  const double dv1 = v.Row<float>(triple[1].y)[triple[1].x] - v0, dv2 = v.Row<float>(triple[2].y)[triple[2].x] - v0;
  const double a0 = (du1 * dy2 - du2 * dy1) / det;
  const double a1 = (dx1 * du2 - dx2 * du1) / det;
  const double a3 = (dv1 * dy2 - dv2 * dy1) / det;
  const double a4 = (dx1 * dv2 - dx2 * dv1) / det;
  AffineParams a;
  a.a0 = static_cast<float>(a0);
  a.a1 = static_cast<float>(a1);
  a.a2 = static_cast<float>(u0 - a0 * p0.x - a1 * p0.y);
  a.a3 = static_cast<float>(a3);
  a.a4 = static_cast<float>(a4);
  a.a5 = static_cast<float>(v0 - a3 * p0.x - a4 * p0.y);
  return a;
}

// Fits and votes hypotheses [begin, end) of the drawn triples in their order, as the one loop over
// all hypotheses would, but with its own running best: a hypothesis is dropped early only when it
// cannot beat an earlier one of the same run. Merging runs in their order, a later run's best
// winning only with a strictly higher score, gives the first hypothesis of the highest score
// overall, which is the one the single loop keeps.
void VoteHypotheses(const ImageRef& u, const ImageRef& v, const std::vector<cv::Point>& pixels,
                    const GatheredSegment& seg, const std::vector<Triple>& triples, int begin, int end,
                    float inlierThreshold, float bound, InlierScan scan, HypothesisFit fit, ZOptimizerLM& optimizer,
                    RunBest& best) {
  const int n = static_cast<int>(pixels.size());
  OpenCvExt::AffineCostFun cost;
  cost.SetFlow(u, v);
  std::vector<cv::Point> triple(3);
  std::vector<cv::Point> inliers;
  if (scan == InlierScan::kReference) inliers.reserve(pixels.size());
  int beatingCount = SmallestBeatingCount(0, n);

  for (int h = begin; h < end; ++h) {
    // Once no count can beat the best, no later hypothesis of the run changes anything.
    if (scan == InlierScan::kEarlyStop && beatingCount > n) break;

    // the three pixels determine the model exactly
    for (int j = 0; j < 3; ++j) triple[j] = pixels[triples[h].k[j]];
    AffineParams a;
    if (fit == HypothesisFit::kExact) {
      a = ExactTripleModel(u, v, triple);
    } else {
      cost.SetPoints(triple);
      MinimizeAffineCost(cost, a, optimizer);
    }

    // vote
    if (scan == InlierScan::kReference) {
      const float score = CollectAffineInliers(u, v, pixels, a, inlierThreshold, inliers);
      if (score > best.score) {
        best.found = true;
        best.score = score;
        best.params = a;
        best.inliers = inliers;
      }
    } else {
      const int maxMisses = scan == InlierScan::kEarlyStop ? n - beatingCount : n;
      const int count = CountAffineInliers(seg, a, bound, maxMisses);
      if (count < 0) continue;
      const float score = Fraction(count, n);
      if (score > best.score) {
        best.found = true;
        best.score = score;
        best.params = a;
        beatingCount = SmallestBeatingCount(count, n);
      }
    }
  }
}

// Draws one non-degenerate triple of sampleable pixels per hypothesis, up to kMaxSampleAttempts
// draws each, into `triples` (when not null). Returns false, having stopped, when a hypothesis
// found none.
bool DrawTriples(const std::vector<cv::Point>& pixels, const std::vector<uint8_t>& sampleable, int iterations,
                 RandomGenerator& random, std::vector<Triple>* triples) {
  const int n = static_cast<int>(pixels.size());
  if (triples != nullptr) triples->reserve(static_cast<size_t>(std::max(iterations, 0)));
  for (int iteration = 0; iteration < iterations; ++iteration) {
    bool sampled = false;
    for (int attempt = 0; attempt < kMaxSampleAttempts && !sampled; ++attempt) {
      const int k0 = DrawIndex(random, n);
      const int k1 = DrawIndex(random, n);
      const int k2 = DrawIndex(random, n);
      if (IsDegenerateTriple(pixels[k0], pixels[k1], pixels[k2])) continue;
      if (!sampleable[k0] || !sampleable[k1] || !sampleable[k2]) continue;
      if (triples != nullptr) triples->push_back(Triple{{k0, k1, k2}});
      sampled = true;
    }
    if (!sampled) return false;
  }
  return true;
}

// Advances `random` past the draws FitSegmentAffine makes for this segment.
void SkipSegmentDraws(const ImageRef& mask, const std::vector<cv::Point>& pixels, int iterations,
                      RandomGenerator& random) {
  if (static_cast<int>(pixels.size()) < kMinSegmentPixels) return;
  std::vector<uint8_t> sampleable(pixels.size());
  for (size_t i = 0; i < pixels.size(); ++i) {
    const cv::Point& p = pixels[i];
    sampleable[i] = IsSampleable(mask, p, kMaskThreshold);
  }
  DrawTriples(pixels, sampleable, iterations, random, nullptr);
}

// True when every pixel of every segment lies inside width x height and belongs to one segment
// only: then no segment's fit reads or writes a pixel of another.
bool SegmentsAreDisjoint(const SegPatchList& segments, int width, int height) {
  std::vector<uint8_t> taken(static_cast<size_t>(width) * height, 0);
  for (const auto& segment : segments) {
    for (const cv::Point& p : segment->pixels) {
      if (p.x < 0 || p.y < 0 || p.x >= width || p.y >= height) return false;
      uint8_t& cell = taken[static_cast<size_t>(p.y) * width + p.x];
      if (cell != 0) return false;
      cell = 1;
    }
  }
  return true;
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
    seg.sampleable[i] = IsSampleable(mask, p, maskThreshold);
  }
}

// The loop below vectorises; with AVX2 each step takes eight pixels instead of four. Every lane
// repeats the scalar expressions (no fused multiply-adds), so both clones count alike.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
__attribute__((target_clones("avx2", "default")))
#endif
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
                                  InlierScan scan, int threads, std::ostream* progress, HypothesisFit fit) {
  SegmentFitResult result;
  const int n = static_cast<int>(pixels.size());
  if (n < kMinSegmentPixels) return result;
  CheckImages(u, v, mask);

  GatheredSegment seg;
  GatherSegment(u, v, mask, pixels, maskThreshold, seg);

  // Draw every hypothesis's non-degenerate triple of sampleable pixels first. The draws depend on
  // nothing the votes compute, so the generator goes through exactly the sequence of the loop
  // that alternates drawing and voting, including the stop after a run of failed attempts.
  std::vector<Triple> triples;
  const bool degenerated = !DrawTriples(pixels, seg.sampleable, iterations, random, &triples);

  // Vote in runs of consecutive hypotheses, one run per thread, each with an optimizer of its own
  // (default criterion). An optimizer carries nothing from one fit to the next that changes its
  // result, so every fit is the same on every thread, and two estimates running at once in one
  // process share no optimizer.
  const int hypotheses = static_cast<int>(triples.size());
  const int runCount = std::clamp(hypotheses / kMinHypothesesPerThread, 1, std::max(1, threads));
  std::vector<RunBest> runBest(static_cast<size_t>(runCount));
  const float bound = SquaredInlierBound(inlierThreshold);
  auto runBound = [&](int r) { return static_cast<int>(static_cast<int64_t>(hypotheses) * r / runCount); };
  ParallelFor(runCount, runCount, [&](int firstRun, int endRun) {
    for (int r = firstRun; r < endRun; ++r) {
      ZOptimizerLM optimizer;
      VoteHypotheses(u, v, pixels, seg, triples, runBound(r), runBound(r + 1), inlierThreshold, bound, scan, fit,
                     optimizer, runBest[static_cast<size_t>(r)]);
    }
  });

  RunBest best;
  for (RunBest& run : runBest) {
    if (run.score > best.score) best = std::move(run);
  }

  if (degenerated) {
    if (progress) *progress << "Degenerated" << std::endl;
    result.bestScore = best.score;
    result.degenerated = true;
    return result;
  }

  result.bestScore = best.score;
  if (forceWrite || best.score > acceptFraction) {
    // refit to every pixel that supported the best hypothesis
    std::vector<cv::Point> bestInliers;
    if (scan == InlierScan::kReference) {
      bestInliers = std::move(best.inliers);
    } else if (best.found) {
      ListInliers(seg, pixels, best.params, bound, bestInliers);
    }
    OpenCvExt::AffineCostFun cost;
    cost.SetFlow(u, v);
    cost.SetPoints(bestInliers);
    MinimizeAffineCost(cost, result.params);
    WriteSegmentFlow(u, v, pixels, mask, result.params, maskThreshold);
    result.written = true;
  }
  return result;
}

void FitSegmentMotions(const SegPatchList& segments, const ImageRef& u, const ImageRef& v, const ImageRef& mask,
                       bool forceWrite, std::optional<uint32_t> seed, InlierScan scan, int threads,
                       std::ostream* progress, HypothesisFit fit) {
  CheckImages(u, v, mask);
  RandomGenerator random(seed ? *seed : CalendarSeed());
  const int iterations = forceWrite ? kForcedIterations : kIterations;
  const bool nullRecord =
      std::any_of(segments.begin(), segments.end(), [](const auto& segment) { return !segment; });
  if (threads <= 1 || segments.size() < 2 || nullRecord ||
      !SegmentsAreDisjoint(segments, u.Width(), u.Height())) {
    for (size_t i = 0; i < segments.size(); ++i) {
      if (!segments[i]) throw std::invalid_argument("FitSegmentMotions: null segment record");
      FitSegmentAffine(u, v, segments[i]->pixels, mask, kMaskThreshold, forceWrite, iterations, kInlierThreshold,
                       kAcceptFraction, random, scan, threads, progress, fit);
      if (progress && i % kProgressEvery == 0) *progress << '.' << std::flush;
    }
    return;
  }

  // Disjoint segments: a fit reads and writes its own pixels only, and its hypotheses depend on
  // nothing but the generator's state when its draws begin. So, block by block, the generator
  // goes once through every segment's draws, keeping each starting state, and then the segments
  // are fitted on the threads, each from its own state, with the same result as one after the
  // other. A segment holding most of its block's pixels is fitted first with the hypotheses
  // shared out instead. Progress is written afterwards, in segment order.
  const size_t count = segments.size();
  for (size_t blockBegin = 0; blockBegin < count; blockBegin += kSegmentBlock) {
    const size_t blockEnd = std::min(count, blockBegin + kSegmentBlock);
    std::vector<RandomGenerator> starts;
    starts.reserve(blockEnd - blockBegin);
    size_t blockPixels = 0;
    for (size_t i = blockBegin; i < blockEnd; ++i) {
      starts.push_back(random);
      SkipSegmentDraws(mask, segments[i]->pixels, iterations, random);
      blockPixels += segments[i]->pixels.size();
    }
    std::vector<uint8_t> degenerated(blockEnd - blockBegin, 0);
    std::vector<uint8_t> done(blockEnd - blockBegin, 0);
    auto fitSegment = [&](size_t i, int fitThreads) {
      RandomGenerator own = starts[i - blockBegin];
      const SegmentFitResult result =
          FitSegmentAffine(u, v, segments[i]->pixels, mask, kMaskThreshold, forceWrite, iterations, kInlierThreshold,
                           kAcceptFraction, own, scan, fitThreads, nullptr, fit);
      degenerated[i - blockBegin] = result.degenerated ? 1 : 0;
      done[i - blockBegin] = 1;
    };
    for (size_t i = blockBegin; i < blockEnd; ++i) {
      if (2 * segments[i]->pixels.size() > blockPixels) fitSegment(i, threads);
    }
    ParallelTasks(static_cast<int>(blockEnd - blockBegin), threads, [&](int k) {
      if (!done[static_cast<size_t>(k)]) fitSegment(blockBegin + static_cast<size_t>(k), 1);
    });
    for (size_t i = blockBegin; i < blockEnd && progress != nullptr; ++i) {
      if (degenerated[i - blockBegin]) *progress << "Degenerated" << std::endl;
      if (i % kProgressEvery == 0) *progress << '.' << std::flush;
    }
  }
}

void FitSegmentMotions(const SegPatchList& segments, const ImageRef& u, const ImageRef& v, const ImageRef& mask,
                       bool forceWrite, std::optional<uint32_t> seed, int threads, std::ostream* progress) {
  FitSegmentMotions(segments, u, v, mask, forceWrite, seed, InlierScan::kEarlyStop, threads, progress);
}
