// Scratch files for the .flo reader, evaluation and morvi-eval tests: a private temporary folder
// per test and raw .flo byte images for hand-built and deliberately corrupt files.
#pragma once

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "image/image_ref.h"
#include "support/test_support.h"

namespace flow_test {

// A folder of its own under the system's temporary directory, removed with everything in it when
// the object goes.
class ScratchDir : public TempDir {
 public:
  std::string File(const std::string& name) const { return *this / name; }
  std::string Path() const { return path().string(); }
};

inline void AppendLittle32(std::vector<unsigned char>& bytes, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<unsigned char>(value >> shift));
}

inline std::uint32_t FloatBits(float value) {
  std::uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  return bits;
}

inline float BitsFloat(std::uint32_t bits) {
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// The bytes of a .flo file with the given header fields followed by `values` (u, v interleaved),
// built independently of the writer so that the reader can be checked against known bytes and
// fed headers that no writer would produce.
inline std::vector<unsigned char> FloBytes(std::int32_t width, std::int32_t height,
                                           const std::vector<float>& values, const char* tag = "PIEH") {
  std::vector<unsigned char> bytes(tag, tag + 4);
  AppendLittle32(bytes, static_cast<std::uint32_t>(width));
  AppendLittle32(bytes, static_cast<std::uint32_t>(height));
  for (const float value : values) AppendLittle32(bytes, FloatBits(value));
  return bytes;
}

inline void WriteBytes(const std::string& fileName, const std::vector<unsigned char>& bytes) {
  std::ofstream out(fileName, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// A two-channel flow image from u and v listed row by row; values are copied bit for bit.
inline ImageRef MakeFlow(int width, int height, const std::vector<float>& u, const std::vector<float>& v) {
  ImageRef flow = CreateFloat(width, height, 2);
  for (int y = 0; y < height; ++y) {
    float* row = flow.Row<float>(y);
    for (int x = 0; x < width; ++x) {
      const std::size_t i = static_cast<std::size_t>(y) * width + x;
      std::memcpy(row + 2 * x, &u[i], sizeof(float));
      std::memcpy(row + 2 * x + 1, &v[i], sizeof(float));
    }
  }
  return flow;
}

// One single-channel float image from values listed row by row.
inline ImageRef MakePlane(int width, int height, const std::vector<float>& values) {
  ImageRef plane = CreateFloat(width, height, 1);
  for (int y = 0; y < height; ++y) {
    std::memcpy(plane.Row<float>(y), values.data() + static_cast<std::size_t>(y) * width, width * sizeof(float));
  }
  return plane;
}

inline std::string DataDir() { return MORVI_DATA_DIR; }

// The ground-truth files shipped with the data, with the size each must have.
struct GroundTruthFile {
  const char* path;
  int width;
  int height;
};
inline const std::vector<GroundTruthFile>& GroundTruthFiles() {
  static const std::vector<GroundTruthFile> files = {
      {"middlebury/Dimetrodon/flow10.flo", 584, 388}, {"middlebury/Grove2/flow10.flo", 640, 480},
      {"middlebury/RubberWhale/flow10.flo", 584, 388}, {"middlebury/Urban2/flow10.flo", 640, 480},
      {"middlebury/Venus/flow10.flo", 420, 380},       {"sintel/alley_1/frame_0002.flo", 1024, 436},
      {"sintel/cave_2/frame_0002.flo", 1024, 436},     {"sintel/market_5/frame_0002.flo", 1024, 436},
  };
  return files;
}

inline bool HaveData() {
  return !DataDir().empty() && std::filesystem::exists(std::filesystem::path(DataDir()) / "middlebury");
}

}  // namespace flow_test
