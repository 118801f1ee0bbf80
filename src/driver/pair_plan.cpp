#include "driver/pair_plan.h"

#include <cctype>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <system_error>

#include "image/atomic_file.h"

namespace {

constexpr const char* kOutputSuffixes[] = {"_morvi", "_morviwarp", "_morviocc", "_morviconf"};  // before the extension
constexpr const char* kOutputExtensions[] = {".flo", ".ppm", ".pgm", ".png"};

// The PNG layout: an 8-byte signature, then the IHDR chunk (length, type, width and height as
// big-endian 32-bit numbers, bit depth, colour type, ...); the file ends with the empty IEND chunk
// and its CRC, always these 12 bytes.
constexpr unsigned char kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
constexpr unsigned char kPngEnd[12] = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xae, 0x42, 0x60, 0x82};
constexpr int kPngHeaderBytes = 8 + 4 + 4 + 13;  // signature, IHDR length and type, IHDR data
constexpr int kPngGreyType = 0;
constexpr int kPngColourType = 2;
constexpr int kConfidenceBitDepth = 16;

// Bytes of `fileName`, or -1 when it is not a readable regular file.
long long FileSize(const std::string& fileName) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(fileName, error)) return -1;
  const uintmax_t size = std::filesystem::file_size(fileName, error);
  return error ? -1 : static_cast<long long>(size);
}

bool FlowFileComplete(const std::string& fileName, int width, int height) {
  const long long expected = 12 + 8LL * width * height;
  if (FileSize(fileName) != expected) return false;
  std::ifstream file(fileName, std::ios::binary);
  char tag[4];
  int32_t size[2];
  if (!file.read(tag, 4) || !file.read(reinterpret_cast<char*>(size), sizeof size)) return false;
  return std::memcmp(tag, "PIEH", 4) == 0 && size[0] == width && size[1] == height;
}

// Reads one header number of a netpbm file, skipping white space and comments.
bool ReadHeaderNumber(std::istream& in, long long& value) {
  int c = in.get();
  while (c != EOF && (std::isspace(c) || c == '#')) {
    if (c == '#') {
      while (c != EOF && c != '\n') c = in.get();
    }
    c = in.get();
  }
  if (c == EOF || !std::isdigit(c)) return false;
  value = 0;
  while (c != EOF && std::isdigit(c)) {
    value = value * 10 + (c - '0');
    if (value > (1LL << 40)) return false;
    c = in.get();
  }
  return c != EOF && std::isspace(c);  // exactly one white space ends the last number
}

bool PictureComplete(const std::string& fileName, int width, int height, int channels) {
  const long long size = FileSize(fileName);
  if (size < 0) return false;
  std::ifstream file(fileName, std::ios::binary);
  char magic[2];
  if (!file.read(magic, 2) || magic[0] != 'P' || magic[1] != (channels == 3 ? '6' : '5')) return false;
  long long w = 0;
  long long h = 0;
  long long maxValue = 0;
  if (!ReadHeaderNumber(file, w) || !ReadHeaderNumber(file, h) || !ReadHeaderNumber(file, maxValue)) return false;
  if (w != width || h != height || maxValue != 255) return false;
  const long long header = file.tellg();
  return header > 0 && size - header == static_cast<long long>(width) * height * channels;
}

uint32_t BigEndian32(const unsigned char* bytes) {
  return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) | uint32_t{bytes[3]};
}

// A PNG of width x height, grey or RGB as `channels` says with samples of `bitDepth` bits, ending
// with its closing chunk (a file cut short lacks it).
bool PngComplete(const std::string& fileName, int width, int height, int channels, int bitDepth = 8) {
  const long long size = FileSize(fileName);
  if (size < kPngHeaderBytes + static_cast<long long>(sizeof kPngEnd)) return false;
  std::ifstream file(fileName, std::ios::binary);
  unsigned char header[kPngHeaderBytes];
  unsigned char end[sizeof kPngEnd];
  if (!file.read(reinterpret_cast<char*>(header), sizeof header)) return false;
  if (!file.seekg(size - static_cast<long long>(sizeof end)) || !file.read(reinterpret_cast<char*>(end), sizeof end)) {
    return false;
  }
  const unsigned char* ihdr = header + 16;  // the IHDR data
  return std::memcmp(header, kPngSignature, sizeof kPngSignature) == 0 && std::memcmp(header + 12, "IHDR", 4) == 0 &&
         BigEndian32(ihdr) == static_cast<uint32_t>(width) && BigEndian32(ihdr + 4) == static_cast<uint32_t>(height) &&
         ihdr[8] == bitDepth && ihdr[9] == (channels == 3 ? kPngColourType : kPngGreyType) &&
         std::memcmp(end, kPngEnd, sizeof kPngEnd) == 0;
}

bool PictureComplete(const std::string& fileName, PictureFormat format, int width, int height, int channels) {
  return format == PictureFormat::kPng ? PngComplete(fileName, width, height, channels)
                                       : PictureComplete(fileName, width, height, channels);
}

}  // namespace

PairBlock ShardBlock(size_t pairs, int index, int count) {
  const unsigned long long n = pairs;
  return {static_cast<size_t>(n * static_cast<unsigned>(index) / static_cast<unsigned>(count)),
          static_cast<size_t>(n * static_cast<unsigned>(index + 1) / static_cast<unsigned>(count))};
}

PairOutputs OutputsOf(const std::string& resultDirectory, const std::string& stem, int channels,
                      bool occlusions, PictureFormat format, bool confidence) {
  const std::string base = resultDirectory + "/" + stem;
  const bool png = format == PictureFormat::kPng;
  const std::string warpExtension = png ? ".png" : channels == 3 ? ".ppm" : ".pgm";
  return {base + "_morvi.flo", base + "_morvi" + (png ? ".png" : ".ppm"), base + "_morviwarp" + warpExtension,
          occlusions ? base + "_morviocc.pgm" : "", confidence ? base + "_morviconf.png" : "", format};
}

bool OutputsComplete(const PairOutputs& outputs, int width, int height, int channels) {
  return FlowFileComplete(outputs.flow, width, height) &&
         PictureComplete(outputs.picture, outputs.format, width, height, 3) &&
         PictureComplete(outputs.warp, outputs.format, width, height, channels) &&
         (outputs.occlusions.empty() || PictureComplete(outputs.occlusions, width, height, 1)) &&
         (outputs.confidence.empty() || PngComplete(outputs.confidence, width, height, 1, kConfidenceBitDepth));
}

bool IsOutputName(const std::string& name) {
  const size_t dot = name.rfind('.');
  const std::string stem = dot == std::string::npos ? name : name.substr(0, dot);
  for (const std::string suffix : kOutputSuffixes) {
    if (stem.size() >= suffix.size() && stem.compare(stem.size() - suffix.size(), suffix.size(), suffix) == 0) {
      return true;
    }
  }
  return false;
}

size_t RemoveLeftoverTemporaries(const std::string& resultDirectory, const std::vector<std::string>& stems) {
  std::set<std::string> outputStems;
  for (const std::string& stem : stems) {
    for (const std::string suffix : kOutputSuffixes) outputStems.insert(stem + suffix);
  }
  std::error_code error;
  std::filesystem::directory_iterator it(resultDirectory, error);
  std::vector<std::filesystem::path> leftovers;
  for (; !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    const std::string name = it->path().filename().string();
    const size_t tag = name.rfind(".tmp");
    if (name.empty() || name[0] != '.' || tag == std::string::npos || tag == 0) continue;
    const std::string outputStem = name.substr(1, tag - 1);
    if (outputStems.count(outputStem) == 0) continue;
    for (const std::string extension : kOutputExtensions) {
      if (IsTemporaryNameOf(name, outputStem, extension)) {
        leftovers.push_back(it->path());
        break;
      }
    }
  }
  size_t removed = 0;
  for (const std::filesystem::path& leftover : leftovers) removed += std::filesystem::remove(leftover, error) ? 1 : 0;
  return removed;
}
