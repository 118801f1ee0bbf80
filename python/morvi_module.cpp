// The Python module `morvi`: the library's functions on NumPy arrays. Arrays are checked here, so
// that a wrong dtype or shape is a ValueError naming the argument; the library's own checks
// (sizes that differ, bad numbers) arrive as ValueError too, files that cannot be read or written
// as OSError. Views of any strides, read-only and memory-mapped arrays are accepted: arguments are
// only read, and copied to contiguous memory first.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

#include <opencv2/core.hpp>

#include "morvi/morvi.h"

namespace py = pybind11;

namespace {

constexpr std::int64_t kMaxSeed = 0xffffffffLL;

[[noreturn]] void ThrowValueError(const std::string& message) { throw py::value_error(message); }

[[noreturn]] void ThrowOsError(const std::string& message) {
  PyErr_SetString(PyExc_OSError, message.c_str());
  throw py::error_already_set();
}

std::string ShapeText(const py::array& array) {
  std::string text = "(";
  for (py::ssize_t i = 0; i < array.ndim(); ++i) {
    if (i > 0) text += ", ";
    text += std::to_string(array.shape(i));
  }
  return text + (array.ndim() == 1 ? ",)" : ")");
}

std::string DtypeText(const py::array& array) { return py::str(array.dtype()).cast<std::string>(); }

// A C-contiguous copy (or the array itself when it already is one) of the same dtype.
template <typename T>
py::array_t<T, py::array::c_style> Contiguous(const py::array& array) {
  return py::array_t<T, py::array::c_style>::ensure(array);
}

// (rows, cols, channels) of an image-like array with 2 or 3 dimensions; rejects empty arrays and
// sizes an image cannot have.
cv::Vec3i ImageShape(const py::array& array, const char* name, int maxChannels) {
  if (array.ndim() != 2 && array.ndim() != 3) {
    ThrowValueError(std::string(name) + " must have shape (H, W) or (H, W, C), not " + ShapeText(array));
  }
  const py::ssize_t rows = array.shape(0);
  const py::ssize_t cols = array.shape(1);
  const py::ssize_t channels = array.ndim() == 3 ? array.shape(2) : 1;
  if (rows == 0 || cols == 0 || channels == 0) ThrowValueError(std::string(name) + " is empty: shape " + ShapeText(array));
  if (rows > INT_MAX || cols > INT_MAX) ThrowValueError(std::string(name) + " is too large: shape " + ShapeText(array));
  if (channels > maxChannels) {
    ThrowValueError(std::string(name) + " has " + std::to_string(channels) + " channels; at most " +
                    std::to_string(maxChannels) + " are accepted");
  }
  return cv::Vec3i(static_cast<int>(rows), static_cast<int>(cols), static_cast<int>(channels));
}

// A frame as a cv::Mat that owns a copy of the pixels: uint8 or uint16, (H, W) grey or (H, W, C)
// with C = 1 to 4 (BGR order for colour; 16 bits and alpha are reduced by the library).
cv::Mat FrameFromArray(const py::array& array, const char* name) {
  const cv::Vec3i shape = ImageShape(array, name, 4);
  int depth = -1;
  py::array contiguous;
  if (py::isinstance<py::array_t<std::uint8_t>>(array)) {
    depth = CV_8U;
    contiguous = Contiguous<std::uint8_t>(array);
  } else if (py::isinstance<py::array_t<std::uint16_t>>(array)) {
    depth = CV_16U;
    contiguous = Contiguous<std::uint16_t>(array);
  } else {
    ThrowValueError(std::string(name) + " has dtype " + DtypeText(array) +
                    "; frames are uint8 (or uint16, scaled to 8 bits)");
  }
  // Only read, then copied: read-only and memory-mapped arrays are as good as any.
  const cv::Mat view(shape[0], shape[1], CV_MAKETYPE(depth, shape[2]), const_cast<void*>(contiguous.data()));
  return view.clone();
}

// A flow as a cv::Mat (CV_32FC2) owning a copy: float32 of shape (H, W, 2).
cv::Mat FlowFromArray(const py::array& array, const char* name) {
  if (array.ndim() != 3 || array.shape(2) != 2) {
    ThrowValueError(std::string(name) + " must have shape (H, W, 2), not " + ShapeText(array));
  }
  const cv::Vec3i shape = ImageShape(array, name, 2);
  if (!py::isinstance<py::array_t<float>>(array)) {
    ThrowValueError(std::string(name) + " has dtype " + DtypeText(array) + "; flows are float32");
  }
  auto contiguous = Contiguous<float>(array);
  const cv::Mat view(shape[0], shape[1], CV_32FC2, const_cast<float*>(contiguous.data()));
  return view.clone();
}

// A new NumPy array holding a copy of a continuous or padded matrix: (H, W) for one channel,
// (H, W, C) otherwise.
template <typename T>
py::array_t<T> ArrayFromMat(const cv::Mat& mat, bool squeezeOneChannel) {
  std::vector<py::ssize_t> shape{mat.rows, mat.cols};
  if (!(squeezeOneChannel && mat.channels() == 1)) shape.push_back(mat.channels());
  py::array_t<T> array(shape);
  const std::size_t rowBytes = static_cast<std::size_t>(mat.cols) * mat.elemSize();
  auto* out = reinterpret_cast<unsigned char*>(array.mutable_data());
  for (int y = 0; y < mat.rows; ++y) std::memcpy(out + y * rowBytes, mat.ptr(y), rowBytes);
  return array;
}

// The Python integer of an integral argument: int or a NumPy integer scalar (anything with
// __index__), but neither bool nor numpy.bool_, which are truth values, nor a float. Nothing for
// any other type.
std::optional<py::int_> IntegerFrom(const py::object& object) {
  if (py::isinstance<py::bool_>(object) ||
      py::isinstance(object, py::module_::import("numpy").attr("bool_")) || !PyIndex_Check(object.ptr())) {
    return std::nullopt;
  }
  PyObject* index = PyNumber_Index(object.ptr());
  if (index == nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  return py::reinterpret_steal<py::int_>(index);
}

std::optional<std::uint32_t> SeedFrom(const py::object& seed) {
  if (seed.is_none()) return std::nullopt;
  const std::optional<py::int_> integer = IntegerFrom(seed);
  if (!integer) ThrowValueError("seed must be an integer from 0 to 4294967295 or None");
  const py::int_ value = *integer;
  if (value < py::int_(0) || value > py::int_(kMaxSeed)) ThrowValueError("seed must be from 0 to 4294967295, not " + py::str(seed).cast<std::string>());
  return static_cast<std::uint32_t>(value.cast<std::int64_t>());
}

std::optional<int> ThreadsFrom(const py::object& threads) {
  if (threads.is_none()) return std::nullopt;
  const std::optional<py::int_> integer = IntegerFrom(threads);
  if (!integer) ThrowValueError("threads must be an integer from 1 to 1024 or None");
  const py::int_ value = *integer;
  if (value < py::int_(1) || value > py::int_(1024)) {
    ThrowValueError("threads must be from 1 to 1024, not " + py::str(threads).cast<std::string>());
  }
  return value.cast<int>();
}

morvi::Options OptionsFrom(double smoothness, const py::object& seed, const py::object& threads,
                           const std::string& init, const std::string& solver, double scale) {
  morvi::Options options;
  options.smoothness = static_cast<float>(smoothness);
  // Checked here as a double: a value that only rounds into (0, 1] as a float is still refused.
  if (!(std::isfinite(scale) && scale > 0.0 && scale <= 1.0)) {
    ThrowValueError("scale must be a finite number with 0 < scale <= 1, not " +
                    py::str(py::float_(scale)).cast<std::string>());
  }
  options.scale = static_cast<float>(scale);
  options.seed = SeedFrom(seed);
  options.threads = ThreadsFrom(threads);
  if (init == "matches") {
    options.initialFlow = morvi::InitialFlow::kMatches;
  } else if (init == "fused") {
    options.initialFlow = morvi::InitialFlow::kFused;
  } else if (init != "pyramid") {
    ThrowValueError("init must be 'pyramid', 'matches' or 'fused', not '" + init + "'");
  }
  if (solver == "fast") {
    options.solver = morvi::Solver::kFast;
  } else if (solver != "reference") {
    ThrowValueError("solver must be 'reference' or 'fast', not '" + solver + "'");
  }
  return options;
}

py::object EstimateFlow(const py::array& first, const py::array& second, double smoothness, const py::object& seed,
                        const py::object& threads, const std::string& init, const std::string& solver, double scale,
                        bool confidence) {
  const cv::Mat firstMat = FrameFromArray(first, "first");
  const cv::Mat secondMat = FrameFromArray(second, "second");
  const morvi::Options options = OptionsFrom(smoothness, seed, threads, init, solver, scale);
  morvi::FlowAndConfidence result;
  {
    py::gil_scoped_release release;
    if (confidence) {
      result = morvi::EstimateFlowAndConfidence(firstMat, secondMat, options);
    } else {
      result.flow = morvi::EstimateFlow(firstMat, secondMat, options);
    }
  }
  if (!confidence) return ArrayFromMat<float>(result.flow, false);
  return py::make_tuple(ArrayFromMat<float>(result.flow, false), ArrayFromMat<float>(result.confidence, true));
}

py::tuple EstimateFlowAndOcclusions(const py::array& first, const py::array& second, double smoothness,
                                    const py::object& seed, const py::object& threads, const std::string& init,
                                    const std::string& solver, double scale) {
  const cv::Mat firstMat = FrameFromArray(first, "first");
  const cv::Mat secondMat = FrameFromArray(second, "second");
  const morvi::Options options = OptionsFrom(smoothness, seed, threads, init, solver, scale);
  morvi::FlowAndOcclusions result;
  {
    py::gil_scoped_release release;
    result = morvi::EstimateFlowAndOcclusions(firstMat, secondMat, options);
  }
  return py::make_tuple(ArrayFromMat<float>(result.flow, false), ArrayFromMat<std::uint8_t>(result.occlusions, true));
}

py::array_t<float> ReadFlo(const std::filesystem::path& path) {
  cv::Mat flow;
  try {
    flow = morvi::ReadFlowFile(path.string());
  } catch (const std::runtime_error& error) {
    ThrowOsError(error.what());
  }
  return ArrayFromMat<float>(flow, false);
}

void WriteFlo(const std::filesystem::path& path, const py::array& flow) {
  const cv::Mat flowMat = FlowFromArray(flow, "flow");
  try {
    morvi::WriteFlowFile(path.string(), flowMat);
  } catch (const std::runtime_error& error) {
    ThrowOsError(error.what());
  }
}

py::array_t<std::uint8_t> FlowToColour(const py::array& flow, std::optional<double> scale) {
  const cv::Mat flowMat = FlowFromArray(flow, "flow");
  std::optional<float> fixedScale;
  if (scale) fixedScale = static_cast<float>(*scale);
  return ArrayFromMat<std::uint8_t>(morvi::FlowToColour(flowMat, fixedScale), false);
}

py::array_t<std::uint8_t> WarpBack(const py::array& second, const py::array& flow) {
  const cv::Mat secondMat = FrameFromArray(second, "second");
  const cv::Mat flowMat = FlowFromArray(flow, "flow");
  cv::Mat warped;
  {
    py::gil_scoped_release release;
    warped = morvi::WarpBack(secondMat, flowMat);
  }
  return ArrayFromMat<std::uint8_t>(warped, true);
}

py::dict Evaluate(const py::array& groundTruth, const py::array& estimate) {
  const morvi::FlowErrors errors =
      morvi::EvaluateFlow(FlowFromArray(groundTruth, "ground_truth"), FlowFromArray(estimate, "estimate"));
  py::dict result;
  result["epe"] = errors.epe;
  result["aae"] = errors.aae;
  result["r1"] = errors.r1;
  result["r3"] = errors.r3;
  result["pixels"] = errors.known;
  result["scored"] = errors.scored;
  result["nonfinite"] = errors.nonFinite;
  result["unknown"] = errors.unknown;
  return result;
}

}  // namespace

PYBIND11_MODULE(morvi, m) {
  m.doc() =
      "Dense optical flow between two frames (Morvi), on NumPy arrays.\n\n"
      "Frames are uint8 arrays of shape (H, W) (grey) or (H, W, 3) (colour, BGR order), as cv2.imread\n"
      "gives them; uint16 frames are scaled to 8 bits and an alpha channel is dropped. Flows are\n"
      "float32 arrays of shape (H, W, 2) holding (u, v) in pixels, u to the right, v downwards.\n"
      "Bad arrays raise ValueError, files that cannot be read or written OSError.";
  m.attr("__version__") = morvi::Version();
  // The docstrings open with their own signature lines, which name the accepted values better than
  // the generated ones would (seed and threads are "int or None").
  py::options options;
  options.disable_function_signatures();
  const double defaultSmoothness = morvi::Options{}.smoothness;
  const double defaultScale = morvi::Options{}.scale;

  m.def("estimate_flow", &EstimateFlow, py::arg("first"), py::arg("second"), py::arg("smoothness") = defaultSmoothness,
        py::arg("seed") = py::none(), py::arg("threads") = py::none(), py::arg("init") = "pyramid",
        py::arg("solver") = "reference", py::arg("scale") = defaultScale, py::arg("confidence") = false,
        "estimate_flow(first, second, smoothness=8.0, seed=None, threads=None, init='pyramid',\n"
        "              solver='reference', scale=1.0, confidence=False) -> numpy.ndarray\n\n"
        "The optical flow from `first` to `second`, a float32 array of shape (H, W, 2): flow[y, x] is\n"
        "the motion (u, v) of the first frame's pixel (x, y).\n\n"
        "first, second: frames of one size and channel count, uint8 (H, W) or (H, W, 3) BGR as\n"
        "    cv2.imread gives them (uint16 is scaled to 8 bits, a 4th alpha channel is dropped).\n"
        "smoothness: weight of the smoothness term, a finite number >= 0.\n"
        "seed: integer 0..4294967295 fixing the random sampling of the segment motions; with it the\n"
        "    result is reproducible and equals the morvi program's .flo with --seed. None: the\n"
        "    sampling follows the clock.\n"
        "threads: threads used inside the estimate (1..1024); None: every core. The result does not\n"
        "    depend on it.\n"
        "init: 'pyramid' (coarse to fine), 'matches' (sparse matches interpolated along edges, for\n"
        "    large motions) or 'fused' (both, each colour segment taking the better; the program's\n"
        "    --init).\n"
        "solver: 'reference' (the same bytes at every thread count) or 'fast' (faster, deterministic,\n"
        "    bytes of its own; the program's --solver).\n"
        "scale: 0 < scale <= 1; the frames are shrunk by it for the estimate and the flow enlarged\n"
        "    back to their size (the program's --scale). 1 resizes nothing.\n"
        "confidence: True returns (flow, confidence) instead, the confidence a float32 array of shape\n"
        "    (H, W) in [0, 1] (1 = full trust) as the program's --confidence writes it before its\n"
        "    rounding to 16 bits; the backward flow is estimated too (about twice the time).\n\n"
        "The GIL is released while the flow is estimated. Raises ValueError for bad arrays or\n"
        "arguments.");
  m.def("estimate_flow_and_occlusions", &EstimateFlowAndOcclusions, py::arg("first"), py::arg("second"),
        py::arg("smoothness") = defaultSmoothness, py::arg("seed") = py::none(), py::arg("threads") = py::none(),
        py::arg("init") = "pyramid", py::arg("solver") = "reference", py::arg("scale") = defaultScale,
        "estimate_flow_and_occlusions(first, second, smoothness=8.0, seed=None, threads=None,\n"
        "                             init='pyramid', solver='reference', scale=1.0)\n"
        "    -> (numpy.ndarray, numpy.ndarray)\n\n"
        "The flow as estimate_flow gives it, and the occlusion mask the program writes with\n"
        "--occlusions: a uint8 array of shape (H, W), 255 where the first frame's pixel is hidden in\n"
        "the second frame or moves out of it, 0 elsewhere. Estimates the backward flow too (about\n"
        "twice the time). Arguments as for estimate_flow; the GIL is released meanwhile.");
  m.def("read_flo", &ReadFlo, py::arg("path"),
        "read_flo(path) -> numpy.ndarray\n\n"
        "Reads a Middlebury .flo file into a float32 array of shape (H, W, 2). Raises OSError when the\n"
        "file cannot be read or is not a complete .flo file.");
  m.def("write_flo", &WriteFlo, py::arg("path"), py::arg("flow"),
        "write_flo(path, flow) -> None\n\n"
        "Writes a float32 (H, W, 2) flow as a Middlebury .flo file; the file appears complete or not at\n"
        "all. Raises ValueError for a bad array, OSError when the file cannot be written.");
  m.def("flow_to_colour", &FlowToColour, py::arg("flow"), py::arg("scale") = py::none(),
        "flow_to_colour(flow, scale=None) -> numpy.ndarray\n\n"
        "The colour picture of a float32 (H, W, 2) flow as a uint8 (H, W, 3) BGR array (Middlebury\n"
        "colour wheel: hue from the direction, saturation from the length divided by the scale).\n"
        "scale: a finite number > 0, or None to scale by the largest motion inside a 10-pixel\n"
        "border, as the morvi program's pictures.");
  m.def("warp_back", &WarpBack, py::arg("second"), py::arg("flow"),
        "warp_back(second, flow) -> numpy.ndarray\n\n"
        "The second frame warped back onto the first by the flow: result[y, x] is the bilinear sample\n"
        "of `second` at (x + u, y + v), clamped into the frame. `second` is a frame as estimate_flow\n"
        "takes it, of the flow's size; the result is uint8 (H, W) or (H, W, 3).");
  m.def("evaluate", &Evaluate, py::arg("ground_truth"), py::arg("estimate"),
        "evaluate(ground_truth, estimate) -> dict\n\n"
        "Error measures of a float32 (H, W, 2) estimate against ground truth of the same shape, as\n"
        "morvi-eval reports them: 'epe' (mean endpoint error, pixels), 'aae' (mean angular error,\n"
        "degrees), 'r1' and 'r3' (percent of known pixels with endpoint error above 1 and 3 pixels),\n"
        "'pixels' (known ground-truth pixels), 'scored' (known pixels with a finite estimate),\n"
        "'nonfinite' and 'unknown' (ground truth with |u| or |v| > 1e9 or NaN). A mean with no pixel\n"
        "to average is nan.");
}
