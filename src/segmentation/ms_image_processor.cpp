#include "segmentation/ms_image_processor.h"

#include <algorithm>
#include <cmath>
#include <new>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define MORVI_HAVE_X86_VECTORS 1
#endif

#include "image/parallel.h"

namespace {

// RGB -> XYZ, with white (255, 255, 255) at Y = 255.
constexpr double kXr = 0.4125, kXg = 0.3576, kXb = 0.1804;
constexpr double kYr = 0.2125, kYg = 0.7154, kYb = 0.0721;
constexpr double kZr = 0.0193, kZg = 0.1192, kZb = 0.9502;
constexpr double kYn = 255.0;
// Chromaticity (u', v') of the white point.
constexpr double kUn = 0.19784977571475;
constexpr double kVn = 0.46834507665248;
// CIE lightness: cube root above the linear segment near black.
constexpr double kLinearLimit = 0.008856;
constexpr double kLinearSlope = 903.3;
// u' and v' where X + 15Y + 3Z = 0 (black); there L* = 0, so u* and v* vanish anyway.
constexpr double kBlackU = 4.0;
constexpr double kBlackV = 0.6;

// Lightness above which lightness differences count twice (squared distance times 4).
constexpr double kHeavyLightness = 80.0;
constexpr double kHeavyFactor = 4.0;
// A trajectory stops when its shift, measured in pixels and range units, is this small (squared).
constexpr double kModeTolerance = 0.01;
// ... or when it has taken this many steps.
constexpr int kMaxIterations = 100;
// A pixel closer than this (squared, normalised range units) to a trajectory shares its mode.
constexpr double kBasinDistance = 0.5;
// Rows per band of trajectories: a trajectory shares its mode only with pixels of its own band.
constexpr int kTrajectoryBandRows = 64;

// Mode-table states of the trajectory shortcuts.
constexpr unsigned char kModeUnassigned = 0;
constexpr unsigned char kModeAssigned = 1;
constexpr unsigned char kModePending = 2;

constexpr int kSpeedUpNone = 0;
constexpr int kSpeedUpHigh = 2;
// Speed-up level 2: besides the pixel under each position of a trajectory, the pixels up to this
// many rows and columns around it may take its mode (measured: 3.4 times quicker than level 1 on
// the Middlebury frames, with as many segments and the same flow accuracy; a radius of 3 lost
// accuracy).
constexpr int kHighSpeedUpRadius = 2;

// The colour conversion (a cube root and a division per pixel) gets a thread only for a band of at
// least this many pixels.
constexpr int kMinPixelsPerThread = 20000;

// One pixel in the bucket grid: its normalised coordinates and range values and its weight.
struct GridPoint {
  float x;
  float y;
  float r[3];
  float w;
};

// Pixels sorted into cubes one bandwidth wide in x, y and lightness. The window of a point (radius 1
// in normalised units) lies inside the 3 x 3 x 3 cubes around its own. Within a cube the pixels are
// kept in decreasing index order.
struct BucketGrid {
  int nB1 = 0, nB2 = 0, nB3 = 0;
  float minL = 0.0f;
  int offsets[27] = {};
  std::vector<int> start;  // cube b holds points[start[b] .. start[b+1])
  std::vector<GridPoint> points;
  // The points' coordinates once more, one array per coordinate in the order of `points`, for the
  // window test four points at a time.
  std::vector<float> xs, ys, r0, r1, r2;
  int largestCube = 0;

  BucketGrid(const std::vector<float>& sdata, const std::vector<float>& weightMap, int L, int N, int width,
             int height, float sigmaS) {
    const int lN = N + 2;
    minL = sdata[2];
    float maxL = sdata[2];
    for (int i = 1; i < L; ++i) {
      minL = std::min(minL, sdata[i * lN + 2]);
      maxL = std::max(maxL, sdata[i * lN + 2]);
    }
    nB1 = static_cast<int>(width / sigmaS + 3);
    nB2 = static_cast<int>(height / sigmaS + 3);
    nB3 = static_cast<int>(maxL - minL + 3);

    std::vector<int> bucketOf(static_cast<size_t>(L));
    start.assign(static_cast<size_t>(nB1) * nB2 * nB3 + 1, 0);
    for (int i = 0; i < L; ++i) {
      const float* s = &sdata[static_cast<size_t>(i) * lN];
      const int b1 = static_cast<int>(s[0]) + 1;
      const int b2 = static_cast<int>(s[1]) + 1;
      const int b3 = static_cast<int>(s[2] - minL) + 1;
      bucketOf[i] = b1 + nB1 * (b2 + nB2 * b3);
      ++start[bucketOf[i] + 1];
    }
    for (size_t b = 1; b < start.size(); ++b) {
      largestCube = std::max(largestCube, start[b]);
      start[b] += start[b - 1];
    }

    // each cube's chain in decreasing pixel order
    std::vector<int> fill(start.begin(), start.end() - 1);
    points.resize(static_cast<size_t>(L));
    for (int i = L - 1; i >= 0; --i) {
      const float* s = &sdata[static_cast<size_t>(i) * lN];
      GridPoint& q = points[fill[bucketOf[i]]++];
      q.x = s[0];
      q.y = s[1];
      for (int t = 0; t < 3; ++t) q.r[t] = t < N ? s[2 + t] : 0.0f;
      q.w = 1.0f - weightMap[i];
    }
    xs.resize(points.size());
    ys.resize(points.size());
    r0.resize(points.size());
    r1.resize(points.size());
    r2.resize(points.size());
    for (size_t k = 0; k < points.size(); ++k) {
      xs[k] = points[k].x;
      ys[k] = points[k].y;
      r0[k] = points[k].r[0];
      r1[k] = points[k].r[1];
      r2[k] = points[k].r[2];
    }

    int o = 0;
    for (int d3 = -1; d3 <= 1; ++d3)
      for (int d2 = -1; d2 <= 1; ++d2)
        for (int d1 = -1; d1 <= 1; ++d1) offsets[o++] = d1 + nB1 * (d2 + nB2 * d3);
  }

  // Cube of a point; a point that rounding put just outside the data range is held inside, which
  // only adds cubes whose points the window test rejects anyway.
  int CentreOf(const double* yk) const {
    const int b1 = std::clamp(static_cast<int>(yk[0]) + 1, 1, nB1 - 2);
    const int b2 = std::clamp(static_cast<int>(yk[1]) + 1, 1, nB2 - 2);
    const int b3 = std::clamp(static_cast<int>(yk[2] - minL) + 1, 1, nB3 - 2);
    return b1 + nB1 * (b2 + nB2 * b3);
  }
};

struct FilterScales {
  double sigmaS2;         // sigmaS squared
  double sigmaR2;         // sigmaR squared
  double heavyLightness;  // kHeavyLightness / sigmaR
};

// Mean-shift vector Mh = sum / total - yk and its squared size in pixels and range units.
template <int N>
double FinishShift(const FilterScales& scales, const double* sum, double total, const double* yk,
                   double* Mh) {
  constexpr int lN = N + 2;
  if (total > 0.0) {
    for (int k = 0; k < lN; ++k) Mh[k] = sum[k] / total - yk[k];
  } else {
    for (int k = 0; k < lN; ++k) Mh[k] = 0.0;
  }
  double range = 0.0;
  for (int t = 0; t < N; ++t) range += Mh[2 + t] * Mh[2 + t];
  return scales.sigmaS2 * (Mh[0] * Mh[0] + Mh[1] * Mh[1]) + scales.sigmaR2 * range;
}

// Window sum at yk (lN = N + 2 normalised coordinates): the weighted sum of the points inside the
// unit ball in space and the unit ball in range, with the lightness difference counted twice above
// the heavy lightness. Cubes are visited in the order of their offsets, each cube's points in its
// order; returns the squared size of the mean-shift vector Mh. The plain scan of every point is the
// reference for ShiftAt below.
template <int N>
double ShiftAtReference(const BucketGrid& grid, const FilterScales& scales, const double* yk, double* Mh) {
  double sum[N + 2] = {};
  double total = 0.0;
  const bool heavy = yk[2] > scales.heavyLightness;
  const int centre = grid.CentreOf(yk);
  for (int o = 0; o < 27; ++o) {
    const int bucket = centre + grid.offsets[o];
    const GridPoint* q = grid.points.data() + grid.start[bucket];
    const GridPoint* end = grid.points.data() + grid.start[bucket + 1];
    for (; q != end; ++q) {
      const double dx = q->x - yk[0];
      const double dy = q->y - yk[1];
      if (dx * dx + dy * dy >= 1.0) continue;
      const double dl = q->r[0] - yk[2];
      double dr = dl * dl;
      if (heavy) dr *= kHeavyFactor;
      if constexpr (N == 3) {
        const double du = q->r[1] - yk[3];
        dr += du * du;
        const double dv = q->r[2] - yk[4];
        dr += dv * dv;
      }
      if (dr >= 1.0) continue;
      const float w = q->w;
      sum[0] += w * q->x;
      sum[1] += w * q->y;
      for (int t = 0; t < N; ++t) sum[2 + t] += w * q->r[t];
      total += w;
    }
  }
  return FinishShift<N>(scales, sum, total, yk, Mh);
}

// How a window sum is formed: the plain scan of every point of the 27 cubes, or the trimmed scan
// with its window test on one point or four points at a time. All three give the same bits.
enum class WindowSums { kReference, kScalar, kVector };

bool VectorWindowTestAvailable() {
#if defined(MORVI_HAVE_X86_VECTORS)
  return __builtin_cpu_supports("avx2");
#else
  return false;
#endif
}

// Centre and scale of one window test: the window's centre in the lN coordinates and the factor of
// the squared lightness difference.
struct WindowCentre {
  double y[5];
  double lightFactor;
};

// Writes into `inside` the indices k in [0, count) of the points at grid index first + k that lie
// in the window around c, in increasing order, and returns how many there are. A point is inside
// when its squared spatial distance and its squared range distance are both below 1.
template <int N>
int WindowTestScalar(const BucketGrid& grid, int first, int count, const WindowCentre& c, int* inside) {
  const GridPoint* q = grid.points.data() + first;
  int n = 0;
  for (int e = 0; e < count; ++e) {
    const double dx = q[e].x - c.y[0];
    const double dy = q[e].y - c.y[1];
    const double dl = q[e].r[0] - c.y[2];
    double dr = dl * dl * c.lightFactor;  // times 1 or 4: exact
    if constexpr (N == 3) {
      const double du = q[e].r[1] - c.y[3];
      dr += du * du;
      const double dv = q[e].r[2] - c.y[4];
      dr += dv * dv;
    }
    inside[n] = e;
    n += (dx * dx + dy * dy < 1.0) & (dr < 1.0);
  }
  return n;
}

#if defined(MORVI_HAVE_X86_VECTORS)
// Lane k of entry m is the position of the k-th set bit of the 4-bit mask m (unused lanes 0).
struct SetBitTable {
  int lanes[16][4] = {};
  constexpr SetBitTable() {
    for (int m = 0; m < 16; ++m) {
      int n = 0;
      for (int k = 0; k < 4; ++k) {
        if (m & (1 << k)) lanes[m][n++] = k;
      }
    }
  }
};
constexpr SetBitTable kSetBits;

// WindowTestScalar four points at a time: each lane widens the same floats to double and repeats
// the scalar operations in their order (no fused multiply-adds), so the same points pass. A block
// stores four indices at the count so far, which never passes its own last point.
template <int N>
__attribute__((target("avx2"))) int WindowTestVector(const BucketGrid& grid, int first, int count,
                                                     const WindowCentre& c, int* inside) {
  const float* xs = grid.xs.data() + first;
  const float* ys = grid.ys.data() + first;
  const float* r0 = grid.r0.data() + first;
  const float* r1 = grid.r1.data() + first;
  const float* r2 = grid.r2.data() + first;
  const __m256d c0 = _mm256_set1_pd(c.y[0]);
  const __m256d c1 = _mm256_set1_pd(c.y[1]);
  const __m256d c2 = _mm256_set1_pd(c.y[2]);
  const __m256d c3 = _mm256_set1_pd(c.y[3]);
  const __m256d c4 = _mm256_set1_pd(c.y[4]);
  const __m256d lightFactor = _mm256_set1_pd(c.lightFactor);
  const __m256d one = _mm256_set1_pd(1.0);
  int n = 0;
  int e = 0;
  for (; e + 4 <= count; e += 4) {
    const __m256d dx = _mm256_sub_pd(_mm256_cvtps_pd(_mm_loadu_ps(xs + e)), c0);
    const __m256d dy = _mm256_sub_pd(_mm256_cvtps_pd(_mm_loadu_ps(ys + e)), c1);
    const __m256d dl = _mm256_sub_pd(_mm256_cvtps_pd(_mm_loadu_ps(r0 + e)), c2);
    __m256d dr = _mm256_mul_pd(_mm256_mul_pd(dl, dl), lightFactor);
    if constexpr (N == 3) {
      const __m256d du = _mm256_sub_pd(_mm256_cvtps_pd(_mm_loadu_ps(r1 + e)), c3);
      dr = _mm256_add_pd(dr, _mm256_mul_pd(du, du));
      const __m256d dv = _mm256_sub_pd(_mm256_cvtps_pd(_mm_loadu_ps(r2 + e)), c4);
      dr = _mm256_add_pd(dr, _mm256_mul_pd(dv, dv));
    }
    const __m256d space = _mm256_add_pd(_mm256_mul_pd(dx, dx), _mm256_mul_pd(dy, dy));
    const int mask = _mm256_movemask_pd(
        _mm256_and_pd(_mm256_cmp_pd(space, one, _CMP_LT_OQ), _mm256_cmp_pd(dr, one, _CMP_LT_OQ)));
    const __m128i lanes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kSetBits.lanes[mask]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(inside + n), _mm_add_epi32(lanes, _mm_set1_epi32(e)));
    n += __builtin_popcount(static_cast<unsigned>(mask));
  }
  if (e < count) {
    const int tail = WindowTestScalar<N>(grid, first + e, count - e, c, inside + n);
    for (int k = n; k < n + tail; ++k) inside[k] += e;
    n += tail;
  }
  return n;
}
#endif

// The same sums as ShiftAtReference, bit for bit. A cube's points run from its bottom row up, so the
// rows a full bandwidth or more below or above yk are cut off at both ends (a point with |dy| >= 1
// fails the window test whatever dx is). The rest are tested without branching into `inside`
// (room for the largest cube) and only then summed, in the same order as the plain scan.
template <int N, bool kVector>
double ShiftAt(const BucketGrid& grid, const FilterScales& scales, const double* yk, double* Mh,
               int* inside) {
  double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0, s4 = 0.0;
  double total = 0.0;
  WindowCentre c;
  for (int k = 0; k < 5; ++k) c.y[k] = k < N + 2 ? yk[k] : 0.0;
  c.lightFactor = yk[2] > scales.heavyLightness ? kHeavyFactor : 1.0;
  const double y1 = yk[1];
  const int centre = grid.CentreOf(yk);
  for (int o = 0; o < 27; ++o) {
    const int bucket = centre + grid.offsets[o];
    const GridPoint* q = grid.points.data() + grid.start[bucket];
    const GridPoint* end = grid.points.data() + grid.start[bucket + 1];
    while (q != end && q->y - y1 >= 1.0) ++q;
    while (end != q && end[-1].y - y1 <= -1.0) --end;

    const int first = static_cast<int>(q - grid.points.data());
    const int count = static_cast<int>(end - q);
    int n = 0;
#if defined(MORVI_HAVE_X86_VECTORS)
    if constexpr (kVector) {
      n = WindowTestVector<N>(grid, first, count, c, inside);
    } else {
      n = WindowTestScalar<N>(grid, first, count, c, inside);
    }
#else
    n = WindowTestScalar<N>(grid, first, count, c, inside);
#endif

    for (int a = 0; a < n; ++a) {
      const GridPoint& p = q[inside[a]];
      const float w = p.w;
      s0 += w * p.x;
      s1 += w * p.y;
      s2 += w * p.r[0];
      if constexpr (N == 3) {
        s3 += w * p.r[1];
        s4 += w * p.r[2];
      }
      total += w;
    }
  }
  const double sum[5] = {s0, s1, s2, s3, s4};
  return FinishShift<N>(scales, sum, total, yk, Mh);
}

// Moves every pixel of the rows [rowBegin, rowEnd) to its mode and writes the mode colour into
// filtered (L*N floats). With the shortcuts, a trajectory hands its mode to every unassigned pixel
// of these rows it passed within the basin distance (the point list), and ends early on meeting an
// assigned pixel of these rows of similar colour. With neighbourRadius > 0 (speed-up level 2) the
// unassigned pixels of these rows within that many rows and columns of each position, of a colour
// within the basin distance of the trajectory's, join the point list too. Pixels of other rows take
// no part in the shortcuts, so bands of rows can run at the same time with the same result.
template <int N>
void RunTrajectories(const BucketGrid& grid, const FilterScales& scales, const std::vector<float>& sdata,
                     int width, int height, int rowBegin, int rowEnd, float sigmaS, float sigmaR,
                     bool shortcuts, int neighbourRadius, WindowSums sums, std::vector<unsigned char>& modeTable,
                     std::vector<float>& filtered) {
  constexpr int lN = N + 2;
  const int first = rowBegin * width;
  const int end = rowEnd * width;
  double yk[lN];
  double Mh[lN];
  std::vector<int> inside(static_cast<size_t>(grid.largestCube));
  std::vector<int> pointList(static_cast<size_t>(shortcuts ? end - first : 0));
  auto shiftAt = [&](const double* at, double* shift) {
    switch (sums) {
      case WindowSums::kReference:
        return ShiftAtReference<N>(grid, scales, at, shift);
      case WindowSums::kVector:
        return ShiftAt<N, true>(grid, scales, at, shift, inside.data());
      case WindowSums::kScalar:
        break;
    }
    return ShiftAt<N, false>(grid, scales, at, shift, inside.data());
  };
  for (int i = first; i < end; ++i) {
    if (modeTable[i] == kModeAssigned) continue;

    int pointCount = 0;
    for (int k = 0; k < lN; ++k) yk[k] = sdata[static_cast<size_t>(i) * lN + k];
    // the wider shortcut: unassigned pixels of these rows around the trajectory's position whose
    // colour lies within the basin distance take its mode too
    auto claimAround = [&]() {
      const int cx = std::clamp(static_cast<int>(sigmaS * yk[0] + 0.5), 0, width - 1);
      const int cy = std::clamp(static_cast<int>(sigmaS * yk[1] + 0.5), 0, height - 1);
      for (int y = std::max(rowBegin, cy - neighbourRadius); y <= std::min(rowEnd - 1, cy + neighbourRadius); ++y) {
        for (int x = std::max(0, cx - neighbourRadius); x <= std::min(width - 1, cx + neighbourRadius); ++x) {
          const int q = y * width + x;
          if (q == i || modeTable[q] != kModeUnassigned) continue;
          const float* sq = &sdata[static_cast<size_t>(q) * lN + 2];
          double D = 0.0;
          for (int t = 0; t < N; ++t) D += (sq[t] - yk[2 + t]) * (sq[t] - yk[2 + t]);
          if (D < kBasinDistance) {
            pointList[pointCount++] = q;
            modeTable[q] = kModePending;
          }
        }
      }
    };
    if (neighbourRadius > 0) claimAround();
    double mv = shiftAt(yk, Mh);
    int iteration = 1;
    bool metAssigned = false;

    while (mv >= kModeTolerance && iteration < kMaxIterations) {
      for (int k = 0; k < lN; ++k) yk[k] += Mh[k];

      if (shortcuts) {
        // pixel under the trajectory's current position
        const int px = std::clamp(static_cast<int>(sigmaS * yk[0] + 0.5), 0, width - 1);
        const int py = std::clamp(static_cast<int>(sigmaS * yk[1] + 0.5), 0, height - 1);
        const int p = width * py + px;
        if (p >= first && p < end && modeTable[p] != kModePending && p != i) {
          const float* sp = &sdata[static_cast<size_t>(p) * lN + 2];
          double D = 0.0;
          for (int t = 0; t < N; ++t) D += (sp[t] - yk[2 + t]) * (sp[t] - yk[2 + t]);
          if (D < kBasinDistance) {
            if (modeTable[p] == kModeAssigned) {
              for (int t = 0; t < N; ++t) yk[2 + t] = filtered[static_cast<size_t>(p) * N + t] / sigmaR;
              metAssigned = true;
              break;
            }
            pointList[pointCount++] = p;
            modeTable[p] = kModePending;
          }
        }
      }

      if (neighbourRadius > 0) claimAround();
      mv = shiftAt(yk, Mh);
      ++iteration;
    }
    if (!metAssigned) {
      for (int k = 0; k < lN; ++k) yk[k] += Mh[k];
    }
    modeTable[i] = kModeAssigned;

    float mode[N];
    for (int t = 0; t < N; ++t) mode[t] = static_cast<float>(yk[2 + t] * sigmaR);
    for (int n = 0; n < pointCount; ++n) {
      const int p = pointList[n];
      modeTable[p] = kModeAssigned;
      for (int t = 0; t < N; ++t) filtered[static_cast<size_t>(p) * N + t] = mode[t];
    }
    for (int t = 0; t < N; ++t) filtered[static_cast<size_t>(i) * N + t] = mode[t];
  }
}

}  // namespace

void ConvertRgbToLuv(const uint8_t rgb[3], float luv[3]) {
  const double R = rgb[0];
  const double G = rgb[1];
  const double B = rgb[2];
  const double X = kXr * R + kXg * G + kXb * B;
  const double Y = kYr * R + kYg * G + kYb * B;
  const double Z = kZr * R + kZg * G + kZb * B;

  const double y = Y / kYn;
  const double L = y > kLinearLimit ? 116.0 * std::pow(y, 1.0 / 3.0) - 16.0 : kLinearSlope * y;

  const double d = X + 15.0 * Y + 3.0 * Z;
  double u = kBlackU;
  double v = kBlackV;
  if (d != 0.0) {
    u = 4.0 * X / d;
    v = 9.0 * Y / d;
  }
  luv[0] = static_cast<float>(L);
  luv[1] = static_cast<float>(13.0 * L * (u - kUn));
  luv[2] = static_cast<float>(13.0 * L * (v - kVn));
}

msImageProcessor::msImageProcessor() {
  const int dx[8] = {1, 1, 0, -1, -1, -1, 0, 1};
  const int dy[8] = {0, -1, -1, -1, 0, 1, 1, 1};
  for (int k = 0; k < 8; ++k) {
    neighbourDx_[k] = dx[k];
    neighbourDy_[k] = dy[k];
  }
}

void msImageProcessor::SetImageData(const uint8_t* pixels, ImageType type, int height, int width, int threads) {
  if (errorLevel_ != 0) return;
  FreeOutputs();
  threads_ = std::max(1, threads);

  const int N = type == kColourImage ? 3 : 1;
  std::vector<float> values;
  if (height > 0 && width > 0) {
    const size_t L = static_cast<size_t>(height) * width;
    try {
      values.resize(L * N);
    } catch (const std::bad_alloc&) {
      ErrorHandler("msImageProcessor", "Allocate", "Not enough memory.");
      return;
    }
    if (N == 3) {
      // each pixel converts alone, so bands of rows may run on different threads
      float* luv = values.data();
      auto convertRows = [&](int rowBegin, int rowEnd) {
        const size_t end = static_cast<size_t>(rowEnd) * width;
        for (size_t i = static_cast<size_t>(rowBegin) * width; i < end; ++i) {
          ConvertRgbToLuv(pixels + 3 * i, luv + 3 * i);
        }
      };
      ParallelFor(height, threads, convertRows, std::max(1, kMinPixelsPerThread / width));
    } else {
      for (size_t i = 0; i < L; ++i) values[i] = static_cast<float>(pixels[i]);
    }
  }

  DefineLInput(values.data(), height, width, N);
  if (errorLevel_ != 0) return;

  if (!kernelCreated_) {
    // space (x, y) and range, both uniform; the bandwidths are set by the filter
    CreateKernel({{kUniformKernel, 1.0f, 2}, {kUniformKernel, 1.0f, N}});
  }
}

void msImageProcessor::Allocate() {
  try {
    const size_t L = static_cast<size_t>(L_);
    filtered_.assign(L * N_, 0.0f);
    modes_.assign(L * N_, 0.0f);
    labels_.assign(L, 0);
    pointCounts_.assign(L, 0);
    workStack_.assign(L, 0);
    rangeData_.assign(L * N_, 0.0f);
  } catch (const std::bad_alloc&) {
    FreeOutputs();
    ErrorHandler("msImageProcessor", "Allocate", "Not enough memory.");
    return;
  }
  regionCount_ = 0;
  outputsAllocated_ = true;
}

void msImageProcessor::FreeOutputs() {
  filtered_ = {};
  modes_ = {};
  labels_ = {};
  pointCounts_ = {};
  workStack_ = {};
  rangeData_ = {};
  regionCount_ = 0;
  outputsAllocated_ = false;
  FreeAdjacency();
}

void msImageProcessor::CheckKernel() {
  classConsistencyCheck(N_ + 2, true);
  if (errorLevel_ != 0) return;
  // the filter reads the bandwidths as h[0] for (x, y) and h[1] for the range
  if (kp_ != 2 || P_[0] != 2) {
    ErrorHandler("MeanShift", "classConsitencyCheck",
                 "Kernel dimension does not match defined input data dimension.");
  }
}

void msImageProcessor::FilterImage(int sigmaS, float sigmaR, int speedUpLevel) {
  if (errorLevel_ != 0) return;
  CheckKernel();
  if (errorLevel_ != 0) return;

  if (!outputsAllocated_) {
    Allocate();
    if (errorLevel_ != 0) return;
  }

  if (speedUpLevel >= kSpeedUpNone && speedUpLevel <= kSpeedUpHigh) {
    LFilter(static_cast<float>(sigmaS), sigmaR, speedUpLevel);
    if (errorLevel_ != 0) return;
  }

  rangeData_ = filtered_;
  ConnectRegions();
}

void msImageProcessor::LFilter(float sigmaS, float sigmaR, int speedUpLevel) {
  if (height_ == 0) {
    ErrorHandler("msImageProcessor", "LFilter", "Lattice height and width are undefined.");
    return;
  }
  if (sigmaS <= 0.0f || sigmaR <= 0.0f) {
    ErrorHandler("msImageProcessor", "Segment", "sigmaS and/or sigmaR is zero or negative.");
    return;
  }
  h_[0] = sigmaS;
  h_[1] = sigmaR;

  std::vector<unsigned char> modeTable;
  try {
    modeTable.assign(static_cast<size_t>(L_), kModeUnassigned);
  } catch (const std::bad_alloc&) {
    ErrorHandler("msImageProcessor", "Allocate", "Not enough memory");
    return;
  }

  // normalised data: x / sigmaS, y / sigmaS, range / sigmaR
  const int lN = N_ + 2;
  std::vector<float> sdata(static_cast<size_t>(L_) * lN);
  for (int i = 0; i < L_; ++i) {
    float* s = &sdata[static_cast<size_t>(i) * lN];
    s[0] = static_cast<float>(i % width_) / sigmaS;
    s[1] = static_cast<float>(i / width_) / sigmaS;
    for (int t = 0; t < N_; ++t) s[2 + t] = data_[static_cast<size_t>(i) * N_ + t] / sigmaR;
  }

  const BucketGrid grid(sdata, weightMap_, L_, N_, width_, height_, sigmaS);
  const FilterScales scales{static_cast<double>(sigmaS) * sigmaS, static_cast<double>(sigmaR) * sigmaR,
                            kHeavyLightness / sigmaR};
  const bool shortcuts = speedUpLevel != kSpeedUpNone;
  const int neighbourRadius = speedUpLevel == kSpeedUpHigh ? kHighSpeedUpRadius : 0;
  WindowSums sums = WindowSums::kScalar;
  if (referenceSums_) {
    sums = WindowSums::kReference;
  } else if (vectorWindowTest_ && VectorWindowTestAvailable()) {
    sums = WindowSums::kVector;
  }
  // Bands of a fixed number of rows, taken by the threads as they come free; a band's result does
  // not depend on which thread runs it or when.
  const int bands = (height_ + kTrajectoryBandRows - 1) / kTrajectoryBandRows;
  auto runBand = [&](int band) {
    const int rowBegin = band * kTrajectoryBandRows;
    const int rowEnd = std::min(height_, rowBegin + kTrajectoryBandRows);
    if (N_ == 3) {
      RunTrajectories<3>(grid, scales, sdata, width_, height_, rowBegin, rowEnd, sigmaS, sigmaR, shortcuts,
                         neighbourRadius, sums, modeTable, filtered_);
    } else {
      RunTrajectories<1>(grid, scales, sdata, width_, height_, rowBegin, rowEnd, sigmaS, sigmaR, shortcuts,
                         neighbourRadius, sums, modeTable, filtered_);
    }
  };
  try {
    ParallelTasks(bands, threads_, runBand);
  } catch (const std::bad_alloc&) {
    ErrorHandler("msImageProcessor", "Allocate", "Not enough memory");
  }
}
