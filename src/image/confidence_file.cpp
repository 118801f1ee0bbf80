#include "image/confidence_file.h"

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "image/image_codec.h"

namespace {

constexpr unsigned char kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
constexpr unsigned char kPngEnd[12] = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xae, 0x42, 0x60, 0x82};
constexpr size_t kIhdrData = 16;  // signature, IHDR length and type come first
constexpr size_t kMinimumSize = kIhdrData + 13 + 4 + sizeof kPngEnd;
constexpr unsigned char kSixteenBits = 16;
constexpr unsigned char kGreyColourType = 0;
constexpr float kFullTrust = 65535.0f;

}  // namespace

bool ReadConfidenceFile(const std::string& fileName, cv::Mat& confidence, std::string& error) {
  std::error_code status;
  if (!std::filesystem::is_regular_file(fileName, status)) {
    error = fileName + ": not a readable file";
    return false;
  }
  std::ifstream file(fileName, std::ios::binary);
  std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (!file.eof() && file.fail()) {
    error = fileName + ": cannot be read";
    return false;
  }
  if (bytes.size() < kMinimumSize || std::memcmp(bytes.data(), kPngSignature, sizeof kPngSignature) != 0 ||
      std::memcmp(bytes.data() + 12, "IHDR", 4) != 0) {
    error = fileName + ": not a PNG file";
    return false;
  }
  const unsigned char* ihdr = bytes.data() + kIhdrData;
  if (ihdr[8] != kSixteenBits || ihdr[9] != kGreyColourType) {
    error = fileName + ": a confidence map is a 16-bit grey PNG, this one has bit depth " + std::to_string(ihdr[8]) +
            " and colour type " + std::to_string(ihdr[9]);
    return false;
  }
  if (std::memcmp(bytes.data() + bytes.size() - sizeof kPngEnd, kPngEnd, sizeof kPngEnd) != 0) {
    error = fileName + ": the PNG is cut short (no closing chunk)";
    return false;
  }
  cv::Mat picture;
  try {
    picture = DecodeImage(cv::Mat(bytes, false), cv::IMREAD_UNCHANGED);
  } catch (const cv::Exception&) {
    picture.release();
  }
  if (picture.empty() || picture.type() != CV_16UC1) {
    error = fileName + ": the PNG is damaged";
    return false;
  }
  picture.convertTo(confidence, CV_32F, 1.0 / kFullTrust);
  return true;
}
