// Our PNG reader and PNM/PNG writers against OpenCV's codecs, and the program's start without
// OpenCV's image-file and video modules.
#include "image/image_codec.h"

#include <gtest/gtest.h>

#include <fstream>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "support/test_support.h"

namespace {

// Every channel of every pixel differs, over the whole range of the depth.
cv::Mat Pattern(int width, int height, int depth, int channels) {
  cv::Mat image(height, width, CV_MAKETYPE(depth, channels));
  cv::randu(image, 0, depth == CV_16U ? 65536 : 256);
  return image;
}

bool SameImage(const cv::Mat& a, const cv::Mat& b) {
  return a.type() == b.type() && a.size() == b.size() && (a.empty() || cv::norm(a, b, cv::NORM_INF) == 0.0);
}

}  // namespace

TEST(ImageCodec, PngFilesReadAsOpenCVReadsThem) {
  TempDir dir;
  cv::setRNGSeed(7);
  int index = 0;
  for (const int depth : {CV_8U, CV_16U}) {
    for (const int channels : {1, 3, 4}) {
      for (const cv::Size size : {cv::Size(37, 23), cv::Size(1, 50), cv::Size(64, 1)}) {
        const std::string name = dir / ("p" + std::to_string(index++) + ".png");
        const cv::Mat image = Pattern(size.width, size.height, depth, channels);
        ASSERT_TRUE(cv::imwrite(name, image));
        EXPECT_TRUE(SameImage(ReadImageFile(name, cv::IMREAD_UNCHANGED), image)) << name;
      }
    }
  }
  // Kinds left to OpenCV (palette, grey + alpha, a colour read) still come back as OpenCV gives them.
  const std::string grey = dir / "grey.png";
  ASSERT_TRUE(cv::imwrite(grey, Pattern(9, 7, CV_8U, 1)));
  EXPECT_TRUE(SameImage(ReadImageFile(grey, cv::IMREAD_COLOR), cv::imread(grey, cv::IMREAD_COLOR)));
  const std::string frame = DataPath("middlebury/RubberWhale/frame10.png");
  if (std::filesystem::exists(frame)) {
    EXPECT_TRUE(SameImage(ReadImageFile(frame, cv::IMREAD_UNCHANGED), cv::imread(frame, cv::IMREAD_UNCHANGED)));
  }
  // Files written by other programs, with gamma, colour-space, significant-bit and text chunks
  // (which neither decoder applies), palettes and grey + alpha.
  std::error_code missing;
  for (const auto& entry : std::filesystem::directory_iterator(MORVI_OPENCV_DATA, missing)) {
    if (entry.path().extension() != ".png") continue;
    const std::string name = entry.path().string();
    EXPECT_TRUE(SameImage(ReadImageFile(name, cv::IMREAD_UNCHANGED), cv::imread(name, cv::IMREAD_UNCHANGED))) << name;
  }

  // A file cut short in its pixels, or that is no image, reads as empty.
  const std::vector<unsigned char> whole = ReadBytes(dir / "p1.png");
  const std::string cut = dir / "cut.png";
  std::ofstream(cut, std::ios::binary).write(reinterpret_cast<const char*>(whole.data()), whole.size() / 2);
  EXPECT_TRUE(ReadImageFile(cut, cv::IMREAD_UNCHANGED).empty());
  const std::string text = dir / "text.png";
  std::ofstream(text) << "not an image";
  EXPECT_TRUE(ReadImageFile(text, cv::IMREAD_UNCHANGED).empty());
  EXPECT_TRUE(ReadImageFile(dir / "missing.png", cv::IMREAD_UNCHANGED).empty());
}

TEST(ImageCodec, PnmBytesAreOpenCVsAndPngDecodesToTheSamePixels) {
  cv::setRNGSeed(11);
  for (const auto& [extension, type] : {std::pair<std::string, int>{".ppm", CV_8UC3}, {".pgm", CV_8UC1}}) {
    const cv::Mat image = Pattern(13, 5, CV_MAT_DEPTH(type), CV_MAT_CN(type));
    std::vector<unsigned char> ours, theirs;
    ASSERT_TRUE(EncodeImage(extension, image, ours));
    ASSERT_TRUE(cv::imencode(extension, image, theirs));
    EXPECT_EQ(ours, theirs) << extension;
  }
  for (const int depth : {CV_8U, CV_16U}) {
    for (const int channels : {1, 3, 4}) {
      const cv::Mat image = Pattern(31, 17, depth, channels);
      std::vector<unsigned char> bytes;
      ASSERT_TRUE(EncodeImage(".png", image, bytes));
      EXPECT_TRUE(SameImage(cv::imdecode(bytes, cv::IMREAD_UNCHANGED), image)) << depth << " " << channels;
    }
  }
  // Other formats go to OpenCV.
  std::vector<unsigned char> bytes;
  ASSERT_TRUE(EncodeImage(".bmp", Pattern(6, 4, CV_8U, 3), bytes));
  EXPECT_EQ(cv::imdecode(bytes, cv::IMREAD_UNCHANGED).size(), cv::Size(6, 4));
}

TEST(ImageCodec, TheProgramRunsPngFramesWithoutOpenCVsImageFileAndVideoModules) {
  // Loading those modules takes longer than a small pair's whole estimate.
  TempDir dir;
  cv::setRNGSeed(3);
  cv::Mat frame = Pattern(24, 20, CV_8U, 3);
  cv::GaussianBlur(frame, frame, cv::Size(5, 5), 1.0);
  ASSERT_TRUE(cv::imwrite(dir / "f1.png", frame));
  ASSERT_TRUE(cv::imwrite(dir / "f2.png", frame));
  const CommandResult r = RunCommand("LD_DEBUG=files " + ShellQuote(MORVI_BINARY) + " --seed 1 --solver fast " +
                                     ShellQuote(dir.path().string()));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("libopencv_core"), std::string::npos);  // the loader's report is there
  EXPECT_EQ(r.err.find("libopencv_imgcodecs"), std::string::npos);
  EXPECT_EQ(r.err.find("libopencv_videoio"), std::string::npos);
  EXPECT_TRUE(std::filesystem::exists(dir / "f1_morviwarp.ppm"));
}
