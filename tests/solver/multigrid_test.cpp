#include "solver/multigrid.h"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include "solver/level_preparation.h"
#include "solver/solver_fixtures.h"

using namespace solver_test;

namespace {

std::vector<cv::Size> Sizes(std::initializer_list<cv::Size> list) { return std::vector<cv::Size>(list); }

// Every image of a workspace, in field order (empty handles included).
std::vector<const ImageRef*> AllImages(const LevelWorkspace& w) {
  std::vector<const ImageRef*> images;
  for (const auto* a : {&w.b11, &w.b12, &w.b22, &w.b13, &w.b23, &w.b33}) {
    for (const ImageRef& image : *a) images.push_back(&image);
  }
  for (const auto* a : {&w.g11, &w.g12, &w.g22, &w.g13, &w.g23, &w.g33}) {
    for (const ImageRef& image : *a) images.push_back(&image);
  }
  for (const ImageRef* image : {&w.s11, &w.s22, &w.s12, &w.d11, &w.d22, &w.d12x2}) images.push_back(image);
  return images;
}

}  // namespace

TEST(MultigridLevelSizes, HalvesUntilASideWouldFallBelowTwo) {
  const std::vector<cv::Size> vga = MultigridLevelSizes(640, 480);
  EXPECT_EQ(vga, Sizes({{5, 3}, {10, 7}, {20, 15}, {40, 30}, {80, 60}, {160, 120}, {320, 240}, {640, 480}}));
  EXPECT_EQ(MultigridLevelSizes(101, 75), Sizes({{3, 2}, {6, 4}, {12, 9}, {25, 18}, {50, 37}, {101, 75}}));
  EXPECT_EQ(MultigridLevelSizes(3, 3), Sizes({{3, 3}}));
  EXPECT_EQ(MultigridLevelSizes(1, 1), Sizes({{1, 1}}));
  EXPECT_EQ(MultigridLevelSizes(40, 3), Sizes({{40, 3}}));
}

TEST(BuildMultigridHierarchy, SharesTheFullResolutionLevelAndResamplesTheCoarserOnes) {
  const ImageRef first = SyntheticFrame(101, 75, 61);
  const ImageRef second = SyntheticFrame(101, 75, 62);
  const PreparedLevel level =
      PrepareLevel(first, second, 1, RandomFloat(101, 75, -2, 2, 63), RandomFloat(101, 75, -2, 2, 64));
  const FlowPair increments = ZeroPair(101, 75);
  MultigridHierarchy h;
  ASSERT_TRUE(BuildMultigridHierarchy(level.params, level.weights, level.workspace, level.flow.u, level.flow.v,
                                      increments, h));
  ASSERT_EQ(h.workspaces.size(), 6u);
  for (const auto* array : {&h.flows, &h.increments, &h.rhs, &h.residuals, &h.corrections}) {
    ASSERT_EQ(array->size(), 6u);
  }
  const size_t L = 5;
  // Shared at full resolution: workspace images, weight maps, increments and the flow (only read).
  EXPECT_EQ(h.workspaces[L].b23[1].Get(), level.workspace.b23[1].Get());
  EXPECT_EQ(h.weights[L].smoothnessWeight.Get(), level.weights.smoothnessWeight.Get());
  EXPECT_EQ(h.increments[L].u.Get(), increments.u.Get());
  EXPECT_EQ(h.flows[L].u.Get(), level.flow.u.Get());
  EXPECT_EQ(h.flows[L].v.Get(), level.flow.v.Get());

  const std::vector<cv::Size> sizes = MultigridLevelSizes(101, 75);
  for (size_t l = 0; l < L; ++l) {
    const LevelWorkspace& w = h.workspaces[l];
    EXPECT_EQ(w.hx, 1 << (L - l));
    EXPECT_EQ(w.hy, 1 << (L - l));
    EXPECT_EQ(w.channels, 3);
    for (const ImageRef* image : AllImages(w)) EXPECT_EQ(image->Mat().size(), sizes[l]);
    for (const FlowPair* pair : {&h.flows[l], &h.increments[l], &h.rhs[l], &h.residuals[l], &h.corrections[l]}) {
      EXPECT_EQ(pair->u.Mat().size(), sizes[l]);
      EXPECT_EQ(pair->v.Mat().size(), sizes[l]);
    }
    EXPECT_EQ(h.weights[l].gradientWeight.Mat().size(), sizes[l]);
    // Flow values keep full-resolution units: the area mean of the finer level.
    EXPECT_NEAR(cv::mean(h.flows[l].u.Mat())[0], cv::mean(h.flows[l + 1].u.Mat())[0], 0.05);
    // The coarse diffusion tensor is derived from the coarse structure tensor.
    const float a = w.s11.Row<float>(1)[1], b = w.s22.Row<float>(1)[1];
    EXPECT_FLOAT_EQ(w.d11.Row<float>(1)[1], (b + 50.0f) / (a + b + 100.0f));
  }
  // Uniform weights stay uniform under area resampling.
  EXPECT_FLOAT_EQ(h.weights[0].smoothnessWeight.Row<float>(1)[2], kSmoothnessWeight);
}

TEST(BuildMultigridHierarchy, IsotropicLevelsHoldNoTensorOfTheImage) {
  const ImageRef frame = SyntheticFrame(16, 16, 71);
  const PreparedLevel level = PrepareLevel(frame, frame, 0);
  MultigridHierarchy h;
  ASSERT_TRUE(BuildMultigridHierarchy(level.params, level.weights, level.workspace, level.flow.u, level.flow.v,
                                      ZeroPair(16, 16), h));
  ASSERT_EQ(h.workspaces.size(), 4u);
  for (const LevelWorkspace& w : h.workspaces) {
    EXPECT_TRUE(w.s11.Empty() && w.s22.Empty() && w.s12.Empty() && w.d11.Empty() && w.d22.Empty() &&
                w.d12x2.Empty());
  }
}

TEST(RestrictWorkspace, AveragesProductsOverTheCoarseCell) {
  SolverParams params;
  params.useBrightness = 1;
  LevelWorkspace fine;
  fine.channels = 1;
  LevelWorkspace coarse;
  coarse.channels = 1;
  for (auto* a : {&fine.b11, &fine.b12, &fine.b22, &fine.b13, &fine.b23, &fine.b33}) (*a)[0] = Uniform(4, 2, 0.0f);
  for (auto* a : {&coarse.b11, &coarse.b12, &coarse.b22, &coarse.b13, &coarse.b23, &coarse.b33}) {
    (*a)[0] = Uniform(2, 1, -1.0f);
  }
  fine.b33[0].Mat() = (cv::Mat_<float>(2, 4) << 1, 3, 10, 10, 5, 7, 20, 40);
  RestrictWorkspace(params, fine, coarse);
  EXPECT_FLOAT_EQ(coarse.b33[0].Row<float>(0)[0], 4.0f);
  EXPECT_FLOAT_EQ(coarse.b33[0].Row<float>(0)[1], 20.0f);
  EXPECT_EQ(coarse.b11[0].Row<float>(0)[0], 0.0f);
}

// A level that keeps its structure tensor unscaled with a damping mask restricts to the coarse
// tensor of the level whose marked pixels were scaled in place: the same bits.
TEST(RestrictWorkspace, DampedPixelsRestrictAsTheTensorScaledInPlace) {
  const ImageRef frame = SyntheticFrame(37, 23, 73);
  const PreparedLevel level = PrepareLevel(frame, SyntheticFrame(37, 23, 74), 1);
  const cv::Mat marked = RandomFloat(37, 23, 0, 1, 75).Mat() > 0.5f;
  LevelWorkspace masked = level.workspace;
  masked.damped = ImageRef(marked.clone());
  masked.damping = 0.25f;
  LevelWorkspace scaled = level.workspace;
  for (ImageRef* tensor : {&scaled.s11, &scaled.s22, &scaled.s12}) {
    *tensor = CloneFloat(*tensor);
    cv::Mat quarter = tensor->Mat() * 0.25f;
    quarter.copyTo(tensor->Mat(), marked);
  }
  LevelWorkspace fromMask, fromScaled;
  for (LevelWorkspace* coarse : {&fromMask, &fromScaled}) {
    coarse->channels = level.workspace.channels;
    AllocateWorkspaceImages(level.params, 18, 11, *coarse);
  }
  RestrictWorkspace(level.params, masked, fromMask);
  RestrictWorkspace(level.params, scaled, fromScaled);
  EXPECT_FALSE(BitIdentical(scaled.s11, level.workspace.s11));
  for (auto member : {&LevelWorkspace::s11, &LevelWorkspace::s22, &LevelWorkspace::s12}) {
    EXPECT_TRUE(BitIdentical(fromMask.*member, fromScaled.*member));
  }
  EXPECT_TRUE(BitIdentical(fromMask.b13[2], fromScaled.b13[2]));
}

TEST(SolveMultigrid, WritesOnlyTheIncrements) {
  const ImageRef first = SyntheticFrame(24, 20, 81);
  const ImageRef second = SyntheticFrame(24, 20, 82);
  const PreparedLevel level =
      PrepareLevel(first, second, 1, RandomFloat(24, 20, -1, 1, 83), RandomFloat(24, 20, -1, 1, 84));
  const std::vector<const ImageRef*> images = AllImages(level.workspace);
  std::vector<ImageRef> copies;
  for (const ImageRef* image : images) copies.push_back(image->Empty() ? ImageRef() : CloneFloat(*image));
  const ImageRef u = CloneFloat(level.flow.u);
  const ImageRef v = CloneFloat(level.flow.v);

  const FlowPair increments{Uniform(24, 20, 5.0f), Uniform(24, 20, 5.0f)};  // cleared before the cycle
  SolveMultigrid(level.params, level.weights, level.workspace, level.flow.u, level.flow.v, increments);

  for (size_t i = 0; i < images.size(); ++i) EXPECT_TRUE(BitIdentical(*images[i], copies[i])) << i;
  EXPECT_TRUE(BitIdentical(u, level.flow.u));
  EXPECT_TRUE(BitIdentical(v, level.flow.v));
  EXPECT_GT(cv::countNonZero(increments.u.Mat()), 0);
  EXPECT_LT(cv::norm(increments.u.Mat(), cv::NORM_INF), 5.0);
}

TEST(SolveMultigrid, DoesNothingWithoutDataTerms) {
  const ImageRef frame = SyntheticFrame(8, 8, 91);
  PreparedLevel level = PrepareLevel(frame, frame, 1);
  level.params.useBrightness = 0;
  level.params.useGradient = 0;
  const FlowPair increments{Uniform(8, 8, 0.5f), Uniform(8, 8, 0.5f)};
  SolveMultigrid(level.params, level.weights, level.workspace, level.flow.u, level.flow.v, increments);
  EXPECT_TRUE(BitIdentical(increments.u, Uniform(8, 8, 0.5f)));
}

TEST(SolveMultigrid, ThreeByThreeFrameSolvesOnASingleLevel) {
  const ImageRef first = SyntheticFrame(3, 3, 95);
  const ImageRef second = SyntheticFrame(3, 3, 96);
  const PreparedLevel level = PrepareLevel(first, second, 1);
  MultigridHierarchy h;
  ASSERT_TRUE(BuildMultigridHierarchy(level.params, level.weights, level.workspace, level.flow.u, level.flow.v,
                                      ZeroPair(3, 3), h));
  EXPECT_EQ(h.workspaces.size(), 1u);
  const FlowPair increments = ZeroPair(3, 3);
  SolveMultigrid(level.params, level.weights, level.workspace, level.flow.u, level.flow.v, increments);
  EXPECT_TRUE(cv::checkRange(increments.u.Mat()));
  EXPECT_GT(cv::countNonZero(increments.u.Mat()), 0);
}
