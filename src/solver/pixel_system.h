// Building blocks shared by the relaxation sweeps and the operator evaluations: the per-pixel 2x2
// system, the clamped eight-neighbourhood, raw views of a level's images and the data terms.
//
// Everything here is inline: these pieces run once per pixel and per sweep, and the sweep and the
// operator of a formulation must assemble bit-identical systems.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>

#include <opencv2/core.hpp>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "image/image_ref.h"
#include "image/parallel.h"
#include "solver/solver_records.h"

// The linear system of one pixel for its increments (du, dv):
//   a11 du + a12 dv = bu (+ fu)
//   a12 du + a22 dv = bv (+ fv)
// with coefficients evaluated at the current increments (lagged nonlinearity).
struct PixelSystem {
  float a11 = 0.0f;
  float a12 = 0.0f;
  float a22 = 0.0f;
  float bu = 0.0f;
  float bv = 0.0f;
};

// A neighbour position clamped into the image; `inside` is true when no clamping was needed.
struct NeighbourPosition {
  int x;
  int y;
  bool inside;
};

// The eight neighbours as offsets, y growing downwards: below, below right, right, above right,
// above, above left, left, below left.
inline constexpr int kNeighbourDx[8] = {0, 1, 1, 1, 0, -1, -1, -1};
inline constexpr int kNeighbourDy[8] = {1, 1, 0, -1, -1, -1, 0, 1};

inline NeighbourPosition ClampedNeighbour(int k, int width, int height, int x, int y) {
  NeighbourPosition p{x + kNeighbourDx[k], y + kNeighbourDy[k], true};
  if (p.x < 0) {
    p.x = 0;
    p.inside = false;
  } else if (p.x > width - 1) {
    p.x = width - 1;
    p.inside = false;
  }
  if (p.y < 0) {
    p.y = 0;
    p.inside = false;
  } else if (p.y > height - 1) {
    p.y = height - 1;
    p.inside = false;
  }
  return p;
}

// Base pointer of a level image. All images of one level are continuous single-channel float
// images of the same size (CheckLevelImage), so one element offset y * width + x addresses the
// same pixel in every one of them; kernels compute it once per pixel.
inline float* PlaneOf(const ImageRef& image) { return image.Empty() ? nullptr : image.Mat().ptr<float>(0); }

// Checks that an image of a level exists as a continuous single-channel float image of the level
// size. Entry points call it once per call; the kernels then trust the pointers.
inline void CheckLevelImage(const ImageRef& image, const cv::Size& size) {
  CV_Assert(!image.Empty() && image.Mat().type() == CV_32FC1 && image.Mat().size() == size &&
            image.Mat().isContinuous());
}

// Level size: that of the first brightness tensor (or its first factor), or of the first gradient
// tensor when the brightness term is off; 0 x 0 when both data terms are off.
inline cv::Size LevelSize(const LevelWorkspace& workspace, const SolverParams& params) {
  const ImageRef* first = nullptr;
  if (params.useBrightness) {
    first = workspace.factored ? &workspace.bx[0] : &workspace.b11[0];
  } else if (params.useGradient) {
    first = workspace.factored ? &workspace.gx[0] : &workspace.g11[0];
  }
  return first != nullptr ? cv::Size(first->Width(), first->Height()) : cv::Size(0, 0);
}

// The six products of one linearised constraint, or (factored) its three factors, the product
// pointers then null.
struct TensorPlanes {
  const float* j11;
  const float* j12;
  const float* j22;
  const float* j13;
  const float* j23;
  const float* j33;
  const float* ix = nullptr;
  const float* iy = nullptr;
  const float* iz = nullptr;
};

// Everything the data terms of a pixel read: the tensors of the active constraints (brightness
// channels first, then the two gradient constraints), the weight map and squared penaliser
// constant of each.
struct DataTermView {
  static constexpr int kMaxConstraints = 5;
  int count = 0;
  TensorPlanes tensor[kMaxConstraints];
  const float* weight[kMaxConstraints];
  double eps2[kMaxConstraints];
};

// The view of a factored workspace holds factors: only the fast relaxation reads those.
inline DataTermView MakeDataTermView(const LevelWorkspace& workspace, const SolverParams& params,
                                     const WeightMaps& weights, const cv::Size& size) {
  DataTermView view;
  auto addFactors = [&](const ImageRef& ix, const ImageRef& iy, const ImageRef& iz, const ImageRef& weight,
                        double eps) {
    for (const ImageRef* image : {&ix, &iy, &iz, &weight}) CheckLevelImage(*image, size);
    TensorPlanes planes{nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
    planes.ix = PlaneOf(ix);
    planes.iy = PlaneOf(iy);
    planes.iz = PlaneOf(iz);
    view.tensor[view.count] = planes;
    view.weight[view.count] = PlaneOf(weight);
    view.eps2[view.count] = eps * eps;
    ++view.count;
  };
  auto add = [&](const ImageRef& j11, const ImageRef& j12, const ImageRef& j22, const ImageRef& j13,
                 const ImageRef& j23, const ImageRef& j33, const ImageRef& weight, double eps) {
    for (const ImageRef* image : {&j11, &j12, &j22, &j13, &j23, &j33, &weight}) CheckLevelImage(*image, size);
    view.tensor[view.count] =
        TensorPlanes{PlaneOf(j11), PlaneOf(j12), PlaneOf(j22), PlaneOf(j13), PlaneOf(j23), PlaneOf(j33)};
    view.weight[view.count] = PlaneOf(weight);
    view.eps2[view.count] = eps * eps;
    ++view.count;
  };
  if (params.useBrightness) {
    CV_Assert(workspace.channels >= 1 && workspace.channels <= 3);
    for (int k = 0; k < workspace.channels; ++k) {
      if (workspace.factored) {
        addFactors(workspace.bx[k], workspace.by[k], workspace.bz[k], weights.brightnessWeight, params.brightnessEps);
        continue;
      }
      add(workspace.b11[k], workspace.b12[k], workspace.b22[k], workspace.b13[k], workspace.b23[k],
          workspace.b33[k], weights.brightnessWeight, params.brightnessEps);
    }
  }
  if (params.useGradient) {
    for (int k = 0; k < 2; ++k) {
      if (workspace.factored) {
        addFactors(workspace.gx[k], workspace.gy[k], workspace.gz[k], weights.gradientWeight, params.gradientEps);
        continue;
      }
      add(workspace.g11[k], workspace.g12[k], workspace.g22[k], workspace.g13[k], workspace.g23[k],
          workspace.g33[k], weights.gradientWeight, params.gradientEps);
    }
  }
  return view;
}

// A pair of values that undergo the same operations: the u and the v component of the total flow,
// of its differences and of the right-hand sides. Each lane of a packed SSE2 operation is rounded
// exactly like the scalar operation, so pairing changes no bit of the result; it only halves the
// instruction count of the smoothness terms.
#if defined(__SSE2__)
struct FloatPair {
  __m128 m;
};
inline FloatPair MakeFloatPair(float u, float v) { return FloatPair{_mm_unpacklo_ps(_mm_set_ss(u), _mm_set_ss(v))}; }
inline FloatPair operator+(FloatPair a, FloatPair b) { return FloatPair{_mm_add_ps(a.m, b.m)}; }
inline FloatPair operator-(FloatPair a, FloatPair b) { return FloatPair{_mm_sub_ps(a.m, b.m)}; }
inline FloatPair operator*(FloatPair a, float s) { return FloatPair{_mm_mul_ps(a.m, _mm_set1_ps(s))}; }
inline FloatPair Splat(float s) { return FloatPair{_mm_set1_ps(s)}; }
inline float First(FloatPair a) { return _mm_cvtss_f32(a.m); }
inline float Second(FloatPair a) { return _mm_cvtss_f32(_mm_shuffle_ps(a.m, a.m, 1)); }

struct DoublePair {
  __m128d m;
};
inline DoublePair Widen(FloatPair a) { return DoublePair{_mm_cvtps_pd(a.m)}; }
inline DoublePair operator+(DoublePair a, DoublePair b) { return DoublePair{_mm_add_pd(a.m, b.m)}; }
inline DoublePair operator-(DoublePair a, DoublePair b) { return DoublePair{_mm_sub_pd(a.m, b.m)}; }
inline DoublePair operator*(DoublePair a, DoublePair b) { return DoublePair{_mm_mul_pd(a.m, b.m)}; }
inline DoublePair operator*(double s, DoublePair a) { return DoublePair{_mm_mul_pd(_mm_set1_pd(s), a.m)}; }
inline DoublePair operator/(DoublePair a, double s) { return DoublePair{_mm_div_pd(a.m, _mm_set1_pd(s))}; }
inline double First(DoublePair a) { return _mm_cvtsd_f64(a.m); }
inline double Second(DoublePair a) { return _mm_cvtsd_f64(_mm_unpackhi_pd(a.m, a.m)); }
#else
struct FloatPair {
  float u, v;
};
inline FloatPair MakeFloatPair(float u, float v) { return FloatPair{u, v}; }
inline FloatPair operator+(FloatPair a, FloatPair b) { return FloatPair{a.u + b.u, a.v + b.v}; }
inline FloatPair operator-(FloatPair a, FloatPair b) { return FloatPair{a.u - b.u, a.v - b.v}; }
inline FloatPair operator*(FloatPair a, float s) { return FloatPair{a.u * s, a.v * s}; }
inline FloatPair Splat(float s) { return FloatPair{s, s}; }
inline float First(FloatPair a) { return a.u; }
inline float Second(FloatPair a) { return a.v; }

struct DoublePair {
  double u, v;
};
inline DoublePair Widen(FloatPair a) { return DoublePair{a.u, a.v}; }
inline DoublePair operator+(DoublePair a, DoublePair b) { return DoublePair{a.u + b.u, a.v + b.v}; }
inline DoublePair operator-(DoublePair a, DoublePair b) { return DoublePair{a.u - b.u, a.v - b.v}; }
inline DoublePair operator*(DoublePair a, DoublePair b) { return DoublePair{a.u * b.u, a.v * b.v}; }
inline DoublePair operator*(double s, DoublePair a) { return DoublePair{s * a.u, s * a.v}; }
inline DoublePair operator/(DoublePair a, double s) { return DoublePair{a.u / s, a.v / s}; }
inline double First(DoublePair a) { return a.u; }
inline double Second(DoublePair a) { return a.v; }
#endif

// Two independent penaliser weights at once. Packed SSE2 division and square root are correctly
// rounded per lane, so the results are bit for bit those of the scalar operations; the pairing only
// relieves the divider, which bounds the relaxation's speed. p = n / sqrt(x) for two lanes, each
// rounded to float at the end.
inline void PenaliserPair(double n0, double n1, double x0, double x1, float& p0, float& p1) {
#if defined(__SSE2__)
  const __m128d r = _mm_div_pd(_mm_set_pd(n1, n0), _mm_sqrt_pd(_mm_set_pd(x1, x0)));
  p0 = static_cast<float>(_mm_cvtsd_f64(r));
  p1 = static_cast<float>(_mm_cvtsd_f64(_mm_unpackhi_pd(r, r)));
#else
  p0 = static_cast<float>(n0 / std::sqrt(x0));
  p1 = static_cast<float>(n1 / std::sqrt(x1));
#endif
}

// Smoothness penaliser weight 1 / sqrt(S + eps^2), evaluated in double, kept as a float.
inline float SmoothnessPsi(float magnitude, double eps2) {
  float p0;
  float unused;
  PenaliserPair(1.0, 1.0, static_cast<double>(magnitude) + eps2, 1.0, p0, unused);
  return p0;
}

// The data constraints of pixel offset o, each robustly penalised. For constraint k with tensor J,
// q = (Iz + Ix du0 + Iy dv0)^2 expanded in the tensor entries; rounding may make it slightly
// negative, hence the clamp before the square root. The penaliser weight psi = w / sqrt(q + eps^2)
// is evaluated in double (eps is a double) and kept as a float. Constraints are accumulated in the
// order of the view: brightness channels, then the two gradient constraints.
inline __attribute__((always_inline)) void AddDataTerms(const DataTermView& d, std::ptrdiff_t o, float du0,
                                                         float dv0, PixelSystem& s) {
  // the squared residual's argument of the square root for constraint k
  auto argument = [&](int k) {
    const TensorPlanes& J = d.tensor[k];
    float q = 2.0f * (dv0 * J.j23[o] + du0 * J.j13[o] + du0 * dv0 * J.j12[o]) + du0 * du0 * J.j11[o] +
              dv0 * dv0 * J.j22[o] + J.j33[o];
    if (q < 0.0f) q = 0.0f;
    return q + d.eps2[k];
  };
  auto accumulate = [&](int k, float psi) {
    const TensorPlanes& J = d.tensor[k];
    s.a11 += psi * J.j11[o];
    s.a12 += psi * J.j12[o];
    s.a22 += psi * J.j22[o];
    s.bu -= psi * J.j13[o];
    s.bv -= psi * J.j23[o];
  };
  // constraints two at a time, accumulated in order
  const int n = d.count;
  int k = 0;
  for (; k + 1 < n; k += 2) {
    float psi0;
    float psi1;
    PenaliserPair(d.weight[k][o], d.weight[k + 1][o], argument(k), argument(k + 1), psi0, psi1);
    accumulate(k, psi0);
    accumulate(k + 1, psi1);
  }
  if (k < n) {
    float psi0;
    float unused;
    PenaliserPair(d.weight[k][o], 1.0, argument(k), 1.0, psi0, unused);
    accumulate(k, psi0);
  }
}

// Operator evaluation A(x) = M(x) x - b(x) at pixel (x, y) for a formulation whose
// `assemble(x, y, du0, dv0, system)` builds the pixel system without the level's right-hand side.
template <typename Assembly>
inline void EvaluateOperatorPixel(const float* du, const float* dv, float* outU, float* outV, int width, int x,
                                  int y, Assembly& assemble) {
  const std::ptrdiff_t o = static_cast<std::ptrdiff_t>(y) * width + x;
  const float du0 = du[o];
  const float dv0 = dv[o];
  PixelSystem s;
  assemble(x, y, du0, dv0, s);
  outU[o] = s.a12 * dv0 + s.a11 * du0 - s.bu;
  outV[o] = s.a22 * dv0 + s.a12 * du0 - s.bv;
}

// The operator at every pixel, rows split over `threads` threads (rows are independent: the
// operator reads only its inputs). Both formulations evaluate their operator through
// EvaluateOperatorPixel.
template <typename Assembly>
inline void EvaluateOperator(const cv::Size& size, const float* du, const float* dv, float* outU, float* outV,
                             Assembly assemble, int threads = 1) {
  constexpr int kMinPixelsPerRange = 16384;
  ParallelFor(
      size.height, threads,
      [&](int rowBegin, int rowEnd) {
        Assembly rows = assemble;
        for (int y = rowBegin; y < rowEnd; ++y) {
          for (int x = 0; x < size.width; ++x) EvaluateOperatorPixel(du, dv, outU, outV, size.width, x, y, rows);
        }
      },
      std::max(1, kMinPixelsPerRange / std::max(1, size.width)));
}
