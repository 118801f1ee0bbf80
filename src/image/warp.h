// Backward warping: the second frame sampled at the positions the flow points to, so that a good
// flow makes the result look like the first frame.
#pragma once

#include <algorithm>

#include <opencv2/core.hpp>

#include "image/image_ref.h"

// Bilinear sample of a single-channel float plane at (x, y), the position clamped into the frame
// (finite x and y).
inline float SampleBilinearClamped(const cv::Mat& image, float x, float y) {
  x = std::min(std::max(x, 0.0f), static_cast<float>(image.cols - 1));
  y = std::min(std::max(y, 0.0f), static_cast<float>(image.rows - 1));
  const int x0 = static_cast<int>(x);
  const int y0 = static_cast<int>(y);
  const int x1 = std::min(x0 + 1, image.cols - 1);
  const int y1 = std::min(y0 + 1, image.rows - 1);
  const float ax = x - static_cast<float>(x0);
  const float ay = y - static_cast<float>(y0);
  const float* r0 = image.ptr<float>(y0);
  const float* r1 = image.ptr<float>(y1);
  return (r0[x0] * (1.0f - ax) + r0[x1] * ax) * (1.0f - ay) + (r1[x0] * (1.0f - ax) + r1[x1] * ax) * ay;
}

// For every pixel (x, y): bilinear sample of `source` at (x + u, y + v), clamped into the frame, with
// rounding to the nearest byte. source and destination are 8-bit with equal size and channel
// count; destination must exist and is fully overwritten. Non-finite flow values are treated as
// pointing at the nearest border (NaN at the frame origin). Bands of rows run on `threads` threads;
// the result is the same for every count.
void WarpByFlow(const ImageRef& u, const ImageRef& v, const ImageRef& source, const ImageRef& destination,
                int threads = 1);
