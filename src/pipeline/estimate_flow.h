// The estimate for one frame pair: initial flow, colour segmentation, affine segment motions, and a
// final variational pass at full resolution; on request the same from the second frame back to the
// first, the pixels the two flows show to be occluded, and how far each vector can be trusted.
#pragma once

#include <atomic>
#include <iostream>
#include <string>
#include <vector>

#include "image/image_ref.h"
#include "pipeline/estimate_options.h"
#include "motion/segment_motion.h"
#include "segmentation/seg_patch.h"
#include "segmentation/segment_image.h"

// Frames of at most 350 x 350 pixels get twice the smoothness weight and a single outer iteration
// in the final pass.
bool IsSmallFrame(int width, int height);
constexpr float kSmallFrameSmoothnessFactor = 2.0f;
constexpr int kSmallFrameOuterIterations = 1;

// The final pass's smoothness weight and warping iterations for frames of width x height: the
// options' own (the fast solver's final count with it), or the small-frame rule's.
struct FinalPassSettings {
  float smoothness;
  int iterations;
};
FinalPassSettings FinalPass(const EstimateOptions& options, int width, int height);

// The colour segmentation of the estimate's first frame: the reference solver's estimate keeps the
// reference segmentation, the fast solver's takes the filter's quicker neighbour shortcut.
FilterSpeedUp SegmentationSpeedUp(const EstimateOptions& options);

// How the segment motions fit their hypotheses: by the optimizer in the reference solver's
// estimate, exactly (the same models up to rounding, without iterations) in the fast solver's.
HypothesisFit SegmentMotionFit(const EstimateOptions& options);

// The estimate's steps after its initial flow: u and v are made to refer to new images, the
// initial flow with each large segment's affine motion written in, then refined by the final
// variational pass at full resolution. `segments` are the first frame's colour segments; they are
// released. Progress (the segment motions' dots) goes to `progress` when it is not null. Threads
// that other work hands over through `lentThreads` (none when null) join each step as it starts
// and the final pass's multigrid solves under way; the flow is the same whenever they come.
void RefineInitialFlow(const ImageRef& first, const ImageRef& second, SegPatchList& segments,
                       const ImageRef& initialU, const ImageRef& initialV, const EstimateOptions& options,
                       std::ostream* progress, ImageRef& u, ImageRef& v,
                       const std::atomic<int>* lentThreads = nullptr);

// What one estimate gives; every image is new and of the frames' size.
struct PairFlow {
  ImageRef initialU;  // the flow from first to second where the final pass started
  ImageRef initialV;
  ImageRef u;  // the final flow from first to second
  ImageRef v;
  // With options.occlusions or options.confidence only, empty otherwise: the final flow from second
  // to first.
  ImageRef backU;
  ImageRef backV;
  // With options.occlusions only: the occlusion mask (pipeline/occlusion_mask.h) of the two flows.
  ImageRef occlusions;
  // With options.confidence only: how far each vector can be trusted (pipeline/confidence_map.h),
  // CV_32FC1 in [0, 1].
  ImageRef confidence;
  // One line for the user per direction whose matched start fell back to the pyramid, saying why.
  std::vector<std::string> notes;
};

// The size a frame side of `side` pixels has at the estimate's scale: side * scale rounded to the
// nearest integer, at least 1.
int ScaledSide(int side, float scale);

// first, second: 8-bit frames of equal size with 1 or 3 (BGR) channels. With options.scale < 1 the
// frames are shrunk to ScaledSide of each side (area averaging), the flows estimated there, then
// enlarged back bilinearly and multiplied per axis by the ratio of the sides; the occlusion mask is
// judged at full size from the enlarged flows. A scale outside (0, 1] throws std::invalid_argument.
// Progress goes to `progress`
// (nothing when it is null): per direction "Processing ", dots for the pyramid levels and the
// segment motions, then a line end. The result depends on the frames and the options' estimate
// parameters only: not on the thread count, and with a seed not on the time either.
PairFlow EstimatePair(const ImageRef& first, const ImageRef& second, const EstimateOptions& options,
                      std::ostream* progress);
