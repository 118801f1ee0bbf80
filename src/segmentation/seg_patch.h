// Segment records: one record per region of the segmentation, holding its pixels in raster order.
#pragma once

#include <cstdint>
#include <memory>
#include <opencv2/core.hpp>
#include <vector>

#include "image/image_ref.h"

namespace Segmentation {

class SegPatch {
 public:
  virtual ~SegPatch() = default;

  void AddPixel(int32_t x, int32_t y) { pixels.emplace_back(x, y); }

  int32_t id = 0;
  std::vector<cv::Point> pixels;  // raster order: rows from the top, left to right
};

}  // namespace Segmentation

// The segment list owns its records; entry i holds the segment whose id is i.
using SegPatchList = std::vector<std::unique_ptr<Segmentation::SegPatch>>;

// Rebuilds `segments` from a single-channel 32-bit signed label image: one record per label that
// occurs, in increasing label order, each holding its pixels in raster order. The label image is
// renumbered in place to the records' positions, so the labels run densely from 0 and keep their
// order (labels numbered by first pixel stay so). Negative labels belong to no record and are kept.
void BuildSegPatches(const ImageRef& labels, SegPatchList& segments);

// Destroys every record of the list and leaves it empty.
void ReleaseSegPatches(SegPatchList& segments);
