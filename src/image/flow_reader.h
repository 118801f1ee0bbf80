// Reading .flo files: "PIEH", width, height (int32, little-endian), then u, v float pairs row by
// row from the top. The reader trusts nothing in the file: the header is checked against the
// number of bytes actually present before any pixel memory is allocated, so a corrupt header can
// never cause a large allocation, and every failure comes back as a reason instead of a crash or
// a partially filled image.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "image/image_ref.h"

// Reads `fileName` into two single-channel float images u and v. On success returns true and
// leaves `error` untouched. On failure returns false, releases u and v (no partial result is ever
// handed out) and sets `error` to "<file name>: <what was wrong>".
bool ReadFlowFile(const std::string& fileName, ImageRef& u, ImageRef& v, std::string& error);

// Same, giving one two-channel float image (channel 0 = u, channel 1 = v), the layout the writer
// takes.
bool ReadFlowFile(const std::string& fileName, ImageRef& flow, std::string& error);

// The decoders behind the two calls above, for an already opened stream whose total size in bytes
// is `streamSize` (the reader compares the header with this size before allocating). The stream
// is read from its current position; `name` only labels the error messages. The stream is left
// open.
bool ReadFlowStream(std::FILE* stream, std::uint64_t streamSize, const std::string& name, ImageRef& u,
                    ImageRef& v, std::string& error);
bool ReadFlowStream(std::FILE* stream, std::uint64_t streamSize, const std::string& name, ImageRef& flow,
                    std::string& error);
