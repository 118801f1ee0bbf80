// Real frames and ground truth for the pipeline tests: crops of a Middlebury pair.
#pragma once

#include <string>

#include <opencv2/core.hpp>

#include "image/image_ref.h"

struct CroppedPair {
  ImageRef first;
  ImageRef second;
  ImageRef uGt;  // empty when the ground truth is not available
  ImageRef vGt;
};

// Crop `area` of frame10/frame11 (and flow10.flo) of the named Middlebury sequence; empty frames when
// the data set is missing.
CroppedPair LoadCroppedPair(const std::string& sequence, const cv::Rect& area);

// Mean endpoint error over pixels with known ground truth.
double MeanEndpointError(const ImageRef& u, const ImageRef& v, const ImageRef& uGt, const ImageRef& vGt);
