// Nonlinear (full-approximation) multigrid W-cycle over the solver's grid hierarchy.
#pragma once

#include <functional>
#include <vector>

#include "solver/solver_records.h"

// One operation of a formulation on one level: (workspace, params, weight maps, flow, x, last).
// For the relaxation sweep `last` is the right-hand side (read) and the pixels of x are updated in
// place; for the operator evaluation x is read and A(x) is written into the pixels of `last`.
using LevelOperation = std::function<void(const LevelWorkspace&, const SolverParams&, const WeightMaps&,
                                          const FlowPair&, const FlowPair&, const FlowPair&)>;

// A relaxation sweep and the operator whose equations it solves. The pair must belong together:
// the coarse-grid correction relies on the sweep solving exactly A(x) = f for the A evaluated.
struct LevelFormulation {
  LevelOperation relax;
  LevelOperation apply;
  // Optional: `sweeps` sweeps at once, for a formulation that shares work between consecutive
  // sweeps of a level; when empty the cycle calls `relax` that many times.
  std::function<void(const LevelWorkspace&, const SolverParams&, const WeightMaps&, const FlowPair&, const FlowPair&,
                     const FlowPair&, int sweeps)>
      relaxSweeps;
};

// RelaxAnisotropic with ApplyOperatorAnisotropic, and RelaxIsotropic with ApplyOperatorIsotropic.
const LevelFormulation& AnisotropicFormulation();
const LevelFormulation& IsotropicFormulation();

// Improves increments[level] for A_level(x) = rhs[level] with a FAS cycle that visits the next
// coarser level `cyclesPerVisit` times per visit (a W-cycle for 2). All per-level arrays are
// ordered from the coarsest level (0) to the finest and hold images of their level's size,
// allocated by the caller; the cycle allocates no image. Overwrites the residuals and corrections
// of `level` and below, and the right-hand sides and increments of the levels below it. Grid
// transfer is area resampling at the target level's exact size. The right-hand side of `level`
// itself may be an empty pair, for zero, when the formulation's relaxation takes one.
void RunLevelCycle(unsigned level, const SolverParams& params, const std::vector<WeightMaps>& weights,
                   const std::vector<LevelWorkspace>& workspaces, const std::vector<FlowPair>& flows,
                   std::vector<FlowPair>& increments, std::vector<FlowPair>& rhs, std::vector<FlowPair>& residuals,
                   std::vector<FlowPair>& corrections, int preSweeps, int postSweeps, int cyclesPerVisit,
                   const LevelFormulation& formulation);

// As above, with the formulation chosen by params.anisotropic.
void RunLevelCycle(unsigned level, const SolverParams& params, const std::vector<WeightMaps>& weights,
                   const std::vector<LevelWorkspace>& workspaces, const std::vector<FlowPair>& flows,
                   std::vector<FlowPair>& increments, std::vector<FlowPair>& rhs, std::vector<FlowPair>& residuals,
                   std::vector<FlowPair>& corrections, int preSweeps, int postSweeps, int cyclesPerVisit);
