// Wide-vector kernels of the anisotropic sweep and operator: eight pixels of a row in the lanes of
// AVX2 registers. Every lane performs the scalar kernel's operations in the scalar kernel's order
// (no contraction into fused multiply-adds, double where the scalar code widens), so results are
// the scalar results bit for bit. Only blocks whose whole stencil lies inside the level use them;
// the border pixels keep the scalar kernel.
#pragma once

#include "solver/anisotropic_level.h"

// Lanes per block.
constexpr int kSimdLanes = 8;

// True when the processor runs the vector kernels (checked once).
bool SimdKernelsAvailable();

// Whether the block of 8 pixels starting at column xs of row y, `step` columns apart (2 for the
// same-colour pixels of a sweep, 1 for the operator), lies far enough inside the level for the
// vector kernels: two pixels of margin for the stencil and one for the paired loads.
inline bool SimdBlockFits(const AnisotropicLevel& L, int xs, int y, int step) {
  return y >= 2 && y <= L.height - 3 && xs >= 2 && xs + (kSimdLanes - 1) * step + 3 <= L.width - 1;
}

// Pixels of the block of same-colour pixels starting at column xs of row y that the sweep's vector
// kernel may relax: 8 where a whole block fits, fewer at the right border (the pixels up to two
// columns from it, whose stencil is clamped, stay scalar), 0 where none may. A short block still
// loads eight lanes; its unused lanes read values of the following row, so it is taken only where
// those loads stay inside the level: rows up to height - 4 of levels at least 16 pixels wide.
inline int SimdSweepLanes(const AnisotropicLevel& L, int xs, int y) {
  if (SimdBlockFits(L, xs, y, 2)) return kSimdLanes;
  if (L.width < 16 || y < 2 || y > L.height - 4 || xs < 2 || xs > L.width - 3) return 0;
  return (L.width - 3 - xs) / 2 + 1;
}

// Most blocks RelaxBlockGroupSimd takes at once.
constexpr int kMaxBlockGroup = 4;

// Relaxes `count` (1 .. kMaxBlockGroup) blocks of same-colour pixels, the block k at columns
// xs[k], xs[k] + 2, ..., xs[k] + 2 (lanes[k] - 1) of row ys[k] (lanes[k] from SimdSweepLanes), in
// place and exactly as scalar pixel updates in that order would, the blocks' pixel chains
// interleaved. The caller guarantees that the blocks neither read nor write each other's values
// (rows and columns far enough apart in the sweep's schedule).
void RelaxBlockGroupSimd(const AnisotropicLevel& L, const float* fu, const float* fv, int count, const int* xs,
                         const int* ys, const int* lanes);
// Writes A(x) of the pixels xs .. xs + 7 of row y into outU, outV (element offsets of the level).
void ApplyBlockSimd(const AnisotropicLevel& L, int xs, int y, float* outU, float* outV);
