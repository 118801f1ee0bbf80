#include "driver/flow_table.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <set>
#include <system_error>

#include "image/kitti_flow.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kEstimateSuffix = "_morvi.flo";
constexpr const char* kFramePrefix = "frame";  // Middlebury: frameNN.png pairs with flowNN.flo
constexpr const char* kFlowPrefix = "flow";
constexpr const char* kOcclusionFolder = "occlusions";

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

bool IsRegularFile(const fs::path& path) {
  std::error_code ignored;
  return fs::is_regular_file(path, ignored);
}

// The regular files of a folder, by name; false with `error` set when it cannot be listed.
bool ListFiles(const std::string& folder, std::vector<std::string>& names, std::string& error) {
  std::error_code status;
  fs::directory_iterator entries(folder, status);
  if (status) {
    error = folder + ": cannot list the folder (" + status.message() + ")";
    return false;
  }
  for (const fs::directory_entry& entry : entries) {
    std::error_code ignored;
    if (entry.is_regular_file(ignored)) names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return true;
}

bool IsGroundTruthCandidate(const fs::path& path) {
  const std::string name = path.filename().string();
  if (name.empty() || name[0] == '.' || EndsWith(name, kEstimateSuffix)) return false;
  if (EndsWith(name, ".flo")) return true;
  return EndsWith(name, ".png") && LooksLikeKittiFlowFile(path.string());
}

// The ground truth for a stem, or empty.
std::string FindGroundTruth(const fs::path& folder, const std::string& stem) {
  const fs::path flo = folder / (stem + ".flo");
  if (IsRegularFile(flo)) return flo.string();
  const fs::path png = folder / (stem + ".png");
  if (IsRegularFile(png) && LooksLikeKittiFlowFile(png.string())) return png.string();
  const std::string prefix = kFramePrefix;
  const std::string number = stem.size() > prefix.size() && stem.compare(0, prefix.size(), prefix) == 0
                                 ? stem.substr(prefix.size())
                                 : std::string();
  const bool digits = !number.empty() && std::all_of(number.begin(), number.end(), [](char c) {
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
  });
  if (digits) {
    const fs::path middlebury = folder / (kFlowPrefix + number + ".flo");
    if (IsRegularFile(middlebury)) return middlebury.string();
  }
  return "";
}

}  // namespace

bool PlanFlowTable(const std::string& groundTruthDir, const std::string& resultDir, FlowTablePlan& plan,
                   std::string& error) {
  plan = FlowTablePlan();
  std::vector<std::string> results;
  std::vector<std::string> truths;
  if (!ListFiles(resultDir, results, error) || !ListFiles(groundTruthDir, truths, error)) return false;

  const std::string suffix = kEstimateSuffix;
  std::set<std::string> stems;
  for (const std::string& name : results) {
    if (name.size() <= suffix.size() || name[0] == '.' || !EndsWith(name, suffix)) continue;
    FlowTablePair pair;
    pair.stem = name.substr(0, name.size() - suffix.size());
    pair.estimate = (fs::path(resultDir) / name).string();
    pair.groundTruth = FindGroundTruth(groundTruthDir, pair.stem);
    stems.insert(pair.stem);
    if (!pair.groundTruth.empty()) {
      const fs::path mask = fs::path(groundTruthDir) / kOcclusionFolder / (pair.stem + ".png");
      if (IsRegularFile(mask)) pair.occlusions = mask.string();
    }
    plan.pairs.push_back(pair);
  }
  // A ground-truth file is missed when no estimate has its stem (for flowNN.flo, neither flowNN
  // nor frameNN).
  const std::string flowPrefix = kFlowPrefix;
  for (const std::string& name : truths) {
    const fs::path path = fs::path(groundTruthDir) / name;
    const std::string stem = path.stem().string();
    const bool middlebury = stem.compare(0, flowPrefix.size(), flowPrefix) == 0;
    const bool estimated =
        stems.count(stem) > 0 || (middlebury && stems.count(kFramePrefix + stem.substr(flowPrefix.size())) > 0);
    if (!estimated && IsGroundTruthCandidate(path)) {
      plan.groundTruthWithoutEstimate.push_back(path.string());
    }
  }
  return true;
}
