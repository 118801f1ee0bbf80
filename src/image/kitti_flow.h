// KITTI flow PNG files: 16-bit PNG, three channels, in the file's order u, v, valid. A component is
// stored as 64 · value + 32768 (1/64 pixel steps, -512 to 511.984 pixels); valid is 0 for a pixel
// without flow and anything else for a pixel with flow. OpenCV hands PNG channels over in B, G, R
// order, so the file's u, v, valid are OpenCV channels 2, 1, 0.
//
// The reader trusts nothing in the file: the signature and the header's size, bit depth and colour
// type are checked before anything is decoded, and the size must be one the compressed data can
// hold, so a corrupt header can never cause a large allocation. Failures come back as a reason.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "image/image_ref.h"

// The eight bytes every PNG file starts with; a flow file is recognised by them, not by its name.
bool HasPngSignature(const unsigned char* bytes, std::size_t size);

// Decodes a KITTI flow PNG held in memory into two single-channel float images. Valid pixels get
// (u, v); invalid ones get `invalidValue` in both components. `name` only labels the messages.
// On failure returns false, releases u and v and sets `error` to "<name>: <what was wrong>".
bool DecodeKittiFlow(const unsigned char* data, std::size_t size, const std::string& name, float invalidValue,
                     ImageRef& u, ImageRef& v, std::string& error);

// What the writer had to change to fit a flow into the format.
struct KittiWriteReport {
  std::int64_t clamped = 0;  // valid pixels with a component outside -512 .. 511.984, clamped to the range
  std::int64_t invalid = 0;  // pixels written as invalid: a non-finite or unknown (|u| or |v| > 1e9) vector
};

// Encodes u and v (single-channel float images of one size) as a KITTI flow PNG and writes it
// through a checked atomic write: the file appears complete under its name or not at all. Returns
// false with `error` set when the file was not written.
bool WriteKittiFlowFile(const ImageRef& u, const ImageRef& v, const std::string& fileName, KittiWriteReport& report,
                        std::string& error);

// Reads a flow file of either format, told apart by content: a PNG signature means a KITTI flow
// PNG, anything else is read as .flo. Invalid KITTI pixels come back as `kittiInvalidValue` in
// both components; `wasKitti` tells which format the file had. Same failure contract as
// ReadFlowFile.
bool ReadAnyFlowFile(const std::string& fileName, float kittiInvalidValue, ImageRef& u, ImageRef& v, bool& wasKitti,
                     std::string& error);

// True when the file starts like a KITTI flow PNG: the PNG signature and a header giving three
// 16-bit channels. Only the first bytes are read; a file that cannot be read gives false.
bool LooksLikeKittiFlowFile(const std::string& fileName);
