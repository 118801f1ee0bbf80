#include "image/image_ref.h"

#include <gtest/gtest.h>

TEST(ImageRef, CopiesShareAndTheLastHandleFrees) {
  ImageRef a = CreateFloat(4, 3, 1);
  ImageRef b = a;
  EXPECT_EQ(a.UseCount(), 2);
  EXPECT_EQ(a.Get(), b.Get());
  a.Row<float>(1)[2] = 5.0f;
  a.Release();
  EXPECT_TRUE(a.Empty());
  EXPECT_EQ(b.UseCount(), 1);
  EXPECT_EQ(b.Row<float>(1)[2], 5.0f);
}

TEST(ImageRef, SelfSharedAssignmentKeepsTheImage) {
  ImageRef a = CreateByte(2, 2, 3);
  ImageRef b = a;
  cv::Mat* image = a.Get();
  a = b;
  EXPECT_EQ(a.Get(), image);
  EXPECT_EQ(a.UseCount(), 2);
}

TEST(ImageRef, EmptyHandleReadsZeroSizes) {
  ImageRef none = CreateFloat(0, 5, 1);
  EXPECT_TRUE(none.Empty());
  EXPECT_EQ(none.Get(), nullptr);
  EXPECT_EQ(none.Width(), 0);
  EXPECT_EQ(none.Height(), 0);
  EXPECT_EQ(none.Channels(), 0);
  EXPECT_TRUE(CreateByte(5, 0, 1).Empty());
}

TEST(ImageRef, CreatedImagesAreZeroWithTheRequestedType) {
  ImageRef f = CreateFloat(7, 5, 2);
  ImageRef b = CreateByte(7, 5, 3);
  ImageRef i = CreateInt(7, 5, 1);
  EXPECT_EQ(f.Mat().type(), CV_32FC2);
  EXPECT_EQ(b.Mat().type(), CV_8UC3);
  EXPECT_EQ(i.Mat().type(), CV_32SC1);
  EXPECT_EQ(cv::countNonZero(f.Mat().reshape(1)), 0);
  EXPECT_EQ(cv::countNonZero(b.Mat().reshape(1)), 0);
  EXPECT_EQ(cv::countNonZero(i.Mat()), 0);
}

TEST(ImageRef, EnsureSizeKeepsAMatchingImageAndReplacesAnother) {
  ImageRef a = CreateFloat(4, 4, 1);
  a.Row<float>(0)[0] = 3.0f;
  ImageRef shared = a;
  cv::Mat* before = a.Get();
  EnsureFloat(a, 4, 4, 1);
  EXPECT_EQ(a.Get(), before);
  EXPECT_EQ(a.Row<float>(0)[0], 3.0f);

  EnsureFloat(a, 5, 4, 1);
  EXPECT_NE(a.Get(), before);
  EXPECT_EQ(a.Width(), 5);
  EXPECT_EQ(a.Row<float>(0)[0], 0.0f);
  EXPECT_EQ(shared.Row<float>(0)[0], 3.0f);  // the other share still sees the old image

  EnsureFloat(a, 5, 3, 1);
  EXPECT_EQ(a.Height(), 3);
  cv::Mat* sized = a.Get();
  EnsureFloat(a, 0, 9, 1);  // a zero size asks for nothing
  EXPECT_EQ(a.Get(), sized);
}

TEST(ImageRef, ClonesCopyPixelsIntoANewImage) {
  ImageRef a = CreateFloat(3, 2, 1);
  a.Row<float>(1)[1] = -2.5f;
  ImageRef c = CloneFloat(a);
  EXPECT_NE(c.Get(), a.Get());
  EXPECT_EQ(c.Row<float>(1)[1], -2.5f);
  c.Row<float>(1)[1] = 1.0f;
  EXPECT_EQ(a.Row<float>(1)[1], -2.5f);
}
