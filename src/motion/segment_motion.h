// Robust affine motion per segment: random triples, Levenberg-Marquardt fits, inlier voting.
#pragma once

#include <cstdint>
#include <optional>

#include "image/image_ref.h"
#include "segmentation/seg_patch.h"

// Fits an affine motion to every segment of at least 200 pixels and writes it into u and v where
// more than 60 % of the segment's pixels agree within 0.3 pixel (always when forceWrite). A pixel
// is sampled only when |mask| >= 0.5 and overwritten only when mask < 0.5. Without a seed the
// sampling generator is seeded from the calendar time.
void FitSegmentMotions(const SegPatchList& segments, const ImageRef& u, const ImageRef& v, const ImageRef& mask,
                       bool forceWrite, std::optional<uint32_t> seed = std::nullopt);
