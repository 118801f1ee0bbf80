#include "image/flow_colour.h"

#include <gtest/gtest.h>

#include <array>

TEST(ColourWheel, HasTheSixSegmentsInOrder) {
  ASSERT_EQ(ColourWheelSize(), 55);
  EXPECT_EQ(ColourWheelEntry(0), (std::array<int, 3>{255, 0, 0}));
  EXPECT_EQ(ColourWheelEntry(14), (std::array<int, 3>{255, 238, 0}));
  // yellow to green: R = 255, 213, 170, 128, 85, 43
  const int yellowGreenR[6] = {255, 213, 170, 128, 85, 43};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(ColourWheelEntry(15 + i), (std::array<int, 3>{yellowGreenR[i], 255, 0}));
  const int greenCyanB[4] = {0, 63, 127, 191};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(ColourWheelEntry(21 + i), (std::array<int, 3>{0, 255, greenCyanB[i]}));
  EXPECT_EQ(ColourWheelEntry(25), (std::array<int, 3>{0, 255, 255}));
  EXPECT_EQ(ColourWheelEntry(27), (std::array<int, 3>{0, 255 - 255 * 2 / 11, 255}));
  EXPECT_EQ(ColourWheelEntry(36), (std::array<int, 3>{0, 0, 255}));
  EXPECT_EQ(ColourWheelEntry(48), (std::array<int, 3>{235, 0, 255}));
  const int magentaRedB[6] = {255, 213, 170, 128, 85, 43};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(ColourWheelEntry(49 + i), (std::array<int, 3>{255, 0, magentaRedB[i]}));
}

TEST(FlowColour, ZeroVectorIsWhite) {
  EXPECT_EQ(FlowColour(0.0f, 0.0f), (std::array<uint8_t, 3>{255, 255, 255}));
}

TEST(FlowColour, UnitVectorTowardsMinusXIsWheelEntry27) {
  const std::array<int, 3> rgb = ColourWheelEntry(27);
  const std::array<uint8_t, 3> bgr = FlowColour(-1.0f, 0.0f);
  EXPECT_EQ(bgr[0], rgb[2]);
  EXPECT_EQ(bgr[1], rgb[1]);
  EXPECT_EQ(bgr[2], rgb[0]);
}

TEST(FlowColour, BeyondTheScaleIsDrawnAtThreeQuarters) {
  const std::array<int, 3> rgb = ColourWheelEntry(27);
  const std::array<uint8_t, 3> bgr = FlowColour(-2.0f, 0.0f);
  for (int c = 0; c < 3; ++c) {
    EXPECT_EQ(bgr[2 - c], static_cast<int>(255.0f * (static_cast<float>(rgb[c]) / 255.0f * 0.75f)));
  }
}

TEST(FlowColour, HalfLengthIsHalfSaturated) {
  // +x points at a = -1, fk = 0: pure red, half saturated: (255, 127, 127).
  EXPECT_EQ(FlowColour(0.5f, 0.0f), (std::array<uint8_t, 3>{127, 127, 255}));
}

TEST(FlowToColourImage, UnknownVectorsAndInteriorScale) {
  const int w = 30, h = 25;
  ImageRef u = CreateFloat(w, h, 1);
  ImageRef v = CreateFloat(w, h, 1);
  u.Row<float>(12)[15] = -2.0f;           // the largest interior motion: drawn at full saturation
  u.Row<float>(0)[0] = -8.0f;             // the border may exceed the interior scale
  u.Row<float>(3)[4] = 2e9f;              // unknown
  v.Row<float>(20)[5] = -3e9f;            // unknown
  ImageRef picture;
  FlowToColourImage(u, v, picture, -1.0f);
  ASSERT_EQ(picture.Width(), w);
  ASSERT_EQ(picture.Height(), h);
  const uint8_t* unknown = picture.Row<uint8_t>(3) + 4 * 3;
  EXPECT_EQ((std::array<int, 3>{unknown[0], unknown[1], unknown[2]}), (std::array<int, 3>{0, 1, 2}));
  const uint8_t* unknown2 = picture.Row<uint8_t>(20) + 5 * 3;
  EXPECT_EQ(unknown2[2], 2);
  const std::array<uint8_t, 3> full = FlowColour(-1.0f, 0.0f);
  const uint8_t* strongest = picture.Row<uint8_t>(12) + 15 * 3;
  EXPECT_EQ((std::array<uint8_t, 3>{strongest[0], strongest[1], strongest[2]}), full);
  const std::array<uint8_t, 3> beyond = FlowColour(-4.0f, 0.0f);
  const uint8_t* border = picture.Row<uint8_t>(0);
  EXPECT_EQ((std::array<uint8_t, 3>{border[0], border[1], border[2]}), beyond);
  const uint8_t* still = picture.Row<uint8_t>(8) + 8 * 3;
  EXPECT_EQ((std::array<int, 3>{still[0], still[1], still[2]}), (std::array<int, 3>{255, 255, 255}));
}

TEST(FlowToColourImage, GivenScaleAndStillFlowAreWhiteWithoutDividingByZero) {
  ImageRef u = CreateFloat(25, 25, 1);
  ImageRef v = CreateFloat(25, 25, 1);
  ImageRef picture;
  FlowToColourImage(u, v, picture, -1.0f);  // interior maximum 0: every vector is drawn as still
  EXPECT_EQ(cv::countNonZero(picture.Mat().reshape(1) != 255), 0);
  u.Row<float>(12)[12] = 1.0f;
  FlowToColourImage(u, v, picture, 2.0f);   // a given scale wins over the interior maximum
  const uint8_t* p = picture.Row<uint8_t>(12) + 12 * 3;
  EXPECT_EQ((std::array<uint8_t, 3>{p[0], p[1], p[2]}), FlowColour(0.5f, 0.0f));
}
