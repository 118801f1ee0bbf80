#include "image/warp.h"

#include <algorithm>
#include <cmath>

#include "image/parallel.h"

namespace {

// A thread gets a band of rows only when the band holds at least this many pixels.
constexpr int kMinPixelsPerThread = 20000;

// Clamps into [0, limit]; a NaN goes to 0 so that it can never reach the integer conversion.
float ClampCoordinate(float value, float limit) {
  if (!(value >= 0.0f)) return 0.0f;
  return value > limit ? limit : value;
}

// Rows [rowBegin, rowEnd) of the warped image; each output pixel reads only the flow and the source.
void WarpRows(const ImageRef& u, const ImageRef& v, const ImageRef& source, const ImageRef& destination,
              int rowBegin, int rowEnd) {
  const int width = source.Width();
  const int height = source.Height();
  const int channels = source.Channels();
  const float maxX = static_cast<float>(width - 1);
  const float maxY = static_cast<float>(height - 1);

  for (int y = rowBegin; y < rowEnd; ++y) {
    const float* ur = u.Row<float>(y);
    const float* vr = v.Row<float>(y);
    uint8_t* out = destination.Row<uint8_t>(y);
    for (int x = 0; x < width; ++x) {
      const float xs = ClampCoordinate(static_cast<float>(x) + ur[x], maxX);
      const float ys = ClampCoordinate(static_cast<float>(y) + vr[x], maxY);
      const int x0 = static_cast<int>(xs);
      const int y0 = static_cast<int>(ys);
      const int x1 = std::min(x0 + 1, width - 1);
      const int y1 = std::min(y0 + 1, height - 1);
      const float fx = xs - static_cast<float>(x0);
      const float fy = ys - static_cast<float>(y0);
      const uint8_t* row0 = source.Row<uint8_t>(y0);
      const uint8_t* row1 = source.Row<uint8_t>(y1);
      for (int c = 0; c < channels; ++c) {
        const float value = (1.0f - fx) * (1.0f - fy) * row0[x0 * channels + c] +
                            fx * (1.0f - fy) * row0[x1 * channels + c] +
                            (1.0f - fx) * fy * row1[x0 * channels + c] + fx * fy * row1[x1 * channels + c];
        out[x * channels + c] = static_cast<uint8_t>(static_cast<int>(value + 0.5f));
      }
    }
  }
}

}  // namespace

void WarpByFlow(const ImageRef& u, const ImageRef& v, const ImageRef& source, const ImageRef& destination,
                int threads) {
  // Warping an image onto itself reads pixels already written, in raster order: only one thread
  // reproduces that.
  const bool inPlace = !source.Empty() && !destination.Empty() && source.Mat().data == destination.Mat().data;
  const int minRows = std::max(1, kMinPixelsPerThread / std::max(source.Width(), 1));
  ParallelFor(
      source.Height(), inPlace ? 1 : threads,
      [&](int begin, int end) { WarpRows(u, v, source, destination, begin, end); }, minRows);
}
