// Per-pixel weights of the energy terms, turned down where the flow leaves the frame.
#pragma once

#include "image/image_ref.h"
#include "solver/solver_records.h"

// Writes 1.0 into `outOfFrame` where (x + u, y + v) lies outside [0, W-1] x [0, H-1], else 0.0.
// The map must already have the flow's size. Bands of rows run on `threads` threads.
void MarkOutOfFrame(const ImageRef& u, const ImageRef& v, const ImageRef& outOfFrame, int threads = 1);

// Uniform weight maps (brightness, gradient, smoothness) of width x height, except where more than
// 90 % of a 9 x 9 neighbourhood's flow leaves the frame: there both data weights are divided by 100
// and, with anisotropic smoothness, the workspace's structure tensor is scaled by 0.25 (for the
// fast solver: those pixels are marked in the workspace's damping mask instead). The
// per-pixel loops run on params.threads threads; the result is the same for every count.
WeightMaps BuildWeightMaps(int width, int height, const ImageRef& u, const ImageRef& v, float brightnessTermWeight,
                           float gradientTermWeight, float smoothnessTermWeight, const SolverParams& params,
                           LevelWorkspace& workspace);
