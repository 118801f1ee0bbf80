// Image files in and out: the common cases decoded and encoded here, the rest by OpenCV's
// image-file module, which is loaded only then (image/opencv_modules.h).
#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

// cv::imread(fileName, flags). PNG files of 8 or 16 bits per channel, grey, RGB or RGBA, without a
// transparency chunk, read with cv::IMREAD_UNCHANGED are decoded with libpng into the matrix
// OpenCV's decoder gives (BGR order, host-order 16-bit values, no gamma); every other file or
// flag goes to OpenCV. Empty when the file cannot be read.
cv::Mat ReadImageFile(const std::string& fileName, int flags);

// cv::imencode(extension, image, bytes). Binary PGM of an 8-bit grey image (".pgm") and binary
// PPM of an 8-bit BGR image (".ppm") are written here, byte for byte as OpenCV writes them, and so
// are PNG files of 8- or 16-bit grey, BGR or BGRA images (with libpng: the same pixels as OpenCV's
// PNG, in a slightly different deflate stream); everything else goes to OpenCV. False when no
// encoder takes the image.
bool EncodeImage(const std::string& extension, const cv::Mat& image, std::vector<unsigned char>& bytes);

// cv::imdecode(bytes, flags) and cv::haveImageReader(fileName), by OpenCV.
cv::Mat DecodeImage(const cv::Mat& bytes, int flags);
bool HaveImageReader(const std::string& fileName);
