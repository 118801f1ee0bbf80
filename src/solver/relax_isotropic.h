// Isotropic smoothness: lexicographic Gauss-Seidel sweep and operator evaluation.
#pragma once

#include "solver/solver_records.h"

// One lexicographic Gauss-Seidel sweep (rows top to bottom, columns left to right, in place) of the
// level's lagged nonlinear equations A(x) = rhs. Neighbours outside the image are left out. A
// determinant of magnitude below 0.01 is replaced by +0.01 (zero included) or -0.01. An increment
// that comes out undefined is reported by a line of 43 '#' on standard output and left in place.
// Does nothing when both data terms are off.
void RelaxIsotropic(const LevelWorkspace& workspace, const SolverParams& params, const WeightMaps& weights,
                    const FlowPair& flow, const FlowPair& increments, const FlowPair& rhs);

// Writes A(x) for x = `increments` into the pixels of `out`: the exact counterpart of
// RelaxIsotropic. Does nothing when both data terms are off.
void ApplyOperatorIsotropic(const LevelWorkspace& workspace, const SolverParams& params,
                            const WeightMaps& weights, const FlowPair& flow, const FlowPair& increments,
                            const FlowPair& out);

// Ux^2 + Uy^2 + Vx^2 + Vy^2 of the total flow (u + du, v + dv) at (x, y), from clamped central
// differences.
float SmoothnessMagnitudeIsotropic(const FlowPair& flow, const FlowPair& increments, int x, int y);
