// The program: command line, frame source, the pairs to run and the frame-pair loop.
#pragma once

#include <ostream>

#include "driver/frame_source.h"
#include "driver/run_options.h"

// Runs the whole program on argv and returns the exit status: 0 for a clean run (or the banner),
// 1 when the command line is unusable, a frame cannot be used or an output file could not be written.
// Progress and results go to `out`, messages and the pairs' summary to `err`.
int RunMorvi(int argc, char** argv, std::ostream& out, std::ostream& err);
