#include "pipeline/pipeline_test_frames.h"

#include "image/flow_evaluation.h"
#include "image/flow_reader.h"
#include "support/test_support.h"

CroppedPair LoadCroppedPair(const std::string& sequence, const cv::Rect& area) {
  CroppedPair pair;
  const std::string dir = DataPath("middlebury/" + sequence);
  if (dir.empty()) return pair;
  const ImageRef first = LoadImage(dir + "/frame10.png", -1);
  const ImageRef second = LoadImage(dir + "/frame11.png", -1);
  if (first.Empty() || second.Empty()) return pair;
  pair.first = ImageRef(first.Mat()(area).clone());
  pair.second = ImageRef(second.Mat()(area).clone());
  ImageRef u, v;
  std::string error;
  if (ReadFlowFile(dir + "/flow10.flo", u, v, error)) {
    pair.uGt = ImageRef(u.Mat()(area).clone());
    pair.vGt = ImageRef(v.Mat()(area).clone());
  }
  return pair;
}

double MeanEndpointError(const ImageRef& u, const ImageRef& v, const ImageRef& uGt, const ImageRef& vGt) {
  FlowErrorStats stats;
  std::string error;
  if (!EvaluateFlow(uGt, vGt, u, v, stats, error)) return -1.0;
  return stats.epe;
}
