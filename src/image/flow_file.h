// Middlebury .flo files: "PIEH", width, height (int32), then u, v float pairs row by row.
#pragma once

#include <string>

#include "image/image_ref.h"

// Writes a two-channel float image (channel 0 = u, channel 1 = v) as a .flo file. Problems are
// reported on standard error in the writer's own words; returns false when the file was not
// written completely (nothing is left under the final name in that case).
bool WriteFlowFile(const ImageRef& flow, const std::string& fileName);

// The writing itself, silent: the image's bands are written as they are (any extension is taken).
// Returns false with `error` set to the writer's message when the file was not written completely
// (nothing is left under the final name or the temporary one then).
bool WriteFlowFile(const ImageRef& flow, const std::string& fileName, std::string& error);

// Writes u and v as `fileName` (.flo) and the colour picture of the flow beside it (same name with
// .ppm instead of .flo). maxMotion <= 0 scales the picture by the largest interior flow length.
// Returns false when either file could not be written.
bool SaveFlowResult(const ImageRef& u, const ImageRef& v, const std::string& fileName, float maxMotion);
