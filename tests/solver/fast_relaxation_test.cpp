#include "solver/fast_relaxation.h"

#include <gtest/gtest.h>

#include "solver/level_cycle.h"
#include "solver/multigrid.h"
#include "solver/relax_anisotropic.h"
#include "solver_fixtures.h"

using namespace solver_test;

namespace {

// A prepared level of the given size: a real crop for 160 x 120, seeded synthetic frames else.
PreparedLevel LevelOfSize(const cv::Size& size, unsigned seed) {
  ImageRef first, second;
  if (size == cv::Size(160, 120)) {
    first = LoadCrop("middlebury/RubberWhale/frame10.png", cv::Rect(200, 150, 160, 120));
    second = LoadCrop("middlebury/RubberWhale/frame11.png", cv::Rect(200, 150, 160, 120));
  }
  if (first.Empty() || second.Empty()) {
    first = SyntheticFrame(size.width, size.height, seed);
    second = SyntheticFrame(size.width, size.height, seed + 1);
  }
  return PrepareLevel(first, second, 1, RandomFloat(size.width, size.height, -1, 1, seed + 2),
                      RandomFloat(size.width, size.height, -1, 1, seed + 3));
}

std::vector<FlowPair> ClonePairs(const std::vector<FlowPair>& pairs) {
  std::vector<FlowPair> clones;
  for (const FlowPair& pair : pairs) clones.push_back(pair.u.Empty() ? FlowPair{} : ClonePair(pair));
  return clones;
}

}  // namespace

// The fast solve keeps no right-hand side at full resolution, where it is zero, and keeps every
// level's residual and correction in the relaxation's free planes. A cycle on such a hierarchy gives
// the bits of one on a hierarchy with a zero right-hand side and pairs of images of its own, on both
// kernels.
TEST(FastRelaxation, CycleInTheScratchPlanesIsTheCycleWithImagesOfItsOwn) {
  const cv::Size size(160, 120);
  PreparedLevel level = LevelOfSize(size, 950);
  level.params.solver = morvi::Solver::kFast;
  FastRelaxationScratch scratch(size);
  const float* planesBegin = scratch.Plane(0);
  const float* planesEnd = scratch.Plane(FastRelaxationScratch::kPlaneCount - 1) + scratch.Capacity();
  for (int vectorise : {0, 1}) {
    level.params.vectorise = vectorise;
    MultigridHierarchy lean;
    ASSERT_TRUE(BuildMultigridHierarchy(level.params, level.weights, level.workspace, level.flow.u, level.flow.v,
                                        ZeroPair(size.width, size.height), lean, &scratch));
    const size_t finest = lean.workspaces.size() - 1;
    ASSERT_GE(finest, 2u);
    EXPECT_TRUE(lean.rhs[finest].u.Empty());
    for (size_t l = 0; l < finest; ++l) EXPECT_FALSE(lean.rhs[l].u.Empty()) << l;
    for (size_t l = 0; l <= finest; ++l) {
      for (const ImageRef* image : {&lean.residuals[l].u, &lean.residuals[l].v, &lean.corrections[l].u,
                                    &lean.corrections[l].v}) {
        const float* data = image->Mat().ptr<float>();
        EXPECT_TRUE(data >= planesBegin && data < planesEnd) << l;
      }
    }

    std::vector<FlowPair> fullIncrements = ClonePairs(lean.increments), fullRhs = ClonePairs(lean.rhs);
    std::vector<FlowPair> fullResiduals = ClonePairs(lean.residuals), fullCorrections = ClonePairs(lean.corrections);
    fullRhs[finest] = ZeroPair(size.width, size.height);

    RunLevelCycle(static_cast<unsigned>(finest), level.params, lean.weights, lean.workspaces, lean.flows,
                  lean.increments, lean.rhs, lean.residuals, lean.corrections, 3, 3, 2,
                  FastAnisotropicFormulation(scratch));
    RunLevelCycle(static_cast<unsigned>(finest), level.params, lean.weights, lean.workspaces, lean.flows,
                  fullIncrements, fullRhs, fullResiduals, fullCorrections, 3, 3, 2,
                  FastAnisotropicFormulation(scratch));
    EXPECT_GT(cv::norm(lean.increments[finest].u.Mat(), cv::NORM_INF), 1e-3);
    EXPECT_TRUE(BitIdentical(lean.increments[finest].u, fullIncrements[finest].u)) << "vectorise " << vectorise;
    EXPECT_TRUE(BitIdentical(lean.increments[finest].v, fullIncrements[finest].v)) << "vectorise " << vectorise;
  }
}

// The fast sweep and operator give the same bits on one thread or many, with the vector kernels or
// without: every pixel of a colour reads only pixels of other colours, and a vector lane runs the
// single-pixel kernel's operations in its order. Sizes cover one-pixel sides, levels too narrow
// for a vector block, odd sizes, levels split over 2 and over 8 threads, and a real crop.
TEST(FastRelaxation, SameBitsAtEveryThreadCountAndOnBothKernels) {
  const cv::Size sizes[] = {{1, 1}, {1, 50}, {50, 1}, {2, 2}, {13, 9}, {37, 23}, {160, 120}, {512, 160}};
  unsigned seed = 700;
  for (const cv::Size& size : sizes) {
    PreparedLevel level = LevelOfSize(size, seed);
    // about a third of the pixels with a damped structure tensor
    level.workspace.damped = ImageRef(cv::Mat(RandomFloat(size.width, size.height, 0, 3, seed + 8).Mat() > 2.0f));
    level.workspace.damping = 0.25f;
    const FlowPair rhs{RandomFloat(size.width, size.height, -5, 5, seed + 4),
                       RandomFloat(size.width, size.height, -5, 5, seed + 5)};
    const FlowPair start{RandomFloat(size.width, size.height, -0.5f, 0.5f, seed + 6),
                         RandomFloat(size.width, size.height, -0.5f, 0.5f, seed + 7)};
    seed += 9;
    FastRelaxationScratch scratch(size);
    auto run = [&](int vectorise, int threads, FlowPair& relaxed, FlowPair& out) {
      level.params.vectorise = vectorise;
      level.params.threads = threads;
      relaxed = ClonePair(start);
      RelaxAnisotropicFast(scratch, level.workspace, level.params, level.weights, level.flow, relaxed, rhs, 3);
      RelaxAnisotropicFast(scratch, level.workspace, level.params, level.weights, level.flow, relaxed, rhs, 1);
      out = ZeroPair(size.width, size.height);
      ApplyOperatorAnisotropicFast(scratch, level.workspace, level.params, level.weights, level.flow, relaxed, out);
    };
    FlowPair plain, plainOut;
    run(0, 1, plain, plainOut);
    // the sweeps moved the increments, and not to values the reference sweep would give
    EXPECT_GT(MaxAbsDiff(plain.u, start.u), 1e-3) << size;
    for (int vectorise : {0, 1}) {
      for (int threads : {1, 2, 3, 8}) {
        FlowPair relaxed, out;
        run(vectorise, threads, relaxed, out);
        const std::string where = "size " + std::to_string(size.width) + "x" + std::to_string(size.height) +
                                  " vectorise " + std::to_string(vectorise) + " threads " + std::to_string(threads);
        EXPECT_TRUE(BitIdentical(relaxed.u, plain.u)) << where;
        EXPECT_TRUE(BitIdentical(relaxed.v, plain.v)) << where;
        EXPECT_TRUE(BitIdentical(out.u, plainOut.u)) << where;
        EXPECT_TRUE(BitIdentical(out.v, plainOut.v)) << where;
      }
    }
  }
}

// The sweep and the operator belong together: relaxed to convergence, A(x) returns the
// right-hand side (the coarse-grid correction of the cycle relies on it).
TEST(FastRelaxation, OperatorReturnsTheRightHandSideAtTheSweepsFixedPoint) {
  const ImageRef first = LoadCrop("middlebury/RubberWhale/frame10.png", cv::Rect(300, 200, 16, 12));
  const ImageRef second = LoadCrop("middlebury/RubberWhale/frame11.png", cv::Rect(300, 200, 16, 12));
  SKIP_WITHOUT_FRAME(first);
  SKIP_WITHOUT_FRAME(second);
  const PreparedLevel level = PrepareLevel(first, second, 1);
  FastRelaxationScratch scratch(cv::Size(16, 12));
  const FixedPointRun run = RelaxTowardsAFixedPoint(level, FastAnisotropicFormulation(scratch), 400);
  EXPECT_LT(run.finalError, 2e-3 * run.rhsScale);
  EXPECT_LT(run.finalError, 0.05 * run.initialError);
}

TEST(FastRelaxation, SingularPixelKeepsItsIncrements) {
  // no texture and no smoothness: the pixel's 2 x 2 system is zero
  const ImageRef flat = CreateByte(1, 1, 3);
  PreparedLevel level = PrepareLevel(flat, flat, 1);
  level.weights.smoothnessWeight.Mat().setTo(0.0f);
  const FlowPair x{Uniform(1, 1, 0.25f), Uniform(1, 1, -0.5f)};
  FastRelaxationScratch scratch(cv::Size(1, 1));
  RelaxAnisotropicFast(scratch, level.workspace, level.params, level.weights, level.flow, x, ZeroPair(1, 1), 2);
  EXPECT_EQ(x.u.Row<float>(0)[0], 0.25f);
  EXPECT_EQ(x.v.Row<float>(0)[0], -0.5f);
}

// A whole multigrid solve with the fast solver: its own bits at every thread count and on both
// kernels, and close to the reference solve's increments on a real level.
TEST(FastRelaxation, MultigridSolveIsDeterministicAndCloseToTheReference) {
  const ImageRef first = LoadCrop("middlebury/RubberWhale/frame10.png", cv::Rect(150, 100, 200, 150));
  const ImageRef second = LoadCrop("middlebury/RubberWhale/frame11.png", cv::Rect(150, 100, 200, 150));
  SKIP_WITHOUT_FRAME(first);
  SKIP_WITHOUT_FRAME(second);
  PreparedLevel level = PrepareLevel(first, second, 1);
  auto solve = [&](morvi::Solver solver, int vectorise, int threads) {
    level.params.solver = solver;
    level.params.vectorise = vectorise;
    level.params.threads = threads;
    const FlowPair increments = ZeroPair(200, 150);
    SolveMultigrid(level.params, level.weights, level.workspace, level.flow.u, level.flow.v, increments);
    return increments;
  };
  const FlowPair plain = solve(morvi::Solver::kFast, 0, 1);
  for (int vectorise : {0, 1}) {
    for (int threads : {1, 2, 3}) {
      const FlowPair fast = solve(morvi::Solver::kFast, vectorise, threads);
      EXPECT_TRUE(BitIdentical(fast.u, plain.u)) << "vectorise " << vectorise << " threads " << threads;
      EXPECT_TRUE(BitIdentical(fast.v, plain.v)) << "vectorise " << vectorise << " threads " << threads;
    }
  }
  const FlowPair reference = solve(morvi::Solver::kReference, 1, 1);
  EXPECT_FALSE(BitIdentical(plain.u, reference.u));
  // the increments' typical size is about a pixel here; both solvers agree to a small part of it
  const double scale = cv::norm(reference.u.Mat(), cv::NORM_L2) + cv::norm(reference.v.Mat(), cv::NORM_L2);
  const double difference = cv::norm(plain.u.Mat(), reference.u.Mat(), cv::NORM_L2) +
                            cv::norm(plain.v.Mat(), reference.v.Mat(), cv::NORM_L2);
  EXPECT_GT(scale, 1.0);
  EXPECT_LT(difference, 0.1 * scale);
}

// The fast solver's full-resolution level keeps each constraint's factors Ix, Iy, Iz instead of its
// six products. The products formed as they are read, and the coarse levels restricted from them,
// have the stored products' bits, so a whole multigrid solve is unchanged, on both kernels.
TEST(FastRelaxation, FactoredLevelSolvesAsItsStoredProducts) {
  for (const cv::Size& size : {cv::Size(37, 23), cv::Size(160, 120)}) {
    PreparedLevel level = LevelOfSize(size, 900);
    level.params.solver = morvi::Solver::kFast;
    LevelWorkspace factored = level.workspace;  // shares the structure and diffusion tensors
    factored.factored = true;
    AllocateWorkspaceImages(level.params, size.width, size.height, factored);
    ComputeMotionTensors(level.params, level.derivatives, level.flow.u, level.flow.v, factored);
    const cv::Mat products[6] = {factored.bx[0].Mat().mul(factored.bx[0].Mat()),
                                 factored.bx[0].Mat().mul(factored.by[0].Mat()),
                                 factored.by[0].Mat().mul(factored.by[0].Mat()),
                                 factored.bx[0].Mat().mul(factored.bz[0].Mat()),
                                 factored.by[0].Mat().mul(factored.bz[0].Mat()),
                                 factored.bz[0].Mat().mul(factored.bz[0].Mat())};
    const ImageRef* stored[6] = {&level.workspace.b11[0], &level.workspace.b12[0], &level.workspace.b22[0],
                                 &level.workspace.b13[0], &level.workspace.b23[0], &level.workspace.b33[0]};
    for (int p = 0; p < 6; ++p) EXPECT_TRUE(BitIdentical(ImageRef(products[p].clone()), *stored[p])) << p;
    EXPECT_GT(cv::norm(factored.gz[1].Mat(), cv::NORM_INF), 0.0);

    for (int vectorise : {0, 1}) {
      level.params.vectorise = vectorise;
      const FlowPair fromProducts = ZeroPair(size.width, size.height);
      const FlowPair fromFactors = ZeroPair(size.width, size.height);
      SolveMultigrid(level.params, level.weights, level.workspace, level.flow.u, level.flow.v, fromProducts);
      SolveMultigrid(level.params, level.weights, factored, level.flow.u, level.flow.v, fromFactors);
      EXPECT_GT(cv::norm(fromProducts.u.Mat(), cv::NORM_INF), 1e-3);
      EXPECT_TRUE(BitIdentical(fromFactors.u, fromProducts.u)) << size << " vectorise " << vectorise;
      EXPECT_TRUE(BitIdentical(fromFactors.v, fromProducts.v)) << size << " vectorise " << vectorise;
    }
  }
}
