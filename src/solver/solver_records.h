// Records that carry the variational solver's state between its stages. Every image is a
// single-channel float ImageRef of the record's level size; copying a record shares its images.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <ostream>

#include "image/image_ref.h"
#include "morvi/modes.h"

class SweepTeam;
class FastRelaxationScratch;

// Which energy terms are active and the epsilon of each robust penaliser 1 / sqrt(s^2 + eps^2).
struct SolverParams {
  double brightnessEps = 0.0;
  double gradientEps = 0.0;
  double smoothnessEps = 0.0;
  int32_t useBrightness = 0;
  int32_t useGradient = 0;
  int32_t anisotropic = 0;
  // Threads a stage may use inside one solve. The result is the same for every count: the
  // relaxation runs in a schedule that keeps the sequential Gauss-Seidel order's values.
  int32_t threads = 1;
  // Threads lent to a warping loop while it runs (null: none): each warping iteration uses
  // `threads` plus those lent by the time it starts, and its multigrid solve takes those lent
  // later as they come. The count never changes the result.
  const std::atomic<int>* lentThreads = nullptr;
  // How many of the lent threads `threads` already counts.
  int32_t lentCounted = 0;
  // Use the processor's wide vector kernels where it has them (AVX2 on x86-64). Each lane
  // repeats the scalar kernel's operations in its order, so both give the same bits; 0 keeps the
  // scalar kernels, which tests compare against.
  int32_t vectorise = 1;
  // Helper threads kept for the sweeps of one solve (owned by the solve); null: a threaded sweep
  // starts its own.
  SweepTeam* team = nullptr;
  // Which relaxation and operator the multigrid solve runs.
  morvi::Solver solver = morvi::Solver::kReference;
  // The fast relaxation's planes, kept across the solves of one warping loop (owned by it); null:
  // a solve allocates its own.
  FastRelaxationScratch* fastScratch = nullptr;
  // Where a flow or increment that is not a number is reported, one marker line each; null: not
  // reported.
  std::ostream* diagnostics = nullptr;
};

// Full-resolution channels of one frame pair and their spatial derivatives. For colour frames the
// three channels are a luminance and two colour differences; grey frames use entry 0 only.
struct PairDerivatives {
  int32_t channels = 0;
  std::array<ImageRef, 3> first;
  std::array<ImageRef, 3> second;
  std::array<ImageRef, 3> firstDx;
  std::array<ImageRef, 3> firstDy;
  std::array<ImageRef, 3> secondDx;
  std::array<ImageRef, 3> secondDy;
  ImageRef greyFirstDx;
  ImageRef greyFirstDy;
  ImageRef greySecondDx;
  ImageRef greySecondDy;
};

// Coefficient images of one grid level: motion tensors of the data terms (J11 = Ix^2, J12 = Ix Iy,
// J22 = Iy^2, J13 = Ix Iz, J23 = Iy Iz, J33 = Iz^2), the first frame's structure tensor, the
// diffusion tensor derived from it (d12x2 holds twice the off-diagonal entry) and the grid spacing
// in full-resolution pixels. Only the images of active terms exist.
//
// A factored workspace (the fast solver's full-resolution level) stores no products: each
// constraint keeps its three factors Ix, Iy, Iz (bx, by, bz per brightness channel, gx, gy, gz per
// gradient constraint), whose products, formed as they are read, are the same floats the product
// images would hold. Half the planes; the product images stay empty.
struct LevelWorkspace {
  int32_t channels = 0;
  std::array<ImageRef, 3> b11, b12, b22, b13, b23, b33;
  std::array<ImageRef, 2> g11, g12, g22, g13, g23, g33;
  bool factored = false;
  std::array<ImageRef, 3> bx, by, bz;
  std::array<ImageRef, 2> gx, gy, gz;
  ImageRef s11, s22, s12;
  ImageRef d11, d22, d12x2;
  // Where the flow leaves the frame the smoothness follows the image's edges less: the structure
  // tensor read by the smoothness magnitudes, and restricted to coarser levels, is scaled by
  // `damping` at the pixels this 8-bit mask marks (non-zero), while the diffusion tensor derived
  // from it at this level keeps the unscaled tensor. A fast level keeps S unscaled with the mask;
  // other levels hold the scaled tensor itself and no mask.
  ImageRef damped;
  float damping = 1.0f;
  double hx = 1.0;
  double hy = 1.0;
};

// Per-pixel weights of the three energy terms, in this order.
struct WeightMaps {
  ImageRef brightnessWeight;
  ImageRef gradientWeight;
  ImageRef smoothnessWeight;
};

// Two images that belong together: a flow (u right, v down), an increment, or a per-level pair of
// the multigrid cycle.
struct FlowPair {
  ImageRef u;
  ImageRef v;
};
