#include "image/kitti_flow.h"

#include <cmath>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <system_error>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "image/atomic_file.h"
#include "image/flow_evaluation.h"
#include "image/flow_reader.h"
#include "image/image_codec.h"

namespace {

constexpr unsigned char kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
constexpr std::size_t kSignatureBytes = sizeof kPngSignature;
// The first chunk must be IHDR: length (4), type (4), 13 bytes of data, CRC (4).
constexpr std::size_t kHeaderChunkEnd = kSignatureBytes + 4 + 4 + 13 + 4;
constexpr std::uint32_t kHeaderDataBytes = 13;
constexpr int kBitDepth = 16;        // every channel a 16-bit word
constexpr int kColourTypeRgb = 2;    // three channels, no palette, no alpha
constexpr std::uint32_t kMaxSide = 1u << 15;  // beyond any camera; a larger side is a corrupt header
// Deflate cannot expand its input by more than about 1032:1 (a 258-byte match in two bits at best),
// so an image whose raw rows need more than this many bytes per file byte cannot be in the file.
constexpr std::uint64_t kMaxInflation = 1032;
constexpr std::uint64_t kRawBytesPerPixel = 6;  // three 16-bit channels

constexpr double kSubpixelSteps = 64.0;  // a stored unit is 1/64 pixel
constexpr double kZeroCode = 32768.0;    // the stored word of a zero component
constexpr double kMaxCode = 65535.0;
// OpenCV's channel order for the file's u, v, valid.
constexpr int kChannelU = 2;
constexpr int kChannelV = 1;
constexpr int kChannelValid = 0;
constexpr std::uint16_t kValid = 1;

bool Fail(const std::string& name, const std::string& reason, std::string& error) {
  error = name + ": " + reason;
  return false;
}

std::uint32_t LoadBig32(const unsigned char* bytes) {
  return (static_cast<std::uint32_t>(bytes[0]) << 24) | (static_cast<std::uint32_t>(bytes[1]) << 16) |
         (static_cast<std::uint32_t>(bytes[2]) << 8) | static_cast<std::uint32_t>(bytes[3]);
}

// Walks the chunks (length, type, data, CRC) up to the end chunk: a file cut short is found here,
// with a reason, before the decoder meets it.
bool CheckChunks(const unsigned char* data, std::size_t size, const std::string& name, std::string& error) {
  constexpr std::uint64_t kChunkFrame = 12;  // length, type and CRC around the data
  std::uint64_t position = kSignatureBytes;
  while (position + kChunkFrame <= size) {
    const std::uint64_t length = LoadBig32(data + position);
    const std::uint64_t end = position + kChunkFrame + length;
    if (end > size) break;
    if (std::memcmp(data + position + 4, "IEND", 4) == 0) return true;
    position = end;
  }
  return Fail(name, "truncated PNG (the file ends before its end chunk)", error);
}

// Checks the header chunk against what a KITTI flow file must be and against the file's size,
// before the decoder allocates anything.
bool CheckHeader(const unsigned char* data, std::size_t size, const std::string& name, std::string& error) {
  if (size < kHeaderChunkEnd) {
    return Fail(name, "truncated PNG (" + std::to_string(size) + " bytes, less than its header)", error);
  }
  if (LoadBig32(data + kSignatureBytes) != kHeaderDataBytes || std::memcmp(data + kSignatureBytes + 4, "IHDR", 4) != 0) {
    return Fail(name, "not a valid PNG (the first chunk is not a header)", error);
  }
  const unsigned char* header = data + kSignatureBytes + 8;
  const std::uint32_t width = LoadBig32(header);
  const std::uint32_t height = LoadBig32(header + 4);
  const int bitDepth = header[8];
  const int colourType = header[9];
  if (bitDepth != kBitDepth || colourType != kColourTypeRgb) {
    return Fail(name,
                "not a KITTI flow PNG (bit depth " + std::to_string(bitDepth) + ", colour type " +
                    std::to_string(colourType) + "; a flow PNG has three 16-bit channels)",
                error);
  }
  const std::string sizeText = std::to_string(width) + " x " + std::to_string(height);
  if (width == 0 || height == 0 || width > kMaxSide || height > kMaxSide) {
    return Fail(name, "invalid image size " + sizeText + " in the header", error);
  }
  // Each row holds one filter byte and its pixels.
  const std::uint64_t rawBytes = static_cast<std::uint64_t>(height) * (1 + kRawBytesPerPixel * width);
  if (rawBytes / kMaxInflation > size) {
    return Fail(name,
                "truncated or corrupt: the header gives " + sizeText + " pixels, more than " +
                    std::to_string(size) + " bytes can hold",
                error);
  }
  return CheckChunks(data, size, name, error);
}

// The stored word of one valid component, clamped to the 16-bit range; `clamped` tells whether it was.
std::uint16_t EncodeComponent(float value, bool& clamped) {
  const double code = std::round(static_cast<double>(value) * kSubpixelSteps) + kZeroCode;
  if (code < 0.0) {
    clamped = true;
    return 0;
  }
  if (code > kMaxCode) {
    clamped = true;
    return static_cast<std::uint16_t>(kMaxCode);
  }
  return static_cast<std::uint16_t>(code);
}

bool IsFloatPlane(const ImageRef& image) {
  return !image.Empty() && image.Depth() == CV_32F && image.Channels() == 1;
}

}  // namespace

bool HasPngSignature(const unsigned char* bytes, std::size_t size) {
  return size >= kSignatureBytes && std::memcmp(bytes, kPngSignature, kSignatureBytes) == 0;
}

bool DecodeKittiFlow(const unsigned char* data, std::size_t size, const std::string& name, float invalidValue,
                     ImageRef& u, ImageRef& v, std::string& error) {
  u.Release();
  v.Release();
  if (!HasPngSignature(data, size)) return Fail(name, "not a PNG file (no PNG signature)", error);
  if (!CheckHeader(data, size, name, error)) return false;
  if (size > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
    return Fail(name, "too large for the PNG decoder (" + std::to_string(size) + " bytes)", error);
  }

  cv::Mat image;
  try {
    const cv::Mat bytes(1, static_cast<int>(size), CV_8UC1, const_cast<unsigned char*>(data));
    image = DecodeImage(bytes, cv::IMREAD_UNCHANGED);
  } catch (const std::exception& failure) {
    return Fail(name, std::string("cannot be decoded (") + failure.what() + ")", error);
  }
  if (image.empty()) return Fail(name, "cannot be decoded as a PNG (truncated or corrupt data)", error);
  // The header said 16-bit RGB; the decoder's result is checked again (a transparency chunk, for
  // one, would add an alpha channel).
  if (image.depth() != CV_16U || image.channels() != 3) {
    return Fail(name, "not a KITTI flow PNG (decoded as " + std::to_string(image.channels()) +
                          " channels, not three 16-bit ones)", error);
  }

  ImageRef uRead = CreateFloat(image.cols, image.rows, 1);
  ImageRef vRead = CreateFloat(image.cols, image.rows, 1);
  for (int y = 0; y < image.rows; ++y) {
    const std::uint16_t* in = image.ptr<std::uint16_t>(y);
    float* uRow = uRead.Row<float>(y);
    float* vRow = vRead.Row<float>(y);
    for (int x = 0; x < image.cols; ++x, in += 3) {
      if (in[kChannelValid] == 0) {
        uRow[x] = invalidValue;
        vRow[x] = invalidValue;
      } else {
        uRow[x] = static_cast<float>((in[kChannelU] - kZeroCode) / kSubpixelSteps);
        vRow[x] = static_cast<float>((in[kChannelV] - kZeroCode) / kSubpixelSteps);
      }
    }
  }
  u = uRead;
  v = vRead;
  return true;
}

bool WriteKittiFlowFile(const ImageRef& u, const ImageRef& v, const std::string& fileName, KittiWriteReport& report,
                        std::string& error) {
  report = KittiWriteReport();
  if (!IsFloatPlane(u) || !IsFloatPlane(v) || u.Width() != v.Width() || u.Height() != v.Height()) {
    error = "could not write " + fileName + ": u and v must be single-channel float images of one size";
    return false;
  }
  cv::Mat image(u.Height(), u.Width(), CV_16UC3);
  for (int y = 0; y < image.rows; ++y) {
    const float* uRow = u.Row<float>(y);
    const float* vRow = v.Row<float>(y);
    std::uint16_t* out = image.ptr<std::uint16_t>(y);
    for (int x = 0; x < image.cols; ++x, out += 3) {
      if (!std::isfinite(uRow[x]) || !std::isfinite(vRow[x]) || IsUnknownFlow(uRow[x], vRow[x])) {
        ++report.invalid;
        out[kChannelU] = static_cast<std::uint16_t>(kZeroCode);
        out[kChannelV] = static_cast<std::uint16_t>(kZeroCode);
        out[kChannelValid] = 0;
        continue;
      }
      bool clamped = false;
      out[kChannelU] = EncodeComponent(uRow[x], clamped);
      out[kChannelV] = EncodeComponent(vRow[x], clamped);
      out[kChannelValid] = kValid;
      report.clamped += clamped;
    }
  }
  std::vector<unsigned char> bytes;
  try {
    if (!EncodeImage(".png", image, bytes)) {
      error = "could not write " + fileName + ": PNG encoding failed";
      return false;
    }
  } catch (const std::exception& failure) {
    error = "could not write " + fileName + ": PNG encoding failed (" + failure.what() + ")";
    return false;
  }
  return WriteFileAtomically(fileName, bytes.data(), bytes.size(), error);
}

bool ReadAnyFlowFile(const std::string& fileName, float kittiInvalidValue, ImageRef& u, ImageRef& v, bool& wasKitti,
                     std::string& error) {
  u.Release();
  v.Release();
  wasKitti = false;
  std::error_code status;
  if (std::filesystem::is_regular_file(fileName, status)) {
    std::ifstream in(fileName, std::ios::binary);
    unsigned char head[kSignatureBytes] = {};
    in.read(reinterpret_cast<char*>(head), kSignatureBytes);
    if (in && HasPngSignature(head, kSignatureBytes)) {
      wasKitti = true;
      in.seekg(0);
      const std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      if (in.bad()) return Fail(fileName, "read error", error);
      return DecodeKittiFlow(bytes.data(), bytes.size(), fileName, kittiInvalidValue, u, v, error);
    }
  }
  // Anything else, unreadable files included, goes to the .flo reader and its messages.
  return ReadFlowFile(fileName, u, v, error);
}

bool LooksLikeKittiFlowFile(const std::string& fileName) {
  std::ifstream in(fileName, std::ios::binary);
  unsigned char head[kHeaderChunkEnd] = {};
  in.read(reinterpret_cast<char*>(head), kHeaderChunkEnd);
  if (!in) return false;
  const unsigned char* header = head + kSignatureBytes + 8;
  return HasPngSignature(head, kHeaderChunkEnd) && std::memcmp(head + kSignatureBytes + 4, "IHDR", 4) == 0 &&
         header[8] == kBitDepth && header[9] == kColourTypeRgb;
}
