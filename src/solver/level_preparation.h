// Level preparation: frame channels, five-point derivatives, structure and diffusion tensor.
#pragma once

#include <array>

#include "image/image_ref.h"
#include "solver/solver_records.h"

// Fills the parameter record, the frame data and the flow-independent part of a freshly
// constructed full-resolution workspace (grid spacing, motion tensor images, structure and
// diffusion tensor). Frames are 8-bit with 1 or 3 (BGR) channels, of equal size. params.threads is
// left as the caller set it and is the thread count of the per-pixel loops.
void PrepareSolver(const ImageRef& first, const ImageRef& second, double brightnessEps,
                   double gradientEps, double smoothnessEps, int anisotropic, SolverParams& params,
                   PairDerivatives& derivatives, LevelWorkspace& workspace);

// PrepareSolver without the frame derivatives, for a warping loop that forms its motion tensors
// from the frames themselves.
void PrepareSolverLevel(const ImageRef& first, const ImageRef& second, double brightnessEps, double gradientEps,
                        double smoothnessEps, int anisotropic, SolverParams& params, LevelWorkspace& workspace);

// Converts both frames into the solver's channels and differentiates them (PrepareSolver's part
// beyond PrepareSolverLevel). The per-pixel loops run on params.threads threads; the result is the
// same for every count.
void ComputeFrameDerivatives(const SolverParams& params, const ImageRef& first, const ImageRef& second,
                             PairDerivatives& derivatives);

// The solver's float channels of an 8-bit grey or BGR frame (luma and two colour differences for
// BGR), into channels[0 .. channels - 1], allocated where they are not of the frame's size. Bands of
// rows run on `threads` threads (the same values for every count).
void ConvertFrameChannels(const ImageRef& frame, int threads, std::array<ImageRef, 3>& channels);

// The 8-bit grey image of an 8-bit grey or BGR frame, whose derivatives the gradient constraints use.
ImageRef GreyFrame(const ImageRef& frame);

// Correlation with (1, -8, 0, 8, -1) / 12 along x and along y, with a mirrored border that does not
// repeat the edge pixel. The source is single-channel float or 8-bit (channel 0 is read); the
// outputs are existing float images of the source's size.
void Derivative5(const ImageRef& source, const ImageRef& dx, const ImageRef& dy);

// d11 = (s22 + 50) / den, d22 = (s11 + 50) / den, d12x2 = -2 s12 / den with den = s11 + s22 + 100,
// in bands of rows on `threads` threads (the result is the same for every count).
void ComputeDiffusionTensor(LevelWorkspace& workspace, int threads = 1);

// Allocates the coefficient images of the active terms at width x height: the brightness tensors for
// `workspace.channels` channels, both gradient tensors (their factors when `workspace.factored`),
// and the structure tensor when anisotropic.
// Images already of that size are kept. Used for the full-resolution and every coarser level.
void AllocateWorkspaceImages(const SolverParams& params, int width, int height, LevelWorkspace& workspace);
