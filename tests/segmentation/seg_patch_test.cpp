#include "segmentation/seg_patch.h"

#include <gtest/gtest.h>

namespace {

ImageRef LabelImage(int W, int H, const std::vector<int32_t>& values) {
  ImageRef labels = CreateInt(W, H, 1);
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < W; ++x) labels.Row<int32_t>(y)[x] = values[static_cast<size_t>(y) * W + x];
  return labels;
}

std::vector<int32_t> Values(const ImageRef& labels) {
  std::vector<int32_t> values;
  for (int y = 0; y < labels.Height(); ++y)
    for (int x = 0; x < labels.Width(); ++x) values.push_back(labels.Row<int32_t>(y)[x]);
  return values;
}

}  // namespace

TEST(BuildSegPatches, LabelsThatOccurNowhereLeaveNoRecordAndLabelsStayDense) {
  const ImageRef labels = LabelImage(4, 3,
                                     {0, 0, 3, 3,  //
                                      7, 0, 3, 7,  //
                                      7, 7, 7, 7});
  SegPatchList segments;
  segments.push_back(std::make_unique<Segmentation::SegPatch>());  // replaced
  BuildSegPatches(labels, segments);

  ASSERT_EQ(segments.size(), 3u);
  EXPECT_EQ(Values(labels), (std::vector<int32_t>{0, 0, 1, 1,  //
                                                  2, 0, 1, 2,  //
                                                  2, 2, 2, 2}));
  for (size_t j = 0; j < segments.size(); ++j) EXPECT_EQ(segments[j]->id, static_cast<int32_t>(j));
  EXPECT_EQ(segments[0]->pixels, (std::vector<cv::Point>{{0, 0}, {1, 0}, {1, 1}}));
  EXPECT_EQ(segments[1]->pixels, (std::vector<cv::Point>{{2, 0}, {3, 0}, {2, 1}}));
  EXPECT_EQ(segments[2]->pixels, (std::vector<cv::Point>{{0, 1}, {3, 1}, {0, 2}, {1, 2}, {2, 2}, {3, 2}}));
}

TEST(BuildSegPatches, NegativeLabelsBelongToNoRecord) {
  const ImageRef labels = LabelImage(3, 1, {-1, 2, -1});
  SegPatchList segments;
  BuildSegPatches(labels, segments);
  ASSERT_EQ(segments.size(), 1u);
  EXPECT_EQ(segments[0]->pixels, std::vector<cv::Point>{cv::Point(1, 0)});
  EXPECT_EQ(Values(labels), (std::vector<int32_t>{-1, 0, -1}));
}

TEST(BuildSegPatches, EmptyLabelImageGivesAnEmptyList) {
  SegPatchList segments;
  segments.push_back(std::make_unique<Segmentation::SegPatch>());
  BuildSegPatches(ImageRef(), segments);
  EXPECT_TRUE(segments.empty());
}

TEST(ReleaseSegPatches, EmptiesTheListAndIgnoresAnEmptyOne) {
  SegPatchList segments;
  ReleaseSegPatches(segments);
  EXPECT_TRUE(segments.empty());
  segments.push_back(std::make_unique<Segmentation::SegPatch>());
  segments.back()->AddPixel(3, 4);
  ReleaseSegPatches(segments);
  EXPECT_TRUE(segments.empty());
}
