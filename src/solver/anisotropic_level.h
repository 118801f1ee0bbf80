// Raw views of everything one anisotropic pixel system reads, shared by the scalar and the vector
// kernels of the anisotropic sweep and operator.
#pragma once

#include <cstddef>

#include "solver/pixel_system.h"

// Determinants of smaller magnitude are pushed to +-kMinDeterminant, which bounds the update of
// nearly singular pixels.
constexpr float kMinDeterminant = 0.01f;
// Constants of the diffusion tensor (adj(S) + kDiffusionBias I) / (trace(S) + kTraceBias).
constexpr double kDiffusionBias = 50.0;
constexpr double kTraceBias = 100.0;

// Built once per sweep or operator call. All images share the element offset y * stride + x
// (CheckLevelImage).
struct AnisotropicLevel {
  int width = 0;
  int height = 0;
  std::ptrdiff_t stride = 0;
  DataTermView data;
  const float* u = nullptr;
  const float* v = nullptr;
  float* du = nullptr;
  float* dv = nullptr;
  const float* s11 = nullptr;
  const float* s22 = nullptr;
  const float* s12 = nullptr;
  const float* d11 = nullptr;
  const float* d22 = nullptr;
  const float* d12x2 = nullptr;
  const float* smoothnessWeight = nullptr;
  float cx = 0.0f;   // 1 / (2 hx^2)
  float cy = 0.0f;   // 1 / (2 hy^2)
  float cxy = 0.0f;  // 1 / (2 hx hy)
  double smoothnessEps2 = 0.0;
};
