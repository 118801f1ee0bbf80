// The estimate for one frame pair: initial coarse-to-fine flow, colour segmentation, affine segment
// motions, and a final variational pass at full resolution.
#pragma once

#include <cstdint>
#include <iostream>
#include <optional>

#include "image/image_ref.h"

// Frames of at most 350 x 350 pixels get twice the smoothness weight and a single outer iteration
// in the final pass.
bool IsSmallFrame(int width, int height);

// first, second: 8-bit frames of equal size with 1 or 3 (BGR) channels. initialU/initialV receive
// the initial flow, u/v the final flow; all four are made to refer to new float images of the
// frame's size. `seed` fixes the segment motion sampling; without it the sampling follows the
// calendar time. `threads` (>= 1) is the number of threads used inside the estimate; the result
// does not depend on it. `initialStage` chooses the initial flow: the coarse-to-fine pyramid, or
// interpolated matches (for large motions), which fall back to the pyramid when too few matches
// survive. Progress ("Processing " and dots), a fall back (one line giving the reason) and the
// solver's markers for a flow that is not a number go to `progress`; all are silent when it is
// null. A segmentation that fails throws std::runtime_error with its message.
enum class InitialStage { kPyramid, kMatches };

void EstimateFlow(const ImageRef& first, const ImageRef& second, ImageRef& initialU, ImageRef& initialV,
                  ImageRef& u, ImageRef& v, float pyramidFactor, float brightnessTermWeight,
                  float gradientTermWeight, float smoothnessTermWeight, double brightnessEps,
                  double gradientEps, double smoothnessEps, int anisotropic, int outerIterations,
                  int medianWindow, float minRegion, float sigmaS, float sigmaR,
                  std::optional<uint32_t> seed = std::nullopt, int threads = 1,
                  InitialStage initialStage = InitialStage::kPyramid, std::ostream* progress = &std::cout);
