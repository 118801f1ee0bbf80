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
  Pair8 centre;                 // the flow (without increment) at the pixel
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
  t.centre = centre;
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

// The terms of up to four blocks pixel by pixel, for the chain through the left neighbours: [j][k]
// holds pixel j of block k, so that one step of the chain updates pixel j of all blocks in the
// lanes of one register.
struct ChainTerms {
  alignas(16) float du0[8][4], dv0[8][4];
  alignas(16) float a11[8][4], a12[8][4], a22[8][4], bu[8][4], bv[8][4];
  alignas(16) float psiC[8][4], cxAlpha[8][4], cxyAlpha[8][4], d11SumL[8][4], ecL[8][4];
  alignas(16) float wR[8][4], wU[8][4], wD[8][4];
  alignas(16) float diffLu[8][4], diffLv[8][4], termRu[8][4], termRv[8][4], termUu[8][4], termUv[8][4];
  alignas(16) float termDu[8][4], termDv[8][4], mixedRu[8][4], mixedRv[8][4], mixedLu[8][4], mixedLv[8][4];
  alignas(16) float mixedVu[8][4], mixedVv[8][4], ownU[8][4], ownV[8][4], centreU[8][4], centreV[8][4];
  alignas(32) double bBiasL[8][4], c2L[8][4], traceL[8][4], QyLu[8][4], QyLv[8][4], yyLu[8][4], yyLv[8][4];
};

// One field of four blocks' terms, transposed from block by block into pixel by pixel. The lanes of
// a step-2 load hold the pixels in the order kLaneOfPixel, which is its own inverse.
MORVI_AVX2_INLINE void Transpose(F8 v0, F8 v1, F8 v2, F8 v3, float (*out)[4]) {
  __m128 lo0 = _mm256_castps256_ps128(v0), lo1 = _mm256_castps256_ps128(v1);
  __m128 lo2 = _mm256_castps256_ps128(v2), lo3 = _mm256_castps256_ps128(v3);
  __m128 hi0 = _mm256_extractf128_ps(v0, 1), hi1 = _mm256_extractf128_ps(v1, 1);
  __m128 hi2 = _mm256_extractf128_ps(v2, 1), hi3 = _mm256_extractf128_ps(v3, 1);
  _MM_TRANSPOSE4_PS(lo0, lo1, lo2, lo3);
  _MM_TRANSPOSE4_PS(hi0, hi1, hi2, hi3);
  _mm_store_ps(out[kLaneOfPixel[0]], lo0);
  _mm_store_ps(out[kLaneOfPixel[1]], lo1);
  _mm_store_ps(out[kLaneOfPixel[2]], lo2);
  _mm_store_ps(out[kLaneOfPixel[3]], lo3);
  _mm_store_ps(out[kLaneOfPixel[4]], hi0);
  _mm_store_ps(out[kLaneOfPixel[5]], hi1);
  _mm_store_ps(out[kLaneOfPixel[6]], hi2);
  _mm_store_ps(out[kLaneOfPixel[7]], hi3);
}

MORVI_AVX2_INLINE void Transpose4(__m256d r0, __m256d r1, __m256d r2, __m256d r3, double (*out)[4], int lane0) {
  const __m256d t0 = _mm256_unpacklo_pd(r0, r1);
  const __m256d t1 = _mm256_unpackhi_pd(r0, r1);
  const __m256d t2 = _mm256_unpacklo_pd(r2, r3);
  const __m256d t3 = _mm256_unpackhi_pd(r2, r3);
  _mm256_store_pd(out[kLaneOfPixel[lane0]], _mm256_permute2f128_pd(t0, t2, 0x20));
  _mm256_store_pd(out[kLaneOfPixel[lane0 + 1]], _mm256_permute2f128_pd(t1, t3, 0x20));
  _mm256_store_pd(out[kLaneOfPixel[lane0 + 2]], _mm256_permute2f128_pd(t0, t2, 0x31));
  _mm256_store_pd(out[kLaneOfPixel[lane0 + 3]], _mm256_permute2f128_pd(t1, t3, 0x31));
}

MORVI_AVX2_INLINE void Transpose(const D8& v0, const D8& v1, const D8& v2, const D8& v3, double (*out)[4]) {
  Transpose4(v0.lo, v1.lo, v2.lo, v3.lo, out, 0);
  Transpose4(v0.hi, v1.hi, v2.hi, v3.hi, out, 4);
}

MORVI_AVX2_INLINE void TransposeTerms(const BlockTerms* t, ChainTerms& c) {
#define MORVI_TRANSPOSE(field, member) Transpose(t[0].member, t[1].member, t[2].member, t[3].member, c.field)
  MORVI_TRANSPOSE(du0, du0);
  MORVI_TRANSPOSE(dv0, dv0);
  MORVI_TRANSPOSE(a11, a11);
  MORVI_TRANSPOSE(a12, a12);
  MORVI_TRANSPOSE(a22, a22);
  MORVI_TRANSPOSE(bu, bu);
  MORVI_TRANSPOSE(bv, bv);
  MORVI_TRANSPOSE(psiC, psiC);
  MORVI_TRANSPOSE(cxAlpha, cxAlpha);
  MORVI_TRANSPOSE(cxyAlpha, cxyAlpha);
  MORVI_TRANSPOSE(d11SumL, d11SumL);
  MORVI_TRANSPOSE(ecL, ecL);
  MORVI_TRANSPOSE(wR, wR);
  MORVI_TRANSPOSE(wU, wU);
  MORVI_TRANSPOSE(wD, wD);
  MORVI_TRANSPOSE(diffLu, diffL.u);
  MORVI_TRANSPOSE(diffLv, diffL.v);
  MORVI_TRANSPOSE(termRu, termR.u);
  MORVI_TRANSPOSE(termRv, termR.v);
  MORVI_TRANSPOSE(termUu, termU.u);
  MORVI_TRANSPOSE(termUv, termU.v);
  MORVI_TRANSPOSE(termDu, termD.u);
  MORVI_TRANSPOSE(termDv, termD.v);
  MORVI_TRANSPOSE(mixedRu, mixedR.u);
  MORVI_TRANSPOSE(mixedRv, mixedR.v);
  MORVI_TRANSPOSE(mixedLu, mixedL.u);
  MORVI_TRANSPOSE(mixedLv, mixedL.v);
  MORVI_TRANSPOSE(mixedVu, mixedVertical.u);
  MORVI_TRANSPOSE(mixedVv, mixedVertical.v);
  MORVI_TRANSPOSE(ownU, ownTotal.u);
  MORVI_TRANSPOSE(ownV, ownTotal.v);
  MORVI_TRANSPOSE(centreU, centre.u);
  MORVI_TRANSPOSE(centreV, centre.v);
  MORVI_TRANSPOSE(bBiasL, bBiasL);
  MORVI_TRANSPOSE(c2L, c2L);
  MORVI_TRANSPOSE(traceL, traceL);
  MORVI_TRANSPOSE(QyLu, QyLu);
  MORVI_TRANSPOSE(QyLv, QyLv);
  MORVI_TRANSPOSE(yyLu, yyLu);
  MORVI_TRANSPOSE(yyLv, yyLv);
#undef MORVI_TRANSPOSE
}

// Four floats and four doubles, one lane per block.
using F4 = __m128;
using D4 = __m256d;
MORVI_AVX2_INLINE F4 Load4(const float* p) { return _mm_load_ps(p); }
MORVI_AVX2_INLINE D4 Load4(const double* p) { return _mm256_load_pd(p); }
MORVI_AVX2_INLINE D4 Widen4(F4 a) { return _mm256_cvtps_pd(a); }
MORVI_AVX2_INLINE F4 Narrow4(D4 a) { return _mm256_cvtpd_ps(a); }
MORVI_AVX2_INLINE F4 ClampNegative4(F4 x) {
  const F4 zero = _mm_setzero_ps();
  return _mm_blendv_ps(x, zero, _mm_cmplt_ps(x, zero));
}

// An axial neighbour's weight on both diagonal entries and its term on both right-hand sides.
MORVI_AVX2_INLINE void AddNeighbour(F4 w, F4 termU, F4 termV, F4& a11, F4& a22, F4& bu, F4& bv) {
  a11 = _mm_add_ps(a11, w);
  a22 = _mm_add_ps(a22, w);
  bu = _mm_add_ps(bu, termU);
  bv = _mm_add_ps(bv, termV);
}

// Pixel j of every block, in the lanes of one register, once pixel j - 1 holds its new value: the
// left neighbour's magnitude and weight, the remaining sums in the scalar kernel's order, and the
// solve. leftU, leftV: the total flow at the pixels two columns to the left. du, dv receive the
// pixels' increments after the step (unchanged where the system is singular).
MORVI_AVX2_INLINE void ChainStep(const ChainTerms& c, int j, F4 leftU, F4 leftV, double eps2, F4& du, F4& dv) {
  const F4 half = _mm_set1_ps(0.5f);
  const D4 Qxu = Widen4(_mm_mul_ps(_mm_sub_ps(Load4(c.ownU[j]), leftU), half));
  const D4 Qxv = Widen4(_mm_mul_ps(_mm_sub_ps(Load4(c.ownV[j]), leftV), half));
  const D4 bBias = Load4(c.bBiasL[j]);
  const D4 c2 = Load4(c.c2L[j]);
  const D4 trace = Load4(c.traceL[j]);
  const D4 partU = _mm256_div_pd(
      _mm256_sub_pd(_mm256_add_pd(_mm256_mul_pd(bBias, _mm256_mul_pd(Qxu, Qxu)), Load4(c.yyLu[j])),
                    _mm256_mul_pd(c2, _mm256_mul_pd(Qxu, Load4(c.QyLu[j])))),
      trace);
  const D4 partV = _mm256_div_pd(
      _mm256_sub_pd(_mm256_add_pd(_mm256_mul_pd(bBias, _mm256_mul_pd(Qxv, Qxv)), Load4(c.yyLv[j])),
                    _mm256_mul_pd(c2, _mm256_mul_pd(Qxv, Load4(c.QyLv[j])))),
      trace);
  const F4 SL = ClampNegative4(Narrow4(_mm256_add_pd(partV, partU)));
  const F4 psiL = Narrow4(
      _mm256_div_pd(_mm256_set1_pd(1.0), _mm256_sqrt_pd(_mm256_add_pd(Widen4(SL), _mm256_set1_pd(eps2)))));

  const F4 psiSum = _mm_add_ps(psiL, Load4(c.psiC[j]));
  const F4 wL = _mm_mul_ps(_mm_mul_ps(_mm_mul_ps(Load4(c.cxAlpha[j]), psiSum), Load4(c.d11SumL[j])), half);
  const F4 mL = _mm_mul_ps(_mm_mul_ps(_mm_mul_ps(Load4(c.cxyAlpha[j]), psiSum), half), Load4(c.ecL[j]));
  F4 a11 = _mm_add_ps(Load4(c.a11[j]), wL);
  F4 a22 = _mm_add_ps(Load4(c.a22[j]), wL);
  F4 bu = _mm_add_ps(Load4(c.bu[j]), _mm_mul_ps(Load4(c.diffLu[j]), wL));
  F4 bv = _mm_add_ps(Load4(c.bv[j]), _mm_mul_ps(Load4(c.diffLv[j]), wL));
  // the right, upper and lower neighbours' weights and terms, in that order
  AddNeighbour(Load4(c.wR[j]), Load4(c.termRu[j]), Load4(c.termRv[j]), a11, a22, bu, bv);
  AddNeighbour(Load4(c.wU[j]), Load4(c.termUu[j]), Load4(c.termUv[j]), a11, a22, bu, bv);
  AddNeighbour(Load4(c.wD[j]), Load4(c.termDu[j]), Load4(c.termDv[j]), a11, a22, bu, bv);
  const F4 quarter = _mm_set1_ps(0.25f);
  bu = _mm_add_ps(bu, _mm_mul_ps(_mm_sub_ps(Load4(c.mixedRu[j]), _mm_mul_ps(Load4(c.mixedLu[j]), mL)), quarter));
  bv = _mm_add_ps(bv, _mm_mul_ps(_mm_sub_ps(Load4(c.mixedRv[j]), _mm_mul_ps(Load4(c.mixedLv[j]), mL)), quarter));
  bu = _mm_add_ps(bu, Load4(c.mixedVu[j]));
  bv = _mm_add_ps(bv, Load4(c.mixedVv[j]));

  // Cramer's rule with the scalar kernel's determinant guard: |det| not above 0 (or not a number)
  // leaves the increments, a smaller |det| than kMinDeterminant takes that size with det's sign
  const F4 a12 = Load4(c.a12[j]);
  F4 det = _mm_sub_ps(_mm_mul_ps(a12, a12), _mm_mul_ps(a11, a22));
  const F4 absMask = _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff));
  const F4 magnitude = _mm_and_ps(det, absMask);
  const F4 solvable = _mm_cmpgt_ps(magnitude, _mm_setzero_ps());
  const F4 small = _mm_cmplt_ps(magnitude, _mm_set1_ps(kMinDeterminant));
  const F4 clamped = _mm_blendv_ps(_mm_set1_ps(-kMinDeterminant), _mm_set1_ps(kMinDeterminant),
                                   _mm_cmpgt_ps(det, _mm_setzero_ps()));
  det = _mm_blendv_ps(det, clamped, small);
  const F4 newU = _mm_div_ps(_mm_sub_ps(_mm_mul_ps(a12, bv), _mm_mul_ps(a22, bu)), det);
  const F4 newV = _mm_div_ps(_mm_sub_ps(_mm_mul_ps(a12, bu), _mm_mul_ps(a11, bv)), det);
  du = _mm_blendv_ps(Load4(c.du0[j]), newU, solvable);
  dv = _mm_blendv_ps(Load4(c.dv0[j]), newV, solvable);
}

}  // namespace

bool SimdKernelsAvailable() {
  static const bool available = __builtin_cpu_supports("avx2");
  return available;
}

MORVI_AVX2 void RelaxBlockGroupSimd(const AnisotropicLevel& L, const float* fu, const float* fv, int count,
                                    const int* xs, const int* ys, const int* lanes) {
  std::ptrdiff_t o[kMaxBlockGroup];
  BlockTerms terms[kMaxBlockGroup];
  for (int k = 0; k < count; ++k) {
    o[k] = static_cast<std::ptrdiff_t>(ys[k]) * L.stride + xs[k];
    ComputeBlockTerms<2>(L, fu, fv, o[k], terms[k]);
  }
  // absent blocks repeat the first one; their lanes are never stored
  for (int k = count; k < kMaxBlockGroup; ++k) {
    o[k] = o[0];
    terms[k] = terms[0];
  }
  ChainTerms chain;
  TransposeTerms(terms, chain);

  // Pixel by pixel in column order, all blocks at once: each pixel's left neighbour's magnitude
  // reads the new value of the pixel two columns to the left, written by the step before (for the
  // first pixel, by an earlier step of the task).
  alignas(16) float left[2][4];
  for (int k = 0; k < kMaxBlockGroup; ++k) {
    left[0][k] = L.u[o[k] - 2] + L.du[o[k] - 2];
    left[1][k] = L.v[o[k] - 2] + L.dv[o[k] - 2];
  }
  F4 leftU = _mm_load_ps(left[0]);
  F4 leftV = _mm_load_ps(left[1]);
  for (int j = 0; j < kSimdLanes; ++j) {
    F4 du;
    F4 dv;
    ChainStep(chain, j, leftU, leftV, L.smoothnessEps2, du, dv);
    alignas(16) float newU[4];
    alignas(16) float newV[4];
    _mm_store_ps(newU, du);
    _mm_store_ps(newV, dv);
    for (int k = 0; k < count; ++k) {
      if (j < lanes[k]) {
        L.du[o[k] + 2 * j] = newU[k];
        L.dv[o[k] + 2 * j] = newV[k];
      }
    }
    leftU = _mm_add_ps(_mm_load_ps(chain.centreU[j]), du);
    leftV = _mm_add_ps(_mm_load_ps(chain.centreV[j]), dv);
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
