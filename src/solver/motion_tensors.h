// Linearisation of the data terms around the current flow: motion tensors and bicubic sampling.
#pragma once

#include "image/image_ref.h"
#include "solver/solver_records.h"

// Rewrites the motion tensors of the active data terms in the workspace for the flow (u, v): for
// every brightness channel and for both grey-derivative constraints, the six products of Ix, Iy
// (mean of the first image's derivative and the second image's derivative at the warped
// position) and Iz (warped second minus first). Pixels whose flow is not finite, exceeds 1000 in
// magnitude or leaves the frame get zero products. The tensor images must exist at the flow's
// size. Bands of rows run on params.threads threads; every pixel's products are computed alone,
// so the bytes do not depend on the thread count.
void ComputeMotionTensors(const SolverParams& params, const PairDerivatives& derivatives, const ImageRef& u,
                          const ImageRef& v, LevelWorkspace& workspace);

// The same tensors formed from the two 8-bit frames: their channels and derivatives are computed
// here (the floats ComputeFrameDerivatives gives), one brightness channel's derivatives at a time,
// and released on return.
void ComputeMotionTensorsFromFrames(const SolverParams& params, const ImageRef& first, const ImageRef& second,
                                    const ImageRef& u, const ImageRef& v, LevelWorkspace& workspace);

// Catmull-Rom bicubic interpolation of every channel of a float image at (x, y), in single
// precision; the position is clamped into the image and the border replicated. Writes one value
// per channel into `values`.
void SampleBicubic(const ImageRef& image, float x, float y, float* values);
