// The confidence map's file: a 16-bit one-channel PNG, 0 = no trust, 65535 = full trust.
#pragma once

#include <string>

#include <opencv2/core.hpp>

// Reads a confidence PNG into a CV_32FC1 map in [0, 1] (value / 65535). The file must be a
// complete PNG (signature, header chunk, closing chunk at its end) of 16-bit grey samples;
// anything else (8-bit or colour pictures, other formats, a file cut short or damaged) gives false
// with a reason naming the file.
bool ReadConfidenceFile(const std::string& fileName, cv::Mat& confidence, std::string& error);
