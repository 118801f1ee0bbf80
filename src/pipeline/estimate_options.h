// Every parameter of one estimate, each default written here once. The program, the library, the
// Python module, the tests and the benchmarks start from this record and set what they change by
// name.
#pragma once

#include <cstdint>
#include <optional>

#include "morvi/modes.h"

struct EstimateOptions {
  // Coarse to fine: each pyramid level is the finer one shrunk by this factor.
  float pyramidFactor = 1.7f;
  // Weights of the energy terms: brightness and gradient constancy, and smoothness (the program's
  // smooth argument; larger values give smoother fields).
  float brightnessTermWeight = 0.1f;
  float gradientTermWeight = 0.9f;
  float smoothness = 8.0f;
  // Epsilons of the robust penalisers 1 / sqrt(s^2 + eps^2). They are single-precision constants
  // widened to double: the widened values, not the decimal ones, give the system's bytes.
  double brightnessEps = static_cast<double>(0.1f);
  double gradientEps = static_cast<double>(0.1f);
  double smoothnessEps = static_cast<double>(0.01f);
  // Smoothness along the first frame's edges rather than the same in every direction.
  bool anisotropic = true;
  // Warping iterations per level, and the side of the median filter applied after each.
  int outerIterations = 3;
  int medianWindow = 3;
  // Colour segmentation of the first frame: smallest region in pixels, spatial and range radii of
  // the mean-shift filter.
  int minRegion = 20;
  int sigmaS = 7;
  float sigmaR = 6.5f;
  // Seed of the segment motions' random sampling; without one it follows the calendar time.
  std::optional<uint32_t> seed;
  // Threads used inside the estimate (>= 1); the result does not depend on the count.
  int threads = 1;
  morvi::InitialFlow initialFlow = morvi::InitialFlow::kPyramid;
  // --init fused: a segment leaves the matches' flow for the pyramid's only where the pyramid's
  // data cost is below (1 - margin) times the matches'.
  double fusionMargin = 0.5;
  morvi::Solver solver = morvi::Solver::kReference;
  // Warping iterations of the fast solver per pyramid level and in its final pass at full
  // resolution (frames above the small size): a third measured no gain in the final pass and
  // 0.0017 EPE on the Middlebury pairs at the pyramid levels, for a tenth of the time.
  int fastOuterIterations = 2;
  int fastFinalOuterIterations = 2;
  // Warping iterations of the fast solver at the pyramid's finest level (frames above the small
  // size): the final pass at full resolution follows the segment motions, so a second iteration
  // there bought 0.0022 EPE on the Middlebury pairs (0.2410 -> 0.2432 with one) for a tenth of the
  // estimate's time.
  int fastFinestOuterIterations = 1;
  // Use the processor's wide vector kernels where it has them; false keeps the scalar kernels,
  // which give the same bytes and which tests compare against.
  bool vectorise = true;
  // Estimate the backward flow too and judge which pixels are occluded.
  bool occlusions = false;
  // Estimate the backward flow too (shared with the occlusions) and the per-pixel confidence map.
  bool confidence = false;
  // The frames are shrunk by this factor (0 < scale <= 1) before the estimate and the flow is
  // brought back to their size: less time and memory, for a coarser field. At 1 nothing is
  // resized.
  float scale = 1.0f;
};
