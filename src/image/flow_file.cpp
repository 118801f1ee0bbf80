#include "image/flow_file.h"

#include <cstdint>
#include <cstdio>
#include <string>

#include "image/atomic_file.h"
#include "image/flow_colour.h"

namespace {

constexpr char kFlowTag[4] = {'P', 'I', 'E', 'H'};  // reads as the float 202021.25
constexpr const char* kFlowExtension = ".flo";

// The writer's messages go to standard error; each ends its line so that later messages stay
// readable.
void Report(const std::string& message) {
  std::fprintf(stderr, "%s\n", message.c_str());
  std::fflush(stderr);
}

}  // namespace

bool WriteFlowFile(const ImageRef& flow, const std::string& fileName) {
  if (fileName.empty()) {
    Report("WriteFlowFile: empty filename");
    return false;
  }
  const size_t dot = fileName.rfind('.');
  if (dot == std::string::npos) {
    Report("WriteFlowFile: extension required in filename '" + fileName + "'");
    return false;
  }
  if (fileName.compare(dot, std::string::npos, kFlowExtension) != 0) {
    Report("WriteFlowFile: filename '" + fileName + "' should have extension '.flo'");
  }

  if (flow.Empty() || flow.Channels() != 2) Report("WriteFlowFile(" + fileName + "): image must have 2 bands");

  std::string error;
  if (!WriteFlowFile(flow, fileName, error)) {
    if (!error.empty()) Report(error);
    return false;
  }
  return true;
}

bool WriteFlowFile(const ImageRef& flow, const std::string& fileName, std::string& error) {
  const int32_t width = flow.Width();
  const int32_t height = flow.Height();
  const int bands = flow.Channels();

  const std::string temporaryName = TemporaryNameFor(fileName);
  FILE* stream = std::fopen(temporaryName.c_str(), "wb");
  if (stream == nullptr) {
    error = "WriteFlowFile: could not open " + fileName;
    return false;
  }

  bool complete = true;
  if (std::fwrite(kFlowTag, 1, 4, stream) != 4 || std::fwrite(&width, sizeof width, 1, stream) != 1 ||
      std::fwrite(&height, sizeof height, 1, stream) != 1) {
    error = "WriteFlowFile(" + fileName + "): problem writing header";
    complete = false;
  }
  // Rows are taken at their own stride, so padding at row ends is never written.
  const size_t rowFloats = static_cast<size_t>(bands) * static_cast<size_t>(width);
  for (int y = 0; y < height && complete; ++y) {
    if (std::fwrite(flow.Row<float>(y), sizeof(float), rowFloats, stream) != rowFloats) {
      error = "WriteFlowFile(" + fileName + "): problem writing data";
      complete = false;
    }
  }
  if (std::fclose(stream) != 0 && complete) {
    error = "WriteFlowFile(" + fileName + "): problem writing data";
    complete = false;
  }

  if (!complete) {
    DiscardTemporaryFile(temporaryName);
    return false;
  }
  if (!CommitTemporaryFile(temporaryName, fileName)) {
    error = "WriteFlowFile: could not open " + fileName;
    return false;
  }
  return true;
}

bool SaveFlowResult(const ImageRef& u, const ImageRef& v, const std::string& fileName, float maxMotion) {
  const int width = u.Width();
  const int height = u.Height();
  ImageRef flow = CreateFloat(width, height, 2);
  for (int y = 0; y < height; ++y) {
    const float* ur = u.Row<float>(y);
    const float* vr = v.Row<float>(y);
    float* out = flow.Row<float>(y);
    for (int x = 0; x < width; ++x) {
      out[2 * x] = ur[x];
      out[2 * x + 1] = vr[x];
    }
  }
  const bool flowWritten = WriteFlowFile(flow, fileName);

  // The picture sits beside the flow file: the name with its last four characters (".flo")
  // replaced by ".ppm".
  const std::string stem = fileName.size() >= 4 ? fileName.substr(0, fileName.size() - 4) : std::string();
  const std::string pictureName = stem + ".ppm";
  ImageRef picture = CreateByte(width, height, 3);
  FlowToColourImage(u, v, picture, maxMotion);
  const std::string temporaryName = TemporaryNameFor(pictureName);
  const bool pictureWritten =
      SaveImage(picture, temporaryName) && CommitTemporaryFile(temporaryName, pictureName);
  if (!pictureWritten) {
    DiscardTemporaryFile(temporaryName);
    Report("SaveFlowResult: could not write " + pictureName);
  }
  return flowWritten && pictureWritten;
}
