#include "image/kitti_flow.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "image/flow_evaluation.h"
#include "image/flow_file.h"
#include "image/flow_reader.h"
#include "image/flow_test_files.h"

namespace {

using flow_test::MakeFlow;
using flow_test::ScratchDir;

// A PNG built byte by byte, without any PNG library, so that the reader's channel order is checked
// against the file's own order (R, G, B = u, v, valid) rather than against OpenCV's conventions.
// The image data is one stored (uncompressed) deflate block.
class HandMadePng {
 public:
  // `words` holds width · height · 3 16-bit samples, row by row, in file order.
  static std::vector<unsigned char> Rgb16(int width, int height, const std::vector<std::uint16_t>& words,
                                          int bitDepth = 16, int colourType = 2) {
    std::vector<unsigned char> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    std::vector<unsigned char> header;
    Big32(header, static_cast<std::uint32_t>(width));
    Big32(header, static_cast<std::uint32_t>(height));
    header.insert(header.end(), {static_cast<unsigned char>(bitDepth), static_cast<unsigned char>(colourType), 0, 0, 0});
    Chunk(png, "IHDR", header);

    std::vector<unsigned char> raw;
    std::size_t i = 0;
    for (int y = 0; y < height; ++y) {
      raw.push_back(0);  // filter: none
      for (int x = 0; x < 3 * width; ++x, ++i) {
        raw.push_back(static_cast<unsigned char>(words[i] >> 8));
        raw.push_back(static_cast<unsigned char>(words[i] & 0xff));
      }
    }
    std::vector<unsigned char> zlib = {0x78, 0x01, 0x01};  // zlib header, final stored block
    const auto length = static_cast<std::uint16_t>(raw.size());
    zlib.insert(zlib.end(), {static_cast<unsigned char>(length & 0xff), static_cast<unsigned char>(length >> 8),
                             static_cast<unsigned char>(~length & 0xff),
                             static_cast<unsigned char>((~length >> 8) & 0xff)});
    zlib.insert(zlib.end(), raw.begin(), raw.end());
    Big32(zlib, Adler32(raw));
    Chunk(png, "IDAT", zlib);
    Chunk(png, "IEND", {});
    return png;
  }

 private:
  static void Big32(std::vector<unsigned char>& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<unsigned char>(value >> shift));
  }
  static std::uint32_t Crc32(const std::vector<unsigned char>& bytes) {
    std::uint32_t crc = 0xffffffffu;
    for (const unsigned char byte : bytes) {
      crc ^= byte;
      for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return ~crc;
  }
  static std::uint32_t Adler32(const std::vector<unsigned char>& bytes) {
    std::uint32_t a = 1, b = 0;
    for (const unsigned char byte : bytes) {
      a = (a + byte) % 65521u;
      b = (b + a) % 65521u;
    }
    return (b << 16) | a;
  }
  static void Chunk(std::vector<unsigned char>& png, const char* type, const std::vector<unsigned char>& data) {
    Big32(png, static_cast<std::uint32_t>(data.size()));
    std::vector<unsigned char> typed(type, type + 4);
    typed.insert(typed.end(), data.begin(), data.end());
    png.insert(png.end(), typed.begin(), typed.end());
    Big32(png, Crc32(typed));
  }
};

TEST(KittiFlow, ReadsTheFileChannelsAsUThenVThenValid) {
  // Pixel 0: u = +1.5 (32768 + 96), v = -2 (32768 - 128), valid. Pixel 1: invalid, values ignored.
  // Pixel 2: u = 0, v = 1/64, valid marked 7 (any non-zero counts).
  const std::vector<std::uint16_t> words = {32864, 32640, 1, 40000, 1000, 0, 32768, 32769, 7};
  const std::vector<unsigned char> png = HandMadePng::Rgb16(3, 1, words);
  ImageRef u, v;
  std::string error;
  ASSERT_TRUE(DecodeKittiFlow(png.data(), png.size(), "hand.png", kUnknownFlowValue, u, v, error)) << error;
  ASSERT_EQ(u.Width(), 3);
  ASSERT_EQ(u.Height(), 1);
  EXPECT_EQ(u.Row<float>(0)[0], 1.5f);
  EXPECT_EQ(v.Row<float>(0)[0], -2.0f);
  EXPECT_EQ(u.Row<float>(0)[1], kUnknownFlowValue);
  EXPECT_EQ(v.Row<float>(0)[1], kUnknownFlowValue);
  EXPECT_EQ(u.Row<float>(0)[2], 0.0f);
  EXPECT_EQ(v.Row<float>(0)[2], 1.0f / 64.0f);
}

TEST(KittiFlow, FloThroughPngAndBackKeepsVectorsWithinOneStepAndInvalidPixels) {
  ScratchDir dir;
  constexpr int kWidth = 5;
  constexpr int kHeight = 4;
  std::vector<float> u(kWidth * kHeight), v(kWidth * kHeight);
  for (int i = 0; i < kWidth * kHeight; ++i) {
    u[i] = 0.37f * static_cast<float>(i) - 3.1f;
    v[i] = -0.73f * static_cast<float>(i) + 5.3f;
  }
  u[3] = kUnknownFlowValue;                                  // unknown in .flo
  v[7] = std::numeric_limits<float>::quiet_NaN();            // non-finite
  u[11] = std::numeric_limits<float>::infinity();
  u[14] = 700.0f;                                            // beyond the range: clamped
  v[15] = -600.0f;
  const std::string flo = dir.File("in.flo");
  ASSERT_TRUE(WriteFlowFile(MakeFlow(kWidth, kHeight, u, v), flo));
  ImageRef uIn, vIn, uBack, vBack;
  std::string error;
  ASSERT_TRUE(ReadFlowFile(flo, uIn, vIn, error)) << error;

  const std::string png = dir.File("flow.png");
  KittiWriteReport report;
  ASSERT_TRUE(WriteKittiFlowFile(uIn, vIn, png, report, error)) << error;
  EXPECT_EQ(report.invalid, 3);
  EXPECT_EQ(report.clamped, 2);

  bool wasKitti = false;
  ASSERT_TRUE(ReadAnyFlowFile(png, kUnknownFlowValue, uBack, vBack, wasKitti, error)) << error;
  EXPECT_TRUE(wasKitti);
  constexpr float kStep = 1.0f / 64.0f;
  for (int i = 0; i < kWidth * kHeight; ++i) {
    const float ub = uBack.Row<float>(i / kWidth)[i % kWidth];
    const float vb = vBack.Row<float>(i / kWidth)[i % kWidth];
    if (i == 3 || i == 7 || i == 11) {
      EXPECT_TRUE(IsUnknownFlow(ub, vb)) << i;
    } else if (i == 14) {
      EXPECT_EQ(ub, 32767.0f / 64.0f);
    } else if (i == 15) {
      EXPECT_EQ(vb, -512.0f);
    } else {
      EXPECT_LE(std::fabs(ub - u[i]), kStep / 2) << i;
      EXPECT_LE(std::fabs(vb - v[i]), kStep / 2) << i;
    }
  }
  // A .flo file is still recognised as one.
  ASSERT_TRUE(ReadAnyFlowFile(flo, kUnknownFlowValue, uBack, vBack, wasKitti, error)) << error;
  EXPECT_FALSE(wasKitti);
}

// The image data's zlib header made invalid; every chunk is still in place.
std::vector<unsigned char> Corrupted(std::vector<unsigned char> png) {
  constexpr std::size_t kImageDataStart = 8 + 25 + 8;  // signature, header chunk, IDAT length and type
  png[kImageDataStart] = 0xff;
  return png;
}

TEST(KittiFlow, BadFilesGiveAReasonAndNoImage) {
  const std::vector<std::uint16_t> words(2 * 2 * 3, 32768);
  const std::vector<unsigned char> good = HandMadePng::Rgb16(2, 2, words);
  struct Case {
    std::string what;
    std::vector<unsigned char> bytes;
    std::string reason;
  };
  std::vector<unsigned char> truncated(good.begin(), good.end() - 30);
  std::vector<unsigned char> absurd = good;
  absurd[16] = 0x00;  // width 2 -> 0x00400002: beyond any camera
  absurd[17] = 0x40;
  std::vector<unsigned char> large = good;
  large[18] = 0x40;  // width 0x4002: allowed side, but far more pixels than the bytes can hold
  const std::vector<Case> cases = {
      {"8-bit", HandMadePng::Rgb16(2, 2, std::vector<std::uint16_t>(4 * 3, 1), 8), "bit depth 8"},
      {"grey", HandMadePng::Rgb16(2, 2, std::vector<std::uint16_t>(4 * 3, 1), 16, 0), "colour type 0"},
      {"signature only", std::vector<unsigned char>(good.begin(), good.begin() + 8), "truncated PNG"},
      {"truncated", truncated, "truncated PNG"},
      {"corrupt data", Corrupted(good), "cannot be decoded"},
      {"absurd size", absurd, "invalid image size"},
      {"size beyond the data", large, "more than"},
      {"not PNG", {'P', 'I', 'E', 'H', 0, 0, 0, 0}, "no PNG signature"},
  };
  for (const Case& bad : cases) {
    ImageRef u = CreateFloat(1, 1, 1), v = CreateFloat(1, 1, 1);
    std::string error;
    EXPECT_FALSE(DecodeKittiFlow(bad.bytes.data(), bad.bytes.size(), "bad.png", 0.0f, u, v, error)) << bad.what;
    EXPECT_NE(error.find("bad.png: "), std::string::npos) << bad.what << ": " << error;
    EXPECT_NE(error.find(bad.reason), std::string::npos) << bad.what << ": " << error;
    EXPECT_TRUE(u.Empty() && v.Empty()) << bad.what;
  }
}

}  // namespace
