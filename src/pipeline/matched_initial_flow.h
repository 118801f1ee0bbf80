// An initial flow for large motions: sparse correspondences between the two frames, interpolated
// to a dense field that follows the first frame's edges.
#pragma once

#include <string>

#include "image/image_ref.h"

// first, second: 8-bit frames of equal size with 1 or 3 channels. On success u and v are made to
// refer to new float images holding the interpolated flow. The correspondences are
//  - SIFT keypoints matched both ways (each the other's nearest descriptor, with Lowe's ratio test
//    at 0.8), and
//  - every 8th pixel of a DIS flow (medium preset) whose backward flow leads back within a pixel,
// sorted, so the result does not depend on the order they are found in. Returns false, with the
// reason and u, v untouched, when the frames are too small or fewer than kMinMatches survive.
bool EstimateMatchedInitialFlow(const ImageRef& first, const ImageRef& second, ImageRef& u, ImageRef& v,
                                std::string& reason);

constexpr int kMinMatches = 32;
