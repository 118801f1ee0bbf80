#include "segmentation/seg_patch.h"

#include <algorithm>

void BuildSegPatches(const ImageRef& labels, SegPatchList& segments) {
  CV_Assert(labels.Empty() || labels.Mat().type() == CV_32SC1);
  ReleaseSegPatches(segments);
  const int width = labels.Width();
  const int height = labels.Height();

  int32_t maxLabel = 0;
  for (int y = 0; y < height; ++y) {
    const int32_t* row = labels.Row<int32_t>(y);
    for (int x = 0; x < width; ++x) maxLabel = std::max(maxLabel, row[x]);
  }
  if (width == 0 || height == 0) return;

  segments.resize(static_cast<size_t>(maxLabel) + 1);
  for (int32_t i = 0; i <= maxLabel; ++i) {
    segments[i] = std::make_unique<Segmentation::SegPatch>();
    segments[i]->id = i;
  }
  for (int y = 0; y < height; ++y) {
    const int32_t* row = labels.Row<int32_t>(y);
    for (int x = 0; x < width; ++x) {
      if (row[x] >= 0) segments[row[x]]->AddPixel(x, y);
    }
  }

  // Drop labels that occur nowhere, keeping the order, then make the labels dense again.
  segments.erase(std::remove_if(segments.begin(), segments.end(),
                                [](const auto& patch) { return patch->pixels.empty(); }),
                 segments.end());
  for (size_t j = 0; j < segments.size(); ++j) {
    segments[j]->id = static_cast<int32_t>(j);
    for (const cv::Point& p : segments[j]->pixels) labels.Row<int32_t>(p.y)[p.x] = static_cast<int32_t>(j);
  }
}

void ReleaseSegPatches(SegPatchList& segments) { segments.clear(); }
