// An initial flow for large motions: sparse correspondences between the two frames, interpolated
// to a dense field that follows the first frame's edges.
#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

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
constexpr int kMinMatchedSide = 32;  // DIS patches and SIFT octaves need room

// A correspondence: the pixel `from` of the first frame is seen at `to` in the second.
struct SparseMatch {
  cv::Point2f from;
  cv::Point2f to;
};

// The SIFT and DIS correspondences EstimateMatchedInitialFlow interpolates, sorted by position in
// the first frame, without duplicates. The frames are at least kMinMatchedSide on each side.
std::vector<SparseMatch> FindMatches(const ImageRef& first, const ImageRef& second);

// The edge-aware interpolation of `matches` to every pixel, as EstimateMatchedInitialFlow does it;
// false with the reason when fewer than kMinMatches are given or the field is not finite.
bool InterpolateMatches(const ImageRef& first, const ImageRef& second, const std::vector<SparseMatch>& matches,
                        ImageRef& u, ImageRef& v, std::string& reason);
