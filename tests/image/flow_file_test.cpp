#include "image/flow_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "image/flow_colour.h"
#include "support/test_support.h"

#ifdef MORVI_HAVE_OPTFLOW
#include <opencv2/optflow.hpp>
#endif

namespace {

std::vector<unsigned char> ExpectedTwoByOne() {
  const int32_t header[2] = {2, 1};
  const float values[4] = {1.0f, 0.25f, -0.5f, 2.0f};
  std::vector<unsigned char> bytes(4 + sizeof header + sizeof values);
  std::memcpy(bytes.data(), "PIEH", 4);
  std::memcpy(bytes.data() + 4, header, sizeof header);
  std::memcpy(bytes.data() + 4 + sizeof header, values, sizeof values);
  return bytes;
}

}  // namespace

TEST(FlowFile, TwoByOneFlowIsTwentyEightBytes) {
  TempDir dir;
  ImageRef u = CreateFloat(2, 1, 1);
  ImageRef v = CreateFloat(2, 1, 1);
  u.Row<float>(0)[0] = 1.0f;
  u.Row<float>(0)[1] = -0.5f;
  v.Row<float>(0)[0] = 0.25f;
  v.Row<float>(0)[1] = 2.0f;
  std::vector<std::string> errors;
  ASSERT_TRUE(SaveFlowResult(u, v, dir / "a_morvi.flo", -1.0f, errors));
  EXPECT_TRUE(errors.empty());
  EXPECT_EQ(ReadBytes(dir / "a_morvi.flo"), ExpectedTwoByOne());
  // The colour picture sits beside the flow file, and no temporary file is left behind.
  EXPECT_EQ(ListFiles(dir.path()), (std::vector<std::string>{"a_morvi.flo", "a_morvi.ppm"}));
}

TEST(FlowFile, PaddedRowsGiveTheSameFile) {
  TempDir dir;
  // A view into a wider matrix has a row stride larger than its own data.
  cv::Mat wide(1, 5, CV_32FC2, cv::Scalar(9.0f, 9.0f));
  cv::Mat view = wide(cv::Rect(0, 0, 2, 1));
  view.at<cv::Vec2f>(0, 0) = cv::Vec2f(1.0f, 0.25f);
  view.at<cv::Vec2f>(0, 1) = cv::Vec2f(-0.5f, 2.0f);
  cv::Mat tall(3, 5, CV_32FC2, cv::Scalar(9.0f, 9.0f));
  cv::Mat paddedView = tall(cv::Rect(1, 1, 2, 1));
  view.copyTo(paddedView);
  ASSERT_GT(paddedView.step[0], 2 * sizeof(cv::Vec2f));
  ASSERT_TRUE(WriteFlowFile(ImageRef(paddedView), dir / "p.flo"));
  EXPECT_EQ(ReadBytes(dir / "p.flo"), ExpectedTwoByOne());
}

TEST(FlowFile, UnwritableDirectoryIsReportedWithItsCauseAndLeavesNothing) {
  TempDir dir;
  const std::string name = dir / "missing/sub/a.flo";
  std::string error;
  EXPECT_FALSE(WriteFlowFile(CreateFloat(2, 2, 2), name, error));
  EXPECT_EQ(error, "could not write " + name + ": No such file or directory");
  EXPECT_FALSE(WriteFlowFile(CreateFloat(2, 2, 2), "", error));
  EXPECT_TRUE(ListFiles(dir.path()).empty());
}

#ifdef MORVI_HAVE_OPTFLOW
TEST(FlowFile, PeerReaderSeesIdenticalValues) {
  TempDir dir;
  ImageRef u = CreateFloat(37, 23, 1);
  ImageRef v = CreateFloat(37, 23, 1);
  cv::RNG rng(7);
  rng.fill(u.Mat(), cv::RNG::UNIFORM, -40.0, 40.0);
  rng.fill(v.Mat(), cv::RNG::UNIFORM, -40.0, 40.0);
  std::vector<std::string> errors;
  ASSERT_TRUE(SaveFlowResult(u, v, dir / "r_morvi.flo", -1.0f, errors));
  const cv::Mat peer = cv::readOpticalFlow(dir / "r_morvi.flo");
  ASSERT_EQ(peer.type(), CV_32FC2);
  ASSERT_EQ(peer.size(), u.Mat().size());
  for (int y = 0; y < 23; ++y) {
    for (int x = 0; x < 37; ++x) {
      const cv::Vec2f value = peer.at<cv::Vec2f>(y, x);
      ASSERT_EQ(std::memcmp(&value[0], &u.Row<float>(y)[x], 4), 0);
      ASSERT_EQ(std::memcmp(&value[1], &v.Row<float>(y)[x], 4), 0);
    }
  }
}
#endif
