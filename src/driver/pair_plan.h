// Which pairs of a sequence a run estimates: its shard's block, less the pairs whose outputs are
// already complete when resuming.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// The half-open range [begin, end) of pair indices (pair i joins frames i and i + 1).
struct PairBlock {
  size_t begin = 0;
  size_t end = 0;
};

// Block `index` of `count` contiguous blocks of `pairs` pairs, sizes differing by at most one.
PairBlock ShardBlock(size_t pairs, int index, int count);

// The file format of the flow picture and the warped frame: binary netpbm (PPM, or PGM for a grey
// warp) or PNG.
enum class PictureFormat { kPpm, kPng };

// The three files a pair writes, and the occlusion mask and the confidence map on request.
struct PairOutputs {
  std::string flow;     // <stem>_morvi.flo
  std::string picture;  // <stem>_morvi.ppm, or .png
  std::string warp;     // <stem>_morviwarp.ppm (.pgm for grey frames), or .png
  std::string occlusions;  // <stem>_morviocc.pgm when asked for, else empty
  std::string confidence;  // <stem>_morviconf.png (16-bit grey) when asked for, else empty
  PictureFormat format = PictureFormat::kPpm;  // of picture and warp
};
PairOutputs OutputsOf(const std::string& resultDirectory, const std::string& stem, int channels,
                      bool occlusions = false, PictureFormat format = PictureFormat::kPpm,
                      bool confidence = false);

// True when the file name (without directory) is named like one of the outputs above: its stem,
// before the last extension, ends in _morvi, _morviwarp, _morviocc or _morviconf.
bool IsOutputName(const std::string& name);

// Removes the temporaries that writers of the outputs of the pairs named by `stems` left in
// `resultDirectory` (image/atomic_file.h), and only those: other runs may be writing beside them.
// Returns how many were removed.
size_t RemoveLeftoverTemporaries(const std::string& resultDirectory, const std::vector<std::string>& stems);

// True when all of the pair's files exist and are complete for frames of width x height with `channels`
// channels: a .flo with its tag, that size and 8 bytes per pixel; binary PPM/PGM pictures of that
// size with 8-bit samples and nothing missing or left over (the occlusion mask a PGM); PNG pictures
// whose header gives that size, 8-bit samples and the channels' colour type, and which end with
// their closing chunk (the confidence map a PNG of 16-bit grey samples).
bool OutputsComplete(const PairOutputs& outputs, int width, int height, int channels);
