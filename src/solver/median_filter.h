// Square median filter of a flow component.
#pragma once

#include "image/image_ref.h"

// Median over a window x window neighbourhood (offsets -window/2 ... window - window/2 - 1) of every
// channel of a float image. At the border the window shrinks to the pixels that exist; for an even
// count the upper of the two middle values is taken. The destination handle is made to refer to a
// new image (any image it held before is released by the handle), so source and destination may
// be the same handle while other copies of it keep the unfiltered image. window >= 1. Bands of rows
// run on `threads` threads; the result is the same for every count. With `vectorise` (and AVX2) the
// 3 x 3 medians of single-channel images are taken eight at a time, with the same bits; false keeps
// the scalar path, which tests compare against.
void MedianFilterFlow(const ImageRef& source, ImageRef& destination, int window, int threads = 1,
                      bool vectorise = true);
