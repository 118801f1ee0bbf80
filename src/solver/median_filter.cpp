#include "solver/median_filter.h"

#include <algorithm>
#include <vector>

#include <opencv2/core.hpp>

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

}  // namespace

void MedianFilterFlow(const ImageRef& source, ImageRef& destination, int window, int threads) {
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

  auto filterRows = [&](int rowBegin, int rowEnd) {
    std::vector<float> samples(static_cast<size_t>(window) * static_cast<size_t>(window));
    for (int c = 0; c < channels; ++c) {
      for (int y = rowBegin; y < rowEnd; ++y) {
        const int y0 = std::max(y + first, 0);
        const int y1 = std::min(y + last, height - 1);
        const float* top = src.ptr<float>(y0) + c;
        float* out = result.Row<float>(y);
        for (int x = 0; x < width; ++x) {
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
        }
      }
    }
  };
  ParallelFor(height, threads, filterRows, kMinRowsPerThread);
  destination = result;
}
