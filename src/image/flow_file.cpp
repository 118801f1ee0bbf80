#include "image/flow_file.h"

#include <cstdint>
#include <string>

#include "image/atomic_file.h"
#include "image/flow_colour.h"

namespace {

constexpr char kFlowTag[4] = {'P', 'I', 'E', 'H'};  // reads as the float 202021.25

}  // namespace

bool WriteFlowFile(const ImageRef& flow, const std::string& fileName, std::string& error) {
  const int32_t width = flow.Width();
  const int32_t height = flow.Height();
  const int bands = flow.Channels();

  AtomicFile file(fileName);
  bool complete = file.Write(kFlowTag, 4) && file.Write(&width, sizeof width) && file.Write(&height, sizeof height);
  // Rows are taken at their own stride, so padding at row ends is never written.
  const size_t rowBytes = sizeof(float) * static_cast<size_t>(bands) * static_cast<size_t>(width);
  for (int y = 0; y < height && complete; ++y) complete = file.Write(flow.Row<float>(y), rowBytes);
  if (complete && file.Commit()) return true;
  error = file.Error();
  return false;
}

bool WriteFlowFile(const ImageRef& flow, const std::string& fileName) {
  std::string ignored;
  return WriteFlowFile(flow, fileName, ignored);
}

bool SaveFlowResult(const ImageRef& u, const ImageRef& v, const std::string& fileName, float maxMotion,
                    std::vector<std::string>& errors) {
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
  std::string error;
  const bool flowWritten = WriteFlowFile(flow, fileName, error);
  if (!flowWritten) errors.push_back(error);

  // The picture sits beside the flow file: the name with its last four characters (".flo")
  // replaced by ".ppm".
  const std::string stem = fileName.size() >= 4 ? fileName.substr(0, fileName.size() - 4) : std::string();
  const std::string pictureName = stem + ".ppm";
  ImageRef picture = CreateByte(width, height, 3);
  FlowToColourImage(u, v, picture, maxMotion);
  const bool pictureWritten = SaveImage(picture, pictureName, error);
  if (!pictureWritten) errors.push_back(error);
  return flowWritten && pictureWritten;
}
