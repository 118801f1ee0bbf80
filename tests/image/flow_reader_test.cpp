#include "image/flow_reader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "image/flow_file.h"
#include "image/flow_test_files.h"

namespace {

using flow_test::BitsFloat;
using flow_test::FloatBits;
using flow_test::FloBytes;
using flow_test::ScratchDir;
using flow_test::WriteBytes;

// Reads `fileName`, expects a failure whose message names the file and contains `reason`, and
// checks that handles holding images before the call come back empty (no partial result).
void ExpectReadFails(const std::string& fileName, const std::string& reason) {
  ImageRef u = CreateFloat(2, 2, 1);
  ImageRef v = CreateFloat(2, 2, 1);
  std::string error;
  EXPECT_FALSE(ReadFlowFile(fileName, u, v, error));
  EXPECT_NE(error.find(fileName), std::string::npos) << error;
  EXPECT_NE(error.find(reason), std::string::npos) << error;
  EXPECT_TRUE(u.Empty());
  EXPECT_TRUE(v.Empty());

  ImageRef flow = CreateFloat(2, 2, 2);
  std::string flowError;
  EXPECT_FALSE(ReadFlowFile(fileName, flow, flowError));
  EXPECT_EQ(flowError, error);
  EXPECT_TRUE(flow.Empty());
}

TEST(ReadFlowFile, ReadsTheTwoByOneExampleBytes) {
  ScratchDir dir;
  const std::string name = dir.File("example.flo");
  const std::vector<unsigned char> bytes = FloBytes(2, 1, {1.0f, 0.25f, -0.5f, 2.0f});
  ASSERT_EQ(bytes.size(), 28u);
  WriteBytes(name, bytes);

  ImageRef u, v;
  std::string error;
  ASSERT_TRUE(ReadFlowFile(name, u, v, error)) << error;
  EXPECT_TRUE(error.empty());
  ASSERT_EQ(u.Width(), 2);
  ASSERT_EQ(u.Height(), 1);
  EXPECT_EQ(u.Depth(), CV_32F);
  EXPECT_EQ(u.Channels(), 1);
  EXPECT_EQ(u.Row<float>(0)[0], 1.0f);
  EXPECT_EQ(v.Row<float>(0)[0], 0.25f);
  EXPECT_EQ(u.Row<float>(0)[1], -0.5f);
  EXPECT_EQ(v.Row<float>(0)[1], 2.0f);

  ImageRef flow;
  ASSERT_TRUE(ReadFlowFile(name, flow, error)) << error;
  ASSERT_EQ(flow.Channels(), 2);
  const float* row = flow.Row<float>(0);
  EXPECT_EQ(row[0], 1.0f);
  EXPECT_EQ(row[1], 0.25f);
  EXPECT_EQ(row[2], -0.5f);
  EXPECT_EQ(row[3], 2.0f);
}

TEST(ReadFlowFile, RoundTripWithTheWriterKeepsEveryBitPattern) {
  constexpr int kWidth = 4;
  constexpr int kHeight = 3;
  const float inf = std::numeric_limits<float>::infinity();
  // Quiet NaN with a payload, signalling NaN, negative NaN, infinities, signed zero, a subnormal,
  // the unknown-flow marker and ordinary values.
  const std::vector<std::uint32_t> specialBits = {0x7fc12345u, 0x7f800001u, 0xffc00000u, 0x80000000u,
                                                   0x00000001u, FloatBits(1e10f), FloatBits(inf),
                                                   FloatBits(-inf)};
  std::vector<float> u(kWidth * kHeight);
  std::vector<float> v(kWidth * kHeight);
  for (int i = 0; i < kWidth * kHeight; ++i) {
    u[i] = BitsFloat(specialBits[i % specialBits.size()]);
    v[i] = 0.125f * static_cast<float>(i) - 0.7f;
  }
  ScratchDir dir;
  const std::string name = dir.File("round_trip.flo");
  const ImageRef written = flow_test::MakeFlow(kWidth, kHeight, u, v);
  ASSERT_TRUE(WriteFlowFile(written, name));

  ImageRef uRead, vRead, flowRead;
  std::string error;
  ASSERT_TRUE(ReadFlowFile(name, uRead, vRead, error)) << error;
  ASSERT_TRUE(ReadFlowFile(name, flowRead, error)) << error;
  ASSERT_EQ(uRead.Width(), kWidth);
  ASSERT_EQ(uRead.Height(), kHeight);
  ASSERT_EQ(flowRead.Width(), kWidth);
  ASSERT_EQ(flowRead.Height(), kHeight);
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      const int i = y * kWidth + x;
      EXPECT_EQ(FloatBits(uRead.Row<float>(y)[x]), FloatBits(u[i])) << "u at " << x << "," << y;
      EXPECT_EQ(FloatBits(vRead.Row<float>(y)[x]), FloatBits(v[i])) << "v at " << x << "," << y;
      EXPECT_EQ(FloatBits(flowRead.Row<float>(y)[2 * x]), FloatBits(u[i]));
      EXPECT_EQ(FloatBits(flowRead.Row<float>(y)[2 * x + 1]), FloatBits(v[i]));
    }
  }
}

TEST(ReadFlowFile, MissingFileAndDirectoryAreErrors) {
  ScratchDir dir;
  ExpectReadFails(dir.File("absent.flo"), "cannot open");
  ExpectReadFails(dir.Path(), "is a directory");

  ImageRef u, v;
  std::string error;
  EXPECT_FALSE(ReadFlowFile("", u, v, error));
  EXPECT_NE(error.find("empty file name"), std::string::npos) << error;
}

TEST(ReadFlowFile, ShortOrMistaggedHeaderIsAnError) {
  ScratchDir dir;
  const std::string empty = dir.File("empty.flo");
  WriteBytes(empty, {});
  ExpectReadFails(empty, "too short");

  const std::string shortHeader = dir.File("short_header.flo");
  std::vector<unsigned char> bytes = FloBytes(1, 1, {});
  bytes.pop_back();
  WriteBytes(shortHeader, bytes);
  ExpectReadFails(shortHeader, "too short");

  const std::string wrongTag = dir.File("wrong_tag.flo");
  WriteBytes(wrongTag, FloBytes(1, 1, {0.0f, 0.0f}, "PIEG"));
  ExpectReadFails(wrongTag, "not a .flo file (tag \"PIEG\"");

  // A big-endian writer's or an image file's first bytes are named byte for byte.
  const std::string binaryTag = dir.File("binary_tag.flo");
  WriteBytes(binaryTag, FloBytes(1, 1, {0.0f, 0.0f}, "\x89PNG"));
  ExpectReadFails(binaryTag, "tag \"\\x89PNG\"");
}

TEST(ReadFlowFile, NonPositiveSizesAreErrors) {
  ScratchDir dir;
  const std::string name = dir.File("bad_size.flo");
  WriteBytes(name, FloBytes(-3, 2, std::vector<float>(12, 0.0f)));
  ExpectReadFails(name, "invalid flow size -3 x 2");
  WriteBytes(name, FloBytes(4, 0, {}));
  ExpectReadFails(name, "invalid flow size 4 x 0");
  WriteBytes(name, FloBytes(std::numeric_limits<std::int32_t>::min(), -1, {}));
  ExpectReadFails(name, "invalid flow size -2147483648 x -1");
}

// Headers claiming more pixels than the file holds must fail on the size check, before any image
// is allocated: allocating 2^30 x 2^30 pixels would throw (or abort under the address sanitizer)
// instead of returning this error.
TEST(ReadFlowFile, AbsurdSizesFailBeforeAllocating) {
  ScratchDir dir;
  const std::string name = dir.File("absurd.flo");
  WriteBytes(name, FloBytes(1 << 30, 1 << 30, {}));
  ExpectReadFails(name, "truncated: the header gives 1073741824 x 1073741824 pixels, which needs "
                        "9223372036854775820 bytes, but the file holds 12 bytes");

  // 8 · w · h does not even fit in 64 bits here; the check must not wrap around.
  const std::int32_t maxInt = std::numeric_limits<std::int32_t>::max();
  WriteBytes(name, FloBytes(maxInt, maxInt, std::vector<float>(2, 0.0f)));
  ExpectReadFails(name, "needs more than 2^64 bytes, but the file holds 20 bytes");

  WriteBytes(name, FloBytes(1 << 30, 1, std::vector<float>(2, 0.0f)));
  ExpectReadFails(name, "truncated");
}

TEST(ReadFlowFile, PayloadMustMatchTheHeaderExactly) {
  ScratchDir dir;
  const std::string name = dir.File("payload.flo");
  std::vector<unsigned char> bytes = FloBytes(3, 2, std::vector<float>(12, 1.5f));
  ASSERT_EQ(bytes.size(), 12u + 8u * 6u);

  std::vector<unsigned char> truncated(bytes.begin(), bytes.end() - 1);
  WriteBytes(name, truncated);
  ExpectReadFails(name, "truncated: the header gives 3 x 2 pixels, which needs 60 bytes, but the file holds 59");

  std::vector<unsigned char> missingRow(bytes.begin(), bytes.end() - 24);
  WriteBytes(name, missingRow);
  ExpectReadFails(name, "truncated");

  std::vector<unsigned char> trailing = bytes;
  trailing.push_back(0);
  WriteBytes(name, trailing);
  ExpectReadFails(name, "unexpected trailing data");

  WriteBytes(name, bytes);
  ImageRef u, v;
  std::string error;
  EXPECT_TRUE(ReadFlowFile(name, u, v, error)) << error;
}

// The stream decoder relies on the size it is given: bytes beyond that size mean the source
// changed under the reader, and a stream shorter than announced ends in a read error.
TEST(ReadFlowStream, StreamNotMatchingItsAnnouncedSizeIsAnError) {
  const std::vector<unsigned char> bytes = FloBytes(2, 1, {1.0f, 2.0f, 3.0f, 4.0f});
  std::FILE* stream = std::tmpfile();
  ASSERT_NE(stream, nullptr);
  std::fwrite(bytes.data(), 1, bytes.size(), stream);
  std::fputc(0, stream);  // one byte more than the header accounts for

  std::rewind(stream);
  ImageRef u, v;
  std::string error;
  EXPECT_FALSE(ReadFlowStream(stream, bytes.size(), "grown", u, v, error));
  EXPECT_NE(error.find("grown: the file changed while it was read"), std::string::npos) << error;
  EXPECT_TRUE(u.Empty());

  // Announce one pixel more than the stream holds: the header matches, the rows run out.
  std::vector<unsigned char> shortBytes = FloBytes(3, 1, {1.0f, 2.0f, 3.0f, 4.0f});
  std::FILE* shortStream = std::tmpfile();
  ASSERT_NE(shortStream, nullptr);
  std::fwrite(shortBytes.data(), 1, shortBytes.size(), shortStream);
  std::rewind(shortStream);
  ImageRef flow;
  EXPECT_FALSE(ReadFlowStream(shortStream, shortBytes.size() + 8, "shrunk", flow, error));
  EXPECT_NE(error.find("shrunk: read error in row 0"), std::string::npos) << error;
  EXPECT_TRUE(flow.Empty());
  std::fclose(stream);
  std::fclose(shortStream);
}

TEST(ReadFlowFile, ReadsEveryGroundTruthFileOfTheData) {
  if (!flow_test::HaveData()) GTEST_SKIP() << "no ground-truth data";
  for (const auto& file : flow_test::GroundTruthFiles()) {
    ImageRef u, v;
    std::string error;
    ASSERT_TRUE(ReadFlowFile(flow_test::DataDir() + "/" + file.path, u, v, error)) << error;
    EXPECT_EQ(u.Width(), file.width) << file.path;
    EXPECT_EQ(u.Height(), file.height) << file.path;
    EXPECT_EQ(v.Width(), file.width) << file.path;
    EXPECT_EQ(v.Height(), file.height) << file.path;
  }
}

}  // namespace
