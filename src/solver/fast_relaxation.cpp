#include "solver/fast_relaxation.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <type_traits>

#if defined(__x86_64__) && defined(__GNUC__)
#define MORVI_FAST_AVX2 1
#include <immintrin.h>
#endif

#include "solver/anisotropic_simd.h"
#include "solver/pixel_system.h"
#include "solver/sweep_team.h"

namespace {

// Constants of the diffusion tensor (adj(S) + bias I) / (trace(S) + trace bias), as the reference.
constexpr float kFastDiffusionBias = 50.0f;
constexpr float kFastTraceBias = 100.0f;
// Determinants of smaller magnitude are pushed to +-kFastMinDeterminant (bounds nearly singular
// pixels' updates).
constexpr float kFastMinDeterminant = 0.01f;
// Inverse entry marking a pixel whose system is singular: it keeps its increments.
constexpr float kFastSingular = std::numeric_limits<float>::quiet_NaN();
// Levels below this many pixels per thread are relaxed on one thread: the hand-over costs more.
constexpr long kMinPixelsPerThread = 8192;

// The eight neighbours, y growing downwards.
enum Neighbour { kBelow, kBelowRight, kRight, kAboveRight, kAbove, kAboveLeft, kLeft, kBelowLeft };
constexpr int kDx[8] = {0, 1, 1, 1, 0, -1, -1, -1};
constexpr int kDy[8] = {1, 1, 0, -1, -1, -1, 0, 1};

// Element offsets of the eight neighbours of a pixel, clamped into the level (a clamped neighbour
// may be the pixel itself).
struct FastNeighbours {
  std::ptrdiff_t offset[8];
};

// One data constraint: its motion tensor, weight map and squared penaliser constant.
struct FastDataTerm {
  TensorPlanes J;
  const float* weight;
  float eps2;
};

// Everything the fast kernels of one level read and write; every plane shares the element offset
// y * stride + x.
struct FastLevel {
  int width = 0;
  int height = 0;
  std::ptrdiff_t stride = 0;
  const float* u = nullptr;
  const float* v = nullptr;
  float* du = nullptr;
  float* dv = nullptr;
  const float* fu = nullptr;
  const float* fv = nullptr;
  const float* s11 = nullptr;
  const float* s22 = nullptr;
  const float* s12 = nullptr;
  // pixels whose structure tensor the smoothness magnitude scales by `damping` (null: none)
  const uint8_t* damped = nullptr;
  float damping = 1.0f;
  const float* smoothnessWeight = nullptr;
  int dataCount = 0;
  FastDataTerm data[DataTermView::kMaxConstraints];
  float cx = 0.0f;   // 1 / (2 hx^2)
  float cy = 0.0f;   // 1 / (2 hy^2)
  float cxy = 0.0f;  // 1 / (2 hx hy)
  float smoothnessEps2 = 0.0f;
  // scratch: smoothness penaliser weight, the stored equations
  float* psi = nullptr;
  float* c[8] = {};
  float* ru = nullptr;
  float* rv = nullptr;
  float* i11 = nullptr;
  float* i12 = nullptr;
  float* i22 = nullptr;
};

inline FastNeighbours ClampedNeighbours(const FastLevel& L, int x, int y) {
  FastNeighbours n;
  for (int k = 0; k < 8; ++k) {
    const int nx = std::min(std::max(x + kDx[k], 0), L.width - 1);
    const int ny = std::min(std::max(y + kDy[k], 0), L.height - 1);
    n.offset[k] = static_cast<std::ptrdiff_t>(ny - y) * L.stride + (nx - x);
  }
  return n;
}

inline FastNeighbours InteriorNeighbours(const FastLevel& L) {
  FastNeighbours n;
  for (int k = 0; k < 8; ++k) n.offset[k] = static_cast<std::ptrdiff_t>(kDy[k]) * L.stride + kDx[k];
  return n;
}

}  // namespace

namespace fast_scalar {
namespace {

template <class V>
constexpr int LaneCount() {
  return 1;
}
inline bool ColourLanes(int, float) { return true; }

#include "solver/fast_relaxation_kernels.inc"

// This instance's row kernels, single pixels only.
struct Kernels {
  static void SmoothnessWeights(const FastLevel& L, int begin, int end) { SmoothnessWeightRows<float>(L, begin, end); }
  static void Equations(const FastLevel& L, int begin, int end) { EquationRows<float>(L, begin, end); }
  static void RelaxColour(const FastLevel& L, int px, int py, int begin, int end) {
    RelaxColourRows<float>(L, px, py, begin, end);
  }
  static void Operator(const FastLevel& L, float* outU, float* outV, int begin, int end) {
    OperatorRows<float>(L, outU, outV, begin, end);
  }
};

}  // namespace
}  // namespace fast_scalar

#if defined(MORVI_FAST_AVX2)
#pragma GCC push_options
#pragma GCC target("avx2")
namespace fast_avx2 {
namespace {

// Eight floats; a class of its own so that its arithmetic is the explicit intrinsics below, each
// correctly rounded per lane like the scalar operation (no fused multiply-adds).
struct F8 {
  __m256 m;
};
inline F8 operator+(F8 a, F8 b) { return F8{_mm256_add_ps(a.m, b.m)}; }
inline F8 operator-(F8 a, F8 b) { return F8{_mm256_sub_ps(a.m, b.m)}; }
inline F8 operator*(F8 a, F8 b) { return F8{_mm256_mul_ps(a.m, b.m)}; }
inline F8 operator/(F8 a, F8 b) { return F8{_mm256_div_ps(a.m, b.m)}; }
inline F8 Load(const float* p, F8) { return F8{_mm256_loadu_ps(p)}; }
inline void Store(float* p, F8 x) { _mm256_storeu_ps(p, x.m); }
inline F8 Splat(float s, F8) { return F8{_mm256_set1_ps(s)}; }
inline F8 Sqrt(F8 x) { return F8{_mm256_sqrt_ps(x.m)}; }
inline F8 Abs(F8 x) { return F8{_mm256_andnot_ps(_mm256_set1_ps(-0.0f), x.m)}; }
inline F8 ClampNegative(F8 x) {
  const __m256 zero = _mm256_setzero_ps();
  return F8{_mm256_blendv_ps(x.m, zero, _mm256_cmp_ps(x.m, zero, _CMP_LT_OQ))};
}
inline F8 Select(F8 mask, F8 a, F8 b) { return F8{_mm256_blendv_ps(b.m, a.m, mask.m)}; }
inline F8 IsNaN(F8 x) { return F8{_mm256_cmp_ps(x.m, x.m, _CMP_UNORD_Q)}; }
inline F8 Less(F8 a, F8 b) { return F8{_mm256_cmp_ps(a.m, b.m, _CMP_LT_OQ)}; }
inline F8 Greater(F8 a, F8 b) { return F8{_mm256_cmp_ps(a.m, b.m, _CMP_GT_OQ)}; }

template <class V>
constexpr int LaneCount() {
  return std::is_same_v<V, F8> ? 8 : 1;
}
// Lanes of a block starting at an odd column that hold pixels of column parity px.
inline F8 ColourLanes(int px, F8) {
  const __m256i oddLanes = _mm256_set_epi32(-1, 0, -1, 0, -1, 0, -1, 0);  // columns x + 1, x + 3, ...
  const __m256i evenLanes = _mm256_set_epi32(0, -1, 0, -1, 0, -1, 0, -1);  // columns x, x + 2, ...
  // the block starts at an odd column: its lanes 0, 2, ... hold odd columns
  return F8{_mm256_castsi256_ps(px == 1 ? evenLanes : oddLanes)};
}
inline bool ColourLanes(int, float) { return true; }
// Lanes whose byte at p (eight bytes, one a lane) is non-zero.
inline F8 MarkedLanes(const uint8_t* p, F8) {
  const __m256i bytes = _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
  return F8{_mm256_castsi256_ps(_mm256_cmpgt_epi32(bytes, _mm256_setzero_si256()))};
}

#include "solver/fast_relaxation_kernels.inc"

// This instance's row kernels, eight pixels to a block.
struct Kernels {
  static void SmoothnessWeights(const FastLevel& L, int begin, int end) { SmoothnessWeightRows<F8>(L, begin, end); }
  static void Equations(const FastLevel& L, int begin, int end) { EquationRows<F8>(L, begin, end); }
  static void RelaxColour(const FastLevel& L, int px, int py, int begin, int end) {
    RelaxColourRows<F8>(L, px, py, begin, end);
  }
  static void Operator(const FastLevel& L, float* outU, float* outV, int begin, int end) {
    OperatorRows<F8>(L, outU, outV, begin, end);
  }
};

}  // namespace
}  // namespace fast_avx2
#pragma GCC pop_options
#endif

namespace {

FastLevel BindFastLevel(FastRelaxationScratch& scratch, const LevelWorkspace& workspace, const SolverParams& params,
                        const WeightMaps& weights, const FlowPair& flow, const FlowPair& increments) {
  const cv::Size size = LevelSize(workspace, params);
  CV_Assert(static_cast<std::ptrdiff_t>(size.area()) <= scratch.Capacity());
  FastLevel L;
  L.width = size.width;
  L.height = size.height;
  L.stride = size.width;
  for (const ImageRef* image : {&flow.u, &flow.v, &increments.u, &increments.v, &workspace.s11, &workspace.s22,
                                &workspace.s12, &weights.smoothnessWeight}) {
    CheckLevelImage(*image, size);
  }
  L.u = PlaneOf(flow.u);
  L.v = PlaneOf(flow.v);
  L.du = PlaneOf(increments.u);
  L.dv = PlaneOf(increments.v);
  L.s11 = PlaneOf(workspace.s11);
  L.s22 = PlaneOf(workspace.s22);
  L.s12 = PlaneOf(workspace.s12);
  L.smoothnessWeight = PlaneOf(weights.smoothnessWeight);
  if (!workspace.damped.Empty()) {
    const cv::Mat& damped = workspace.damped.Mat();
    CV_Assert(damped.type() == CV_8UC1 && damped.size() == size && damped.isContinuous());
    L.damped = damped.ptr<uint8_t>();
    L.damping = workspace.damping;
  }
  const DataTermView view = MakeDataTermView(workspace, params, weights, size);
  L.dataCount = view.count;
  for (int k = 0; k < view.count; ++k) {
    L.data[k] = FastDataTerm{view.tensor[k], view.weight[k], static_cast<float>(view.eps2[k])};
  }
  L.cx = static_cast<float>(1.0 / (2.0 * workspace.hx * workspace.hx));
  L.cy = static_cast<float>(1.0 / (2.0 * workspace.hy * workspace.hy));
  L.cxy = static_cast<float>(1.0 / (2.0 * workspace.hx * workspace.hy));
  L.smoothnessEps2 = static_cast<float>(params.smoothnessEps * params.smoothnessEps);
  int plane = 0;
  L.psi = scratch.Plane(plane++);
  for (float*& c : L.c) c = scratch.Plane(plane++);
  L.ru = scratch.Plane(plane++);
  L.rv = scratch.Plane(plane++);
  L.i11 = scratch.Plane(plane++);
  L.i12 = scratch.Plane(plane++);
  L.i22 = scratch.Plane(plane++);
  return L;
}

bool UseVectorKernels(const SolverParams& params) {
#if defined(MORVI_FAST_AVX2)
  return params.vectorise != 0 && SimdKernelsAvailable();
#else
  (void)params;
  return false;
#endif
}

// Runs rows(begin, end) over the level's rows, split into contiguous ranges over the solve's team
// when the level is large enough. Every row's result depends only on the pass's inputs, so the
// split does not change a bit.
template <class Rows>
void ForRowRanges(const FastLevel& L, SweepTeam* team, const Rows& rows) {
  int members = team != nullptr ? team->Size() : 1;
  members = static_cast<int>(std::min<long>(members, static_cast<long>(L.width) * L.height / kMinPixelsPerThread));
  members = std::min(members, L.height);
  if (members <= 1) {
    rows(0, L.height);
    return;
  }
  team->Run([&](int member) {
    if (member >= members) return;
    const int begin = static_cast<int>(static_cast<long>(L.height) * member / members);
    const int end = static_cast<int>(static_cast<long>(L.height) * (member + 1) / members);
    rows(begin, end);
  });
}

// The threads of a call: the solve's team, or a team of its own for a call outside a solve.
class CallTeam {
 public:
  CallTeam(const FastLevel& L, const SolverParams& params) : team_(params.team) {
    const long wanted = std::min<long>(params.threads, static_cast<long>(L.width) * L.height / kMinPixelsPerThread);
    if (team_ == nullptr && wanted > 1) {
      own_ = std::make_unique<SweepTeam>(static_cast<int>(wanted));
      team_ = own_.get();
    }
  }
  SweepTeam* Get() const { return team_; }

 private:
  SweepTeam* team_;
  std::unique_ptr<SweepTeam> own_;
};

// Runs pass(kernels, begin, end) over row ranges on the team, with the AVX2 instance of the
// kernels where it runs and the baseline instance else; both give the same bits.
template <class Pass>
void RunPass(const FastLevel& L, SweepTeam* team, bool vector, const Pass& pass) {
  ForRowRanges(L, team, [&](int begin, int end) {
#if defined(MORVI_FAST_AVX2)
    if (vector) {
      pass(fast_avx2::Kernels{}, begin, end);
      return;
    }
#endif
    (void)vector;
    pass(fast_scalar::Kernels{}, begin, end);
  });
}

void SmoothnessWeightPass(const FastLevel& L, SweepTeam* team, bool vector) {
  RunPass(L, team, vector, [&](auto kernels, int begin, int end) {
    decltype(kernels)::SmoothnessWeights(L, begin, end);
  });
}

}  // namespace

FastRelaxationScratch::FastRelaxationScratch(const cv::Size& largest)
    : capacity_(std::max<std::ptrdiff_t>(1, static_cast<std::ptrdiff_t>(largest.area()))),
      planes_(new float[static_cast<size_t>(capacity_) * kPlaneCount]) {}

ImageRef FastRelaxationScratch::PlaneImage(int index, const cv::Size& size) const {
  CV_Assert(index >= 0 && index < kPlaneCount && static_cast<std::ptrdiff_t>(size.area()) <= capacity_);
  return ImageRef(cv::Mat(size, CV_32FC1, Plane(index)));
}

void RelaxAnisotropicFast(FastRelaxationScratch& scratch, const LevelWorkspace& workspace, const SolverParams& params,
                          const WeightMaps& weights, const FlowPair& flow, const FlowPair& increments,
                          const FlowPair& rhs, int sweeps) {
  if (!params.useBrightness && !params.useGradient) return;
  FastLevel L = BindFastLevel(scratch, workspace, params, weights, flow, increments);
  if (L.height < 1) return;
  // an empty right-hand side is zero
  CV_Assert(rhs.u.Empty() == rhs.v.Empty());
  if (!rhs.u.Empty()) {
    CheckLevelImage(rhs.u, cv::Size(L.width, L.height));
    CheckLevelImage(rhs.v, cv::Size(L.width, L.height));
    L.fu = PlaneOf(rhs.u);
    L.fv = PlaneOf(rhs.v);
  }
  const bool vector = UseVectorKernels(params);
  const CallTeam team(L, params);

  // The weights at the increments the first sweep starts from, kept for all `sweeps` sweeps: a
  // smoothing step of the cycle relaxes one linear system. Evaluating them before every sweep
  // instead measured the same accuracy at a third more time.
  SmoothnessWeightPass(L, team.Get(), vector);
  RunPass(L, team.Get(), vector,
          [&](auto kernels, int begin, int end) { decltype(kernels)::Equations(L, begin, end); });

  for (int sweep = 0; sweep < sweeps; ++sweep) {
    // the four colours in turn
    for (int colour = 0; colour < 4; ++colour) {
      const int px = colour % 2;
      const int py = colour / 2;
      RunPass(L, team.Get(), vector,
              [&](auto kernels, int begin, int end) { decltype(kernels)::RelaxColour(L, px, py, begin, end); });
    }
  }
}

void ApplyOperatorAnisotropicFast(FastRelaxationScratch& scratch, const LevelWorkspace& workspace,
                                  const SolverParams& params, const WeightMaps& weights, const FlowPair& flow,
                                  const FlowPair& increments, const FlowPair& out) {
  if (!params.useBrightness && !params.useGradient) return;
  const FastLevel L = BindFastLevel(scratch, workspace, params, weights, flow, increments);
  if (L.height < 1) return;
  CheckLevelImage(out.u, cv::Size(L.width, L.height));
  CheckLevelImage(out.v, cv::Size(L.width, L.height));
  float* outU = PlaneOf(out.u);
  float* outV = PlaneOf(out.v);
  const bool vector = UseVectorKernels(params);
  const CallTeam team(L, params);

  SmoothnessWeightPass(L, team.Get(), vector);
  RunPass(L, team.Get(), vector,
          [&](auto kernels, int begin, int end) { decltype(kernels)::Operator(L, outU, outV, begin, end); });
}

LevelFormulation FastAnisotropicFormulation(FastRelaxationScratch& scratch) {
  FastRelaxationScratch* s = &scratch;
  return LevelFormulation{
      [s](const LevelWorkspace& workspace, const SolverParams& params, const WeightMaps& weights,
          const FlowPair& flow, const FlowPair& increments, const FlowPair& rhs) {
        RelaxAnisotropicFast(*s, workspace, params, weights, flow, increments, rhs, 1);
      },
      [s](const LevelWorkspace& workspace, const SolverParams& params, const WeightMaps& weights,
          const FlowPair& flow, const FlowPair& increments, const FlowPair& out) {
        ApplyOperatorAnisotropicFast(*s, workspace, params, weights, flow, increments, out);
      },
      [s](const LevelWorkspace& workspace, const SolverParams& params, const WeightMaps& weights,
          const FlowPair& flow, const FlowPair& increments, const FlowPair& rhs, int sweeps) {
        RelaxAnisotropicFast(*s, workspace, params, weights, flow, increments, rhs, sweeps);
      }};
}
