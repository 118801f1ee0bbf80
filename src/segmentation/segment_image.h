// Mean-shift colour segmentation of one 8-bit frame into a dense label image and segment records.
#pragma once

#include <string>

#include "image/image_ref.h"
#include "segmentation/seg_patch.h"

// How much the mean-shift filter shortcuts its trajectories: kTrajectories hands a trajectory's mode
// to the pixels it passes (the reference segmentation); kNeighbours also to the pixels of similar
// colour around its positions, about 3.4 times quicker for segments of the same use to the flow
// (the fast solver's choice).
enum class FilterSpeedUp { kTrajectories = 1, kNeighbours = 2 };

// frame: 8-bit, 3 channels (BGR) or 1 channel. An error of the mean-shift processor (a bandwidth
// <= 0, an empty frame) throws std::runtime_error with its message. labels receives a new 32-bit
// signed label image with
// labels 0 .. n-1 in the raster order of each segment's first pixel; segments is refilled. The
// per-pixel conversions and the mean-shift filter run on `threads` threads. The filter's
// trajectory shortcuts make a pixel's mode depend on the pixels visited before it, so they act
// only within fixed bands of rows, which the threads take in any order. The result is the same
// for every count.
void SegmentImage(const ImageRef& frame, ImageRef& labels, SegPatchList& segments, int minRegion, int sigmaS,
                  float sigmaR, int threads = 1, FilterSpeedUp speedUp = FilterSpeedUp::kTrajectories);

// The same, reporting the mean-shift processor's error: on success it returns true and leaves
// errorMessage empty; on an error (for example a bandwidth <= 0 or an empty frame) it returns false
// with the processor's message, labels empty and segments without records.
bool SegmentImage(const ImageRef& frame, ImageRef& labels, SegPatchList& segments, int minRegion, int sigmaS,
                  float sigmaR, std::string& errorMessage, int threads = 1,
                  FilterSpeedUp speedUp = FilterSpeedUp::kTrajectories);
