// Backward warping: the second frame sampled at the positions the flow points to, so that a good
// flow makes the result look like the first frame.
#pragma once

#include "image/image_ref.h"

// For every pixel (x, y): bilinear sample of `source` at (x + u, y + v), clamped into the frame, with
// rounding to the nearest byte. source and destination are 8-bit with equal size and channel
// count; destination must exist and is fully overwritten. Non-finite flow values are treated as
// pointing at the nearest border (NaN at the frame origin). Bands of rows run on `threads` threads;
// the result is the same for every count.
void WarpByFlow(const ImageRef& u, const ImageRef& v, const ImageRef& source, const ImageRef& destination,
                int threads = 1);
