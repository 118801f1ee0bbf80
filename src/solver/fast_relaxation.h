// The fast solver's relaxation and operator for image-driven (anisotropic) smoothness.
//
// The same equations as the reference sweep (data terms, axial and mixed smoothness terms,
// clamped neighbourhood), relaxed differently:
// - the nonlinear weights (data and smoothness penalisers, diffusivities) are evaluated in a pass of
//   their own before each sweep, at the increments the sweep starts from, instead of inside the
//   chain of pixel updates; the sweep then relaxes a linear system;
// - a pixel's equation couples it to its eight neighbours (the mixed terms reach the diagonals), so
//   the pixels are split into four colours by the parity of their column and row: no pixel of a
//   colour reads another of its colour, and every pixel of a colour is updated at once, by all
//   threads and all vector lanes, colour (0, 0), (1, 0), (0, 1), (1, 1) in turn;
// - everything is single precision.
// The result does not depend on the thread count or on whether the vector kernels run.
#pragma once

#include <memory>

#include <opencv2/core.hpp>

#include "solver/level_cycle.h"
#include "solver/solver_records.h"

// Planes the fast relaxation keeps between its weight pass and its colour passes: sized for the
// largest level of a solve and reused at every level.
class FastRelaxationScratch {
 public:
  explicit FastRelaxationScratch(const cv::Size& largest);
  float* Plane(int index) const { return planes_.get() + static_cast<std::ptrdiff_t>(index) * capacity_; }
  std::ptrdiff_t Capacity() const { return capacity_; }

  // Plane `index` seen as an image of `size` (at most the capacity); it shares the plane's memory.
  ImageRef PlaneImage(int index, const cv::Size& size) const;

  static constexpr int kPlaneCount = 14;  // penaliser weight, 8 neighbour weights, 2 right-hand sides, inverse
  // The neighbour weights' planes, 1 to 8, hold nothing between two calls: a relaxation writes them
  // before it reads them and the operator does not touch them. The multigrid cycle keeps its
  // residuals and corrections there.
  static constexpr int kFirstFreePlane = 1;
  static constexpr int kFreePlaneCount = 8;

 private:
  std::ptrdiff_t capacity_ = 0;
  std::unique_ptr<float[]> planes_;
};

// `sweeps` sweeps of the fast relaxation of A(x) = rhs, in place on `increments`, all with the
// weights evaluated at the increments the first one starts from. An empty rhs pair is zero. Does
// nothing when both data terms are off.
void RelaxAnisotropicFast(FastRelaxationScratch& scratch, const LevelWorkspace& workspace, const SolverParams& params,
                          const WeightMaps& weights, const FlowPair& flow, const FlowPair& increments,
                          const FlowPair& rhs, int sweeps = 1);

// Writes A(x) for x = `increments` into `out`: the operator whose equations the fast sweep solves,
// with its weights evaluated at x. Uses the scratch's weight plane.
void ApplyOperatorAnisotropicFast(FastRelaxationScratch& scratch, const LevelWorkspace& workspace,
                                  const SolverParams& params, const WeightMaps& weights, const FlowPair& flow,
                                  const FlowPair& increments, const FlowPair& out);

// The pair above as a formulation of the level cycle, bound to `scratch`.
LevelFormulation FastAnisotropicFormulation(FastRelaxationScratch& scratch);
