// Nearest descriptors both ways between two sets of float descriptors, under the L2 distance, from
// one pass over the pairs.
#pragma once

#include <vector>

#include <opencv2/core.hpp>

// What cv::BFMatcher(cv::NORM_L2) gives for knnMatch(first, second, forward, 2) and
// knnMatch(second, first, backward, 1), byte for byte: for each row of `first` its two nearest rows
// of `second` (one when `second` has one row), for each row of `second` its nearest row of `first`,
// nearest first, equal distances in row order, each distance the matcher's own single-precision
// value.
//
// The distances of every pair are first bounded by a dot product (|a|^2 + |b|^2 - 2 a.b with the
// squared norms in double), a tenth of the cost of the matcher's difference kernel; the matcher's
// exact kernel then runs only on the pairs the bound cannot rule out (see the tolerance in the
// source). Rows of `first` are split over up to `threads` threads; the result is the same for
// every count. first, second: CV_32FC1 with the same number of columns; descriptors that are not
// all finite go to the brute-force matcher itself.
void MatchDescriptorsBothWays(const cv::Mat& first, const cv::Mat& second, int threads,
                              std::vector<std::vector<cv::DMatch>>& forward,
                              std::vector<std::vector<cv::DMatch>>& backward);
