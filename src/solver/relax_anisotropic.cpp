#include "solver/relax_anisotropic.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

#include <opencv2/core/utility.hpp>

#include "image/parallel.h"

#include "solver/anisotropic_level.h"
#include "solver/anisotropic_simd.h"
#include "solver/pixel_system.h"
#include "solver/sweep_team.h"

namespace {

// Views for the smoothness magnitude alone (also used by the public evaluation).
void BindSmoothness(const LevelWorkspace& workspace, const FlowPair& flow, const FlowPair& increments,
                    const cv::Size& size, AnisotropicLevel& level) {
  level.width = size.width;
  level.height = size.height;
  level.stride = size.width;
  for (const ImageRef* image : {&flow.u, &flow.v, &increments.u, &increments.v, &workspace.s11, &workspace.s22,
                                &workspace.s12}) {
    CheckLevelImage(*image, size);
  }
  level.u = PlaneOf(flow.u);
  level.v = PlaneOf(flow.v);
  level.du = PlaneOf(increments.u);
  level.dv = PlaneOf(increments.v);
  level.s11 = PlaneOf(workspace.s11);
  level.s22 = PlaneOf(workspace.s22);
  level.s12 = PlaneOf(workspace.s12);
}

AnisotropicLevel BindLevel(const LevelWorkspace& workspace, const SolverParams& params,
                           const WeightMaps& weights, const FlowPair& flow, const FlowPair& increments,
                           const cv::Size& size) {
  AnisotropicLevel level;
  BindSmoothness(workspace, flow, increments, size, level);
  CV_Assert(!workspace.factored);  // the reference kernels read products
  level.data = MakeDataTermView(workspace, params, weights, size);
  for (const ImageRef* image : {&workspace.d11, &workspace.d22, &workspace.d12x2, &weights.smoothnessWeight}) {
    CheckLevelImage(*image, size);
  }
  level.d11 = PlaneOf(workspace.d11);
  level.d22 = PlaneOf(workspace.d22);
  level.d12x2 = PlaneOf(workspace.d12x2);
  level.smoothnessWeight = PlaneOf(weights.smoothnessWeight);
  level.cx = static_cast<float>(1.0 / (2.0 * workspace.hx * workspace.hx));
  level.cy = static_cast<float>(1.0 / (2.0 * workspace.hy * workspace.hy));
  level.cxy = static_cast<float>(1.0 / (2.0 * workspace.hx * workspace.hy));
  level.smoothnessEps2 = params.smoothnessEps * params.smoothnessEps;
  return level;
}

// Total flow (U, V) = (u + du, v + dv) at element offset o.
inline FloatPair Total(const AnisotropicLevel& L, std::ptrdiff_t o) {
  return MakeFloatPair(L.u[o], L.v[o]) + MakeFloatPair(L.du[o], L.dv[o]);
}

// grad Q^T D grad Q summed over Q = V, then U, at offset o, from the total flow at the point's
// left, right, upper and lower (clamped) neighbours. D = (adj(S) + 50 I) / (trace(S) + 100) with
// the structure tensor S = (a, c; c, b) at o. The derivatives are floats, so their products are
// exact in double; each component's form is divided by the trace term, the two are summed and
// rounded once to float. Rounding may leave a tiny negative value, clamped to 0.
inline float Magnitude(const AnisotropicLevel& L, std::ptrdiff_t o, FloatPair left, FloatPair right, FloatPair up,
                       FloatPair down) {
  const DoublePair Qx = Widen((right - left) * 0.5f);
  const DoublePair Qy = Widen((down - up) * 0.5f);
  const double a = L.s11[o];
  const double b = L.s22[o];
  const double c = L.s12[o];
  const DoublePair form = (b + kDiffusionBias) * (Qx * Qx) + (a + kDiffusionBias) * (Qy * Qy) - (2.0 * c) * (Qx * Qy);
  const DoublePair part = form / (a + b + kTraceBias);
  const float S = static_cast<float>(Second(part) + First(part));
  return S < 0.0f ? 0.0f : S;
}

// The magnitude at (x, y) with its own clamped neighbours.
inline float MagnitudeAt(const AnisotropicLevel& L, int x, int y) {
  const std::ptrdiff_t s = L.stride;
  const std::ptrdiff_t o = y * s + x;
  const std::ptrdiff_t oL = o + ((x > 0 ? x - 1 : 0) - x);
  const std::ptrdiff_t oR = o + ((x < L.width - 1 ? x + 1 : L.width - 1) - x);
  const std::ptrdiff_t oU = o + ((y > 0 ? y - 1 : 0) - y) * s;
  const std::ptrdiff_t oD = o + ((y < L.height - 1 ? y + 1 : L.height - 1) - y) * s;
  return Magnitude(L, o, Total(L, oL), Total(L, oR), Total(L, oU), Total(L, oD));
}

// Assembles the system of pixel (x, y) at the current increments (du0, dv0). The sweep adds the
// level's right-hand side after the data terms (kWithRhs); the operator evaluation uses the very
// same code without it, which keeps the two exact counterparts. The u and v equations of the
// smoothness terms are computed side by side in the two lanes of FloatPair values.
template <bool kWithRhs>
inline __attribute__((always_inline)) void Assemble(const AnisotropicLevel& L, int x, int y, float du0, float dv0,
                                                    float fu, float fv, PixelSystem& s) {
  const std::ptrdiff_t stride = L.stride;
  const std::ptrdiff_t o = y * stride + x;

  // data terms
  AddDataTerms(L.data, o, du0, dv0, s);

  // right-hand side of the level
  if (kWithRhs) {
    s.bu += fu;
    s.bv += fv;
  }

  // Total flow on the clamped neighbourhood: column offsets -2..2 on the pixel's row, row offsets
  // -2..2 on its column, and the four diagonal neighbours. T[j][i] is at (x + i - 2, y + j - 2)
  // clamped, i.e. at element offset o + dx[i] + dy[j].
  const int W1 = L.width - 1;
  const int H1 = L.height - 1;
  const std::ptrdiff_t dx[5] = {(x - 2 < 0 ? 0 : x - 2) - x, (x - 1 < 0 ? 0 : x - 1) - x, 0,
                                (x + 1 > W1 ? W1 : x + 1) - x, (x + 2 > W1 ? W1 : x + 2) - x};
  const std::ptrdiff_t dy[5] = {((y - 2 < 0 ? 0 : y - 2) - y) * stride, ((y - 1 < 0 ? 0 : y - 1) - y) * stride, 0,
                                ((y + 1 > H1 ? H1 : y + 1) - y) * stride, ((y + 2 > H1 ? H1 : y + 2) - y) * stride};
  FloatPair T[5][5];
  for (int i = 0; i < 5; ++i) T[2][i] = Total(L, o + dx[i]);
  for (int j : {0, 1, 3, 4}) T[j][2] = Total(L, o + dy[j]);
  for (int j : {1, 3}) {
    for (int i : {1, 3}) T[j][i] = Total(L, o + dx[i] + dy[j]);
  }
  const std::ptrdiff_t oL = o + dx[1];
  const std::ptrdiff_t oR = o + dx[3];
  const std::ptrdiff_t oU = o + dy[1];
  const std::ptrdiff_t oD = o + dy[3];

  // smoothness magnitudes of the pixel (C) and its clamped axial neighbours (L, R, U, D), each
  // evaluated once from the gathered values; a neighbour clamped onto the pixel shares the pixel's
  // value (its own neighbours are not the gathered ones)
  const float SC = Magnitude(L, o, T[2][1], T[2][3], T[1][2], T[3][2]);
  const float SL = oL == o ? SC : Magnitude(L, oL, T[2][0], T[2][2], T[1][1], T[3][1]);
  const float SR = oR == o ? SC : Magnitude(L, oR, T[2][2], T[2][4], T[1][3], T[3][3]);
  const float SU = oU == o ? SC : Magnitude(L, oU, T[1][1], T[1][3], T[0][2], T[2][2]);
  const float SD = oD == o ? SC : Magnitude(L, oD, T[3][1], T[3][3], T[2][2], T[4][2]);
  const double eps2 = L.smoothnessEps2;
  float psiC;
  float psiL;
  float psiR;
  float psiU;
  float psiD;
  float unused;
  PenaliserPair(1.0, 1.0, SL + eps2, SR + eps2, psiL, psiR);
  PenaliserPair(1.0, 1.0, SU + eps2, SD + eps2, psiU, psiD);
  PenaliserPair(1.0, 1.0, SC + eps2, 1.0, psiC, unused);

  const FloatPair centre = MakeFloatPair(L.u[o], L.v[o]);
  const float alpha = L.smoothnessWeight[o];
  const float d11c = L.d11[o];
  const float d22c = L.d22[o];
  FloatPair diagonal = MakeFloatPair(s.a11, s.a22);
  FloatPair b = MakeFloatPair(s.bu, s.bv);

  // axial terms: diffusivity averaged between the pixel and the neighbour; a neighbour clamped
  // onto the pixel itself still adds its weight on both sides of the equation
  const float wL = L.cx * alpha * (psiL + psiC) * (L.d11[oL] + d11c) * 0.5f;
  diagonal = diagonal + Splat(wL);
  b = b + (T[2][1] - centre) * wL;
  const float wR = L.cx * alpha * (psiR + psiC) * (L.d11[oR] + d11c) * 0.5f;
  diagonal = diagonal + Splat(wR);
  b = b + (T[2][3] - centre) * wR;
  const float wU = L.cy * alpha * (psiU + psiC) * (L.d22[oU] + d22c) * 0.5f;
  diagonal = diagonal + Splat(wU);
  b = b + (T[1][2] - centre) * wU;
  const float wD = L.cy * alpha * (psiD + psiC) * (L.d22[oD] + d22c) * 0.5f;
  diagonal = diagonal + Splat(wD);
  b = b + (T[3][2] - centre) * wD;

  // mixed terms d(d12 dQ/dy)/dx + d(d12 dQ/dx)/dy, explicit in all eight clamped neighbours;
  // neighbour k of ClampedNeighbour sits at (kNeighbourDx[k], kNeighbourDy[k]) of the stencil
  FloatPair N[8];
  for (int k = 0; k < 8; ++k) N[k] = T[2 + kNeighbourDy[k]][2 + kNeighbourDx[k]];
  const float ec = L.d12x2[o] * 0.5f;
  const float mL = L.cxy * alpha * (psiL + psiC) * 0.5f * (L.d12x2[oL] * 0.5f + ec);
  const float mR = L.cxy * alpha * (psiR + psiC) * 0.5f * (L.d12x2[oR] * 0.5f + ec);
  const float mU = L.cxy * alpha * (psiU + psiC) * 0.5f * (L.d12x2[oU] * 0.5f + ec);
  const float mD = L.cxy * alpha * (psiD + psiC) * 0.5f * (L.d12x2[oD] * 0.5f + ec);
  b = b + ((N[1] + N[0] - N[3] - N[4]) * mR - (N[0] + N[7] - N[5] - N[4]) * mL) * 0.25f;
  b = b + ((N[1] + N[2] - N[7] - N[6]) * mD - (N[3] + N[2] - N[5] - N[6]) * mU) * 0.25f;

  s.a11 = First(diagonal);
  s.a22 = Second(diagonal);
  s.bu = First(b);
  s.bv = Second(b);
}

// Solves the pixel system by Cramer's rule. A zero or undefined determinant leaves (du, dv) as
// they are; a small one is pushed to +-kMinDeterminant with its sign.
inline void SolvePixel(const PixelSystem& s, float& du, float& dv) {
  float det = s.a12 * s.a12 - s.a11 * s.a22;
  if (!(std::fabs(det) > 0.0f)) return;
  if (std::fabs(det) < kMinDeterminant) det = det > 0.0f ? kMinDeterminant : -kMinDeterminant;
  du = (s.a12 * s.bv - s.a22 * s.bu) / det;
  dv = (s.a12 * s.bu - s.a11 * s.bv) / det;
}

}  // namespace

float SmoothnessMagnitudeAnisotropic(const LevelWorkspace& workspace, const FlowPair& flow,
                                     const FlowPair& increments, int x, int y) {
  CV_Assert(!flow.u.Empty());
  const cv::Size size = flow.u.Mat().size();
  CV_Assert(x >= 0 && x < size.width && y >= 0 && y < size.height);
  AnisotropicLevel level;
  BindSmoothness(workspace, flow, increments, size, level);
  return MagnitudeAt(level, x, y);
}

namespace {

// Relaxes pixel (x, y) in place.
inline void UpdatePixel(const AnisotropicLevel& L, const float* fu, const float* fv, int x, int y) {
  const std::ptrdiff_t o = y * L.stride + x;
  float& du = L.du[o];
  float& dv = L.dv[o];
  PixelSystem s;
  Assemble<true>(L, x, y, du, dv, fu[o], fv[o], s);
  SolvePixel(s, du, dv);
}

struct BoundSweep {
  AnisotropicLevel level;
  const float* fu;
  const float* fv;
  bool simd;  // vector kernels for the interior blocks
};

BoundSweep BindSweep(const LevelWorkspace& workspace, const SolverParams& params, const WeightMaps& weights,
                     const FlowPair& flow, const FlowPair& increments, const FlowPair& rhs) {
  const cv::Size size = LevelSize(workspace, params);
  BoundSweep sweep{BindLevel(workspace, params, weights, flow, increments, size), nullptr, nullptr,
                   params.vectorise != 0 && SimdKernelsAvailable()};
  CheckLevelImage(rhs.u, size);
  CheckLevelImage(rhs.v, size);
  sweep.fu = PlaneOf(rhs.u);
  sweep.fv = PlaneOf(rhs.v);
  return sweep;
}

// How many rows the second colour trails behind the first. A pixel update reads rows y - 2 ..
// y + 2 (the smoothness magnitudes of its vertical neighbours reach two rows away). So once colour
// 0 is finished up to row y + 2, the colour-1 pixels of row y see exactly the values that the
// colour-by-colour order shows them, and no colour-0 pixel still to come (rows y + 3 and beyond)
// reads row y. Interleaving the two colours this way keeps the result bit for bit and streams the
// level's images through the cache once per sweep instead of twice.
constexpr int kColourLag = 2;

// The row tasks of one sweep in the interleaved order: task i is (colour, row).
int RowTaskCount(int height) { return 2 * height; }
void RowTask(int i, int height, int& colour, int& y) {
  // steps t = 0 .. height + kColourLag - 1 hold colour 0 of row t (t < height) and colour 1 of
  // row t - kColourLag (t >= kColourLag)
  const int lead = std::min(kColourLag, height);
  if (i < lead) {
    colour = 0;
    y = i;
    return;
  }
  const int paired = 2 * (height - lead);
  if (i - lead < paired) {
    const int k = (i - lead) / 2;
    colour = (i - lead) % 2;
    y = colour == 0 ? k + lead : k;
    return;
  }
  colour = 1;
  y = height - lead + (i - lead - paired);
}

// A pixel reads values up to two columns to its right in the rows of other tasks; the paired loads
// of a vector block read one column further (and drop it).
constexpr int kStencilReach = 2;
constexpr int kBlockOvershoot = 1;
// Row tasks relaxed together by one thread.
constexpr int kTaskGroup = kMaxBlockGroup;
// Levels smaller than this are relaxed on one thread: handing the groups over costs more than it
// saves.
constexpr long kMinParallelPixels = 4096;
constexpr int kMinParallelRows = 8;

// A row task under way: its colour pixels left of x are relaxed.
struct TaskCursor {
  int y = 0;
  int x = 0;
  int lanes = 0;  // pixels of the next step's vector block; 0: the next step is a single pixel
  int reach = 0;  // the last column the next step reads in other rows
};

// Plans the next step of a task: a vector block of as many pixels as fit, else a single pixel.
void PlanStep(const BoundSweep& sweep, TaskCursor& c) {
  c.lanes = sweep.simd ? SimdSweepLanes(sweep.level, c.x, c.y) : 0;
  c.reach = c.lanes > 0 ? c.x + 2 * (c.lanes - 1) + kStencilReach + kBlockOvershoot : c.x + kStencilReach;
}

// Relaxes the single pixel the cursor stands on (a step that is not a vector block).
void StepPixel(const BoundSweep& sweep, TaskCursor& c) {
  UpdatePixel(sweep.level, sweep.fu, sweep.fv, c.x, c.y);
  c.x += 2;
  PlanStep(sweep, c);
}

// Relaxes the row tasks first .. first + count - 1 (count <= kTaskGroup) of the sweep's
// interleaved order, with the order's values.
//
// A pixel of a task reads or overwrites only values within two columns of it in the rows of
// neighbouring tasks, and values to its left in its own row. So a step of a task may run once the
// task before it is finished beyond every column the step reads: inside the group that is the
// previous task's cursor, for the group's first task the progress that the thread of the previous
// group publishes. Each task then trails the one before it by a couple of blocks, and the vector
// blocks of all tasks that may go are relaxed together, their dependency chains interleaved.
// `progress` (null when the tasks before this group are finished) holds, per task, the column
// left of which all its pixels are relaxed; this group publishes its own tasks' progress there.
void RelaxTaskGroup(const BoundSweep& sweep, int first, int count, std::atomic<int>* progress) {
  const int width = sweep.level.width;
  const int height = sweep.level.height;
  TaskCursor c[kTaskGroup];
  int seen = 0;  // last progress read of the task before the group
  for (int k = 0; k < count; ++k) {
    int colour = 0;
    RowTask(first + k, height, colour, c[k].y);
    c[k].x = (colour + c[k].y) % 2;
    PlanStep(sweep, c[k]);
    // a task without a pixel of its colour (a one-column level) is finished from the start
    if (progress != nullptr && c[k].x >= width) progress[first + k].store(width, std::memory_order_release);
  }
  auto publish = [&](int k) {
    if (progress != nullptr) progress[first + k].store(std::min(c[k].x, width), std::memory_order_release);
  };
  int idle = 0;
  for (;;) {
    bool unfinished = false;
    bool ready[kTaskGroup];
    for (int k = 0; k < count; ++k) {
      ready[k] = false;
      if (c[k].x >= width) continue;
      unfinished = true;
      if (k > 0 && c[k - 1].x < width) {
        ready[k] = c[k - 1].x > c[k].reach;
      } else if (k > 0 || first == 0 || progress == nullptr) {
        ready[k] = true;
      } else {
        const int needed = std::min(width, c[k].reach + 1);
        if (seen < needed) seen = progress[first - 1].load(std::memory_order_acquire);
        ready[k] = seen >= needed;
      }
    }
    if (!unfinished) break;

    int xs[kTaskGroup];
    int ys[kTaskGroup];
    int lanes[kTaskGroup];
    int inGroup[kTaskGroup];
    int blocks = 0;
    bool moved = false;
    for (int k = 0; k < count; ++k) {
      if (!ready[k]) continue;
      moved = true;
      if (c[k].lanes > 0) {
        xs[blocks] = c[k].x;
        ys[blocks] = c[k].y;
        lanes[blocks] = c[k].lanes;
        inGroup[blocks] = k;
        ++blocks;
      } else {
        StepPixel(sweep, c[k]);
        publish(k);
      }
    }
    if (blocks > 0) {
      RelaxBlockGroupSimd(sweep.level, sweep.fu, sweep.fv, blocks, xs, ys, lanes);
      for (int b = 0; b < blocks; ++b) {
        TaskCursor& cursor = c[inGroup[b]];
        cursor.x += 2 * cursor.lanes;
        PlanStep(sweep, cursor);
        publish(inGroup[b]);
      }
    }
    if (moved) {
      idle = 0;
    } else if (++idle > 64) {
      std::this_thread::yield();  // waiting on the previous group's thread
    }
  }
}

// The sweep on the first `members` members of a team with the sequential result. The groups of row tasks are
// dealt to the members in turn, each group over the whole row: a group's first task trails the
// previous group's last task (on another thread) by the columns its steps read, so the groups
// run down the level as a wavefront and the threads meet only at the group hand-overs.
void RelaxPipelined(const BoundSweep& sweep, SweepTeam& team, int members) {
  const int tasks = RowTaskCount(sweep.level.height);
  std::vector<std::atomic<int>> progress(tasks);
  for (std::atomic<int>& p : progress) p.store(0, std::memory_order_relaxed);
  team.Run([&](int member) {
    if (member >= members) return;
    for (int first = member * kTaskGroup; first < tasks; first += members * kTaskGroup) {
      RelaxTaskGroup(sweep, first, std::min(kTaskGroup, tasks - first), progress.data());
    }
  });
}

}  // namespace

void RelaxAnisotropicReference(const LevelWorkspace& workspace, const SolverParams& params,
                               const WeightMaps& weights, const FlowPair& flow, const FlowPair& increments,
                               const FlowPair& rhs) {
  if (!params.useBrightness && !params.useGradient) return;
  const BoundSweep sweep = BindSweep(workspace, params, weights, flow, increments, rhs);
  const AnisotropicLevel& L = sweep.level;

  // Colour 0 first, then colour 1; in place, so later pixels see the increments written before
  // them (the diagonal neighbours of the mixed terms have the pixel's own colour).
  for (int colour = 0; colour < 2; ++colour) {
    for (int y = 0; y < L.height; ++y) {
      for (int x = (colour + y) % 2; x < L.width; x += 2) UpdatePixel(L, sweep.fu, sweep.fv, x, y);
    }
  }
}

void RelaxAnisotropic(const LevelWorkspace& workspace, const SolverParams& params, const WeightMaps& weights,
                      const FlowPair& flow, const FlowPair& increments, const FlowPair& rhs) {
  if (!params.useBrightness && !params.useGradient) return;
  const BoundSweep sweep = BindSweep(workspace, params, weights, flow, increments, rhs);
  const int width = sweep.level.width;
  const int height = sweep.level.height;

  const int threads = std::min(params.team != nullptr ? params.team->Size() : params.threads,
                               RowTaskCount(height) / kTaskGroup);
  if (threads > 1 && height >= kMinParallelRows && static_cast<long>(width) * height >= kMinParallelPixels) {
    if (params.team != nullptr) {
      RelaxPipelined(sweep, *params.team, threads);
    } else {
      SweepTeam team(threads);
      RelaxPipelined(sweep, team, threads);
    }
    return;
  }
  // The order of RelaxAnisotropicReference with the colour-1 rows interleaved kColourLag rows
  // behind the colour-0 rows, a group of row tasks at a time; the result is the same bit for bit.
  const int tasks = RowTaskCount(height);
  for (int first = 0; first < tasks; first += kTaskGroup) {
    RelaxTaskGroup(sweep, first, std::min(kTaskGroup, tasks - first), nullptr);
  }
}

void ApplyOperatorAnisotropic(const LevelWorkspace& workspace, const SolverParams& params,
                              const WeightMaps& weights, const FlowPair& flow, const FlowPair& increments,
                              const FlowPair& out) {
  if (!params.useBrightness && !params.useGradient) return;
  const cv::Size size = LevelSize(workspace, params);
  if (size.height < 1) return;
  const AnisotropicLevel L = BindLevel(workspace, params, weights, flow, increments, size);
  CheckLevelImage(out.u, size);
  CheckLevelImage(out.v, size);
  float* outU = PlaneOf(out.u);
  float* outV = PlaneOf(out.v);
  const bool simd = params.vectorise != 0 && SimdKernelsAvailable();
  auto assemble = [&L](int x, int y, float du0, float dv0, PixelSystem& s) {
    Assemble<false>(L, x, y, du0, dv0, 0.0f, 0.0f, s);
  };
  // Rows are independent: the operator reads only its inputs.
  const int minRows = static_cast<int>(std::max<long>(1, kMinParallelPixels / std::max(1, size.width)));
  ParallelFor(
      size.height, params.threads,
      [&](int rowBegin, int rowEnd) {
        for (int y = rowBegin; y < rowEnd; ++y) {
          int x = 0;
          while (x < size.width) {
            if (simd && SimdBlockFits(L, x, y, 1)) {
              ApplyBlockSimd(L, x, y, outU, outV);
              x += kSimdLanes;
            } else {
              EvaluateOperatorPixel(L.du, L.dv, outU, outV, size.width, x, y, assemble);
              ++x;
            }
          }
        }
      },
      minRows);
}
