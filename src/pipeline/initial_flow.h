// Initial coarse-to-fine stage: the variational problem solved on Gaussian pyramids of both frames,
// from zero flow at the coarsest level up to full resolution.
#pragma once

#include <atomic>
#include <iostream>

#include "image/image_ref.h"
#include "pipeline/estimate_options.h"

// initialU/initialV are made to refer to the full-resolution flow of the last level. Uses the
// options' pyramid factor, term weights, penaliser epsilons, smoothness, iteration counts, threads
// and solver. Writes "Processing " and one "." per pyramid level to `progress` (nothing when it is
// null). `lentThreads`, when given, counts threads that other work hands over while the stage runs
// (the segmentation's, once it is done): each level and each of its warping iterations starts
// with options.threads plus as many as have been lent by then, and a multigrid solve under way
// takes those lent later at its next sweep. Both solvers give the same flow at every thread
// count, so the result does not depend on when they come. The fast solver builds the pyramid as
// a cascade and takes fastFinestOuterIterations at the finest level of frames above the small
// size.
void EstimateInitialFlow(const ImageRef& first, const ImageRef& second, ImageRef& initialU, ImageRef& initialV,
                         const EstimateOptions& options, std::ostream* progress,
                         const std::atomic<int>* lentThreads = nullptr);

// One variational solve of the pair (a pyramid level or the final pass) on `threads` threads,
// refining the flow (u, v) in place: the solver prepared for the two frames, the weight maps built
// with `smoothness`, then `iterations` warping iterations with the options' median window. With
// `levelDot` it writes the level's "." to `progress` once the solver is prepared. Each step runs
// on `threads` plus those `lentThreads` holds when it starts (none when null).
void SolveVariationalPass(const ImageRef& first, const ImageRef& second, const EstimateOptions& options, int threads,
                          float smoothness, int iterations, std::ostream* progress, bool levelDot, ImageRef& u,
                          ImageRef& v, const std::atomic<int>* lentThreads = nullptr);

// Resizes the coarser level's flow (bilinear) into u and v, which already have the finer size, and
// rescales it by the ratio of the integer widths (u) and heights (v).
void UpsampleFlow(const ImageRef& coarseU, const ImageRef& coarseV, const ImageRef& u, const ImageRef& v);
