#include "segmentation/mean_shift.h"

#include <gtest/gtest.h>

#include <vector>

#include "segmentation/ms_image_processor.h"

namespace {

const std::vector<KernelSubspace> kSpaceAndColour = {{kUniformKernel, 1.0f, 2}, {kUniformKernel, 1.0f, 3}};

std::string KernelError(const std::vector<KernelSubspace>& subspaces) {
  MeanShift meanShift;
  meanShift.CreateKernel(subspaces);
  EXPECT_EQ(meanShift.ErrorLevel(), 1);
  EXPECT_FALSE(meanShift.KernelCreated());
  return meanShift.ErrorMessage();
}

}  // namespace

TEST(MeanShiftKernel, UniformSubspacesHaveUnitOffsetAndIncrement) {
  MeanShift meanShift;
  meanShift.CreateKernel({{kUniformKernel, 7.0f, 2}, {kUniformKernel, 6.5f, 3}});
  ASSERT_EQ(meanShift.ErrorLevel(), 0);
  EXPECT_TRUE(meanShift.KernelCreated());
  EXPECT_EQ(meanShift.SubspaceCount(), 2);
  EXPECT_EQ(meanShift.Bandwidths(), (std::vector<float>{7.0f, 6.5f}));
  EXPECT_EQ(meanShift.SubspaceDimensions(), (std::vector<int>{2, 3}));
  EXPECT_EQ(meanShift.OffsetFactors(), (std::vector<float>{1.0f, 1.0f}));
  EXPECT_EQ(meanShift.Increments(), (std::vector<double>{1.0, 1.0}));
}

TEST(MeanShiftKernel, GaussianSubspaceGetsItsOffsetFactor) {
  MeanShift meanShift;
  meanShift.CreateKernel({{kGaussianKernel, 1.0f, 2}});
  ASSERT_EQ(meanShift.ErrorLevel(), 0);
  EXPECT_FLOAT_EQ(meanShift.OffsetFactors()[0], 8.41f);
}

TEST(MeanShiftKernel, InvalidKernelsRecordTheirErrorTexts) {
  EXPECT_EQ(KernelError({}), "MeanShift::CreateKernel Error: Subspace count (kp) is zero or negative.");
  EXPECT_EQ(KernelError({{kUniformKernel, 0.0f, 2}}),
            "MeanShift::CreateKernel Error: Negative or zero valued bandwidths are prohibited.");
  EXPECT_EQ(KernelError({{kUniformKernel, -1.0f, 2}}),
            "MeanShift::CreateKernel Error: Negative or zero valued bandwidths are prohibited.");
  EXPECT_EQ(KernelError({{kUniformKernel, 1.0f, 0}}),
            "MeanShift::CreateKernel Error: Negative or zero valued subspace dimensions are prohibited.");
  // subspaces are checked one after the other: the first subspace's fault is reported
  EXPECT_EQ(KernelError({{kUniformKernel, 1.0f, 0}, {kUniformKernel, 0.0f, 1}}),
            "MeanShift::CreateKernel Error: Negative or zero valued subspace dimensions are prohibited.");
  EXPECT_EQ(KernelError({{5, 1.0f, 2}}), "MeanShift::generateLookupTable Error: Unknown kernel type.");
}

TEST(MeanShiftKernel, UserDefinedKernelWithoutTableRecordsItsErrorText) {
  EXPECT_EQ(KernelError({{kUniformKernel, 1.0f, 2}, {kUserDefinedKernel, 1.0f, 1}}),
            "MeanShift::generateLookupTable Error: User defined kernel for subspace 1 undefined.");
}

TEST(MeanShiftLattice, InvalidLatticeRecordsItsErrorText) {
  const float values[4] = {1, 2, 3, 4};
  MeanShift noHeight;
  noHeight.DefineLInput(values, 0, 4, 1);
  EXPECT_EQ(noHeight.ErrorMessage(),
            "MeanShift::DefineLInput Error: Lattice defined using zero or negative height and/or width.");
  EXPECT_FALSE(noHeight.LatticeDefined());

  MeanShift negativeWidth;
  negativeWidth.DefineLInput(values, 2, -2, 1);
  EXPECT_EQ(negativeWidth.ErrorLevel(), 1);
  EXPECT_EQ(negativeWidth.ErrorMessage(), noHeight.ErrorMessage());

  MeanShift noDimension;
  noDimension.DefineLInput(values, 2, 2, 0);
  EXPECT_EQ(noDimension.ErrorMessage(),
            "MeanShift::DefineInput Error: Input defined using zero or negative dimension.");
}

TEST(MeanShiftLattice, LaterOperationsReturnEarlyAfterAnError) {
  const float values[4] = {1, 2, 3, 4};
  MeanShift meanShift;
  meanShift.DefineLInput(values, 0, 4, 1);
  const std::string first = meanShift.ErrorMessage();
  meanShift.DefineLInput(values, 2, 2, 1);
  meanShift.CreateKernel({});
  EXPECT_FALSE(meanShift.LatticeDefined());
  EXPECT_FALSE(meanShift.KernelCreated());
  EXPECT_EQ(meanShift.ErrorMessage(), first);
}

TEST(MeanShiftConsistency, FilterNeedsKernelLatticeAndMatchingDimensions) {
  msImageProcessor noKernel;
  noKernel.FilterImage(7, 6.5f, 1);
  EXPECT_EQ(noKernel.ErrorMessage(), "MeanShift::classConsistencyCheck Error: Kernel not created.");

  msImageProcessor noLattice;
  noLattice.CreateKernel(kSpaceAndColour);
  noLattice.FilterImage(7, 6.5f, 1);
  EXPECT_EQ(noLattice.ErrorMessage(), "MeanShift::classConsistencyCheck Error: Latice not created.");

  // a colour kernel stays in place when a grey image (dimension 1 + 2) is given afterwards
  msImageProcessor mismatch;
  mismatch.CreateKernel(kSpaceAndColour);
  const uint8_t grey[4] = {0, 50, 100, 150};
  mismatch.SetImageData(grey, kGreyImage, 2, 2);
  ASSERT_EQ(mismatch.ErrorLevel(), 0);
  mismatch.FuseRegions(6.5f, 20);
  EXPECT_EQ(
      mismatch.ErrorMessage(),
      "MeanShift::classConsitencyCheck Error: Kernel dimension does not match defined input data dimension.");

  // the right total dimension, but not split into space and range
  msImageProcessor unsplit;
  unsplit.CreateKernel({{kUniformKernel, 1.0f, 5}});
  const uint8_t rgb[3] = {10, 20, 30};
  unsplit.SetImageData(rgb, kColourImage, 1, 1);
  unsplit.FilterImage(7, 6.5f, 1);
  EXPECT_EQ(unsplit.ErrorMessage(), mismatch.ErrorMessage());
}
