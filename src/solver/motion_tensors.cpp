#include "solver/motion_tensors.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>

#include <opencv2/core.hpp>

#if defined(__SSE2__)
#include <xmmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#define MORVI_TENSOR_AVX2 1
#include <immintrin.h>
#endif

#include "image/parallel.h"
#include "solver/anisotropic_simd.h"
#include "solver/level_preparation.h"

namespace {

// Flow components beyond this magnitude are treated as undefined: their pixel gets no data term.
constexpr float kMaxFlowMagnitude = 1000.0f;

// Rows are shared out among threads in bands of at least this many; a bicubic constraint costs
// enough per pixel that a band of 16 rows outweighs starting a thread.
constexpr int kMinRowsPerThread = 16;

// Sample positions of one bicubic interpolation: four replicated-border columns and rows and the
// fractional offsets inside the central cell.
struct BicubicTaps {
  int column[4];
  int row[4];
  float fx;
  float fy;
};

// Clamps (x, y) into the image and derives the taps. A position that is not a number is taken as
// 0, so that the integer conversion below always sees a value inside the image.
inline BicubicTaps MakeTaps(float x, float y, int width, int height) {
  const float xMax = static_cast<float>(width - 1);
  const float yMax = static_cast<float>(height - 1);
  if (!(x >= 0.0f)) x = 0.0f;
  if (x > xMax) x = xMax;
  if (!(y >= 0.0f)) y = 0.0f;
  if (y > yMax) y = yMax;
  const int ix = static_cast<int>(x);
  const int iy = static_cast<int>(y);
  BicubicTaps taps;
  taps.fx = x - static_cast<float>(ix);
  taps.fy = y - static_cast<float>(iy);
  taps.column[0] = std::max(ix - 1, 0);
  taps.column[1] = ix;
  taps.column[2] = std::min(ix + 1, width - 1);
  taps.column[3] = std::min(ix + 2, width - 1);
  taps.row[0] = std::max(iy - 1, 0);
  taps.row[1] = iy;
  taps.row[2] = std::min(iy + 1, height - 1);
  taps.row[3] = std::min(iy + 2, height - 1);
  return taps;
}

// Catmull-Rom cubic through p0..p3 at t in [0, 1], single precision; returns p1 exactly at t = 0.
inline float CatmullRom(float p0, float p1, float p2, float p3, float t) {
  return 0.5f * (2.0f * p1 + t * (p2 - p0) + t * t * (2.0f * p0 - 5.0f * p1 + 4.0f * p2 - p3) +
                 t * t * t * (3.0f * p1 - p0 - 3.0f * p2 + p3));
}

// Channel c of an image with n channels at the taps: rows first, then the column of row results.
inline float SampleTaps(const cv::Mat& image, const BicubicTaps& taps, int n, int c) {
  float rowValue[4];
  for (int r = 0; r < 4; ++r) {
    const float* row = image.ptr<float>(taps.row[r]);
    rowValue[r] = CatmullRom(row[taps.column[0] * n + c], row[taps.column[1] * n + c],
                             row[taps.column[2] * n + c], row[taps.column[3] * n + c], taps.fx);
  }
  return CatmullRom(rowValue[0], rowValue[1], rowValue[2], rowValue[3], taps.fy);
}

#if defined(__SSE2__)
// SampleTaps of a single-channel image whose four tap columns are consecutive (ix - 1 .. ix + 2):
// the four row interpolations run in the lanes of one register, each lane with the scalar
// operations in their order, so the result is SampleTaps's bit for bit.
inline float SampleTapsInterior(const cv::Mat& image, const BicubicTaps& taps) {
  const int c0 = taps.column[0];
  __m128 p0 = _mm_loadu_ps(image.ptr<float>(taps.row[0]) + c0);
  __m128 p1 = _mm_loadu_ps(image.ptr<float>(taps.row[1]) + c0);
  __m128 p2 = _mm_loadu_ps(image.ptr<float>(taps.row[2]) + c0);
  __m128 p3 = _mm_loadu_ps(image.ptr<float>(taps.row[3]) + c0);
  _MM_TRANSPOSE4_PS(p0, p1, p2, p3);  // pk: column k of the four rows
  const __m128 t = _mm_set1_ps(taps.fx);
  const __m128 t2 = _mm_mul_ps(t, t);
  const __m128 t3 = _mm_mul_ps(t2, t);
  const __m128 two = _mm_set1_ps(2.0f);
  const __m128 three = _mm_set1_ps(3.0f);
  const __m128 a = _mm_mul_ps(two, p1);
  const __m128 b = _mm_mul_ps(t, _mm_sub_ps(p2, p0));
  const __m128 c = _mm_mul_ps(
      t2, _mm_sub_ps(_mm_add_ps(_mm_sub_ps(_mm_mul_ps(two, p0), _mm_mul_ps(_mm_set1_ps(5.0f), p1)),
                                _mm_mul_ps(_mm_set1_ps(4.0f), p2)),
                     p3));
  const __m128 d =
      _mm_mul_ps(t3, _mm_add_ps(_mm_sub_ps(_mm_sub_ps(_mm_mul_ps(three, p1), p0), _mm_mul_ps(three, p2)), p3));
  const __m128 rows = _mm_mul_ps(_mm_set1_ps(0.5f), _mm_add_ps(_mm_add_ps(_mm_add_ps(a, b), c), d));
  alignas(16) float rowValue[4];
  _mm_store_ps(rowValue, rows);
  return CatmullRom(rowValue[0], rowValue[1], rowValue[2], rowValue[3], taps.fy);
}
#endif

// SampleTaps of a single-channel image, through the lanes where the tap columns allow.
inline float SampleSingleChannel(const cv::Mat& image, const BicubicTaps& taps) {
#if defined(__SSE2__)
  if (taps.column[0] + 3 == taps.column[3]) return SampleTapsInterior(image, taps);
#endif
  return SampleTaps(image, taps, 1, 0);
}

// Single-channel images of one data constraint: the first image F with its derivatives, the
// second image S with its derivatives, and the images to write: the six tensor products j11, j12,
// j22, j13, j23, j33, or (factored) the three factors Ix, Iy, Iz in out[0..2].
struct ConstraintImages {
  const cv::Mat* first;
  const cv::Mat* firstDx;
  const cv::Mat* firstDy;
  const cv::Mat* second;
  const cv::Mat* secondDx;
  const cv::Mat* secondDy;
  cv::Mat* out[6] = {};
  bool factored = false;

  int Outputs() const { return factored ? 3 : 6; }
};

#if defined(MORVI_TENSOR_AVX2)
#pragma GCC push_options
#pragma GCC target("avx2")
namespace tensor_avx2 {

// CatmullRom in eight lanes, each lane with the scalar function's operations in its order.
inline __m256 CatmullRom8(__m256 p0, __m256 p1, __m256 p2, __m256 p3, __m256 t) {
  const __m256 t2 = _mm256_mul_ps(t, t);
  const __m256 t3 = _mm256_mul_ps(t2, t);
  const __m256 a = _mm256_mul_ps(_mm256_set1_ps(2.0f), p1);
  const __m256 b = _mm256_mul_ps(t, _mm256_sub_ps(p2, p0));
  const __m256 c = _mm256_mul_ps(t2, _mm256_sub_ps(_mm256_add_ps(_mm256_sub_ps(_mm256_mul_ps(_mm256_set1_ps(2.0f), p0),
                                                                               _mm256_mul_ps(_mm256_set1_ps(5.0f), p1)),
                                                                 _mm256_mul_ps(_mm256_set1_ps(4.0f), p2)),
                                                   p3));
  const __m256 d =
      _mm256_mul_ps(t3, _mm256_add_ps(_mm256_sub_ps(_mm256_sub_ps(_mm256_mul_ps(_mm256_set1_ps(3.0f), p1), p0),
                                                    _mm256_mul_ps(_mm256_set1_ps(3.0f), p2)),
                                      p3));
  return _mm256_mul_ps(_mm256_set1_ps(0.5f), _mm256_add_ps(_mm256_add_ps(_mm256_add_ps(a, b), c), d));
}

// One row of the 4 x 4 taps of eight pixels, `offset` elements below their upper-left taps: p[k]
// holds column k, pixel i in lane i. Each pixel's four taps are consecutive floats, loaded
// together and transposed.
inline void TapRow8(const float* const* corner, std::ptrdiff_t offset, __m256* p) {
  __m256 a[4];
  for (int i = 0; i < 4; ++i)
    a[i] = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(corner[i] + offset)),
                                _mm_loadu_ps(corner[i + 4] + offset), 1);
  const __m256 t0 = _mm256_unpacklo_ps(a[0], a[1]);
  const __m256 t1 = _mm256_unpackhi_ps(a[0], a[1]);
  const __m256 t2 = _mm256_unpacklo_ps(a[2], a[3]);
  const __m256 t3 = _mm256_unpackhi_ps(a[2], a[3]);
  p[0] = _mm256_shuffle_ps(t0, t2, 0x44);
  p[1] = _mm256_shuffle_ps(t0, t2, 0xEE);
  p[2] = _mm256_shuffle_ps(t1, t3, 0x44);
  p[3] = _mm256_shuffle_ps(t1, t3, 0xEE);
}

// SampleTaps of a single-channel image for eight pixels whose 4 x 4 taps all lie inside it:
// `cornerOffset` holds each lane's element offset of its upper-left tap.
inline __m256 Sample8(const cv::Mat& image, const std::ptrdiff_t* cornerOffset, __m256 fx, __m256 fy) {
  const float* base = image.ptr<float>(0);
  const float* corner[8];
  for (int i = 0; i < 8; ++i) corner[i] = base + cornerOffset[i];
  const std::ptrdiff_t step = static_cast<std::ptrdiff_t>(image.step1());
  __m256 rowValue[4];
  for (int r = 0; r < 4; ++r) {
    __m256 p[4];
    TapRow8(corner, r * step, p);
    rowValue[r] = CatmullRom8(p[0], p[1], p[2], p[3], fx);
  }
  return CatmullRom8(rowValue[0], rowValue[1], rowValue[2], rowValue[3], fy);
}

// The constraint's products (or its three factors, with `factored`) for the eight pixels x .. x + 7
// of row y when every one of them is valid and has its taps inside the image (returns false,
// writing nothing, otherwise). Each lane computes what the single-pixel code does, operation for
// operation.
inline bool FillBlock(const ConstraintImages& im, const float* uRow, const float* vRow, int x, int y, int width,
                      int height, const float* F, const float* Fx, const float* Fy, float* const* out,
                      bool factored) {
  const __m256 flowU = _mm256_loadu_ps(uRow + x);
  const __m256 flowV = _mm256_loadu_ps(vRow + x);
  const __m256 xs =
      _mm256_cvtepi32_ps(_mm256_add_epi32(_mm256_set1_epi32(x), _mm256_set_epi32(7, 6, 5, 4, 3, 2, 1, 0)));
  const __m256 xw = _mm256_add_ps(xs, flowU);
  const __m256 yw = _mm256_add_ps(_mm256_set1_ps(static_cast<float>(y)), flowV);
  const __m256 absMask = _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff));
  const __m256 limit = _mm256_set1_ps(kMaxFlowMagnitude);
  // the taps ix - 1 .. ix + 2 and iy - 1 .. iy + 2 inside the image: 1 <= ix <= width - 3, and so
  // for y; ordered compares, so a NaN lane fails
  __m256 ok = _mm256_and_ps(_mm256_cmp_ps(_mm256_and_ps(flowU, absMask), limit, _CMP_LE_OQ),
                            _mm256_cmp_ps(_mm256_and_ps(flowV, absMask), limit, _CMP_LE_OQ));
  ok = _mm256_and_ps(ok, _mm256_cmp_ps(xw, _mm256_set1_ps(1.0f), _CMP_GE_OQ));
  ok = _mm256_and_ps(ok, _mm256_cmp_ps(xw, _mm256_set1_ps(static_cast<float>(width - 2)), _CMP_LT_OQ));
  ok = _mm256_and_ps(ok, _mm256_cmp_ps(yw, _mm256_set1_ps(1.0f), _CMP_GE_OQ));
  ok = _mm256_and_ps(ok, _mm256_cmp_ps(yw, _mm256_set1_ps(static_cast<float>(height - 2)), _CMP_LT_OQ));
  if (_mm256_movemask_ps(ok) != 0xff) return false;
  const __m256i ix = _mm256_cvttps_epi32(xw);
  const __m256i iy = _mm256_cvttps_epi32(yw);
  const __m256 fx = _mm256_sub_ps(xw, _mm256_cvtepi32_ps(ix));
  const __m256 fy = _mm256_sub_ps(yw, _mm256_cvtepi32_ps(iy));
  const __m256i one = _mm256_set1_epi32(1);
  alignas(32) int column[8];
  alignas(32) int row[8];
  _mm256_store_si256(reinterpret_cast<__m256i*>(column), _mm256_sub_epi32(ix, one));
  _mm256_store_si256(reinterpret_cast<__m256i*>(row), _mm256_sub_epi32(iy, one));
  auto sample = [&](const cv::Mat& image) {
    const std::ptrdiff_t step = static_cast<std::ptrdiff_t>(image.step1());
    std::ptrdiff_t corner[8];
    for (int i = 0; i < 8; ++i) corner[i] = row[i] * step + column[i];
    return Sample8(image, corner, fx, fy);
  };
  const __m256 sDx = sample(*im.secondDx);
  const __m256 sDy = sample(*im.secondDy);
  const __m256 s0 = sample(*im.second);
  const __m256 half = _mm256_set1_ps(0.5f);
  const __m256 Ix = _mm256_mul_ps(half, _mm256_add_ps(sDx, _mm256_loadu_ps(Fx + x)));
  const __m256 Iy = _mm256_mul_ps(half, _mm256_add_ps(sDy, _mm256_loadu_ps(Fy + x)));
  const __m256 Iz = _mm256_sub_ps(s0, _mm256_loadu_ps(F + x));
  if (factored) {
    _mm256_storeu_ps(out[0] + x, Ix);
    _mm256_storeu_ps(out[1] + x, Iy);
    _mm256_storeu_ps(out[2] + x, Iz);
    return true;
  }
  _mm256_storeu_ps(out[0] + x, _mm256_mul_ps(Ix, Ix));
  _mm256_storeu_ps(out[1] + x, _mm256_mul_ps(Ix, Iy));
  _mm256_storeu_ps(out[2] + x, _mm256_mul_ps(Iy, Iy));
  _mm256_storeu_ps(out[3] + x, _mm256_mul_ps(Ix, Iz));
  _mm256_storeu_ps(out[4] + x, _mm256_mul_ps(Iy, Iz));
  _mm256_storeu_ps(out[5] + x, _mm256_mul_ps(Iz, Iz));
  return true;
}

}  // namespace tensor_avx2
#pragma GCC pop_options
#endif

// Rows [rowBegin, rowEnd) of one pass over the frame: linearise the constraint at every valid
// pixel and store the products of Ix, Iy, Iz; invalid pixels get zeros. A pixel reads only the
// inputs, so bands of rows may run on different threads. With `vector`, blocks of eight pixels
// whose taps all lie inside the frame are sampled in the lanes of AVX2 registers, with the same
// bits as the single-pixel code.
void FillConstraintRows(const cv::Mat& u, const cv::Mat& v, const ConstraintImages& im, int rowBegin, int rowEnd,
                        bool vector) {
  const int width = u.cols;
  const int height = v.rows;
  const float xMax = static_cast<float>(width - 1);
  const float yMax = static_cast<float>(height - 1);
  for (int y = rowBegin; y < rowEnd; ++y) {
    const float* uRow = u.ptr<float>(y);
    const float* vRow = v.ptr<float>(y);
    const float* F = im.first->ptr<float>(y);
    const float* Fx = im.firstDx->ptr<float>(y);
    const float* Fy = im.firstDy->ptr<float>(y);
    const int outputs = im.Outputs();
    float* out[6] = {};
    for (int k = 0; k < outputs; ++k) out[k] = im.out[k]->ptr<float>(y);
    int scalarUntil = 0;  // after a block that could not be vectorised, its pixels one by one
    for (int x = 0; x < width; ++x) {
#if defined(MORVI_TENSOR_AVX2)
      if (vector && x >= scalarUntil && x + 8 <= width) {
        if (tensor_avx2::FillBlock(im, uRow, vRow, x, y, width, height, F, Fx, Fy, out, im.factored)) {
          x += 7;
          continue;
        }
        scalarUntil = x + 8;
      }
#else
      (void)vector;
      (void)out;
      (void)scalarUntil;
#endif
      const float flowU = uRow[x];
      const float flowV = vRow[x];
      const float xw = static_cast<float>(x) + flowU;
      const float yw = static_cast<float>(y) + flowV;
      // Written so that a NaN anywhere fails the test.
      const bool valid = std::fabs(flowU) <= kMaxFlowMagnitude && std::fabs(flowV) <= kMaxFlowMagnitude &&
                         xw >= 0.0f && xw <= xMax && yw >= 0.0f && yw <= yMax;
      if (!valid) {
        for (int k = 0; k < outputs; ++k) out[k][x] = 0.0f;
        continue;
      }
      const BicubicTaps taps = MakeTaps(xw, yw, width, height);
      const float sDx = SampleSingleChannel(*im.secondDx, taps);
      const float sDy = SampleSingleChannel(*im.secondDy, taps);
      const float s0 = SampleSingleChannel(*im.second, taps);
      const float Ix = 0.5f * (sDx + Fx[x]);
      const float Iy = 0.5f * (sDy + Fy[x]);
      const float Iz = s0 - F[x];
      if (im.factored) {
        out[0][x] = Ix;
        out[1][x] = Iy;
        out[2][x] = Iz;
        continue;
      }
      out[0][x] = Ix * Ix;
      out[1][x] = Ix * Iy;
      out[2][x] = Iy * Iy;
      out[3][x] = Ix * Iz;
      out[4][x] = Iy * Iz;
      out[5][x] = Iz * Iz;
    }
  }
}

void FillConstraintTensor(const cv::Mat& u, const cv::Mat& v, const ConstraintImages& im, int threads,
                          bool vector) {
  ParallelFor(
      u.rows, threads, [&](int begin, int end) { FillConstraintRows(u, v, im, begin, end, vector); },
      kMinRowsPerThread);
}

void CheckTarget(const ImageRef& image, const cv::Size& size) {
  CV_Assert(!image.Empty() && image.Mat().type() == CV_32FC1 && image.Mat().size() == size);
}

// Points the constraint's outputs at its six product images, or at its three factor images.
void BindTargets(bool factored, const std::array<const ImageRef*, 6>& products,
                 const std::array<const ImageRef*, 3>& factors, const cv::Size& size, ConstraintImages& images) {
  images.factored = factored;
  for (int k = 0; k < images.Outputs(); ++k) {
    const ImageRef& target = factored ? *factors[k] : *products[k];
    CheckTarget(target, size);
    images.out[k] = &target.Mat();
  }
}

bool VectorKernels(const SolverParams& params) {
#if defined(MORVI_TENSOR_AVX2)
  return params.vectorise != 0 && SimdKernelsAvailable();
#else
  (void)params;
  return false;
#endif
}

void CheckFlow(const ImageRef& u, const ImageRef& v) {
  CV_Assert(!u.Empty() && !v.Empty() && u.Mat().size() == v.Mat().size());
  CV_Assert(u.Mat().type() == CV_32FC1 && v.Mat().type() == CV_32FC1);
}

// The tensor of brightness channel c from the channel of both frames and their derivatives.
void FillBrightnessTensor(const SolverParams& params, int c, const std::array<const ImageRef*, 6>& sources,
                          const ImageRef& u, const ImageRef& v, LevelWorkspace& workspace) {
  const cv::Size size = u.Mat().size();
  for (const ImageRef* source : sources) CheckTarget(*source, size);
  ConstraintImages images = {&sources[0]->Mat(), &sources[1]->Mat(), &sources[2]->Mat(),
                             &sources[3]->Mat(), &sources[4]->Mat(), &sources[5]->Mat()};
  BindTargets(workspace.factored,
              {&workspace.b11[c], &workspace.b12[c], &workspace.b22[c], &workspace.b13[c], &workspace.b23[c],
               &workspace.b33[c]},
              {&workspace.bx[c], &workspace.by[c], &workspace.bz[c]}, size, images);
  FillConstraintTensor(u.Mat(), v.Mat(), images, params.threads, VectorKernels(params));
}

// Constancy of the grey image's x- and y-derivative: their own derivatives are second derivatives
// of the grey image (the five-point filter applied twice). `firstD` and `secondD` hold the grey
// frames' x- and y-derivatives.
void FillGradientTensors(const SolverParams& params, const std::array<const ImageRef*, 2>& firstD,
                         const std::array<const ImageRef*, 2>& secondD, const ImageRef& u, const ImageRef& v,
                         LevelWorkspace& workspace) {
  const cv::Size size = u.Mat().size();
  ImageRef Fx = CreateFloat(size.width, size.height, 1);
  ImageRef Fy = CreateFloat(size.width, size.height, 1);
  ImageRef Sx = CreateFloat(size.width, size.height, 1);
  ImageRef Sy = CreateFloat(size.width, size.height, 1);
  for (int k = 0; k < 2; ++k) {
    const ImageRef& F = *firstD[k];
    const ImageRef& S = *secondD[k];
    CheckTarget(F, size);
    CheckTarget(S, size);
    Derivative5(F, Fx, Fy);
    Derivative5(S, Sx, Sy);
    ConstraintImages images = {&F.Mat(), &Fx.Mat(), &Fy.Mat(), &S.Mat(), &Sx.Mat(), &Sy.Mat()};
    BindTargets(workspace.factored,
                {&workspace.g11[k], &workspace.g12[k], &workspace.g22[k], &workspace.g13[k], &workspace.g23[k],
                 &workspace.g33[k]},
                {&workspace.gx[k], &workspace.gy[k], &workspace.gz[k]}, size, images);
    FillConstraintTensor(u.Mat(), v.Mat(), images, params.threads, VectorKernels(params));
  }
}

}  // namespace

void SampleBicubic(const ImageRef& image, float x, float y, float* values) {
  CV_Assert(!image.Empty() && image.Depth() == CV_32F);
  const cv::Mat& m = image.Mat();
  const BicubicTaps taps = MakeTaps(x, y, m.cols, m.rows);
  const int n = m.channels();
  for (int c = 0; c < n; ++c) values[c] = SampleTaps(m, taps, n, c);
}

void ComputeMotionTensors(const SolverParams& params, const PairDerivatives& derivatives, const ImageRef& u,
                          const ImageRef& v, LevelWorkspace& workspace) {
  CheckFlow(u, v);
  if (params.useBrightness) {
    for (int c = 0; c < derivatives.channels; ++c) {
      FillBrightnessTensor(params, c,
                           {&derivatives.first[c], &derivatives.firstDx[c], &derivatives.firstDy[c],
                            &derivatives.second[c], &derivatives.secondDx[c], &derivatives.secondDy[c]},
                           u, v, workspace);
    }
  }
  if (params.useGradient) {
    FillGradientTensors(params, {&derivatives.greyFirstDx, &derivatives.greyFirstDy},
                        {&derivatives.greySecondDx, &derivatives.greySecondDy}, u, v, workspace);
  }
}

void ComputeMotionTensorsFromFrames(const SolverParams& params, const ImageRef& first, const ImageRef& second,
                                    const ImageRef& u, const ImageRef& v, LevelWorkspace& workspace) {
  CheckFlow(u, v);
  CV_Assert(first.Mat().size() == u.Mat().size() && second.Mat().size() == u.Mat().size());
  const int width = first.Width();
  const int height = first.Height();
  if (params.useBrightness) {
    std::array<ImageRef, 3> firstChannels, secondChannels;
    ConvertFrameChannels(first, params.threads, firstChannels);
    ConvertFrameChannels(second, params.threads, secondChannels);
    // one channel's derivatives at a time, in the same four images
    const ImageRef firstDx = CreateFloat(width, height, 1), firstDy = CreateFloat(width, height, 1);
    const ImageRef secondDx = CreateFloat(width, height, 1), secondDy = CreateFloat(width, height, 1);
    for (int c = 0; c < first.Channels(); ++c) {
      Derivative5(firstChannels[c], firstDx, firstDy);
      Derivative5(secondChannels[c], secondDx, secondDy);
      FillBrightnessTensor(params, c, {&firstChannels[c], &firstDx, &firstDy, &secondChannels[c], &secondDx, &secondDy},
                           u, v, workspace);
    }
  }
  if (params.useGradient) {
    const ImageRef firstDx = CreateFloat(width, height, 1), firstDy = CreateFloat(width, height, 1);
    const ImageRef secondDx = CreateFloat(width, height, 1), secondDy = CreateFloat(width, height, 1);
    Derivative5(GreyFrame(first), firstDx, firstDy);
    Derivative5(GreyFrame(second), secondDx, secondDy);
    FillGradientTensors(params, {&firstDx, &firstDy}, {&secondDx, &secondDy}, u, v, workspace);
  }
}
