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

constexpr const char* kOutputSuffixes[] = {"_morvi", "_morviwarp", "_morviocc"};  // before the extension
constexpr const char* kOutputExtensions[] = {".flo", ".ppm", ".pgm"};

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

}  // namespace

PairBlock ShardBlock(size_t pairs, int index, int count) {
  const unsigned long long n = pairs;
  return {static_cast<size_t>(n * static_cast<unsigned>(index) / static_cast<unsigned>(count)),
          static_cast<size_t>(n * static_cast<unsigned>(index + 1) / static_cast<unsigned>(count))};
}

PairOutputs OutputsOf(const std::string& resultDirectory, const std::string& stem, int channels,
                      bool occlusions) {
  const std::string base = resultDirectory + "/" + stem;
  return {base + "_morvi.flo", base + "_morvi.ppm", base + "_morviwarp" + (channels == 3 ? ".ppm" : ".pgm"),
          occlusions ? base + "_morviocc.pgm" : ""};
}

bool OutputsComplete(const PairOutputs& outputs, int width, int height, int channels) {
  return FlowFileComplete(outputs.flow, width, height) && PictureComplete(outputs.picture, width, height, 3) &&
         PictureComplete(outputs.warp, width, height, channels) &&
         (outputs.occlusions.empty() || PictureComplete(outputs.occlusions, width, height, 1));
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
