#include "image/image_codec.h"

#include <png.h>
#include <zlib.h>

#include <csetjmp>
#include <cstdio>
#include <cstring>

#include <opencv2/imgcodecs.hpp>

#include "image/opencv_modules.h"

namespace {

constexpr int kPngSignatureBytes = 8;
// PNG samples of 16 bits are big-endian; cv::Mat holds them in the host's order.
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
constexpr bool kSwapSixteenBits = false;
#else
constexpr bool kSwapSixteenBits = true;
#endif
// Larger images are left to OpenCV, which applies its own limit.
constexpr double kMaxPngPixels = 1 << 30;

// One PNG being read with libpng. The two steps that libpng may abandon by longjmp hold no
// object with a destructor; the guard below them releases everything.
struct PngRead {
  std::FILE* file = nullptr;
  png_structp png = nullptr;
  png_infop info = nullptr;
  png_uint_32 width = 0;
  png_uint_32 height = 0;
  int bitDepth = 0;
  int colourType = 0;
  bool transparency = false;
};

class PngReadGuard {
 public:
  explicit PngReadGuard(PngRead& read) : read_(read) {}
  ~PngReadGuard() {
    if (read_.png != nullptr) png_destroy_read_struct(&read_.png, read_.info != nullptr ? &read_.info : nullptr, nullptr);
    if (read_.file != nullptr) std::fclose(read_.file);
  }
  PngReadGuard(const PngReadGuard&) = delete;
  PngReadGuard& operator=(const PngReadGuard&) = delete;

 private:
  PngRead& read_;
};

// Warnings (an odd colour profile, say) are not the user's concern: OpenCV decodes such files too.
// Errors end the step quietly; the caller reports the file.
void IgnorePngWarning(png_structp, png_const_charp) {}
[[noreturn]] void AbandonPng(png_structp png, png_const_charp) { png_longjmp(png, 1); }

// Reads the header after the signature; false when libpng rejects it.
bool ReadPngHeader(PngRead& read) {
  read.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, AbandonPng, IgnorePngWarning);
  if (read.png == nullptr) return false;
  read.info = png_create_info_struct(read.png);
  if (read.info == nullptr) return false;
  if (setjmp(png_jmpbuf(read.png))) return false;
  png_init_io(read.png, read.file);
  png_set_sig_bytes(read.png, kPngSignatureBytes);
  png_read_info(read.png, read.info);
  int interlace = 0;
  png_get_IHDR(read.png, read.info, &read.width, &read.height, &read.bitDepth, &read.colourType, &interlace, nullptr,
               nullptr);
  read.transparency = png_get_valid(read.png, read.info, PNG_INFO_tRNS) != 0;
  return true;
}

// Decodes the pixels into `rows` (one pointer per row, each row wide enough), to the end chunk.
bool ReadPngPixels(PngRead& read, png_bytep* rows) {
  if (setjmp(png_jmpbuf(read.png))) return false;
  if (read.bitDepth == 16 && kSwapSixteenBits) png_set_swap(read.png);
  if (read.colourType & PNG_COLOR_MASK_COLOR) png_set_bgr(read.png);
  png_set_interlace_handling(read.png);
  png_read_update_info(read.png, read.info);
  png_read_image(read.png, rows);
  png_read_end(read.png, nullptr);
  return true;
}

// Whether our decoder gives exactly OpenCV's matrix for this header.
bool DecodedHere(const PngRead& read) {
  const bool depth = read.bitDepth == 8 || read.bitDepth == 16;
  const bool colour = read.colourType == PNG_COLOR_TYPE_GRAY || read.colourType == PNG_COLOR_TYPE_RGB ||
                      read.colourType == PNG_COLOR_TYPE_RGB_ALPHA;
  return depth && colour && !read.transparency && read.width > 0 && read.height > 0 &&
         static_cast<double>(read.width) * read.height <= kMaxPngPixels;
}

// The PNG decoded here, `handled` false when the file is no PNG of a kind decoded here (and
// exists).
cv::Mat ReadPng(const std::string& fileName, bool& handled) {
  handled = false;
  PngRead read;
  PngReadGuard guard(read);
  read.file = std::fopen(fileName.c_str(), "rb");
  if (read.file == nullptr) {
    handled = true;  // nothing to read, for any decoder
    return cv::Mat();
  }
  png_byte signature[kPngSignatureBytes];
  if (std::fread(signature, 1, sizeof signature, read.file) != sizeof signature ||
      png_sig_cmp(signature, 0, sizeof signature) != 0) {
    return cv::Mat();
  }
  if (!ReadPngHeader(read) || !DecodedHere(read)) return cv::Mat();  // OpenCV decides
  handled = true;
  const int channels = read.colourType == PNG_COLOR_TYPE_GRAY ? 1 : read.colourType == PNG_COLOR_TYPE_RGB ? 3 : 4;
  cv::Mat image(static_cast<int>(read.height), static_cast<int>(read.width),
                CV_MAKETYPE(read.bitDepth == 16 ? CV_16U : CV_8U, channels));
  std::vector<png_bytep> rows(image.rows);
  for (int y = 0; y < image.rows; ++y) rows[y] = image.ptr(y);
  if (!ReadPngPixels(read, rows.data())) return cv::Mat();
  return image;
}

// Appends libpng's output to the vector behind the write pointer.
void AppendPngBytes(png_structp png, png_bytep data, png_size_t size) {
  auto* bytes = static_cast<std::vector<unsigned char>*>(png_get_io_ptr(png));
  try {
    bytes->insert(bytes->end(), data, data + size);
  } catch (const std::exception&) {
    png_error(png, "out of memory");
  }
}

void FlushNothing(png_structp) {}

// Encodes the rows into `bytes`: a fast deflate (level 1, run lengths) of rows filtered by their
// left neighbour, which suits flow pictures and confidence maps. False when libpng fails.
bool WritePng(png_structp png, png_infop info, const cv::Mat& image, png_bytep* rows, std::vector<unsigned char>& bytes) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_set_write_fn(png, &bytes, AppendPngBytes, FlushNothing);
  png_set_compression_level(png, 1);
  png_set_compression_strategy(png, Z_RLE);
  png_set_compression_mem_level(png, MAX_MEM_LEVEL);
  png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB);
  const int colourType = image.channels() == 1   ? PNG_COLOR_TYPE_GRAY
                         : image.channels() == 3 ? PNG_COLOR_TYPE_RGB
                                                 : PNG_COLOR_TYPE_RGB_ALPHA;
  png_set_IHDR(png, info, static_cast<png_uint_32>(image.cols), static_cast<png_uint_32>(image.rows),
               image.depth() == CV_16U ? 16 : 8, colourType, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_BASE,
               PNG_FILTER_TYPE_BASE);
  png_write_info(png, info);
  if (image.depth() == CV_16U && kSwapSixteenBits) png_set_swap(png);
  if (image.channels() > 1) png_set_bgr(png);
  png_write_image(png, rows);
  png_write_end(png, info);
  return true;
}

bool EncodePng(const cv::Mat& image, std::vector<unsigned char>& bytes) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, AbandonPng, IgnorePngWarning);
  if (png == nullptr) return false;
  png_infop info = png_create_info_struct(png);
  std::vector<png_bytep> rows(image.rows);
  for (int y = 0; y < image.rows; ++y) rows[y] = const_cast<png_bytep>(image.ptr(y));
  bytes.clear();
  const bool written = info != nullptr && WritePng(png, info, image, rows.data(), bytes);
  png_destroy_write_struct(&png, info != nullptr ? &info : nullptr);
  return written;
}

// Binary PNM as OpenCV writes it: "P5" or "P6", width and height, 255, then RGB samples.
void EncodePnm(const cv::Mat& image, std::vector<unsigned char>& bytes) {
  const bool colour = image.channels() == 3;
  const std::string header = std::string(colour ? "P6" : "P5") + "\n" + std::to_string(image.cols) + " " +
                             std::to_string(image.rows) + "\n255\n";
  const size_t rowBytes = static_cast<size_t>(image.cols) * image.channels();
  bytes.assign(header.begin(), header.end());
  bytes.resize(header.size() + rowBytes * image.rows);
  unsigned char* out = bytes.data() + header.size();
  for (int y = 0; y < image.rows; ++y, out += rowBytes) {
    const unsigned char* row = image.ptr<unsigned char>(y);
    if (!colour) {
      std::memcpy(out, row, rowBytes);
      continue;
    }
    for (size_t i = 0; i < rowBytes; i += 3) {
      out[i] = row[i + 2];
      out[i + 1] = row[i + 1];
      out[i + 2] = row[i];
    }
  }
}

}  // namespace

cv::Mat ReadImageFile(const std::string& fileName, int flags) {
  if (flags == cv::IMREAD_UNCHANGED) {
    bool handled = false;
    cv::Mat image = ReadPng(fileName, handled);
    if (handled) return image;
  }
  return opencv_modules::ImRead(fileName, flags);
}

bool EncodeImage(const std::string& extension, const cv::Mat& image, std::vector<unsigned char>& bytes) {
  const bool grey = extension == ".pgm" && image.type() == CV_8UC1;
  const bool colour = extension == ".ppm" && image.type() == CV_8UC3;
  if ((grey || colour) && !image.empty()) {
    EncodePnm(image, bytes);
    return true;
  }
  const int channels = image.channels();
  if (extension == ".png" && !image.empty() && (image.depth() == CV_8U || image.depth() == CV_16U) &&
      (channels == 1 || channels == 3 || channels == 4)) {
    return EncodePng(image, bytes);
  }
  return opencv_modules::ImEncode(extension, image, bytes);
}

cv::Mat DecodeImage(const cv::Mat& bytes, int flags) { return opencv_modules::ImDecode(bytes, flags); }

bool HaveImageReader(const std::string& fileName) { return opencv_modules::HaveImageReader(fileName); }
