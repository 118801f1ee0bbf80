#include "pipeline/estimate_flow.h"

#include <iostream>
#include <string>

#include "motion/segment_motion.h"
#include "pipeline/initial_flow.h"
#include "pipeline/matched_initial_flow.h"
#include "pipeline/occlusion_mask.h"
#include "pipeline/weight_maps.h"
#include "segmentation/seg_patch.h"
#include "segmentation/segment_image.h"
#include "solver/level_preparation.h"
#include "solver/solver_records.h"
#include "solver/warping_iterations.h"

namespace {

constexpr float kSegmentMaskValue = -2.0f;  // every pixel may be sampled and overwritten
constexpr int kSmallFrameSide = 350;        // frames up to 350 x 350 get a smoother final pass
constexpr int kNoClamp = 0;

// The final flow (u, v) from `first` to `second` and the initial flow it started from. A matched
// start that falls back to the pyramid adds its reason to `notes`.
void EstimateOneWay(const ImageRef& first, const ImageRef& second, const EstimateOptions& options,
                    std::ostream* progress, ImageRef& initialU, ImageRef& initialV, ImageRef& u, ImageRef& v,
                    std::vector<std::string>& notes) {
  const int width = first.Width();
  const int height = first.Height();

  // 1. Initial flow: interpolated matches, or coarse to fine.
  bool matched = false;
  if (options.initialFlow == morvi::InitialFlow::kMatches) {
    std::string reason;
    matched = EstimateMatchedInitialFlow(first, second, initialU, initialV, reason);
    if (matched) {
      if (progress != nullptr) *progress << "Processing " << std::flush;  // the line the pyramid would start
    } else {
      notes.push_back(reason + "; this pair starts from the pyramid");
    }
  }
  if (!matched) EstimateInitialFlow(first, second, initialU, initialV, options, progress);

  // 2. The final flow starts as a copy, so the initial flow stays as it is.
  u = CloneFloat(initialU);
  v = CloneFloat(initialV);

  // 3. Colour segments of the first frame.
  ImageRef labels = CreateInt(width, height, 1);
  SegPatchList segments;
  const ImageRef frameCopy = CloneByte(first);
  SegmentImage(frameCopy, labels, segments, options.minRegion, options.sigmaS, options.sigmaR, options.threads);

  // 4.-6. Affine motion per large segment, written into the final flow.
  ImageRef mask = CreateFloat(width, height, 1);
  mask.Mat().setTo(kSegmentMaskValue);
  FitSegmentMotions(segments, u, v, mask, false, options.seed, options.threads, progress);
  ReleaseSegPatches(segments);

  // 7. Small frames: a smoother final pass with a single outer iteration. The fast solver ends its
  //    pyramid nearer the final flow and takes fewer iterations on larger frames.
  float finalSmoothness = options.smoothness;
  int finalIterations =
      options.solver == morvi::Solver::kFast ? options.fastFinalOuterIterations : options.outerIterations;
  if (IsSmallFrame(width, height)) {
    finalSmoothness *= kSmallFrameSmoothnessFactor;
    finalIterations = kSmallFrameOuterIterations;
  }

  // 8.-10. Final variational pass at full resolution.
  SolverParams params;
  params.threads = options.threads;  // the preparation splits its rows too
  params.solver = options.solver;
  params.vectorise = options.vectorise ? 1 : 0;
  params.diagnostics = progress;
  PairDerivatives derivatives;
  LevelWorkspace workspace;
  PrepareSolver(first, second, options.brightnessEps, options.gradientEps, options.smoothnessEps,
                options.anisotropic ? 1 : 0, params, derivatives, workspace);
  const WeightMaps weights = BuildWeightMaps(width, height, u, v, options.brightnessTermWeight,
                                             options.gradientTermWeight, finalSmoothness, params, workspace);
  SolveFlow(params, workspace, derivatives, u, v, weights.brightnessWeight, weights.gradientWeight,
            weights.smoothnessWeight, finalIterations, kNoClamp, options.medianWindow);
}

}  // namespace

bool IsSmallFrame(int width, int height) { return width <= kSmallFrameSide && height <= kSmallFrameSide; }

PairFlow EstimatePair(const ImageRef& first, const ImageRef& second, const EstimateOptions& options,
                      std::ostream* progress) {
  PairFlow result;
  EstimateOneWay(first, second, options, progress, result.initialU, result.initialV, result.u, result.v,
                 result.notes);
  if (progress != nullptr) *progress << std::endl;
  if (!options.occlusions) return result;

  // The backward flow, from the same pipeline and seed, then the pixels it contradicts.
  ImageRef backInitialU, backInitialV;
  EstimateOneWay(second, first, options, progress, backInitialU, backInitialV, result.backU, result.backV,
                 result.notes);
  if (progress != nullptr) *progress << std::endl;
  EstimateOcclusionMask(first, second, result.u, result.v, result.backU, result.backV, result.occlusions);
  return result;
}
