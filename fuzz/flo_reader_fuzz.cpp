// libFuzzer target for the .flo reader: any byte string must come back either as a flow whose
// pixels are exactly the bytes of the input, or as an error naming the stream, never as a crash,
// a leak or an allocation larger than the input itself (the run sets -malloc_limit_mb).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "image/flow_evaluation.h"
#include "image/flow_reader.h"

namespace {

constexpr std::size_t kHeaderBytes = 12;
constexpr std::size_t kBytesPerPixel = 8;
const std::string kStreamName = "fuzz-input";

// Fails loudly so that libFuzzer records the input that broke an invariant.
void Require(bool condition) {
  if (!condition) __builtin_trap();
}

std::uint32_t LittleBits(const std::uint8_t* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
         (static_cast<std::uint32_t>(bytes[2]) << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24);
}

std::uint32_t Bits(float value) {
  std::uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

// A read-only stream over the input. fmemopen wants a buffer of at least one byte, so an empty
// input is served from a dummy byte while its announced size stays 0.
std::FILE* OpenInput(const std::uint8_t* data, std::size_t size) {
  static char dummy = 0;
  if (size == 0) return fmemopen(&dummy, 1, "rb");
  return fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ImageRef u, v, flow;
  std::string planesError, flowError;

  std::FILE* stream = OpenInput(data, size);
  Require(stream != nullptr);
  const bool planesRead = ReadFlowStream(stream, size, kStreamName, u, v, planesError);
  std::fclose(stream);

  stream = OpenInput(data, size);
  Require(stream != nullptr);
  const bool flowRead = ReadFlowStream(stream, size, kStreamName, flow, flowError);
  std::fclose(stream);

  // Both layouts accept and reject the same inputs for the same reason.
  Require(planesRead == flowRead);
  if (!planesRead) {
    Require(planesError == flowError);
    Require(planesError.rfind(kStreamName + ": ", 0) == 0);
    Require(u.Empty() && v.Empty() && flow.Empty());
    return 0;
  }

  const int width = u.Width();
  const int height = u.Height();
  Require(width > 0 && height > 0 && v.Width() == width && v.Height() == height);
  Require(flow.Width() == width && flow.Height() == height && flow.Channels() == 2);
  Require(size == kHeaderBytes + kBytesPerPixel * static_cast<std::size_t>(width) * static_cast<std::size_t>(height));
  const std::uint8_t* pixel = data + kHeaderBytes;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x, pixel += kBytesPerPixel) {
      Require(Bits(u.Row<float>(y)[x]) == LittleBits(pixel));
      Require(Bits(v.Row<float>(y)[x]) == LittleBits(pixel + 4));
      Require(Bits(flow.Row<float>(y)[2 * x]) == LittleBits(pixel));
      Require(Bits(flow.Row<float>(y)[2 * x + 1]) == LittleBits(pixel + 4));
    }
  }

  // Whatever the values (NaN, infinities, huge numbers), a flow scored against itself has no
  // error, and every pixel is either known or unknown.
  FlowErrorStats stats;
  std::string error;
  Require(EvaluateFlow(u, v, u, v, stats, error));
  Require(stats.known + stats.unknown == static_cast<std::int64_t>(width) * height);
  Require(stats.nonFinite == 0 && stats.scored == stats.known);
  if (stats.known > 0) Require(stats.epe == 0.0 && stats.aae == 0.0 && stats.r1 == 0.0 && stats.r3 == 0.0);
  return 0;
}
