// Image-driven (anisotropic) smoothness: red-black Gauss-Seidel sweep and operator evaluation.
#pragma once

#include "solver/solver_records.h"

// One red-black Gauss-Seidel sweep of the level's lagged nonlinear equations A(x) = rhs, in place
// on the pixels of `increments`: colour 0 ((x + y) even) then colour 1, rows top to bottom, columns
// left to right. Each pixel's pair is replaced by the solution of its 2x2 system; a zero or
// undefined determinant leaves the pixel unchanged. Does nothing when both data terms are off.
void RelaxAnisotropic(const LevelWorkspace& workspace, const SolverParams& params, const WeightMaps& weights,
                      const FlowPair& flow, const FlowPair& increments, const FlowPair& rhs);

// The same sweep written as the plain row-by-row loop; RelaxAnisotropic reorders independent
// pixel updates for speed and must reproduce this one bit for bit.
void RelaxAnisotropicReference(const LevelWorkspace& workspace, const SolverParams& params,
                               const WeightMaps& weights, const FlowPair& flow, const FlowPair& increments,
                               const FlowPair& rhs);

// Writes A(x) for x = `increments` into the pixels of `out` (u-equation in out.u, v-equation in
// out.v): the exact counterpart of RelaxAnisotropic. Does nothing when both data terms are off.
void ApplyOperatorAnisotropic(const LevelWorkspace& workspace, const SolverParams& params,
                              const WeightMaps& weights, const FlowPair& flow, const FlowPair& increments,
                              const FlowPair& out);

// Tensor-weighted squared gradient of the total flow (u + du, v + dv) at (x, y), from clamped
// central differences and the structure tensor: sum over both components of grad^T D grad with
// D = (adj(S) + 50 I) / (trace(S) + 100). Never negative.
float SmoothnessMagnitudeAnisotropic(const LevelWorkspace& workspace, const FlowPair& flow,
                                     const FlowPair& increments, int x, int y);
