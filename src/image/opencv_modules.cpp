#include "image/opencv_modules.h"

#include <dlfcn.h>

#include <new>
#include <stdexcept>

#ifndef MORVI_OPENCV_IMGCODECS_LIBRARY
#define MORVI_OPENCV_IMGCODECS_LIBRARY "libopencv_imgcodecs.so.406"
#endif
#ifndef MORVI_OPENCV_VIDEOIO_LIBRARY
#define MORVI_OPENCV_VIDEOIO_LIBRARY "libopencv_videoio.so.406"
#endif
#ifndef MORVI_OPENCV_XIMGPROC_LIBRARY
#define MORVI_OPENCV_XIMGPROC_LIBRARY "libopencv_ximgproc.so.406"
#endif

namespace opencv_modules {
namespace {

// An opened shared library; never closed, as objects it made may outlive any scope of ours.
class Module {
 public:
  explicit Module(const char* library) : library_(library) {
    handle_ = dlopen(library, RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
      const char* cause = dlerror();
      throw std::runtime_error(std::string("cannot load OpenCV's ") + library + ": " +
                               (cause != nullptr ? cause : "unknown error"));
    }
  }

  // The entry point of a symbol (its mangled C++ name), as a pointer of type F.
  template <class F>
  F Entry(const char* symbol) const {
    dlerror();
    void* address = dlsym(handle_, symbol);
    if (address == nullptr) {
      throw std::runtime_error(std::string("OpenCV's ") + library_ + " lacks " + symbol);
    }
    return reinterpret_cast<F>(address);
  }

 private:
  const char* library_;
  void* handle_ = nullptr;
};

struct ImageFileEntries {
  cv::Mat (*imread)(const std::string&, int);
  cv::Mat (*imdecode)(const cv::_InputArray&, int);
  bool (*imencode)(const std::string&, const cv::_InputArray&, std::vector<unsigned char>&, const std::vector<int>&);
  bool (*haveImageReader)(const std::string&);
};

const ImageFileEntries& ImageFile() {
  static const ImageFileEntries entries = [] {
    const Module module(MORVI_OPENCV_IMGCODECS_LIBRARY);
    ImageFileEntries e{};
    e.imread = module.Entry<decltype(e.imread)>("_ZN2cv6imreadERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEEi");
    e.imdecode = module.Entry<decltype(e.imdecode)>("_ZN2cv8imdecodeERKNS_11_InputArrayEi");
    e.imencode = module.Entry<decltype(e.imencode)>(
        "_ZN2cv8imencodeERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEERKNS_11_InputArrayERSt6vectorIhSaIhEERKSB_"
        "IiSaIiEE");
    e.haveImageReader = module.Entry<decltype(e.haveImageReader)>(
        "_ZN2cv15haveImageReaderERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEE");
    return e;
  }();
  return entries;
}

// Complete-object constructors, called with the object's address as on any member function.
struct VideoEntries {
  void (*newCapture)(cv::VideoCapture*);
  void (*newWriter)(cv::VideoWriter*);
  bool (*openWriter)(cv::VideoWriter*, const std::string&, int, int, double, cv::Size, bool);
};

const VideoEntries& Video() {
  static const VideoEntries entries = [] {
    const Module module(MORVI_OPENCV_VIDEOIO_LIBRARY);
    VideoEntries e{};
    e.newCapture = module.Entry<decltype(e.newCapture)>("_ZN2cv12VideoCaptureC1Ev");
    e.newWriter = module.Entry<decltype(e.newWriter)>("_ZN2cv11VideoWriterC1Ev");
    e.openWriter = module.Entry<decltype(e.openWriter)>(
        "_ZN2cv11VideoWriter4openERKNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEEiidNS_5Size_IiEEb");
    return e;
  }();
  return entries;
}

using InterpolatorFactory = cv::Ptr<cv::ximgproc::EdgeAwareInterpolator> (*)();

InterpolatorFactory EdgeAwareFactory() {
  static const InterpolatorFactory factory = [] {
    const Module module(MORVI_OPENCV_XIMGPROC_LIBRARY);
    return module.Entry<InterpolatorFactory>("_ZN2cv8ximgproc27createEdgeAwareInterpolatorEv");
  }();
  return factory;
}

// Storage for T, constructed by the module's constructor; freed again if that throws.
template <class T>
T* ConstructInModule(void (*constructor)(T*)) {
  void* memory = ::operator new(sizeof(T));
  try {
    constructor(static_cast<T*>(memory));
  } catch (...) {
    ::operator delete(memory);
    throw;
  }
  return static_cast<T*>(memory);
}

}  // namespace

cv::Mat ImRead(const std::string& fileName, int flags) { return ImageFile().imread(fileName, flags); }

cv::Mat ImDecode(const cv::Mat& bytes, int flags) { return ImageFile().imdecode(bytes, flags); }

bool ImEncode(const std::string& extension, const cv::Mat& image, std::vector<unsigned char>& bytes) {
  return ImageFile().imencode(extension, image, bytes, std::vector<int>());
}

bool HaveImageReader(const std::string& fileName) { return ImageFile().haveImageReader(fileName); }

// The destructors are virtual: these calls run the module's own.
void VideoCaptureDeleter::operator()(cv::VideoCapture* capture) const {
  capture->~VideoCapture();
  ::operator delete(capture);
}

void VideoWriterDeleter::operator()(cv::VideoWriter* writer) const {
  writer->~VideoWriter();
  ::operator delete(writer);
}

VideoCapturePtr NewVideoCapture() { return VideoCapturePtr(ConstructInModule(Video().newCapture)); }

VideoWriterPtr NewVideoWriter() { return VideoWriterPtr(ConstructInModule(Video().newWriter)); }

bool OpenVideoWriter(cv::VideoWriter& writer, const std::string& fileName, int apiPreference, int fourcc, double fps,
                     cv::Size frameSize, bool isColor) {
  return Video().openWriter(&writer, fileName, apiPreference, fourcc, fps, frameSize, isColor);
}

cv::Ptr<cv::ximgproc::EdgeAwareInterpolator> CreateEdgeAwareInterpolator() { return EdgeAwareFactory()(); }

void PreloadEdgeAwareInterpolator() {
  try {
    EdgeAwareFactory();
  } catch (const std::exception&) {
    // reported by the call that needs the module
  }
}

}  // namespace opencv_modules
