#include "pipeline/weight_maps.h"

#include <gtest/gtest.h>

#include <random>

#include <opencv2/imgproc.hpp>

namespace {

LevelWorkspace WorkspaceWithStructure(int w, int h, float value) {
  LevelWorkspace workspace;
  workspace.s11 = CreateFloat(w, h, 1);
  workspace.s22 = CreateFloat(w, h, 1);
  workspace.s12 = CreateFloat(w, h, 1);
  workspace.s11.Mat().setTo(value);
  workspace.s22.Mat().setTo(value);
  workspace.s12.Mat().setTo(value);
  return workspace;
}

SolverParams Anisotropic(int on) {
  SolverParams params;
  params.anisotropic = on;
  return params;
}

// Flow whose targets lie left of column 0 in the first `columns` columns: u = -(x + 1).
void PushLeftColumns(const ImageRef& u, int columns) {
  for (int y = 0; y < u.Height(); ++y) {
    for (int x = 0; x < columns; ++x) u.Row<float>(y)[x] = -static_cast<float>(x + 1);
  }
}

}  // namespace

TEST(MarkOutOfFrame, MarksTargetsOutsideButNotOnTheBorder) {
  ImageRef u = CreateFloat(5, 4, 1);
  ImageRef v = CreateFloat(5, 4, 1);
  u.Row<float>(0)[0] = -0.001f;  // just left of the frame
  u.Row<float>(1)[4] = 0.0f;     // exactly on the last column: inside
  u.Row<float>(2)[1] = 3.0f;     // exactly at x = 4 = W - 1: inside
  u.Row<float>(2)[2] = 2.5f;     // beyond W - 1
  v.Row<float>(3)[3] = 0.5f;     // below the last row
  v.Row<float>(0)[3] = -0.0f;
  ImageRef map = CreateFloat(5, 4, 1);
  map.Mat().setTo(7.0f);
  MarkOutOfFrame(u, v, map);
  EXPECT_EQ(cv::sum(map.Mat())[0], 3.0);
  EXPECT_EQ(map.Row<float>(0)[0], 1.0f);
  EXPECT_EQ(map.Row<float>(2)[2], 1.0f);
  EXPECT_EQ(map.Row<float>(3)[3], 1.0f);
}

TEST(BuildWeightMaps, ZeroFlowGivesUniformMapsAndLeavesTheWorkspace) {
  const int w = 20, h = 15;
  LevelWorkspace workspace = WorkspaceWithStructure(w, h, 4.0f);
  const WeightMaps maps = BuildWeightMaps(w, h, CreateFloat(w, h, 1), CreateFloat(w, h, 1), 0.1f, 0.9f, 8.0f,
                                          Anisotropic(1), workspace);
  EXPECT_EQ(cv::countNonZero(maps.brightnessWeight.Mat() != 0.1f), 0);
  EXPECT_EQ(cv::countNonZero(maps.gradientWeight.Mat() != 0.9f), 0);
  EXPECT_EQ(cv::countNonZero(maps.smoothnessWeight.Mat() != 8.0f), 0);
  EXPECT_EQ(cv::countNonZero(workspace.s11.Mat() != 4.0f), 0);
}

TEST(BuildWeightMaps, ThresholdNeedsSeventyThreeOfEightyOneOutside) {
  // Column x is marked for x < c. At pixel (x0, y) of the interior the 9 x 9 window spans columns
  // x0 - 4 .. x0 + 4; with c = x0 + 5 all 81 are out; c = x0 + 4 leaves 72 (one column of 9 in).
  const int w = 40, h = 30;
  for (const auto& [marked, expectDivided] : {std::pair<int, bool>{20 + 5, true}, {20 + 4, false}}) {
    ImageRef u = CreateFloat(w, h, 1);
    PushLeftColumns(u, marked);
    LevelWorkspace workspace = WorkspaceWithStructure(w, h, 4.0f);
    const WeightMaps maps = BuildWeightMaps(w, h, u, CreateFloat(w, h, 1), 0.1f, 0.9f, 8.0f, Anisotropic(1), workspace);
    const float b = maps.brightnessWeight.Row<float>(15)[20];
    const float g = maps.gradientWeight.Row<float>(15)[20];
    EXPECT_EQ(b, expectDivided ? 0.1f / 100.0f : 0.1f) << marked;
    EXPECT_EQ(g, expectDivided ? 0.9f / 100.0f : 0.9f) << marked;
    EXPECT_EQ(maps.smoothnessWeight.Row<float>(15)[20], 8.0f);
    EXPECT_EQ(workspace.s11.Row<float>(15)[20], expectDivided ? 1.0f : 4.0f);
    EXPECT_EQ(workspace.s12.Row<float>(15)[20], expectDivided ? 1.0f : 4.0f);
    EXPECT_EQ(workspace.s22.Row<float>(15)[20], expectDivided ? 1.0f : 4.0f);
  }
}

TEST(BuildWeightMaps, SeventyThreeOutsideCrossesTheThreshold) {
  // Mark the whole 9 x 9 window around (20, 15) except 8 pixels (73 out), then except 9 (72 out).
  for (const auto& [inside, expectDivided] : {std::pair<int, bool>{8, true}, {9, false}}) {
    const int w = 40, h = 30;
    ImageRef u = CreateFloat(w, h, 1);
    int kept = 0;
    for (int y = 11; y <= 19; ++y) {
      for (int x = 16; x <= 24; ++x) {
        if (kept < inside) {
          ++kept;
          continue;
        }
        u.Row<float>(y)[x] = -1000.0f;
      }
    }
    LevelWorkspace unused;
    const WeightMaps maps = BuildWeightMaps(w, h, u, CreateFloat(w, h, 1), 0.1f, 0.9f, 8.0f, Anisotropic(0), unused);
    EXPECT_EQ(maps.brightnessWeight.Row<float>(15)[20] < 0.1f, expectDivided) << inside;
  }
}

TEST(BuildWeightMaps, IsotropicNeverTouchesTheWorkspace) {
  const int w = 30, h = 20;
  ImageRef u = CreateFloat(w, h, 1);
  u.Mat().setTo(-1000.0f);  // every target out of the frame
  LevelWorkspace empty;     // no structure tensor at all: touching it would crash
  const WeightMaps maps = BuildWeightMaps(w, h, u, CreateFloat(w, h, 1), 0.1f, 0.9f, 8.0f, Anisotropic(0), empty);
  EXPECT_EQ(cv::countNonZero(maps.gradientWeight.Mat() != 0.9f / 100.0f), 0);
  EXPECT_TRUE(empty.s11.Empty());
}

// A frame-sized and two thin flows whose left part leaves the frame, with a random structure
// tensor: maps and turned-down tensor have the same bytes at every thread count.
TEST(BuildWeightMaps, SameBytesAtEveryThreadCount) {
  const cv::Size sizes[] = {cv::Size(584, 388), cv::Size(37, 23), cv::Size(1, 50)};
  for (const cv::Size& size : sizes) {
    const int w = size.width;
    const int h = size.height;
    std::mt19937 generator(17);
    std::uniform_real_distribution<float> value(-3.0f, 3.0f);
    ImageRef u = CreateFloat(w, h, 1);
    ImageRef v = CreateFloat(w, h, 1);
    LevelWorkspace base = WorkspaceWithStructure(w, h, 0.0f);
    for (int y = 0; y < h; ++y) {
      for (int x = 0; x < w; ++x) {
        u.Row<float>(y)[x] = value(generator);
        v.Row<float>(y)[x] = value(generator) * static_cast<float>(y) / static_cast<float>(h);
        base.s11.Row<float>(y)[x] = value(generator);
        base.s22.Row<float>(y)[x] = value(generator);
        base.s12.Row<float>(y)[x] = value(generator);
      }
    }
    PushLeftColumns(u, (w + 2) / 3);
    auto buildAt = [&](int threads, LevelWorkspace& workspace) {
      workspace = WorkspaceWithStructure(w, h, 0.0f);
      base.s11.Mat().copyTo(workspace.s11.Mat());
      base.s22.Mat().copyTo(workspace.s22.Mat());
      base.s12.Mat().copyTo(workspace.s12.Mat());
      SolverParams params = Anisotropic(1);
      params.threads = threads;
      return BuildWeightMaps(w, h, u, v, 0.1f, 0.9f, 8.0f, params, workspace);
    };
    LevelWorkspace one;
    const WeightMaps mapsOne = buildAt(1, one);
    EXPECT_GT(cv::norm(one.s11.Mat(), base.s11.Mat(), cv::NORM_INF), 0.0) << size;
    for (int threads : {2, 3, 8}) {
      LevelWorkspace many;
      const WeightMaps maps = buildAt(threads, many);
      for (auto image : {&WeightMaps::brightnessWeight, &WeightMaps::gradientWeight, &WeightMaps::smoothnessWeight}) {
        EXPECT_EQ(cv::norm((maps.*image).Mat(), (mapsOne.*image).Mat(), cv::NORM_INF), 0.0) << size << " " << threads;
      }
      for (auto image : {&LevelWorkspace::s11, &LevelWorkspace::s22, &LevelWorkspace::s12}) {
        EXPECT_EQ(cv::norm((many.*image).Mat(), (one.*image).Mat(), cv::NORM_INF), 0.0) << size << " " << threads;
      }
    }
  }
}
