#include "solver/median_filter.h"

#include <algorithm>
#include <vector>

#include <opencv2/core.hpp>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define MORVI_HAVE_X86_VECTORS 1
#endif

#include "image/parallel.h"

namespace {

// Rows are shared out among threads in bands of at least this many (a 3 x 3 median of a band of
// 16 rows of a typical frame takes far longer than starting a thread).
constexpr int kMinRowsPerThread = 16;

// Ascending insertion sort of a handful of samples. It never leaves the buffer, even when some
// samples are not numbers (which a library sort would be allowed to mishandle).
void SortSamples(float* samples, int n) {
  for (int i = 1; i < n; ++i) {
    const float value = samples[i];
    int j = i;
    while (j > 0 && samples[j - 1] > value) {
      samples[j] = samples[j - 1];
      --j;
    }
    samples[j] = value;
  }
}

#if defined(MORVI_HAVE_X86_VECTORS)
bool VectorMedianAvailable() { return __builtin_cpu_supports("avx2"); }

// 3 x 3 medians of eight consecutive interior pixels of a single-channel image, from the rows
// above, at and below them (each pointing at the first pixel's left neighbour). The sorting network
// picks the fifth smallest sample, which is the one the insertion sort leaves in the middle, bit
// for bit, as long as equal samples have equal bits: a block with a zero of either sign or a value
// that is not a number is left to the scalar path (returns false).
__attribute__((target("avx2"))) bool Median3x3Block(const float* above, const float* at, const float* below,
                                                    float* out) {
  __m256 p[9];
  const float* rows[3] = {above, at, below};
  // Column by column, row by row within a column, as the scalar path gathers them.
  for (int c = 0; c < 3; ++c) {
    for (int r = 0; r < 3; ++r) p[3 * c + r] = _mm256_loadu_ps(rows[r] + c);
  }
  __m256 unusable = _mm256_setzero_ps();
  for (const __m256& sample : p) {
    unusable = _mm256_or_ps(unusable, _mm256_cmp_ps(sample, _mm256_setzero_ps(), _CMP_EQ_UQ));
  }
  if (_mm256_movemask_ps(unusable) != 0) return false;
  // Compare-exchange pairs of the nine-sample median network (19 steps).
  constexpr int kSteps[19][2] = {{1, 2}, {4, 5}, {7, 8}, {0, 1}, {3, 4}, {6, 7}, {1, 2},
                                 {4, 5}, {7, 8}, {0, 3}, {5, 8}, {4, 7}, {3, 6}, {1, 4},
                                 {2, 5}, {4, 7}, {4, 2}, {6, 4}, {4, 2}};
  for (const auto& step : kSteps) {
    const __m256 low = _mm256_min_ps(p[step[0]], p[step[1]]);
    p[step[1]] = _mm256_max_ps(p[step[0]], p[step[1]]);
    p[step[0]] = low;
  }
  _mm256_storeu_ps(out, p[4]);
  return true;
}
#endif

}  // namespace

void MedianFilterFlow(const ImageRef& source, ImageRef& destination, int window, int threads, bool vectorise) {
  CV_Assert(!source.Empty() && source.Depth() == CV_32F);
  CV_Assert(window >= 1);
  const int width = source.Width();
  const int height = source.Height();
  const int channels = source.Channels();
  const int half = window / 2;
  const int first = -half;
  const int last = window - half - 1;

  // The medians go into a new image, never into the source: every output reads only the source,
  // so bands of rows are independent even when destination and source are one handle.
  ImageRef result = CreateFloat(width, height, channels);
  const cv::Mat& src = source.Mat();
  const size_t rowStep = src.step1();

#if defined(MORVI_HAVE_X86_VECTORS)
  const bool useVectors = vectorise && window == 3 && channels == 1 && VectorMedianAvailable();
#else
  (void)vectorise;
#endif
  auto filterRows = [&](int rowBegin, int rowEnd) {
    std::vector<float> samples(static_cast<size_t>(window) * static_cast<size_t>(window));
    for (int c = 0; c < channels; ++c) {
      for (int y = rowBegin; y < rowEnd; ++y) {
        const int y0 = std::max(y + first, 0);
        const int y1 = std::min(y + last, height - 1);
        const float* top = src.ptr<float>(y0) + c;
        float* out = result.Row<float>(y);
        auto medianAt = [&](int x) {
          const int x0 = std::max(x + first, 0);
          const int x1 = std::min(x + last, width - 1);
          // Column by column, row by row within a column.
          int n = 0;
          for (int xs = x0; xs <= x1; ++xs) {
            const float* sample = top + xs * channels;
            for (int ys = y0; ys <= y1; ++ys, sample += rowStep) samples[n++] = *sample;
          }
          SortSamples(samples.data(), n);
          out[x * channels + c] = samples[n / 2];
        };
        int x = 0;
#if defined(MORVI_HAVE_X86_VECTORS)
        if (useVectors && y > 0 && y + 1 < height) {
          // Interior pixels 1 .. width - 2 eight at a time; a block the network cannot take goes
          // through the scalar path, as do the border columns and the remainder.
          const float* above = src.ptr<float>(y - 1);
          const float* at = src.ptr<float>(y);
          const float* below = src.ptr<float>(y + 1);
          medianAt(0);
          for (x = 1; x + 8 <= width - 1; x += 8) {
            if (Median3x3Block(above + x - 1, at + x - 1, below + x - 1, out + x)) continue;
            for (int k = x; k < x + 8; ++k) medianAt(k);
          }
        }
#endif
        for (; x < width; ++x) medianAt(x);
      }
    }
  };
  ParallelFor(height, threads, filterRows, kMinRowsPerThread);
  destination = result;
}
