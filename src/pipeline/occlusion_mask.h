// Where the flow of a pair cannot be trusted: pixels of the first frame that are hidden in the
// second frame or move out of it, judged from the forward and the backward flow.
#pragma once

#include "image/image_ref.h"

// Fills `mask` (brought to the frames' size, 8-bit, 1 channel) with 255 where the pixel of `first`
// is judged occluded in `second`, 0 elsewhere. (u, v) is the flow from first to second,
// (backU, backV) the flow from second to first, all of the frames' size. A pixel is occluded when
//  - its target x + w(x) leaves the frame (by more than half a pixel), or
//  - the backward flow at the target does not lead back: |w + w_b(x + w)|^2 > 0.01 (|w|^2 + |w_b|^2)
//    + 0.5, or
//  - no pixel of the second frame maps onto it: the backward flow's bilinear footprint covers
//    less than half of it, or
//  - the second frame at the target differs from it by more than 30 grey levels (colour
//    distance, or the grey difference times sqrt 3),
// and the marks are then closed with a 5 x 5 disc, which fills the thin gaps between the tests.
// A non-finite flow vector is occluded. The result does not depend on anything but the inputs.
void EstimateOcclusionMask(const ImageRef& first, const ImageRef& second, const ImageRef& u, const ImageRef& v,
                           const ImageRef& backU, const ImageRef& backV, ImageRef& mask);
