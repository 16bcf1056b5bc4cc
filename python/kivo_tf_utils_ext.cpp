// Python bindings of the transform library: the configuration records and the four blocks.
//
// Nothing here transforms anything: every member forwards to the library member of the same
// meaning, and the only work done in this unit is the conversion of arguments and results.
// Signals cross the boundary as float64 arrays; quaternions are [w, x, y, z], translations
// [x, y, z] in metres. The two enumerations (`KivoControlReturnCode`, `KivoControlBlockPolicy`)
// are registered by the sibling module `kivo_control`, which this module imports while it
// initialises; they are never bound here.

#include <array>
#include <cstddef>
#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <type_traits>

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/array.h>
#include <nanobind/stl/string.h>

#include "array_arguments.hpp"

#include <config.hpp>
#include <kivo_tf_imu.hpp>
#include <kivo_tf_pose.hpp>
#include <kivo_tf_twist.hpp>
#include <kivo_tf_wrench.hpp>

namespace nb = nanobind;
using namespace nb::literals;

namespace {

// One signal of N doubles: float64, one dimension of extent N, C-contiguous, CPU memory, writable
// (declared and converted as nb::ndarray<double, nb::shape<N>, nb::c_contig, nb::device::cpu>).
template <std::size_t N>
using SignalArg = kivo_python::SignalBuffer<N>;

// Only the wrench, twist and IMU blocks take the fixed-to-moving-frame transform; the pose block
// derives the moving frame from its own input.
template <typename Block, typename = void>
struct HasFixedToMovingFrameTf : std::false_type {};
template <typename Block>
struct HasFixedToMovingFrameTf<Block, std::void_t<decltype(&Block::setFixedToMovingFrameTf)>>
    : std::true_type {};

// The texts that differ between the four block classes.
struct BlockTexts {
  const char* class_name;
  const char* class_doc;
  const char* signal_in;
  const char* signal_out;
  const char* update_doc;
};

// The Python exception type that nanobind's own translation gives a standard exception.
PyObject* pythonTypeOf(const std::exception& e) noexcept {
  if (dynamic_cast<const std::bad_alloc*>(&e) != nullptr) return PyExc_MemoryError;
  if (dynamic_cast<const std::domain_error*>(&e) != nullptr ||
      dynamic_cast<const std::invalid_argument*>(&e) != nullptr ||
      dynamic_cast<const std::length_error*>(&e) != nullptr) {
    return PyExc_ValueError;
  }
  if (dynamic_cast<const std::out_of_range*>(&e) != nullptr) return PyExc_IndexError;
  if (dynamic_cast<const std::range_error*>(&e) != nullptr) return PyExc_ValueError;
  if (dynamic_cast<const std::overflow_error*>(&e) != nullptr) return PyExc_OverflowError;
  return PyExc_RuntimeError;
}

// The loader's messages quote bytes of the configuration file, which need not be UTF-8 (a file
// in UTF-16, a stray byte). nanobind makes the text of an exception a str by strict UTF-8
// decoding, and a text that does not decode would replace the exception with UnicodeDecodeError.
// Such a text is raised here instead, with the exception type nanobind gives `e` and every
// undecodable byte written as \xNN; a text that decodes is left to nanobind, unchanged.
void raiseIfUndecodable(const std::exception& e) {
  const char* text = e.what();
  const auto size = static_cast<Py_ssize_t>(std::strlen(text));
  PyObject* message = PyUnicode_DecodeUTF8(text, size, "strict");
  if (message != nullptr) {
    Py_DECREF(message);
    return;
  }
  PyErr_Clear();
  message = PyUnicode_DecodeUTF8(text, size, "backslashreplace");
  if (message == nullptr) {
    throw nb::python_error();
  }
  PyErr_SetObject(pythonTypeOf(e), message);
  Py_DECREF(message);
  throw nb::python_error();
}

// Constructs the block from the JSON configuration file at `config_file` (empty: no entry set),
// as nb::init<const std::string&> does, with the loader's message kept in its exception type.
template <typename Block>
void constructFromFile(Block* self, const std::string& config_file) {
  try {
    new (self) Block(config_file);
  } catch (const std::exception& e) {
    raiseIfUndecodable(e);
    throw;
  }
}

// Copy-in, copy-out around the block's own update. The block sees two plain local arrays, so the
// caller may pass one array as both input and output, and a block that refuses to transform
// leaves zeros (not the caller's previous values) in the output. All N values are copied out
// whatever the return code.
template <typename Block, std::size_t N>
kivo::KivoControlReturnCode updateByCopy(Block& block, SignalArg<N> signal_in,
                                         SignalArg<N> signal_out) {
  std::array<double, N> in_copy{};
  std::array<double, N> result{};
  signal_in.readInto(in_copy);
  const kivo::KivoControlReturnCode code = block.update(in_copy, result);
  signal_out.writeFrom(result);
  return code;
}

// The transform, declared and converted as std::array<double, 7>.
template <typename Block>
void setFixedToMovingFrameTf(Block& block, const kivo_python::TransformValues& tf) {
  block.setFixedToMovingFrameTf(tf.values);
}

// Binds one block class with its members in their fixed order: the two constructors, `name`, the
// four frame-entry setters, `set_fixed_to_moving_frame_tf` where the block has it, and `update`.
template <typename Block, std::size_t N>
void bindBlock(nb::module_& m, const BlockTexts& texts) {
  nb::class_<Block> cls(m, texts.class_name, texts.class_doc);
  cls.def("__init__", &constructFromFile<Block>, "config_file"_a = "",
          "Initialize with a JSON config file path.")
      .def(nb::init<const kivo::KivoTfConfig&>(), "config"_a,
           "Initialize with a KivoTfConfig struct populated in user code.")
      .def("name", &Block::name,
           "Name of the block as specified in the JSON config (empty if set via code only).")
      .def("set_input_reference_point", &Block::setInputReferencePoint, "origin"_a,
           "translation"_a,
           "Set the input reference point. origin: 'fixed_frame' or 'moving_frame', "
           "translation: [x, y, z].")
      .def("set_input_expression_axes", &Block::setInputExpressionAxes, "origin"_a, "rotation"_a,
           "Set the input expression axes. origin: 'fixed_frame' or 'moving_frame', "
           "rotation: [w, x, y, z].")
      .def("set_output_reference_point", &Block::setOutputReferencePoint, "origin"_a,
           "translation"_a,
           "Set the output reference point. origin: 'fixed_frame' or 'moving_frame', "
           "translation: [x, y, z].")
      .def("set_output_expression_axes", &Block::setOutputExpressionAxes, "origin"_a,
           "rotation"_a,
           "Set the output expression axes. origin: 'fixed_frame' or 'moving_frame', "
           "rotation: [w, x, y, z].");
  if constexpr (HasFixedToMovingFrameTf<Block>::value) {
    cls.def("set_fixed_to_moving_frame_tf", &setFixedToMovingFrameTf<Block>, "tf"_a,
            "Set the fixed-to-moving-frame transform: [x, y, z, qw, qx, qy, qz]. Must be called "
            "every loop iteration when any TF entry uses 'moving_frame'.");
  }
  // The output array is never converted: a converted output would be a temporary copy, and the
  // result written into it would be lost without an error. The input may be converted.
  cls.def("update", &updateByCopy<Block, N>, nb::arg(texts.signal_in),
          nb::arg(texts.signal_out).noconvert(), texts.update_doc);
}

}  // namespace

NB_MODULE(kivo_tf_utils_ext, m) {
  m.doc() = "Python bindings for kivo_tf_utils";
  m.attr("__version__") = "1.0.0";
  // Registers both enumerations in the shared type registry; no reference to the module is kept.
  nb::module_::import_("kivo_control");

  nb::class_<kivo::Translation>(m, "Translation")
      .def(nb::init<>())
      .def_rw("origin", &kivo::Translation::origin,
              "Frame origin: 'fixed_frame' or 'moving_frame'.")
      .def_rw("translation", &kivo::Translation::translation, "Translation vector [x, y, z].");

  nb::class_<kivo::Rotation>(m, "Rotation")
      .def(nb::init<>())
      .def_rw("origin", &kivo::Rotation::origin, "Frame origin: 'fixed_frame' or 'moving_frame'.")
      .def_rw("rotation", &kivo::Rotation::rotation, "Quaternion [w, x, y, z].");

  // The four record-valued properties return views into the config (internal-reference policy):
  // a view keeps its config alive, and writes through it reach the config.
  nb::class_<kivo::KivoTfConfig>(m, "KivoTfConfig")
      .def(nb::init<>())
      .def_rw("name", &kivo::KivoTfConfig::name,
              "Name of the block (optional, for JSON config only).")
      .def_rw("policy", &kivo::KivoTfConfig::policy,
              "Policy for handling non-OK conditions (optional, defaults to BestEffort).")
      .def_rw("input_ref_point", &kivo::KivoTfConfig::input_ref_point,
              "Input reference point: origin frame and translation.")
      .def_rw("input_expr_axes", &kivo::KivoTfConfig::input_expr_axes,
              "Input expression axes: origin frame and rotation.")
      .def_rw("output_ref_point", &kivo::KivoTfConfig::output_ref_point,
              "Output reference point: origin frame and translation.")
      .def_rw("output_expr_axes", &kivo::KivoTfConfig::output_expr_axes,
              "Output expression axes: origin frame and rotation.");

  bindBlock<kivo::KivoTfImu, 6>(
      m, {"KivoTfImu",
          "Transforms a 6-DOF IMU signal [ax, ay, az, wx, wy, wz] between reference frames.",
          "imu_in", "imu_out",
          "Transform imu_in [ax, ay, az, wx, wy, wz] (m/s² and rad/s).\n"
          "Writes result into imu_out in-place.\n"
          "Returns a KivoControlReturnCode."});
  bindBlock<kivo::KivoTfPose, 7>(
      m, {"KivoTfPose",
          "Transforms a 7-DOF pose signal [px, py, pz, qw, qx, qy, qz] between reference points.",
          "pose_in", "pose_out",
          "Transform pose_in [px, py, pz, qw, qx, qy, qz].\n"
          "Writes result into pose_out in-place.\n"
          "Returns a KivoControlReturnCode."});
  bindBlock<kivo::KivoTfTwist, 6>(
      m, {"KivoTfTwist",
          "Transforms a 6-DOF twist signal [vx, vy, vz, wx, wy, wz] between reference frames.",
          "twist_in", "twist_out",
          "Transform twist_in [vx, vy, vz, wx, wy, wz] (m/s and rad/s).\n"
          "Writes result into twist_out in-place.\n"
          "Returns a KivoControlReturnCode."});
  bindBlock<kivo::KivoTfWrench, 6>(
      m, {"KivoTfWrench",
          "Transforms a 6-DOF wrench signal [fx, fy, fz, tx, ty, tz] between reference frames.",
          "wrench_in", "wrench_out",
          "Transform wrench_in [fx, fy, fz, tx, ty, tz] (N and N·m).\n"
          "Writes result into wrench_out in-place.\n"
          "Returns a KivoControlReturnCode."});
}
