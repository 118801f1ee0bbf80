// libFuzzer target for the KITTI flow PNG reader: any byte string must come back either as a flow
// whose valid vectors lie on the format's 1/64-pixel grid within its range, or as an error naming
// the stream, never as a crash, a leak or an allocation beyond what the compressed bytes can hold
// (the run sets -malloc_limit_mb and keeps inputs short).
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>

#include "image/flow_evaluation.h"
#include "image/kitti_flow.h"

namespace {

const std::string kStreamName = "fuzz-input";
constexpr double kSteps = 64.0;        // stored units per pixel
constexpr double kLowest = -512.0;     // the smallest component the format holds
constexpr double kHighest = 32767.0 / 64.0;

void Require(bool condition) {
  if (!condition) __builtin_trap();
}

bool OnTheGrid(float value) {
  const double scaled = static_cast<double>(value) * kSteps;
  return value >= kLowest && value <= kHighest && scaled == std::floor(scaled);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ImageRef u, v;
  std::string error;
  const bool read = DecodeKittiFlow(data, size, kStreamName, kUnknownFlowValue, u, v, error);
  if (!read) {
    Require(error.rfind(kStreamName + ": ", 0) == 0);
    Require(u.Empty() && v.Empty());
    return 0;
  }
  Require(HasPngSignature(data, size));
  const int width = u.Width();
  const int height = u.Height();
  Require(width > 0 && height > 0 && v.Width() == width && v.Height() == height);
  Require(u.Depth() == CV_32F && u.Channels() == 1 && v.Depth() == CV_32F && v.Channels() == 1);
  std::int64_t invalid = 0;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const float ux = u.Row<float>(y)[x];
      const float vx = v.Row<float>(y)[x];
      if (ux == kUnknownFlowValue) {
        Require(vx == kUnknownFlowValue);
        ++invalid;
      } else {
        Require(OnTheGrid(ux) && OnTheGrid(vx));
      }
    }
  }

  // Invalid pixels are exactly the unknown ones, and a flow scored against itself has no error.
  FlowErrorStats stats;
  Require(EvaluateFlow(u, v, u, v, stats, error));
  Require(stats.unknown == invalid);
  Require(stats.known + stats.unknown == static_cast<std::int64_t>(width) * height);
  if (stats.known > 0) Require(stats.epe == 0.0 && stats.fl == 0.0 && stats.r3 == 0.0);
  return 0;
}
