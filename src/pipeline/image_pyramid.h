// Gaussian image pyramid: level 0 is the frame itself; level k is the full-resolution frame
// blurred with sigma = factor^k and resized down by factor^k (sizes truncated level by level).
#pragma once

#include <cstdint>
#include <vector>

#include "image/image_ref.h"

// How the levels get their blur.
enum class PyramidBlur {
  // Each level blurs the full-resolution frame with its total sigma (kernels up to 5 factor^k
  // wide at full resolution).
  kFromFullFrame,
  // Each level blurs the previous one, in floating point at the previous level's resolution, with
  // the sigma that brings its blur to factor^k (sigma^2 adds up): the same Gaussian scale space
  // for a few small kernels, each level rounded to 8 bits once.
  kCascade,
};

struct ImagePyramid {
  // Builds the levels until the next one would be narrower than minWidth or lower than minHeight.
  // From the full frame the levels do not depend on each other, so they are blurred on up to
  // `threads` threads (the coarsest, with the widest kernels, first); the levels are the same for
  // every count. The cascade runs on the calling thread.
  void Build(const ImageRef& image, float factor, int minWidth, int minHeight, int threads = 1,
             PyramidBlur blur = PyramidBlur::kFromFullFrame);

  int32_t levelCount = 0;
  std::vector<ImageRef> levels;  // index 0 is the finest level
};

// Odd Gaussian kernel size for a blur of the given sigma: trunc(5 sigma + 0.5) with the lowest bit
// set, at least 3.
int PyramidKernelSize(float sigma);
