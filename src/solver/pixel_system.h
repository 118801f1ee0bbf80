// Building blocks shared by the relaxation sweeps and the operator evaluations: the per-pixel 2x2
// system, the clamped eight-neighbourhood, raw views of a level's images and the data terms.
//
// Everything here is inline: these pieces run once per pixel and per sweep, and the sweep and the
// operator of a formulation must assemble bit-identical systems.
#pragma once

#include <cmath>
#include <cstddef>

#include <opencv2/core.hpp>

#include "image/image_ref.h"
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

// Raw view of a single-channel float image: base pointer and row stride in elements. Kernels
// address pixels through it instead of cv::Mat::at.
struct FloatPlane {
  float* data = nullptr;
  std::ptrdiff_t stride = 0;

  float& operator()(int x, int y) const { return data[y * stride + x]; }
};

inline FloatPlane PlaneOf(const ImageRef& image) {
  if (image.Empty()) return FloatPlane{};
  cv::Mat& m = image.Mat();
  return FloatPlane{m.ptr<float>(0), static_cast<std::ptrdiff_t>(m.step1())};
}

// Checks that an image of a level exists as single-channel float of the level size. Entry points
// call it once per call; the kernels then trust the views.
inline void CheckLevelImage(const ImageRef& image, const cv::Size& size) {
  CV_Assert(!image.Empty() && image.Mat().type() == CV_32FC1 && image.Mat().size() == size);
}

// Level size: that of the first brightness tensor, or of the first gradient tensor when the
// brightness term is off; 0 x 0 when both data terms are off.
inline cv::Size LevelSize(const LevelWorkspace& workspace, const SolverParams& params) {
  if (params.useBrightness) return cv::Size(workspace.b11[0].Width(), workspace.b11[0].Height());
  if (params.useGradient) return cv::Size(workspace.g11[0].Width(), workspace.g11[0].Height());
  return cv::Size(0, 0);
}

// The six products of one linearised constraint.
struct TensorPlanes {
  FloatPlane j11, j12, j22, j13, j23, j33;
};

// Everything the data terms of a pixel read: the tensors of the active constraints, their weight
// maps and squared penaliser constants.
struct DataTermView {
  int brightnessCount = 0;  // colour channels of the brightness term, 0 when it is off
  int gradientCount = 0;    // 2 when the gradient term is on, else 0
  TensorPlanes brightness[3];
  TensorPlanes gradient[2];
  FloatPlane brightnessWeight;
  FloatPlane gradientWeight;
  double brightnessEps2 = 0.0;
  double gradientEps2 = 0.0;
};

inline DataTermView MakeDataTermView(const LevelWorkspace& workspace, const SolverParams& params,
                                     const WeightMaps& weights, const cv::Size& size) {
  DataTermView view;
  if (params.useBrightness) {
    CV_Assert(workspace.channels >= 1 && workspace.channels <= 3);
    view.brightnessCount = workspace.channels;
    CheckLevelImage(weights.brightnessWeight, size);
    view.brightnessWeight = PlaneOf(weights.brightnessWeight);
    view.brightnessEps2 = params.brightnessEps * params.brightnessEps;
    for (int k = 0; k < view.brightnessCount; ++k) {
      const ImageRef* images[6] = {&workspace.b11[k], &workspace.b12[k], &workspace.b22[k],
                                   &workspace.b13[k], &workspace.b23[k], &workspace.b33[k]};
      for (const ImageRef* image : images) CheckLevelImage(*image, size);
      view.brightness[k] = TensorPlanes{PlaneOf(workspace.b11[k]), PlaneOf(workspace.b12[k]),
                                        PlaneOf(workspace.b22[k]), PlaneOf(workspace.b13[k]),
                                        PlaneOf(workspace.b23[k]), PlaneOf(workspace.b33[k])};
    }
  }
  if (params.useGradient) {
    view.gradientCount = 2;
    CheckLevelImage(weights.gradientWeight, size);
    view.gradientWeight = PlaneOf(weights.gradientWeight);
    view.gradientEps2 = params.gradientEps * params.gradientEps;
    for (int k = 0; k < 2; ++k) {
      const ImageRef* images[6] = {&workspace.g11[k], &workspace.g12[k], &workspace.g22[k],
                                   &workspace.g13[k], &workspace.g23[k], &workspace.g33[k]};
      for (const ImageRef* image : images) CheckLevelImage(*image, size);
      view.gradient[k] = TensorPlanes{PlaneOf(workspace.g11[k]), PlaneOf(workspace.g12[k]),
                                      PlaneOf(workspace.g22[k]), PlaneOf(workspace.g13[k]),
                                      PlaneOf(workspace.g23[k]), PlaneOf(workspace.g33[k])};
    }
  }
  return view;
}

// One robustly penalised data constraint at (x, y). q is the squared linearised residual
// (Iz + Ix du0 + Iy dv0)^2 expanded in the tensor entries; rounding may make it slightly negative,
// hence the clamp before the square root. The penaliser weight psi = w / sqrt(q + eps^2) is
// evaluated in double (eps is a double) and kept as a float.
inline void AddDataConstraint(const TensorPlanes& J, int x, int y, float du0, float dv0, float weight,
                              double eps2, PixelSystem& s) {
  const float j11 = J.j11(x, y);
  const float j12 = J.j12(x, y);
  const float j22 = J.j22(x, y);
  const float j13 = J.j13(x, y);
  const float j23 = J.j23(x, y);
  const float j33 = J.j33(x, y);
  float q = 2.0f * (dv0 * j23 + du0 * j13 + du0 * dv0 * j12) + du0 * du0 * j11 + dv0 * dv0 * j22 + j33;
  if (q < 0.0f) q = 0.0f;
  const float psi = static_cast<float>(weight / std::sqrt(q + eps2));
  s.a11 += psi * j11;
  s.a12 += psi * j12;
  s.a22 += psi * j22;
  s.bu -= psi * j13;
  s.bv -= psi * j23;
}

// Brightness constraints channel by channel, then the two gradient constraints; each has its own
// penaliser.
inline void AddDataTerms(const DataTermView& d, int x, int y, float du0, float dv0, PixelSystem& s) {
  if (d.brightnessCount > 0) {
    const float w = d.brightnessWeight(x, y);
    for (int k = 0; k < d.brightnessCount; ++k) AddDataConstraint(d.brightness[k], x, y, du0, dv0, w, d.brightnessEps2, s);
  }
  if (d.gradientCount > 0) {
    const float w = d.gradientWeight(x, y);
    for (int k = 0; k < d.gradientCount; ++k) AddDataConstraint(d.gradient[k], x, y, du0, dv0, w, d.gradientEps2, s);
  }
}

// Smoothness penaliser weight 1 / sqrt(S + eps^2), evaluated in double, kept as a float.
inline float SmoothnessPsi(float magnitude, double eps2) {
  return static_cast<float>(1.0 / std::sqrt(static_cast<double>(magnitude) + eps2));
}
