// Multigrid level hierarchy of one linearised solve.
#pragma once

#include <vector>

#include <opencv2/core.hpp>

#include "image/image_ref.h"
#include "solver/solver_records.h"

// The per-level arrays of one multigrid solve, ordered from the coarsest level (index 0) to full
// resolution (the last index).
struct MultigridHierarchy {
  std::vector<LevelWorkspace> workspaces;
  std::vector<WeightMaps> weights;
  std::vector<FlowPair> flows;
  std::vector<FlowPair> increments;
  std::vector<FlowPair> rhs;
  std::vector<FlowPair> residuals;
  std::vector<FlowPair> corrections;
};

// Grid sizes of the hierarchy for a full-resolution level of width x height, coarsest first: the
// sides are halved (rounded down) until one of them would fall below 2.
std::vector<cv::Size> MultigridLevelSizes(int width, int height);

// Builds the hierarchy: the full-resolution level shares the caller's workspace, weight maps,
// increment pair and u and v (which the solve only reads); every coarser level gets area-resampled
// coefficient images, weight maps and flow, a diffusion tensor derived from its own structure
// tensor, and zeroed unknowns and scratch pairs. Every other image is allocated here; the
// full-resolution workspace is not written. Returns false (hierarchy left empty) when both data terms are off.
// At full resolution the residual and correction pairs are one pair of images, and for the fast
// anisotropic solver the right-hand side is an empty pair (zero) and the coarser levels get no
// diffusion tensor (its relaxation forms it from the structure tensor). Given the fast relaxation's
// scratch (sized for the full-resolution level), every level's residual and correction are views
// of the scratch's free planes instead, the levels' parities alternating between two sets of four.
bool BuildMultigridHierarchy(const SolverParams& params, const WeightMaps& weights, const LevelWorkspace& workspace,
                             const ImageRef& u, const ImageRef& v, const FlowPair& increments,
                             MultigridHierarchy& hierarchy, const FastRelaxationScratch* fastScratch = nullptr);

// Area-resamples the active coefficient images of `finer` into the existing images of `coarser`
// (motion tensors as products, formed from the factors of a factored `finer`, and the structure
// tensor, damped where `finer` marks it; not the diffusion tensor). `coarser` holds products.
void RestrictWorkspace(const SolverParams& params, const LevelWorkspace& finer, LevelWorkspace& coarser);

// One linearised solve: builds the hierarchy, clears every level's increments and right-hand side
// (the caller's increment pair included) and runs one W-cycle on the finest level (3, 3, 2 sweeps
// with anisotropic smoothness, 5, 5, 2 with isotropic). On return the increment pair holds the
// result; u and v are only read. Does nothing when both data terms are off.
void SolveMultigrid(const SolverParams& params, const WeightMaps& weights, const LevelWorkspace& workspace,
                    const ImageRef& u, const ImageRef& v, const FlowPair& increments);
