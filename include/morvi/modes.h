// The choices between modes of an estimate, one enum each, shared by the program, the library and
// the Python module; each translates its own words ("pyramid", "fast", ...) at its edge.
#pragma once

namespace morvi {

// How the estimate starts: coarse to fine over image pyramids (the default), or from sparse
// matches interpolated along the first frame's edges, for large motions (the program's
// --init matches). Pairs where too few matches survive start from the pyramid. kFused computes
// both and lets each colour segment of the first frame take the matches' flow where the frames
// say it explains them clearly better than the pyramid's (--init fused).
enum class InitialFlow { kPyramid, kMatches, kFused };

// The variational solver. kReference relaxes in the sequential red-black Gauss-Seidel order and
// gives the same bytes at every thread count and on every vector path. kFast evaluates the
// nonlinear weights once per smoothing step and relaxes four colours of a 2 x 2 pattern in single
// precision, every pixel of a colour at once: faster, as accurate on the measured data, and
// deterministic too (its own bytes at every thread count and vector path), but not the
// reference's bytes.
enum class Solver { kReference, kFast };

}  // namespace morvi
