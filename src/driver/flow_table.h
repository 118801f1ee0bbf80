// Pairs the estimates of a result folder with the ground truth of another (or the same) folder,
// for scoring whole folders at once.
//
// An estimate is a file <stem>_morvi.flo. Its ground truth is the first of <stem>.flo, <stem>.png
// (a KITTI flow PNG, recognised by its header) and, for a stem frameNN, flowNN.flo; an occlusion
// mask GT_DIR/occlusions/<stem>.png is taken when present.
#pragma once

#include <string>
#include <vector>

struct FlowTablePair {
  std::string stem;
  std::string estimate;     // path of <stem>_morvi.flo
  std::string groundTruth;  // path of the ground truth, empty when there is none
  std::string occlusions;   // path of the occlusion mask, empty when there is none
};

struct FlowTablePlan {
  std::vector<FlowTablePair> pairs;                      // sorted by stem
  std::vector<std::string> groundTruthWithoutEstimate;  // paths, sorted, of ground truth whose stem has
                                                        // no estimate
};

// Lists both folders and pairs their files. False with `error` set when a folder cannot be listed.
bool PlanFlowTable(const std::string& groundTruthDir, const std::string& resultDir, FlowTablePlan& plan,
                   std::string& error);
