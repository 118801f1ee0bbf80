#include "image/flow_reader.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

namespace {

constexpr unsigned char kFlowTag[4] = {'P', 'I', 'E', 'H'};
constexpr std::uint64_t kHeaderBytes = 12;    // tag, width, height
constexpr std::uint64_t kBytesPerPixel = 8;   // u then v, one 32-bit float each
constexpr std::uint64_t kBytesPerValue = 4;

struct FlowHeader {
  int width = 0;
  int height = 0;
};

// Values are stored little-endian whatever the host; assembling them from bytes keeps the reader
// independent of the host's byte order.
std::uint32_t LoadLittle32(const unsigned char* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
         (static_cast<std::uint32_t>(bytes[2]) << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24);
}

std::int32_t LoadLittleInt32(const unsigned char* bytes) {
  const std::uint32_t bits = LoadLittle32(bytes);
  std::int32_t value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// Copies the bit pattern into the float slot without passing through a float register, so NaN
// payloads (signalling ones included) arrive unchanged.
void StoreFloatBits(float* slot, std::uint32_t bits) { std::memcpy(slot, &bits, sizeof bits); }

std::string DescribeTag(const unsigned char* tag) {
  std::string text = "\"";
  for (int i = 0; i < 4; ++i) {
    const unsigned char c = tag[i];
    if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\') {
      text += static_cast<char>(c);
    } else {
      static const char kHex[] = "0123456789abcdef";
      text += "\\x";
      text += kHex[c >> 4];
      text += kHex[c & 0xf];
    }
  }
  return text + "\"";
}

bool Fail(const std::string& name, const std::string& reason, std::string& error) {
  error = name + ": " + reason;
  return false;
}

// Reads and checks the 12-byte header against the stream size. Nothing is allocated here, and
// the pixel count it accepts is exactly what the remaining bytes hold, so whatever the caller
// allocates afterwards is bounded by the size of the file itself.
bool ReadHeader(std::FILE* stream, std::uint64_t streamSize, const std::string& name, FlowHeader& header,
                std::string& error) {
  if (streamSize < kHeaderBytes) {
    return Fail(name,
                "too short for a .flo file (" + std::to_string(streamSize) + " bytes; the header alone has " +
                    std::to_string(kHeaderBytes) + ")",
                error);
  }
  unsigned char bytes[kHeaderBytes];
  if (std::fread(bytes, 1, kHeaderBytes, stream) != kHeaderBytes) {
    return Fail(name, "read error in the header", error);
  }
  if (std::memcmp(bytes, kFlowTag, sizeof kFlowTag) != 0) {
    return Fail(name, "not a .flo file (tag " + DescribeTag(bytes) + ", expected \"PIEH\")", error);
  }
  const std::int32_t width = LoadLittleInt32(bytes + 4);
  const std::int32_t height = LoadLittleInt32(bytes + 8);
  const std::string sizeText = std::to_string(width) + " x " + std::to_string(height);
  if (width <= 0 || height <= 0) {
    return Fail(name, "invalid flow size " + sizeText + " in the header (width and height must be positive)",
                error);
  }

  // Both factors are below 2^31, so the pixel count fits easily in 64 bits; the byte count is
  // compared through the payload divided by 8 so that it cannot overflow either.
  const std::uint64_t pixels = static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height);
  const std::uint64_t payload = streamSize - kHeaderBytes;
  if (payload % kBytesPerPixel != 0 || payload / kBytesPerPixel != pixels) {
    const bool fits = pixels <= (std::numeric_limits<std::uint64_t>::max() - kHeaderBytes) / kBytesPerPixel;
    const std::string needed =
        fits ? std::to_string(kHeaderBytes + kBytesPerPixel * pixels) + " bytes" : "more than 2^64 bytes";
    const bool shortFile = payload / kBytesPerPixel < pixels;
    return Fail(name,
                std::string(shortFile ? "truncated" : "unexpected trailing data") + ": the header gives " +
                    sizeText + " pixels, which needs " + needed + ", but the file holds " +
                    std::to_string(streamSize) + " bytes",
                error);
  }
  header.width = width;
  header.height = height;
  return true;
}

// Reads the rows after a checked header and hands each raw row (u, v pairs) to `storeRow`.
template <typename StoreRow>
bool ReadRows(std::FILE* stream, const FlowHeader& header, const std::string& name, StoreRow storeRow,
              std::string& error) {
  const std::size_t rowBytes = static_cast<std::size_t>(header.width) * kBytesPerPixel;
  std::vector<unsigned char> row(rowBytes);
  for (int y = 0; y < header.height; ++y) {
    if (std::fread(row.data(), 1, rowBytes, stream) != rowBytes) {
      return Fail(name, "read error in row " + std::to_string(y) + " (the file ended early or changed)", error);
    }
    storeRow(y, row.data());
  }
  // The size was checked before reading; a byte beyond the payload means the file grew meanwhile.
  if (std::fgetc(stream) != EOF) return Fail(name, "the file changed while it was read", error);
  return true;
}

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

// Opens a regular file and finds its size from the open descriptor (not from a separate lookup
// by name, which could see a different file).
FileHandle OpenRegularFile(const std::string& fileName, std::uint64_t& size, std::string& error) {
  if (fileName.empty()) {
    Fail("(no name)", "empty file name", error);
    return nullptr;
  }
  FileHandle file(std::fopen(fileName.c_str(), "rb"));
  if (!file) {
    Fail(fileName, std::string("cannot open (") + std::strerror(errno) + ")", error);
    return nullptr;
  }
  struct stat status;
  if (fstat(fileno(file.get()), &status) != 0) {
    Fail(fileName, std::string("cannot find the file size (") + std::strerror(errno) + ")", error);
    return nullptr;
  }
  if (S_ISDIR(status.st_mode)) {
    Fail(fileName, "is a directory, not a .flo file", error);
    return nullptr;
  }
  if (!S_ISREG(status.st_mode)) {
    Fail(fileName, "not a regular file", error);
    return nullptr;
  }
  size = static_cast<std::uint64_t>(status.st_size);
  return file;
}

}  // namespace

bool ReadFlowStream(std::FILE* stream, std::uint64_t streamSize, const std::string& name, ImageRef& u,
                    ImageRef& v, std::string& error) {
  u.Release();
  v.Release();
  FlowHeader header;
  if (!ReadHeader(stream, streamSize, name, header, error)) return false;

  ImageRef uRead = CreateFloat(header.width, header.height, 1);
  ImageRef vRead = CreateFloat(header.width, header.height, 1);
  const auto storeRow = [&](int y, const unsigned char* bytes) {
    float* uRow = uRead.Row<float>(y);
    float* vRow = vRead.Row<float>(y);
    for (int x = 0; x < header.width; ++x, bytes += kBytesPerPixel) {
      StoreFloatBits(uRow + x, LoadLittle32(bytes));
      StoreFloatBits(vRow + x, LoadLittle32(bytes + kBytesPerValue));
    }
  };
  if (!ReadRows(stream, header, name, storeRow, error)) return false;
  u = uRead;
  v = vRead;
  return true;
}

bool ReadFlowStream(std::FILE* stream, std::uint64_t streamSize, const std::string& name, ImageRef& flow,
                    std::string& error) {
  flow.Release();
  FlowHeader header;
  if (!ReadHeader(stream, streamSize, name, header, error)) return false;

  ImageRef flowRead = CreateFloat(header.width, header.height, 2);
  const auto storeRow = [&](int y, const unsigned char* bytes) {
    float* row = flowRead.Row<float>(y);
    for (int i = 0; i < 2 * header.width; ++i, bytes += kBytesPerValue) {
      StoreFloatBits(row + i, LoadLittle32(bytes));
    }
  };
  if (!ReadRows(stream, header, name, storeRow, error)) return false;
  flow = flowRead;
  return true;
}

bool ReadFlowFile(const std::string& fileName, ImageRef& u, ImageRef& v, std::string& error) {
  u.Release();
  v.Release();
  std::uint64_t size = 0;
  FileHandle file = OpenRegularFile(fileName, size, error);
  return file && ReadFlowStream(file.get(), size, fileName, u, v, error);
}

bool ReadFlowFile(const std::string& fileName, ImageRef& flow, std::string& error) {
  flow.Release();
  std::uint64_t size = 0;
  FileHandle file = OpenRegularFile(fileName, size, error);
  return file && ReadFlowStream(file.get(), size, fileName, flow, error);
}
