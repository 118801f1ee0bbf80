// The program: command line, frame listing and the frame-pair loop.
#pragma once

#include <string>

#include "image/image_ref.h"

// Runs the whole program on argv and returns the exit status: 0 for a clean run (or the banner),
// 1 when the command line is unusable, a frame cannot be used or an output file could not be written.
int RunMorvi(int argc, char** argv);

// Loads a frame as the solver expects it: 8-bit, 1 channel (grey) or 3 channels (BGR). 16-bit
// frames are scaled to 8 bits, an alpha channel is dropped. Empty handle and a reason when the
// file cannot be read or has an unsupported layout.
ImageRef LoadFrame(const std::string& path, std::string& reason);

// Parses a smoothness weight: a finite decimal number >= 0 with nothing after it.
bool ParseSmoothness(const std::string& text, float& value);
