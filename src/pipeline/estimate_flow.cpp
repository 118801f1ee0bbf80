#include "pipeline/estimate_flow.h"

#include <iostream>
#include <string>

#include "motion/segment_motion.h"
#include "pipeline/initial_flow.h"
#include "pipeline/matched_initial_flow.h"
#include "pipeline/weight_maps.h"
#include "segmentation/seg_patch.h"
#include "segmentation/segment_image.h"
#include "solver/level_preparation.h"
#include "solver/solver_records.h"
#include "solver/warping_iterations.h"

namespace {

constexpr float kSegmentMaskValue = -2.0f;  // every pixel may be sampled and overwritten
constexpr int kSmallFrameSide = 350;        // frames up to 350 x 350 get a smoother final pass
constexpr float kSmallFrameSmoothnessFactor = 2.0f;
constexpr int kSmallFrameOuterIterations = 1;
constexpr int kNoClamp = 0;

}  // namespace

bool IsSmallFrame(int width, int height) { return width <= kSmallFrameSide && height <= kSmallFrameSide; }

void EstimateFlow(const ImageRef& first, const ImageRef& second, ImageRef& initialU, ImageRef& initialV,
                  ImageRef& u, ImageRef& v, float pyramidFactor, float brightnessTermWeight,
                  float gradientTermWeight, float smoothnessTermWeight, double brightnessEps,
                  double gradientEps, double smoothnessEps, int anisotropic, int outerIterations,
                  int medianWindow, float minRegion, float sigmaS, float sigmaR, std::optional<uint32_t> seed,
                  int threads, InitialStage initialStage, std::ostream* progress) {
  const int width = first.Width();
  const int height = first.Height();

  // 1. Initial flow: interpolated matches, or coarse to fine.
  bool matched = false;
  if (initialStage == InitialStage::kMatches) {
    std::string reason;
    matched = EstimateMatchedInitialFlow(first, second, initialU, initialV, reason);
    if (progress != nullptr) {
      if (matched) {
        *progress << "Processing " << std::flush;  // the progress line the pyramid would start
      } else {
        *progress << reason << "; this pair starts from the pyramid" << std::endl;
      }
    }
  }
  if (!matched) {
    EstimateInitialFlow(first, second, initialU, initialV, pyramidFactor, brightnessTermWeight, gradientTermWeight,
                        smoothnessTermWeight, brightnessEps, gradientEps, smoothnessEps, anisotropic,
                        outerIterations, medianWindow, threads, progress);
  }

  // 2. The final flow starts as a copy, so the initial flow stays as it is.
  u = CloneFloat(initialU);
  v = CloneFloat(initialV);

  // 3. Colour segments of the first frame.
  ImageRef labels = CreateInt(width, height, 1);
  SegPatchList segments;
  const ImageRef frameCopy = CloneByte(first);
  SegmentImage(frameCopy, labels, segments, static_cast<int>(minRegion), static_cast<int>(sigmaS), sigmaR, threads);

  // 4.-6. Affine motion per large segment, written into the final flow.
  ImageRef mask = CreateFloat(width, height, 1);
  mask.Mat().setTo(kSegmentMaskValue);
  FitSegmentMotions(segments, u, v, mask, false, seed, threads, progress);
  ReleaseSegPatches(segments);

  // 7. Small frames: a smoother final pass with a single outer iteration.
  float finalSmoothness = smoothnessTermWeight;
  int finalIterations = outerIterations;
  if (IsSmallFrame(width, height)) {
    finalSmoothness *= kSmallFrameSmoothnessFactor;
    finalIterations = kSmallFrameOuterIterations;
  }

  // 8.-10. Final variational pass at full resolution.
  SolverParams params;
  params.threads = threads;  // the preparation splits its rows too
  params.diagnostics = progress;
  PairDerivatives derivatives;
  LevelWorkspace workspace;
  PrepareSolver(first, second, brightnessEps, gradientEps, smoothnessEps, anisotropic, params, derivatives,
                workspace);
  const WeightMaps weights = BuildWeightMaps(width, height, u, v, brightnessTermWeight, gradientTermWeight,
                                             finalSmoothness, params, workspace);
  SolveFlow(params, workspace, derivatives, u, v, weights.brightnessWeight, weights.gradientWeight,
            weights.smoothnessWeight, finalIterations, kNoClamp, medianWindow);
}
