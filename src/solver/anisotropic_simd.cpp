#include "solver/anisotropic_simd.h"

#include <cmath>

#if defined(__x86_64__) && defined(__GNUC__)
#define MORVI_AVX2_KERNELS 1
#include <immintrin.h>
#endif

#if defined(MORVI_AVX2_KERNELS)

// The kernels carry the target attribute themselves, so this file builds with the project's
// baseline flags and every inline function it shares with other files stays baseline code.
#define MORVI_AVX2 __attribute__((target("avx2")))
#define MORVI_AVX2_INLINE __attribute__((target("avx2"), always_inline)) inline

namespace {

// Eight floats; a class of its own so that its arithmetic is the explicit intrinsics below.
struct F8 {
  __m256 m;
  MORVI_AVX2_INLINE F8() = default;
  MORVI_AVX2_INLINE F8(__m256 x) : m(x) {}  // NOLINT: a thin wrapper
  MORVI_AVX2_INLINE operator __m256() const { return m; }
};

// Eight doubles in two registers: the widened lanes of one F8.
struct D8 {
  __m256d lo;
  __m256d hi;
};

MORVI_AVX2_INLINE F8 Broadcast(float s) { return _mm256_set1_ps(s); }
MORVI_AVX2_INLINE F8 operator+(F8 a, F8 b) { return _mm256_add_ps(a, b); }
MORVI_AVX2_INLINE F8 operator-(F8 a, F8 b) { return _mm256_sub_ps(a, b); }
MORVI_AVX2_INLINE F8 operator*(F8 a, F8 b) { return _mm256_mul_ps(a, b); }

MORVI_AVX2_INLINE D8 Widen(F8 a) {
  return D8{_mm256_cvtps_pd(_mm256_castps256_ps128(a)), _mm256_cvtps_pd(_mm256_extractf128_ps(a, 1))};
}
MORVI_AVX2_INLINE F8 Narrow(D8 a) {
  return _mm256_set_m128(_mm256_cvtpd_ps(a.hi), _mm256_cvtpd_ps(a.lo));
}
MORVI_AVX2_INLINE D8 operator+(D8 a, D8 b) { return D8{_mm256_add_pd(a.lo, b.lo), _mm256_add_pd(a.hi, b.hi)}; }
MORVI_AVX2_INLINE D8 operator-(D8 a, D8 b) { return D8{_mm256_sub_pd(a.lo, b.lo), _mm256_sub_pd(a.hi, b.hi)}; }
MORVI_AVX2_INLINE D8 operator*(D8 a, D8 b) { return D8{_mm256_mul_pd(a.lo, b.lo), _mm256_mul_pd(a.hi, b.hi)}; }
MORVI_AVX2_INLINE D8 operator/(D8 a, D8 b) { return D8{_mm256_div_pd(a.lo, b.lo), _mm256_div_pd(a.hi, b.hi)}; }
MORVI_AVX2_INLINE D8 operator+(D8 a, double s) { return a + D8{_mm256_set1_pd(s), _mm256_set1_pd(s)}; }
MORVI_AVX2_INLINE D8 operator*(double s, D8 a) { return D8{_mm256_set1_pd(s), _mm256_set1_pd(s)} * a; }
MORVI_AVX2_INLINE D8 Sqrt(D8 a) { return D8{_mm256_sqrt_pd(a.lo), _mm256_sqrt_pd(a.hi)}; }

// x < 0 ? 0 : x per lane; an ordered compare, so NaN and -0 pass unchanged as in the scalar code.
MORVI_AVX2_INLINE F8 ClampNegative(F8 x) {
  const F8 zero = _mm256_setzero_ps();
  return _mm256_blendv_ps(x, zero, _mm256_cmp_ps(x, zero, _CMP_LT_OQ));
}

// Eight values kStep elements apart from p. For step 2 the 16 floats p[0..15] are loaded and their
// even elements gathered by one in-lane shuffle, which leaves them in the lane order of
// kLaneOfPixel: the arithmetic is the same in every lane, so only the step that takes the lanes
// apart again needs to know.
template <int kStep>
MORVI_AVX2_INLINE F8 Load(const float* p) {
  if (kStep == 1) return _mm256_loadu_ps(p);
  const F8 lo = _mm256_loadu_ps(p);
  const F8 hi = _mm256_loadu_ps(p + 8);
  return _mm256_shuffle_ps(lo, hi, _MM_SHUFFLE(2, 0, 2, 0));
}

// The lane of a step-2 load that holds its j-th value (p[2 j]).
constexpr int kLaneOfPixel[kSimdLanes] = {0, 1, 4, 5, 2, 3, 6, 7};

// u and v components side by side, as the scalar kernel's float pairs.
struct Pair8 {
  F8 u;
  F8 v;
};
MORVI_AVX2_INLINE Pair8 operator+(Pair8 a, Pair8 b) { return Pair8{a.u + b.u, a.v + b.v}; }
MORVI_AVX2_INLINE Pair8 operator-(Pair8 a, Pair8 b) { return Pair8{a.u - b.u, a.v - b.v}; }
MORVI_AVX2_INLINE Pair8 operator*(Pair8 a, F8 s) { return Pair8{a.u * s, a.v * s}; }

template <int kStep>
MORVI_AVX2_INLINE Pair8 Total(const AnisotropicLevel& L, std::ptrdiff_t o) {
  return Pair8{Load<kStep>(L.u + o) + Load<kStep>(L.du + o), Load<kStep>(L.v + o) + Load<kStep>(L.dv + o)};
}

// Penaliser weight n / sqrt(x) in double, rounded to float.
MORVI_AVX2_INLINE F8 Penaliser(D8 n, D8 x) { return Narrow(n / Sqrt(x)); }
MORVI_AVX2_INLINE F8 SmoothnessPenaliser(F8 magnitude, double eps2) {
  const D8 one{_mm256_set1_pd(1.0), _mm256_set1_pd(1.0)};
  return Penaliser(one, Widen(magnitude) + eps2);
}

// The smoothness magnitude grad Q^T D grad Q over Q = V, U at offset o (lanes kStep apart) from the
// total flow at its left, right, upper and lower neighbours.
template <int kStep>
MORVI_AVX2_INLINE F8 Magnitude(const AnisotropicLevel& L, std::ptrdiff_t o, Pair8 left, Pair8 right, Pair8 up,
                               Pair8 down) {
  const F8 half = Broadcast(0.5f);
  const Pair8 dx = (right - left) * half;
  const Pair8 dy = (down - up) * half;
  const D8 Qxu = Widen(dx.u), Qxv = Widen(dx.v), Qyu = Widen(dy.u), Qyv = Widen(dy.v);
  const D8 a = Widen(Load<kStep>(L.s11 + o));
  const D8 b = Widen(Load<kStep>(L.s22 + o));
  const D8 c = Widen(Load<kStep>(L.s12 + o));
  const D8 bBias = b + kDiffusionBias;
  const D8 aBias = a + kDiffusionBias;
  const D8 c2 = 2.0 * c;
  const D8 trace = (a + b) + kTraceBias;
  const D8 partU = ((bBias * (Qxu * Qxu) + aBias * (Qyu * Qyu)) - c2 * (Qxu * Qyu)) / trace;
  const D8 partV = ((bBias * (Qxv * Qxv) + aBias * (Qyv * Qyv)) - c2 * (Qxv * Qyv)) / trace;
  return ClampNegative(Narrow(partV + partU));
}

// Everything of a block's pixel systems that does not depend on the new value of the pixel two
// columns to the left: data terms and the level's right-hand side, the pixel's and its right,
// upper and lower neighbours' smoothness weights and the terms built from them, and the parts of
// the left neighbour's magnitude that come from other pixels.
struct BlockTerms {
  F8 du0, dv0;
  F8 a11, a12, a22, bu, bv;  // data terms (+ right-hand side)
  F8 psiC;
  F8 cxAlpha, cxyAlpha;
  F8 d11SumL, ecL;  // d11(left) + d11(centre); d12x2(left) / 2 + d12x2(centre) / 2
  F8 wR, wU, wD;
  Pair8 diffL;                  // T(left) - centre flow, to be weighted by wL
  Pair8 termR, termU, termD;    // (T(n) - centre flow) * w(n)
  Pair8 mixedR;                 // (N1 + N0 - N3 - N4) * mR
  Pair8 mixedL;                 // N0 + N7 - N5 - N4, to be weighted by mL
  Pair8 mixedVertical;          // ((N1 + N2 - N7 - N6) mD - (N3 + N2 - N5 - N6) mU) / 4
  Pair8 ownTotal;               // total flow at the pixel itself (right neighbour of the left one)
  // the left neighbour's magnitude: structure-tensor parts and the vertical differences
  D8 bBiasL, c2L, traceL;
  D8 QyLu, QyLv, yyLu, yyLv;  // yy = (a + 50) Qy^2
};

// How far ahead of a block (in elements) its row's streams are prefetched. A pixel system reads
// some fifty images; more streams than the hardware prefetcher follows, so the ones that enter the
// stencil here (the data terms of the row, the leading rows of the flow, increments and tensors)
// are requested early.
constexpr std::ptrdiff_t kPrefetchAhead = 128;

MORVI_AVX2_INLINE void Prefetch(const float* p) { _mm_prefetch(reinterpret_cast<const char*>(p), _MM_HINT_T0); }

MORVI_AVX2_INLINE void PrefetchBlock(const AnisotropicLevel& L, const float* fu, const float* fv,
                                     std::ptrdiff_t o) {
  const std::ptrdiff_t s = L.stride;
  const std::ptrdiff_t a = o + kPrefetchAhead;
  const DataTermView& d = L.data;
  for (int k = 0; k < d.count; ++k) {
    const TensorPlanes& J = d.tensor[k];
    for (const float* p : {J.j11, J.j12, J.j22, J.j13, J.j23, J.j33, d.weight[k]}) Prefetch(p + a);
  }
  for (const float* p : {L.u, L.v, static_cast<const float*>(L.du), static_cast<const float*>(L.dv)}) {
    Prefetch(p + a + 2 * s);
  }
  for (const float* p : {L.s11, L.s22, L.s12, L.d22, L.d12x2}) Prefetch(p + a + s);
  for (const float* p : {L.d11, L.smoothnessWeight}) Prefetch(p + a);
  if (fu != nullptr) {
    Prefetch(fu + a);
    Prefetch(fv + a);
  }
}

template <int kStep>
MORVI_AVX2_INLINE void ComputeBlockTerms(const AnisotropicLevel& L, const float* fu, const float* fv,
                                         std::ptrdiff_t o, BlockTerms& t) {
  const std::ptrdiff_t s = L.stride;
  PrefetchBlock(L, fu, fv, o);
  t.du0 = Load<kStep>(L.du + o);
  t.dv0 = Load<kStep>(L.dv + o);
  const F8 du0 = t.du0;
  const F8 dv0 = t.dv0;

  // data terms, constraint by constraint in the scalar order
  F8 a11 = _mm256_setzero_ps(), a12 = a11, a22 = a11, bu = a11, bv = a11;
  const DataTermView& d = L.data;
  const F8 two = Broadcast(2.0f);
  for (int k = 0; k < d.count; ++k) {
    const TensorPlanes& J = d.tensor[k];
    const F8 j11 = Load<kStep>(J.j11 + o), j12 = Load<kStep>(J.j12 + o), j22 = Load<kStep>(J.j22 + o);
    const F8 j13 = Load<kStep>(J.j13 + o), j23 = Load<kStep>(J.j23 + o), j33 = Load<kStep>(J.j33 + o);
    const F8 q = ClampNegative(two * (dv0 * j23 + du0 * j13 + du0 * dv0 * j12) + du0 * du0 * j11 +
                               dv0 * dv0 * j22 + j33);
    const F8 psi = Penaliser(Widen(Load<kStep>(d.weight[k] + o)), Widen(q) + d.eps2[k]);
    a11 = a11 + psi * j11;
    a12 = a12 + psi * j12;
    a22 = a22 + psi * j22;
    bu = bu - psi * j13;
    bv = bv - psi * j23;
  }
  if (fu != nullptr) {
    bu = bu + Load<kStep>(fu + o);
    bv = bv + Load<kStep>(fv + o);
  }
  t.a11 = a11;
  t.a12 = a12;
  t.a22 = a22;
  t.bu = bu;
  t.bv = bv;

  // total flow on the stencil; Tji at (x + i - 2, y + j - 2), all inside the level
  const Pair8 T21 = Total<kStep>(L, o - 1), T22 = Total<kStep>(L, o), T23 = Total<kStep>(L, o + 1);
  const Pair8 T24 = Total<kStep>(L, o + 2);
  const Pair8 T02 = Total<kStep>(L, o - 2 * s), T12 = Total<kStep>(L, o - s);
  const Pair8 T32 = Total<kStep>(L, o + s), T42 = Total<kStep>(L, o + 2 * s);
  const Pair8 T11 = Total<kStep>(L, o - s - 1), T13 = Total<kStep>(L, o - s + 1);
  const Pair8 T31 = Total<kStep>(L, o + s - 1), T33 = Total<kStep>(L, o + s + 1);
  t.ownTotal = T22;

  // smoothness weights of the pixel and its right, upper and lower neighbours
  const double eps2 = L.smoothnessEps2;
  const F8 SC = Magnitude<kStep>(L, o, T21, T23, T12, T32);
  const F8 SR = Magnitude<kStep>(L, o + 1, T22, T24, T13, T33);
  const F8 SU = Magnitude<kStep>(L, o - s, T11, T13, T02, T22);
  const F8 SD = Magnitude<kStep>(L, o + s, T31, T33, T22, T42);
  const F8 psiC = SmoothnessPenaliser(SC, eps2);
  const F8 psiR = SmoothnessPenaliser(SR, eps2);
  const F8 psiU = SmoothnessPenaliser(SU, eps2);
  const F8 psiD = SmoothnessPenaliser(SD, eps2);
  t.psiC = psiC;

  // the parts of the left neighbour's magnitude that do not involve the pixel two to the left
  {
    const F8 half = Broadcast(0.5f);
    const Pair8 dy = (T31 - T11) * half;
    const D8 a = Widen(Load<kStep>(L.s11 + o - 1));
    const D8 b = Widen(Load<kStep>(L.s22 + o - 1));
    const D8 c = Widen(Load<kStep>(L.s12 + o - 1));
    const D8 aBias = a + kDiffusionBias;
    t.bBiasL = b + kDiffusionBias;
    t.c2L = 2.0 * c;
    t.traceL = (a + b) + kTraceBias;
    t.QyLu = Widen(dy.u);
    t.QyLv = Widen(dy.v);
    t.yyLu = aBias * (t.QyLu * t.QyLu);
    t.yyLv = aBias * (t.QyLv * t.QyLv);
  }

  // axial terms
  const Pair8 centre{Load<kStep>(L.u + o), Load<kStep>(L.v + o)};
  const F8 alpha = Load<kStep>(L.smoothnessWeight + o);
  const F8 half = Broadcast(0.5f);
  const F8 d11c = Load<kStep>(L.d11 + o);
  const F8 d22c = Load<kStep>(L.d22 + o);
  const F8 cxAlpha = Broadcast(L.cx) * alpha;
  const F8 cyAlpha = Broadcast(L.cy) * alpha;
  const F8 cxyAlpha = Broadcast(L.cxy) * alpha;
  t.cxAlpha = cxAlpha;
  t.cxyAlpha = cxyAlpha;
  t.d11SumL = Load<kStep>(L.d11 + o - 1) + d11c;
  t.wR = cxAlpha * (psiR + psiC) * (Load<kStep>(L.d11 + o + 1) + d11c) * half;
  t.wU = cyAlpha * (psiU + psiC) * (Load<kStep>(L.d22 + o - s) + d22c) * half;
  t.wD = cyAlpha * (psiD + psiC) * (Load<kStep>(L.d22 + o + s) + d22c) * half;
  t.diffL = T21 - centre;
  t.termR = (T23 - centre) * t.wR;
  t.termU = (T12 - centre) * t.wU;
  t.termD = (T32 - centre) * t.wD;

  // mixed terms; neighbours N0..N7: below, below right, right, above right, above, above left,
  // left, below left
  const Pair8 &N0 = T32, &N1 = T33, &N2 = T23, &N3 = T13, &N4 = T12, &N5 = T11, &N6 = T21, &N7 = T31;
  const F8 ec = Load<kStep>(L.d12x2 + o) * half;
  t.ecL = Load<kStep>(L.d12x2 + o - 1) * half + ec;
  const F8 mR = cxyAlpha * (psiR + psiC) * half * (Load<kStep>(L.d12x2 + o + 1) * half + ec);
  const F8 mU = cxyAlpha * (psiU + psiC) * half * (Load<kStep>(L.d12x2 + o - s) * half + ec);
  const F8 mD = cxyAlpha * (psiD + psiC) * half * (Load<kStep>(L.d12x2 + o + s) * half + ec);
  const F8 quarter = Broadcast(0.25f);
  t.mixedR = (N1 + N0 - N3 - N4) * mR;
  t.mixedL = N0 + N7 - N5 - N4;
  t.mixedVertical = ((N1 + N2 - N7 - N6) * mD - (N3 + N2 - N5 - N6) * mU) * quarter;
}

// Lanes of a block's terms in memory, for the scalar chain through the left neighbours.
struct BlockLanes {
  alignas(32) float a11[8], a12[8], a22[8], bu[8], bv[8], psiC[8], cxAlpha[8], cxyAlpha[8];
  alignas(32) float d11SumL[8], ecL[8], wR[8], wU[8], wD[8];
  alignas(32) float diffLu[8], diffLv[8], termRu[8], termRv[8], termUu[8], termUv[8], termDu[8], termDv[8];
  alignas(32) float mixedRu[8], mixedRv[8], mixedLu[8], mixedLv[8], mixedVu[8], mixedVv[8], ownU[8], ownV[8];
  alignas(32) double bBiasL[8], c2L[8], traceL[8], QyLu[8], QyLv[8], yyLu[8], yyLv[8];
};

MORVI_AVX2_INLINE void Store(float* p, F8 a) { _mm256_store_ps(p, a); }
MORVI_AVX2_INLINE void Store(double* p, D8 a) {
  _mm256_store_pd(p, a.lo);
  _mm256_store_pd(p + 4, a.hi);
}

MORVI_AVX2_INLINE void StoreLanes(const BlockTerms& t, BlockLanes& b) {
  Store(b.a11, t.a11), Store(b.a12, t.a12), Store(b.a22, t.a22);
  Store(b.bu, t.bu), Store(b.bv, t.bv), Store(b.psiC, t.psiC), Store(b.cxAlpha, t.cxAlpha);
  Store(b.cxyAlpha, t.cxyAlpha), Store(b.d11SumL, t.d11SumL), Store(b.ecL, t.ecL);
  Store(b.wR, t.wR), Store(b.wU, t.wU), Store(b.wD, t.wD);
  Store(b.diffLu, t.diffL.u), Store(b.diffLv, t.diffL.v), Store(b.termRu, t.termR.u), Store(b.termRv, t.termR.v);
  Store(b.termUu, t.termU.u), Store(b.termUv, t.termU.v), Store(b.termDu, t.termD.u), Store(b.termDv, t.termD.v);
  Store(b.mixedRu, t.mixedR.u), Store(b.mixedRv, t.mixedR.v), Store(b.mixedLu, t.mixedL.u);
  Store(b.mixedLv, t.mixedL.v), Store(b.mixedVu, t.mixedVertical.u), Store(b.mixedVv, t.mixedVertical.v);
  Store(b.ownU, t.ownTotal.u), Store(b.ownV, t.ownTotal.v);
  Store(b.bBiasL, t.bBiasL), Store(b.c2L, t.c2L), Store(b.traceL, t.traceL), Store(b.QyLu, t.QyLu);
  Store(b.QyLv, t.QyLv), Store(b.yyLu, t.yyLu), Store(b.yyLv, t.yyLv);
}

// The last step of pixel p's update from lane `j` of its block's terms, once its left neighbour two columns away holds its new value:
// that neighbour's magnitude and weight, the remaining sums in the scalar order, and the solve.
MORVI_AVX2_INLINE void FinishLane(const AnisotropicLevel& L, const BlockLanes& b, int j, std::ptrdiff_t p) {
  const float leftU = L.u[p - 2] + L.du[p - 2];
  const float leftV = L.v[p - 2] + L.dv[p - 2];
  const double Qxu = static_cast<float>((b.ownU[j] - leftU) * 0.5f);
  const double Qxv = static_cast<float>((b.ownV[j] - leftV) * 0.5f);
  const double partU = (b.bBiasL[j] * (Qxu * Qxu) + b.yyLu[j] - b.c2L[j] * (Qxu * b.QyLu[j])) / b.traceL[j];
  const double partV = (b.bBiasL[j] * (Qxv * Qxv) + b.yyLv[j] - b.c2L[j] * (Qxv * b.QyLv[j])) / b.traceL[j];
  float SL = static_cast<float>(partV + partU);
  if (SL < 0.0f) SL = 0.0f;
  const float psiL = static_cast<float>(1.0 / std::sqrt(static_cast<double>(SL) + L.smoothnessEps2));

  const float psiSum = psiL + b.psiC[j];
  const float wL = b.cxAlpha[j] * psiSum * b.d11SumL[j] * 0.5f;
  const float mL = b.cxyAlpha[j] * psiSum * 0.5f * b.ecL[j];
  float a11 = b.a11[j] + wL;
  float a22 = b.a22[j] + wL;
  float bu = b.bu[j] + b.diffLu[j] * wL;
  float bv = b.bv[j] + b.diffLv[j] * wL;
  a11 = a11 + b.wR[j];
  a22 = a22 + b.wR[j];
  bu = bu + b.termRu[j];
  bv = bv + b.termRv[j];
  a11 = a11 + b.wU[j];
  a22 = a22 + b.wU[j];
  bu = bu + b.termUu[j];
  bv = bv + b.termUv[j];
  a11 = a11 + b.wD[j];
  a22 = a22 + b.wD[j];
  bu = bu + b.termDu[j];
  bv = bv + b.termDv[j];
  bu = bu + (b.mixedRu[j] - b.mixedLu[j] * mL) * 0.25f;
  bv = bv + (b.mixedRv[j] - b.mixedLv[j] * mL) * 0.25f;
  bu = bu + b.mixedVu[j];
  bv = bv + b.mixedVv[j];

  // solve the 2x2 system by Cramer's rule, with the scalar kernel's determinant guard
  const float a12 = b.a12[j];
  float det = a12 * a12 - a11 * a22;
  if (!(std::fabs(det) > 0.0f)) return;
  if (std::fabs(det) < kMinDeterminant) det = det > 0.0f ? kMinDeterminant : -kMinDeterminant;
  L.du[p] = (a12 * bv - a22 * bu) / det;
  L.dv[p] = (a12 * bu - a11 * bv) / det;
}

MORVI_AVX2_INLINE void PrepareBlock(const AnisotropicLevel& L, const float* fu, const float* fv, std::ptrdiff_t o,
                                    BlockLanes& b) {
  BlockTerms terms;
  ComputeBlockTerms<2>(L, fu, fv, o, terms);
  StoreLanes(terms, b);
}

}  // namespace

bool SimdKernelsAvailable() {
  static const bool available = __builtin_cpu_supports("avx2");
  return available;
}

template <int kBlocks>
MORVI_AVX2_INLINE void RelaxBlocks(const AnisotropicLevel& L, const float* fu, const float* fv, const int* xs,
                                   const int* ys, const int* lanes) {
  std::ptrdiff_t o[kBlocks];
  BlockLanes terms[kBlocks];
  for (int k = 0; k < kBlocks; ++k) {
    o[k] = static_cast<std::ptrdiff_t>(ys[k]) * L.stride + xs[k];
    PrepareBlock(L, fu, fv, o[k], terms[k]);
  }
  // Lane by lane in column order: each pixel's left neighbour's magnitude reads the new value of
  // the pixel two columns to the left, written by the previous lane (or block) just before.
  // Independent chains of several blocks, one lane of each in turn, so that one's latency hides
  // the others'.
  for (int j = 0; j < kSimdLanes; ++j) {
    for (int k = 0; k < kBlocks; ++k) {
      if (j < lanes[k]) FinishLane(L, terms[k], kLaneOfPixel[j], o[k] + 2 * j);
    }
  }
}

MORVI_AVX2 void RelaxBlockGroupSimd(const AnisotropicLevel& L, const float* fu, const float* fv, int count,
                                    const int* xs, const int* ys, const int* lanes) {
  switch (count) {
    case 1:
      RelaxBlocks<1>(L, fu, fv, xs, ys, lanes);
      break;
    case 2:
      RelaxBlocks<2>(L, fu, fv, xs, ys, lanes);
      break;
    case 3:
      RelaxBlocks<3>(L, fu, fv, xs, ys, lanes);
      break;
    default:
      RelaxBlocks<4>(L, fu, fv, xs, ys, lanes);
      break;
  }
}

MORVI_AVX2 void ApplyBlockSimd(const AnisotropicLevel& L, int xs, int y, float* outU, float* outV) {
  const std::ptrdiff_t o = static_cast<std::ptrdiff_t>(y) * L.stride + xs;
  BlockTerms t;
  ComputeBlockTerms<1>(L, nullptr, nullptr, o, t);

  // the left neighbour's magnitude, all lanes at once (the operator changes no increment)
  const Pair8 T20 = Total<1>(L, o - 2);
  const Pair8 dx = (t.ownTotal - T20) * Broadcast(0.5f);
  const D8 Qxu = Widen(dx.u);
  const D8 Qxv = Widen(dx.v);
  const D8 partU = (t.bBiasL * (Qxu * Qxu) + t.yyLu - t.c2L * (Qxu * t.QyLu)) / t.traceL;
  const D8 partV = (t.bBiasL * (Qxv * Qxv) + t.yyLv - t.c2L * (Qxv * t.QyLv)) / t.traceL;
  const F8 SL = ClampNegative(Narrow(partV + partU));
  const F8 psiL = SmoothnessPenaliser(SL, L.smoothnessEps2);

  const F8 half = Broadcast(0.5f);
  const F8 psiSum = psiL + t.psiC;
  const F8 wL = t.cxAlpha * psiSum * t.d11SumL * half;
  const F8 mL = t.cxyAlpha * psiSum * half * t.ecL;
  F8 a11 = t.a11 + wL;
  F8 a22 = t.a22 + wL;
  Pair8 b{t.bu + t.diffL.u * wL, t.bv + t.diffL.v * wL};
  a11 = a11 + t.wR;
  a22 = a22 + t.wR;
  b = b + t.termR;
  a11 = a11 + t.wU;
  a22 = a22 + t.wU;
  b = b + t.termU;
  a11 = a11 + t.wD;
  a22 = a22 + t.wD;
  b = b + t.termD;
  b = b + (t.mixedR - t.mixedL * mL) * Broadcast(0.25f);
  b = b + t.mixedVertical;

  // A(x) = M(x) x - b(x)
  _mm256_storeu_ps(outU + o, t.a12 * t.dv0 + a11 * t.du0 - b.u);
  _mm256_storeu_ps(outV + o, a22 * t.dv0 + t.a12 * t.du0 - b.v);
}

#else  // no vector kernels on this processor family

bool SimdKernelsAvailable() { return false; }
void RelaxBlockGroupSimd(const AnisotropicLevel&, const float*, const float*, int, const int*, const int*,
                         const int*) {}
void ApplyBlockSimd(const AnisotropicLevel&, int, int, float*, float*) {}

#endif
