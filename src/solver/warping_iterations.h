// Outer (warping) iterations of the variational solver at one resolution.
#pragma once

#include "image/image_ref.h"
#include "solver/solver_records.h"

// Runs `iterations` outer iterations: linearise the data terms around the current flow, solve for
// an increment with the multigrid W-cycle, add it, and median-filter both components when
// medianWindow > 2. u and v are updated in place; after a median filtering the handles refer to new
// images, so callers pass their own handles.
void SolveFlow(const SolverParams& params, LevelWorkspace& workspace, const PairDerivatives& derivatives,
               ImageRef& u, ImageRef& v, const ImageRef& brightnessWeight, const ImageRef& gradientWeight,
               const ImageRef& smoothnessWeight, int iterations, int clamp, int medianWindow);

// The two 8-bit frames of a level.
struct DerivativeFrames {
  const ImageRef* first = nullptr;
  const ImageRef* second = nullptr;
};

// As above, but each iteration forms its motion tensors from `frames` themselves
// (ComputeMotionTensorsFromFrames: the same floats): no derivatives are held beside the multigrid
// solve's images, which at large frames is most of the loop's memory.
void SolveFlow(const SolverParams& params, LevelWorkspace& workspace, const DerivativeFrames& frames, ImageRef& u,
               ImageRef& v, const ImageRef& brightnessWeight, const ImageRef& gradientWeight,
               const ImageRef& smoothnessWeight, int iterations, int clamp, int medianWindow);

// One linearised solve and update of u and v (increments limited to [-1, 1] when clamp >= 1).
void SolveIncrement(const SolverParams& params, LevelWorkspace& workspace, const PairDerivatives& derivatives,
                    ImageRef& u, ImageRef& v, const ImageRef& brightnessWeight, const ImageRef& gradientWeight,
                    const ImageRef& smoothnessWeight, int clamp);
