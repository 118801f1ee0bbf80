#include "solver/relax_isotropic.h"

#include <cmath>
#include <ostream>

#include "solver/pixel_system.h"

namespace {

// Determinants of smaller magnitude are replaced by +-kMinDeterminant; a singular system is solved
// with +kMinDeterminant.
constexpr float kMinDeterminant = 0.01f;
// Console marker of an undefined increment.
constexpr char kUndefinedIncrementMarker[] = "###########################################";

// Raw views of everything one isotropic pixel system reads; all images share the element offset
// y * stride + x (CheckLevelImage).
struct IsotropicLevel {
  int width = 0;
  int height = 0;
  std::ptrdiff_t stride = 0;
  DataTermView data;
  const float* u = nullptr;
  const float* v = nullptr;
  float* du = nullptr;
  float* dv = nullptr;
  const float* smoothnessWeight = nullptr;
  float cx = 0.0f;  // 1 / (2 hx^2)
  float cy = 0.0f;  // 1 / (2 hy^2)
  double smoothnessEps2 = 0.0;
};

void BindFlow(const FlowPair& flow, const FlowPair& increments, const cv::Size& size, IsotropicLevel& level) {
  level.width = size.width;
  level.height = size.height;
  level.stride = size.width;
  for (const ImageRef* image : {&flow.u, &flow.v, &increments.u, &increments.v}) CheckLevelImage(*image, size);
  level.u = PlaneOf(flow.u);
  level.v = PlaneOf(flow.v);
  level.du = PlaneOf(increments.u);
  level.dv = PlaneOf(increments.v);
}

IsotropicLevel BindLevel(const LevelWorkspace& workspace, const SolverParams& params, const WeightMaps& weights,
                         const FlowPair& flow, const FlowPair& increments, const cv::Size& size) {
  IsotropicLevel level;
  BindFlow(flow, increments, size, level);
  CV_Assert(!workspace.factored);  // the reference kernels read products
  level.data = MakeDataTermView(workspace, params, weights, size);
  CheckLevelImage(weights.smoothnessWeight, size);
  level.smoothnessWeight = PlaneOf(weights.smoothnessWeight);
  level.cx = static_cast<float>(1.0 / (2.0 * workspace.hx * workspace.hx));
  level.cy = static_cast<float>(1.0 / (2.0 * workspace.hy * workspace.hy));
  level.smoothnessEps2 = params.smoothnessEps * params.smoothnessEps;
  return level;
}

inline float TotalU(const IsotropicLevel& L, std::ptrdiff_t o) { return L.u[o] + L.du[o]; }
inline float TotalV(const IsotropicLevel& L, std::ptrdiff_t o) { return L.v[o] + L.dv[o]; }

// Squared gradient of the total flow from clamped central differences, summed in double (the
// squares of float differences are exact there) and rounded once.
inline float Magnitude(const IsotropicLevel& L, int x, int y) {
  const std::ptrdiff_t s = L.stride;
  const std::ptrdiff_t o = y * s + x;
  const std::ptrdiff_t oL = o + ((x > 0 ? x - 1 : 0) - x);
  const std::ptrdiff_t oR = o + ((x < L.width - 1 ? x + 1 : L.width - 1) - x);
  const std::ptrdiff_t oU = o + ((y > 0 ? y - 1 : 0) - y) * s;
  const std::ptrdiff_t oD = o + ((y < L.height - 1 ? y + 1 : L.height - 1) - y) * s;
  const float Ux = (TotalU(L, oR) - TotalU(L, oL)) / 2.0f;
  const float Uy = (TotalU(L, oD) - TotalU(L, oU)) / 2.0f;
  const float Vx = (TotalV(L, oR) - TotalV(L, oL)) / 2.0f;
  const float Vy = (TotalV(L, oD) - TotalV(L, oU)) / 2.0f;
  return static_cast<float>(static_cast<double>(Vx) * Vx + static_cast<double>(Ux) * Ux +
                            static_cast<double>(Uy) * Uy + static_cast<double>(Vy) * Vy);
}

// One neighbour's coupling: penaliser weights summed, no diffusivity.
inline void AddNeighbour(const IsotropicLevel& L, int nx, int ny, float c, float alpha, float psiC, float uc,
                         float vc, PixelSystem& s) {
  const std::ptrdiff_t on = ny * L.stride + nx;
  const float psiN = SmoothnessPsi(Magnitude(L, nx, ny), L.smoothnessEps2);
  const float w = c * alpha * (psiN + psiC);
  s.a11 += w;
  s.a22 += w;
  s.bu += w * (TotalU(L, on) - uc);
  s.bv += w * (TotalV(L, on) - vc);
}

// The system of pixel (x, y) without the level's right-hand side; shared by sweep and operator.
inline void Assemble(const IsotropicLevel& L, int x, int y, float du0, float dv0, PixelSystem& s) {
  const std::ptrdiff_t o = y * L.stride + x;

  // data terms
  AddDataTerms(L.data, o, du0, dv0, s);

  // smoothness terms; a neighbour outside the image contributes nothing
  const float psiC = SmoothnessPsi(Magnitude(L, x, y), L.smoothnessEps2);
  const float alpha = L.smoothnessWeight[o];
  const float uc = L.u[o];
  const float vc = L.v[o];
  if (x - 1 >= 0) AddNeighbour(L, x - 1, y, L.cx, alpha, psiC, uc, vc, s);
  if (x + 1 <= L.width - 1) AddNeighbour(L, x + 1, y, L.cx, alpha, psiC, uc, vc, s);
  if (y - 1 >= 0) AddNeighbour(L, x, y - 1, L.cy, alpha, psiC, uc, vc, s);
  if (y + 1 <= L.height - 1) AddNeighbour(L, x, y + 1, L.cy, alpha, psiC, uc, vc, s);
}

}  // namespace

float SmoothnessMagnitudeIsotropic(const FlowPair& flow, const FlowPair& increments, int x, int y) {
  CV_Assert(!flow.u.Empty());
  const cv::Size size = flow.u.Mat().size();
  CV_Assert(x >= 0 && x < size.width && y >= 0 && y < size.height);
  IsotropicLevel level;
  BindFlow(flow, increments, size, level);
  return Magnitude(level, x, y);
}

void RelaxIsotropic(const LevelWorkspace& workspace, const SolverParams& params, const WeightMaps& weights,
                    const FlowPair& flow, const FlowPair& increments, const FlowPair& rhs) {
  if (!params.useBrightness && !params.useGradient) return;
  const cv::Size size = LevelSize(workspace, params);
  const IsotropicLevel L = BindLevel(workspace, params, weights, flow, increments, size);
  CheckLevelImage(rhs.u, size);
  CheckLevelImage(rhs.v, size);
  const float* fu = PlaneOf(rhs.u);
  const float* fv = PlaneOf(rhs.v);

  for (int y = 0; y < size.height; ++y) {
    for (int x = 0; x < size.width; ++x) {
      const std::ptrdiff_t o = y * L.stride + x;
      float& du = L.du[o];
      float& dv = L.dv[o];
      PixelSystem s;
      Assemble(L, x, y, du, dv, s);
      // right-hand side of the level
      s.bu += fu[o];
      s.bv += fv[o];
      // solve the 2x2 system; an undefined determinant is kept as it is
      float det = s.a12 * s.a12 - s.a11 * s.a22;
      if (std::fabs(det) < kMinDeterminant) det = det >= 0.0f ? kMinDeterminant : -kMinDeterminant;
      du = (s.a12 * s.bv - s.a22 * s.bu) / det;
      dv = (s.a12 * s.bu - s.a11 * s.bv) / det;
      if (!(du >= 0.0f) && !(du < 0.0f)) {
        // Report and go on: the value stays, nothing waits for the console.
        if (params.diagnostics != nullptr) *params.diagnostics << kUndefinedIncrementMarker << std::endl;
      }
    }
  }
}

void ApplyOperatorIsotropic(const LevelWorkspace& workspace, const SolverParams& params,
                            const WeightMaps& weights, const FlowPair& flow, const FlowPair& increments,
                            const FlowPair& out) {
  if (!params.useBrightness && !params.useGradient) return;
  const cv::Size size = LevelSize(workspace, params);
  const IsotropicLevel L = BindLevel(workspace, params, weights, flow, increments, size);
  CheckLevelImage(out.u, size);
  CheckLevelImage(out.v, size);
  EvaluateOperator(size, L.du, L.dv, PlaneOf(out.u), PlaneOf(out.v),
                   [&L](int x, int y, float du0, float dv0, PixelSystem& s) { Assemble(L, x, y, du0, dv0, s); },
                   params.threads);
}
