#include "image/flow_colour.h"

#include <cmath>
#include <vector>

namespace {

constexpr int kRedYellow = 15;
constexpr int kYellowGreen = 6;
constexpr int kGreenCyan = 4;
constexpr int kCyanBlue = 11;
constexpr int kBlueMagenta = 13;
constexpr int kMagentaRed = 6;
constexpr int kWheelSize = kRedYellow + kYellowGreen + kGreenCyan + kCyanBlue + kBlueMagenta + kMagentaRed;

constexpr float kUnknownFlow = 1e9f;             // |u| or |v| above this marks a vector as unknown
constexpr int kInteriorMargin = 10;              // the picture's scale ignores a 10-pixel border
constexpr float kSaturatedShade = 0.75f;         // vectors beyond the scale are drawn darker
constexpr double kPi = 3.141592653589793;

// The hue wheel, built on first use and kept for the run.
const std::vector<std::array<int, 3>>& Wheel() {
  static const std::vector<std::array<int, 3>> wheel = [] {
    std::vector<std::array<int, 3>> w;
    w.reserve(kWheelSize);
    for (int i = 0; i < kRedYellow; ++i) w.push_back({255, 255 * i / kRedYellow, 0});
    for (int i = 0; i < kYellowGreen; ++i) w.push_back({255 - 255 * i / kYellowGreen, 255, 0});
    for (int i = 0; i < kGreenCyan; ++i) w.push_back({0, 255, 255 * i / kGreenCyan});
    for (int i = 0; i < kCyanBlue; ++i) w.push_back({0, 255 - 255 * i / kCyanBlue, 255});
    for (int i = 0; i < kBlueMagenta; ++i) w.push_back({255 * i / kBlueMagenta, 0, 255});
    for (int i = 0; i < kMagentaRed; ++i) w.push_back({255, 0, 255 - 255 * i / kMagentaRed});
    return w;
  }();
  return wheel;
}

// A vector is unknown beyond 1e9 in either component; a NaN carries no direction either, so it is
// drawn as unknown instead of reaching the hue index.
bool UnknownFlow(float u, float v) {
  return std::fabs(u) > kUnknownFlow || std::fabs(v) > kUnknownFlow || std::isnan(u) || std::isnan(v);
}

}  // namespace

int ColourWheelSize() { return static_cast<int>(Wheel().size()); }

std::array<int, 3> ColourWheelEntry(int index) { return Wheel().at(index); }

std::array<uint8_t, 3> FlowColour(float fx, float fy) {
  const auto& wheel = Wheel();
  const float rad = std::sqrt(fx * fx + fy * fy);
  const float a = static_cast<float>(std::atan2(static_cast<double>(-fy), static_cast<double>(-fx)) / kPi);
  const float fk = (a + 1.0f) / 2.0f * static_cast<float>(kWheelSize - 1);
  const int k0 = std::isnan(fk) ? 0 : static_cast<int>(fk);
  const int k1 = (k0 + 1) % kWheelSize;
  const float f = fk - static_cast<float>(k0);

  std::array<uint8_t, 3> bgr{};
  for (int c = 0; c < 3; ++c) {  // wheel components R, G, B
    const float col0 = static_cast<float>(wheel[k0][c]) / 255.0f;
    const float col1 = static_cast<float>(wheel[k1][c]) / 255.0f;
    float col = (1.0f - f) * col0 + f * col1;
    if (rad <= 1.0f) {
      col = 1.0f - rad * (1.0f - col);  // saturation grows with the length
    } else {
      col *= kSaturatedShade;
    }
    bgr[2 - c] = static_cast<uint8_t>(static_cast<int>(255.0f * col));
  }
  return bgr;
}

void FlowToColourImage(const ImageRef& u, const ImageRef& v, ImageRef& picture, float maxMotion) {
  const int width = u.Width();
  const int height = u.Height();
  EnsureByte(picture, width, height, 3);

  float maxRad = -1.0f;
  for (int y = kInteriorMargin; y <= height - kInteriorMargin; ++y) {
    const float* ur = u.Row<float>(y);
    const float* vr = v.Row<float>(y);
    for (int x = kInteriorMargin; x <= width - kInteriorMargin; ++x) {
      if (UnknownFlow(ur[x], vr[x])) continue;
      const float rad = std::sqrt(ur[x] * ur[x] + vr[x] * vr[x]);
      if (rad > maxRad) maxRad = rad;
    }
  }
  const float scale = maxMotion > 0.0f ? maxMotion : maxRad;

  for (int y = 0; y < height; ++y) {
    const float* ur = u.Row<float>(y);
    const float* vr = v.Row<float>(y);
    uint8_t* out = picture.Row<uint8_t>(y);
    for (int x = 0; x < width; ++x, out += 3) {
      if (UnknownFlow(ur[x], vr[x])) {
        out[0] = 0;
        out[1] = 1;
        out[2] = 2;
        continue;
      }
      // A zero scale (a still interior) draws every known vector as no motion: white.
      const std::array<uint8_t, 3> bgr =
          scale == 0.0f ? FlowColour(0.0f, 0.0f) : FlowColour(ur[x] / scale, vr[x] / scale);
      out[0] = bgr[0];
      out[1] = bgr[1];
      out[2] = bgr[2];
    }
  }
}
