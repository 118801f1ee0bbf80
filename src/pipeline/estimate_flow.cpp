#include "pipeline/estimate_flow.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <future>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>

#include <opencv2/imgproc.hpp>

#include "image/parallel.h"
#include "motion/segment_motion.h"
#include "pipeline/confidence_map.h"
#include "pipeline/fused_initial_flow.h"
#include "pipeline/initial_flow.h"
#include "pipeline/matched_initial_flow.h"
#include "pipeline/occlusion_mask.h"
#include "segmentation/seg_patch.h"
#include "segmentation/segment_image.h"

namespace {

constexpr float kSegmentMaskValue = -2.0f;  // every pixel may be sampled and overwritten
constexpr int kSmallFrameSide = 350;        // frames up to 350 x 350 get a smoother final pass
// Frames up to this many pixels (a little over 1280 x 720) have their two directions estimated side
// by side when there are threads for both.
constexpr int64_t kSideBySideMaxPixels = int64_t{1} << 20;

// The final flow (u, v) from `first` to `second` and the initial flow it started from. A matched
// start that falls back to the pyramid adds its reason to `notes`. Threads lent through
// `refineLent` (the other direction's, once it is done) join the steps after the initial flow.
void EstimateOneWay(const ImageRef& first, const ImageRef& second, const EstimateOptions& options,
                    std::ostream* progress, ImageRef& initialU, ImageRef& initialV, ImageRef& u, ImageRef& v,
                    std::vector<std::string>& notes, const std::atomic<int>* refineLent) {
  const int width = first.Width();
  const int height = first.Height();

  // 1. Colour segments of the first frame. They do not depend on the flow: with two threads or
  //    more and frames of moderate size they are found beside the initial flow (on one thread
  //    beside the pyramid; on all beside the matched start's interpolation, which runs on one,
  //    once the keypoints and DIS flows have had all threads), the fused start waiting for them
  //    only where it compares the candidates. Both results are the same at every thread count.
  ImageRef labels = CreateInt(width, height, 1);
  SegPatchList segments;
  ImageRef frameCopy = CloneByte(first);
  auto segment = [&](int threads) {
    SegmentImage(frameCopy, labels, segments, options.minRegion, options.sigmaS, options.sigmaR, threads,
                 SegmentationSpeedUp(options));
  };
  const bool sideBySide =
      options.threads >= 2 && static_cast<int64_t>(width) * height <= kSideBySideMaxPixels;
  const bool matchesFirst = options.initialFlow == morvi::InitialFlow::kMatches;
  EstimateOptions flowOptions = options;
  std::future<void> segmentation;
  // The pyramid's later levels take the segmentation's thread once it is free.
  std::atomic<int> lentThreads{0};
  const auto startSegmentation = [&]() {
    if (!sideBySide || segmentation.valid()) return;
    const int segmentThreads = matchesFirst ? options.threads : 1;
    segmentation = std::async(std::launch::async, [&segment, &lentThreads, segmentThreads]() {
      segment(segmentThreads);
      lentThreads.store(1, std::memory_order_release);
    });
  };
  if (sideBySide) {
    flowOptions.threads = options.threads - 1;
    if (!matchesFirst) startSegmentation();
  }

  // The segments once they are there: the side-by-side run's result, or found here.
  bool segmented = false;
  auto awaitSegments = [&]() -> const ImageRef& {
    if (!segmented) {
      if (segmentation.valid()) {
        segmentation.get();
      } else {
        segment(options.threads);
      }
      segmented = true;
    }
    return labels;
  };

  // 2. Initial flow: interpolated matches, coarse to fine, or both fused over the segments.
  try {
    if (options.initialFlow == morvi::InitialFlow::kFused) {
      EstimateFusedInitialFlow(first, second, awaitSegments, flowOptions, sideBySide, progress, initialU, initialV,
                               notes);
    } else {
      bool matched = false;
      if (options.initialFlow == morvi::InitialFlow::kMatches) {
        const MatchedStart start = EstimateMatchedStart(first, second, options.threads, startSegmentation);
        startSegmentation();  // frames too small to match
        matched = start.matched;
        if (matched) {
          initialU = start.u;
          initialV = start.v;
          if (progress != nullptr) *progress << "Processing " << std::flush;  // the line the pyramid would start
        } else {
          notes.push_back(start.reason + "; this pair starts from the pyramid");
        }
      }
      if (!matched) EstimateInitialFlow(first, second, initialU, initialV, flowOptions, progress, &lentThreads);
    }
  } catch (...) {
    if (segmentation.valid()) segmentation.wait();
    throw;
  }
  awaitSegments();
  // the segments hold their pixels: the label image and the frame's copy are not needed beside the final pass
  labels = ImageRef();
  frameCopy = ImageRef();

  // 3.-10. Segment motions and the final pass.
  RefineInitialFlow(first, second, segments, initialU, initialV, options, progress, u, v, refineLent);
}

// A new frame of width x height, area-averaged from `frame` (the anti-aliased shrink).
ImageRef ShrinkFrame(const ImageRef& frame, int width, int height) {
  cv::Mat shrunk;
  cv::resize(frame.Mat(), shrunk, cv::Size(width, height), 0.0, 0.0, cv::INTER_AREA);
  return ImageRef(shrunk);
}

// A flow component estimated on the shrunk frames, brought to width x height: bilinear
// enlargement, then the displacement measured in full-size pixels (times the ratio of the sides
// along its axis).
ImageRef EnlargeFlow(const ImageRef& component, int width, int height, double ratio) {
  cv::Mat enlarged;
  cv::resize(component.Mat(), enlarged, cv::Size(width, height), 0.0, 0.0, cv::INTER_LINEAR);
  enlarged *= ratio;
  return ImageRef(enlarged);
}

// EstimateOneWay on the frames shrunk to the estimate's scale, its flows enlarged to the frames' size.
void EstimateOneWayScaled(const ImageRef& first, const ImageRef& second, const EstimateOptions& options,
                          std::ostream* progress, ImageRef& initialU, ImageRef& initialV, ImageRef& u, ImageRef& v,
                          std::vector<std::string>& notes, const std::atomic<int>* refineLent = nullptr) {
  if (options.scale == 1.0f) {
    EstimateOneWay(first, second, options, progress, initialU, initialV, u, v, notes, refineLent);
    return;
  }
  const int width = first.Width();
  const int height = first.Height();
  const int scaledWidth = ScaledSide(width, options.scale);
  const int scaledHeight = ScaledSide(height, options.scale);
  ImageRef smallInitialU, smallInitialV, smallU, smallV;
  EstimateOneWay(ShrinkFrame(first, scaledWidth, scaledHeight), ShrinkFrame(second, scaledWidth, scaledHeight),
                 options, progress, smallInitialU, smallInitialV, smallU, smallV, notes, refineLent);
  const double ratioX = static_cast<double>(width) / scaledWidth;
  const double ratioY = static_cast<double>(height) / scaledHeight;
  initialU = EnlargeFlow(smallInitialU, width, height, ratioX);
  initialV = EnlargeFlow(smallInitialV, width, height, ratioY);
  u = EnlargeFlow(smallU, width, height, ratioX);
  v = EnlargeFlow(smallV, width, height, ratioY);
}

}  // namespace

int ScaledSide(int side, float scale) {
  return std::max(1, static_cast<int>(std::lround(static_cast<double>(side) * scale)));
}

FilterSpeedUp SegmentationSpeedUp(const EstimateOptions& options) {
  return options.solver == morvi::Solver::kFast ? FilterSpeedUp::kNeighbours : FilterSpeedUp::kTrajectories;
}

HypothesisFit SegmentMotionFit(const EstimateOptions& options) {
  return options.solver == morvi::Solver::kFast ? HypothesisFit::kExact : HypothesisFit::kOptimizer;
}

void RefineInitialFlow(const ImageRef& first, const ImageRef& second, SegPatchList& segments,
                       const ImageRef& initialU, const ImageRef& initialV, const EstimateOptions& options,
                       std::ostream* progress, ImageRef& u, ImageRef& v, const std::atomic<int>* lentThreads) {
  const int width = first.Width();
  const int height = first.Height();
  // 3. The final flow starts as a copy, so the initial flow stays as it is.
  u = CloneFloat(initialU);
  v = CloneFloat(initialV);

  // 4.-6. Affine motion per large segment, written into the final flow.
  ImageRef mask = CreateFloat(width, height, 1);
  mask.Mat().setTo(kSegmentMaskValue);
  FitSegmentMotions(segments, u, v, mask, false, options.seed, InlierScan::kEarlyStop,
                    options.threads + LentThreads(lentThreads), progress, SegmentMotionFit(options));
  ReleaseSegPatches(segments);
  mask = ImageRef();

  // 7. Small frames: a smoother final pass with a single outer iteration. The fast solver ends its
  //    pyramid nearer the final flow and takes fewer iterations on larger frames.
  const FinalPassSettings finalPass = FinalPass(options, width, height);

  // 8.-10. Final variational pass at full resolution.
  SolveVariationalPass(first, second, options, options.threads, finalPass.smoothness, finalPass.iterations, progress,
                       false, u, v, lentThreads);
}

bool IsSmallFrame(int width, int height) { return width <= kSmallFrameSide && height <= kSmallFrameSide; }

FinalPassSettings FinalPass(const EstimateOptions& options, int width, int height) {
  if (IsSmallFrame(width, height)) {
    return {options.smoothness * kSmallFrameSmoothnessFactor, kSmallFrameOuterIterations};
  }
  return {options.smoothness,
          options.solver == morvi::Solver::kFast ? options.fastFinalOuterIterations : options.outerIterations};
}

PairFlow EstimatePair(const ImageRef& first, const ImageRef& second, const EstimateOptions& options,
                      std::ostream* progress) {
  if (!(std::isfinite(options.scale) && options.scale > 0.0f && options.scale <= 1.0f)) {
    throw std::invalid_argument("the estimate's scale must be a finite number in (0, 1], not " +
                                std::to_string(options.scale));
  }
  // With occlusions or confidence the backward flow too, from the same pipeline and seed. Each
  // direction's result is the same at every thread count, so with two threads or more and frames
  // of moderate size the directions run side by side, each on its share of the threads (two
  // estimates' memory at once); the backward progress is held back and written after the forward.
  PairFlow result;
  const bool backward = options.occlusions || options.confidence;
  // The confidence map compares the pyramid's estimate with the matched start, which does not
  // depend on it: with two threads or more it is found and interpolated on a thread of its own
  // meanwhile. After the matches' or the fused start the initial flow serves (it is or holds it).
  const bool matchForConfidence = options.confidence && options.initialFlow == morvi::InitialFlow::kPyramid;
  std::future<MatchedStart> matchedAside;
  if (matchForConfidence && options.threads >= 2) {
    matchedAside = std::async(std::launch::async, [&first, &second] { return EstimateMatchedStart(first, second, 1); });
  }
  const bool sideBySide = backward && options.threads >= 2 &&
                          static_cast<int64_t>(first.Width()) * first.Height() <= kSideBySideMaxPixels;
  ImageRef backInitialU, backInitialV;
  std::vector<std::string> backNotes;
  if (!sideBySide) {
    EstimateOneWayScaled(first, second, options, progress, result.initialU, result.initialV, result.u, result.v,
                         result.notes);
    if (progress != nullptr) *progress << std::endl;
    if (!backward) return result;
    EstimateOneWayScaled(second, first, options, progress, backInitialU, backInitialV, result.backU, result.backV,
                         backNotes);
    if (progress != nullptr) *progress << std::endl;
  } else {
    EstimateOptions forwardOptions = options;
    EstimateOptions backwardOptions = options;
    backwardOptions.threads = options.threads / 2;
    forwardOptions.threads = options.threads - backwardOptions.threads;
    std::ostringstream backProgress;
    // The direction that ends first lends its threads to the other's segment motions and final
    // pass (the flows are the same whenever they come).
    std::atomic<int> lentToForward{0};
    std::atomic<int> lentToBackward{0};
    std::future<void> backwardRun = std::async(std::launch::async, [&] {
      EstimateOneWayScaled(second, first, backwardOptions, progress != nullptr ? &backProgress : nullptr,
                           backInitialU, backInitialV, result.backU, result.backV, backNotes, &lentToBackward);
      lentToForward.store(backwardOptions.threads, std::memory_order_release);
    });
    try {
      EstimateOneWayScaled(first, second, forwardOptions, progress, result.initialU, result.initialV, result.u,
                           result.v, result.notes, &lentToForward);
    } catch (...) {
      backwardRun.wait();
      throw;
    }
    lentToBackward.store(forwardOptions.threads, std::memory_order_release);
    backwardRun.get();
    if (progress != nullptr) *progress << std::endl << backProgress.str() << std::endl;
  }
  result.notes.insert(result.notes.end(), backNotes.begin(), backNotes.end());
  // The mask is judged at full size, from the flows as they are returned: against the frames'
  // own detail, with edges a pixel sharp rather than blocks of 1 / scale pixels, and true to the
  // flows the caller receives. It costs a few passes over the pixels, nothing beside the estimate.
  if (options.occlusions) {
    EstimateOcclusionMask(first, second, result.u, result.v, result.backU, result.backV, result.occlusions);
  }
  // The confidence shares the backward flow and is judged at full size for the same reasons.
  // After the pyramid's start it also shares the matched start's quick DIS estimate.
  if (options.confidence) {
    MatchedStart matched;
    if (matchForConfidence) {
      matched = matchedAside.valid() ? matchedAside.get() : EstimateMatchedStart(first, second, options.threads);
    } else {
      matched.matched = true;
      matched.u = result.initialU;
      matched.v = result.initialV;
    }
    result.confidence = ImageRef(EstimateConfidenceMap(first, second, result.u, result.v, result.backU,
                                                       result.backV, result.initialU, result.initialV, matched.u,
                                                       matched.v, ConfidenceParamsFor(options.initialFlow),
                                                       options.threads, matched.quickFlow));
  }
  return result;
}
