#include "solver/relax_anisotropic.h"

#include <cmath>

#include "solver/pixel_system.h"

namespace {

// Determinants of smaller magnitude are pushed to +-kMinDeterminant, which bounds the update of
// nearly singular pixels.
constexpr float kMinDeterminant = 0.01f;
// Constants of the diffusion tensor (adj(S) + kDiffusionBias I) / (trace(S) + kTraceBias).
constexpr double kDiffusionBias = 50.0;
constexpr double kTraceBias = 100.0;

// Raw views of everything one anisotropic pixel system reads, built once per sweep.
struct AnisotropicLevel {
  int width = 0;
  int height = 0;
  DataTermView data;
  FloatPlane u, v, du, dv;
  FloatPlane s11, s22, s12;
  FloatPlane d11, d22, d12x2;
  FloatPlane smoothnessWeight;
  float cx = 0.0f;   // 1 / (2 hx^2)
  float cy = 0.0f;   // 1 / (2 hy^2)
  float cxy = 0.0f;  // 1 / (2 hx hy)
  double smoothnessEps2 = 0.0;
};

// Views for the smoothness magnitude alone (also used by the public evaluation).
void BindSmoothness(const LevelWorkspace& workspace, const FlowPair& flow, const FlowPair& increments,
                    const cv::Size& size, AnisotropicLevel& level) {
  level.width = size.width;
  level.height = size.height;
  const ImageRef* images[7] = {&flow.u, &flow.v, &increments.u, &increments.v,
                               &workspace.s11, &workspace.s22, &workspace.s12};
  for (const ImageRef* image : images) CheckLevelImage(*image, size);
  level.u = PlaneOf(flow.u);
  level.v = PlaneOf(flow.v);
  level.du = PlaneOf(increments.u);
  level.dv = PlaneOf(increments.v);
  level.s11 = PlaneOf(workspace.s11);
  level.s22 = PlaneOf(workspace.s22);
  level.s12 = PlaneOf(workspace.s12);
}

AnisotropicLevel BindLevel(const LevelWorkspace& workspace, const SolverParams& params,
                           const WeightMaps& weights, const FlowPair& flow, const FlowPair& increments,
                           const cv::Size& size) {
  AnisotropicLevel level;
  BindSmoothness(workspace, flow, increments, size, level);
  level.data = MakeDataTermView(workspace, params, weights, size);
  const ImageRef* images[4] = {&workspace.d11, &workspace.d22, &workspace.d12x2, &weights.smoothnessWeight};
  for (const ImageRef* image : images) CheckLevelImage(*image, size);
  level.d11 = PlaneOf(workspace.d11);
  level.d22 = PlaneOf(workspace.d22);
  level.d12x2 = PlaneOf(workspace.d12x2);
  level.smoothnessWeight = PlaneOf(weights.smoothnessWeight);
  level.cx = static_cast<float>(1.0 / (2.0 * workspace.hx * workspace.hx));
  level.cy = static_cast<float>(1.0 / (2.0 * workspace.hy * workspace.hy));
  level.cxy = static_cast<float>(1.0 / (2.0 * workspace.hx * workspace.hy));
  level.smoothnessEps2 = params.smoothnessEps * params.smoothnessEps;
  return level;
}

inline float TotalU(const AnisotropicLevel& L, int x, int y) { return L.u(x, y) + L.du(x, y); }
inline float TotalV(const AnisotropicLevel& L, int x, int y) { return L.v(x, y) + L.dv(x, y); }

// grad Q^T D grad Q summed over Q = V, then U, with D from the structure tensor at (x, y). The
// central differences are clamped at the border (one-sided and halved there, 0 across a single
// pixel). The quadratic forms are accumulated in double and rounded once.
inline float Magnitude(const AnisotropicLevel& L, int x, int y) {
  const int xm = x > 0 ? x - 1 : 0;
  const int xp = x < L.width - 1 ? x + 1 : L.width - 1;
  const int ym = y > 0 ? y - 1 : 0;
  const int yp = y < L.height - 1 ? y + 1 : L.height - 1;
  const float Ux = (TotalU(L, xp, y) - TotalU(L, xm, y)) / 2.0f;
  const float Uy = (TotalU(L, x, yp) - TotalU(L, x, ym)) / 2.0f;
  const float Vx = (TotalV(L, xp, y) - TotalV(L, xm, y)) / 2.0f;
  const float Vy = (TotalV(L, x, yp) - TotalV(L, x, ym)) / 2.0f;
  const double a = L.s11(x, y);
  const double b = L.s22(x, y);
  const double c = L.s12(x, y);
  const double den = a + b + kTraceBias;
  const double sV = ((b + kDiffusionBias) * (static_cast<double>(Vx) * Vx) +
                     (a + kDiffusionBias) * (static_cast<double>(Vy) * Vy) -
                     2.0 * c * (static_cast<double>(Vx) * Vy)) /
                    den;
  const double sU = ((b + kDiffusionBias) * (static_cast<double>(Ux) * Ux) +
                     (a + kDiffusionBias) * (static_cast<double>(Uy) * Uy) -
                     2.0 * c * (static_cast<double>(Ux) * Uy)) /
                    den;
  const float S = static_cast<float>(sV + sU);
  return S < 0.0f ? 0.0f : S;
}

// Assembles the system of pixel (x, y) at the current increments (du0, dv0). The sweep adds the
// level's right-hand side after the data terms (kWithRhs); the operator evaluation uses the very
// same code without it, which keeps the two exact counterparts.
template <bool kWithRhs>
inline void Assemble(const AnisotropicLevel& L, int x, int y, float du0, float dv0, float fu, float fv,
                     PixelSystem& s) {
  // data terms
  AddDataTerms(L.data, x, y, du0, dv0, s);

  // right-hand side of the level
  if (kWithRhs) {
    s.bu += fu;
    s.bv += fv;
  }

  // smoothness weights of the pixel and its clamped axial neighbours, each evaluated once
  const int xm = x > 0 ? x - 1 : 0;
  const int xp = x < L.width - 1 ? x + 1 : L.width - 1;
  const int ym = y > 0 ? y - 1 : 0;
  const int yp = y < L.height - 1 ? y + 1 : L.height - 1;
  const double eps2 = L.smoothnessEps2;
  const float psiC = SmoothnessPsi(Magnitude(L, x, y), eps2);
  const float psiL = xm == x ? psiC : SmoothnessPsi(Magnitude(L, xm, y), eps2);
  const float psiR = xp == x ? psiC : SmoothnessPsi(Magnitude(L, xp, y), eps2);
  const float psiU = ym == y ? psiC : SmoothnessPsi(Magnitude(L, x, ym), eps2);
  const float psiD = yp == y ? psiC : SmoothnessPsi(Magnitude(L, x, yp), eps2);

  const float uc = L.u(x, y);
  const float vc = L.v(x, y);
  const float alpha = L.smoothnessWeight(x, y);
  const float d11c = L.d11(x, y);
  const float d22c = L.d22(x, y);

  // axial terms: diffusivity averaged between the pixel and the neighbour; a neighbour clamped
  // onto the pixel itself still adds its weight on both sides of the equation
  {
    const float w = L.cx * alpha * (psiL + psiC) * (L.d11(xm, y) + d11c) * 0.5f;
    s.a11 += w;
    s.a22 += w;
    s.bu += w * (TotalU(L, xm, y) - uc);
    s.bv += w * (TotalV(L, xm, y) - vc);
  }
  {
    const float w = L.cx * alpha * (psiR + psiC) * (L.d11(xp, y) + d11c) * 0.5f;
    s.a11 += w;
    s.a22 += w;
    s.bu += w * (TotalU(L, xp, y) - uc);
    s.bv += w * (TotalV(L, xp, y) - vc);
  }
  {
    const float w = L.cy * alpha * (psiU + psiC) * (L.d22(x, ym) + d22c) * 0.5f;
    s.a11 += w;
    s.a22 += w;
    s.bu += w * (TotalU(L, x, ym) - uc);
    s.bv += w * (TotalV(L, x, ym) - vc);
  }
  {
    const float w = L.cy * alpha * (psiD + psiC) * (L.d22(x, yp) + d22c) * 0.5f;
    s.a11 += w;
    s.a22 += w;
    s.bu += w * (TotalU(L, x, yp) - uc);
    s.bv += w * (TotalV(L, x, yp) - vc);
  }

  // mixed terms d(d12 dQ/dy)/dx + d(d12 dQ/dx)/dy, explicit in all eight neighbours
  float U[8];
  float V[8];
  for (int k = 0; k < 8; ++k) {
    const NeighbourPosition n = ClampedNeighbour(k, L.width, L.height, x, y);
    U[k] = TotalU(L, n.x, n.y);
    V[k] = TotalV(L, n.x, n.y);
  }
  const float ec = L.d12x2(x, y) * 0.5f;
  const float mL = L.cxy * alpha * (psiL + psiC) * 0.5f * (L.d12x2(xm, y) * 0.5f + ec);
  const float mR = L.cxy * alpha * (psiR + psiC) * 0.5f * (L.d12x2(xp, y) * 0.5f + ec);
  const float mU = L.cxy * alpha * (psiU + psiC) * 0.5f * (L.d12x2(x, ym) * 0.5f + ec);
  const float mD = L.cxy * alpha * (psiD + psiC) * 0.5f * (L.d12x2(x, yp) * 0.5f + ec);
  s.bu += 0.25f * ((U[1] + U[0] - U[3] - U[4]) * mR - (U[0] + U[7] - U[5] - U[4]) * mL);
  s.bu += 0.25f * ((U[1] + U[2] - U[7] - U[6]) * mD - (U[3] + U[2] - U[5] - U[6]) * mU);
  s.bv += 0.25f * ((V[1] + V[0] - V[3] - V[4]) * mR - (V[0] + V[7] - V[5] - V[4]) * mL);
  s.bv += 0.25f * ((V[1] + V[2] - V[7] - V[6]) * mD - (V[3] + V[2] - V[5] - V[6]) * mU);
}

// Solves the pixel system by Cramer's rule. A zero or undefined determinant leaves (du, dv) as
// they are; a small one is pushed to +-kMinDeterminant with its sign.
inline void SolvePixel(const PixelSystem& s, float& du, float& dv) {
  float det = s.a12 * s.a12 - s.a11 * s.a22;
  if (!(std::fabs(det) > 0.0f)) return;
  if (std::fabs(det) < kMinDeterminant) det = det > 0.0f ? kMinDeterminant : -kMinDeterminant;
  du = (s.a12 * s.bv - s.a22 * s.bu) / det;
  dv = (s.a12 * s.bu - s.a11 * s.bv) / det;
}

}  // namespace

float SmoothnessMagnitudeAnisotropic(const LevelWorkspace& workspace, const FlowPair& flow,
                                     const FlowPair& increments, int x, int y) {
  CV_Assert(!flow.u.Empty());
  const cv::Size size = flow.u.Mat().size();
  CV_Assert(x >= 0 && x < size.width && y >= 0 && y < size.height);
  AnisotropicLevel level;
  BindSmoothness(workspace, flow, increments, size, level);
  return Magnitude(level, x, y);
}

void RelaxAnisotropic(const LevelWorkspace& workspace, const SolverParams& params, const WeightMaps& weights,
                      const FlowPair& flow, const FlowPair& increments, const FlowPair& rhs) {
  if (!params.useBrightness && !params.useGradient) return;
  const cv::Size size = LevelSize(workspace, params);
  const AnisotropicLevel L = BindLevel(workspace, params, weights, flow, increments, size);
  CheckLevelImage(rhs.u, size);
  CheckLevelImage(rhs.v, size);
  const FloatPlane fu = PlaneOf(rhs.u);
  const FloatPlane fv = PlaneOf(rhs.v);

  // Colour 0 first, then colour 1; in place, so later pixels see the increments written before
  // them (the diagonal neighbours of the mixed terms have the pixel's own colour).
  for (int colour = 0; colour < 2; ++colour) {
    for (int y = 0; y < size.height; ++y) {
      for (int x = (colour + y) % 2; x < size.width; x += 2) {
        float& du = L.du(x, y);
        float& dv = L.dv(x, y);
        PixelSystem s;
        Assemble<true>(L, x, y, du, dv, fu(x, y), fv(x, y), s);
        SolvePixel(s, du, dv);
      }
    }
  }
}

void ApplyOperatorAnisotropic(const LevelWorkspace& workspace, const SolverParams& params,
                              const WeightMaps& weights, const FlowPair& flow, const FlowPair& increments,
                              const FlowPair& out) {
  if (!params.useBrightness && !params.useGradient) return;
  const cv::Size size = LevelSize(workspace, params);
  if (size.height < 1) return;
  const AnisotropicLevel L = BindLevel(workspace, params, weights, flow, increments, size);
  CheckLevelImage(out.u, size);
  CheckLevelImage(out.v, size);
  const FloatPlane outU = PlaneOf(out.u);
  const FloatPlane outV = PlaneOf(out.v);

  for (int y = 0; y < size.height; ++y) {
    for (int x = 0; x < size.width; ++x) {
      const float du0 = L.du(x, y);
      const float dv0 = L.dv(x, y);
      PixelSystem s;
      Assemble<false>(L, x, y, du0, dv0, 0.0f, 0.0f, s);
      outU(x, y) = s.a12 * dv0 + s.a11 * du0 - s.bu;
      outV(x, y) = s.a22 * dv0 + s.a12 * du0 - s.bv;
    }
  }
}
