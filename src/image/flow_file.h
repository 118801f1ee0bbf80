// Middlebury .flo files: "PIEH", width, height (int32), then u, v float pairs row by row.
#pragma once

#include <string>
#include <vector>

#include "image/image_ref.h"

// Writes a float image as a .flo file: the image's bands are written as they are (channel 0 = u,
// channel 1 = v for a flow), under any extension. The file appears complete under its name or not
// at all, and a failure leaves a file already under the name as it was. Returns false with
// `error` set ("could not write <name>: <cause>") when the file was not written completely.
bool WriteFlowFile(const ImageRef& flow, const std::string& fileName, std::string& error);
// The same, for callers that only need to know whether it worked.
bool WriteFlowFile(const ImageRef& flow, const std::string& fileName);

// Writes u and v as `fileName` (.flo) and the colour picture of the flow beside it (same name with
// .ppm instead of .flo). maxMotion <= 0 scales the picture by the largest interior flow length.
// Both files are attempted; returns false when either could not be written, with one message per
// failed file appended to `errors`.
bool SaveFlowResult(const ImageRef& u, const ImageRef& v, const std::string& fileName, float maxMotion,
                    std::vector<std::string>& errors);
