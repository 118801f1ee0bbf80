// Middlebury colour coding of optical flow: direction picks the hue on a 55-entry colour wheel,
// length relative to a scale picks the saturation.
#pragma once

#include <array>
#include <cstdint>

#include "image/image_ref.h"

// The wheel's entry count and entry (R, G, B); the wheel is built on first use.
int ColourWheelSize();
std::array<int, 3> ColourWheelEntry(int index);

// Colour of a vector already divided by the scale, as bytes in B, G, R order.
std::array<uint8_t, 3> FlowColour(float fx, float fy);

// A picture scale that asks for the flow's own largest interior length, as the program's pictures
// use unless the user fixes a scale.
constexpr float kPictureScaleFromFlow = -1.0f;

// Fills `picture` (brought to the flow's size, 8-bit, 3 channels BGR) with the colour coding of
// (u, v). maxMotion > 0 is the scale; otherwise the largest interior flow length is used.
void FlowToColourImage(const ImageRef& u, const ImageRef& v, ImageRef& picture, float maxMotion);
