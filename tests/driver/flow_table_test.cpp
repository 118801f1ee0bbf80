#include "driver/flow_table.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "image/flow_file.h"
#include "image/flow_test_files.h"
#include "image/kitti_flow.h"

namespace {

using flow_test::MakeFlow;
using flow_test::ScratchDir;

// Middlebury's layout with the results written beside the frames: frame PNGs (8-bit) are not
// ground truth, flow10.flo belongs to frame10, and the program's own results are never taken as
// ground truth. A KITTI PNG beside a .flo of the same stem loses to the .flo. flow11.flo has no
// estimate (frame11 is the last frame).
TEST(PlanFlowTable, PairsByStemInOneFolderAndIgnoresFramesAndResults) {
  ScratchDir dir;
  const ImageRef flow = MakeFlow(1, 1, {1}, {2});
  ASSERT_TRUE(SaveImage(ImageRef(cv::Mat(1, 1, CV_8UC3, cv::Scalar(9, 9, 9))), dir.File("frame10.png")));
  ASSERT_TRUE(SaveImage(ImageRef(cv::Mat(1, 1, CV_8UC3, cv::Scalar(9, 9, 9))), dir.File("frame11.png")));
  ASSERT_TRUE(WriteFlowFile(flow, dir.File("flow10.flo")));
  ASSERT_TRUE(WriteFlowFile(flow, dir.File("flow11.flo")));
  ASSERT_TRUE(WriteFlowFile(flow, dir.File("frame10_morvi.flo")));
  ASSERT_TRUE(WriteFlowFile(flow, dir.File("street.flo")));
  ASSERT_TRUE(WriteFlowFile(flow, dir.File("street_morvi.flo")));
  const ImageRef u = flow_test::MakePlane(1, 1, {1});
  const ImageRef v = flow_test::MakePlane(1, 1, {2});
  KittiWriteReport report;
  std::string error;
  ASSERT_TRUE(WriteKittiFlowFile(u, v, dir.File("street.png"), report, error)) << error;
  ASSERT_TRUE(WriteKittiFlowFile(u, v, dir.File("road.png"), report, error)) << error;
  ASSERT_TRUE(WriteFlowFile(flow, dir.File("road_morvi.flo")));

  FlowTablePlan plan;
  ASSERT_TRUE(PlanFlowTable(dir.Path(), dir.Path(), plan, error)) << error;
  ASSERT_EQ(plan.pairs.size(), 3u);
  EXPECT_EQ(plan.pairs[0].stem, "frame10");
  EXPECT_EQ(plan.pairs[0].groundTruth, dir.File("flow10.flo"));
  EXPECT_EQ(plan.pairs[1].stem, "road");
  EXPECT_EQ(plan.pairs[1].groundTruth, dir.File("road.png"));
  EXPECT_EQ(plan.pairs[2].stem, "street");
  EXPECT_EQ(plan.pairs[2].groundTruth, dir.File("street.flo"));
  // Only ground truth of a stem without any estimate is missed; frames are not ground truth.
  ASSERT_EQ(plan.groundTruthWithoutEstimate.size(), 1u);
  EXPECT_EQ(plan.groundTruthWithoutEstimate[0], dir.File("flow11.flo"));

  EXPECT_FALSE(PlanFlowTable(dir.File("missing"), dir.Path(), plan, error));
  EXPECT_NE(error.find("cannot list the folder"), std::string::npos) << error;
}

}  // namespace
