// `kivo_tf_tools._batch`: the per-row loop of the log tools, over whole arrays, on the blocks of
// `kivo_tf_utils_ext`.
//
// A block argument is the very C++ block inside the Python instance (any subclass too): this
// module is built with the same nanobind as `kivo_tf_utils_ext` and so shares its type registry,
// and it links the same libKivoTfUtils, so the block's state and its messages are the ones a
// Python-level call would touch. Every row gets exactly what one Python-level
// `set_fixed_to_moving_frame_tf(tf[row])` followed by `update(signal_in[row], row_out)` gives:
// the transform stored as given, the input row copied into a local array, `update` writing into a
// zeroed local array, which is then copied out whatever the return code (a refused row holds
// zeros), and the library's line on the standard error stream for a refused row. The block keeps
// the last row's transform.
//
// Rows are float64 signals of 6 values (7 for a pose) in the block's own order and units,
// transforms [x, y, z, qw, qx, qy, qz] (pose of the moving frame in the fixed frame, quaternion
// [w, x, y, z]); statuses are the KivoControlReturnCode values as uint8 (0 Ok, 4 NotReady,
// 5 Error). The loop runs without the interpreter lock, in stretches between which signals are
// handled.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <kivo_tf_imu.hpp>
#include <kivo_tf_pose.hpp>
#include <kivo_tf_twist.hpp>
#include <kivo_tf_wrench.hpp>

namespace nb = nanobind;
using namespace nb::literals;

namespace {

constexpr std::size_t kTfWidth = 7;

// Rows of N float64 values read in place: any strides (NumPy views of a wider table, transposed
// or reversed arrays), read-only allowed. Never converted: the caller hands float64.
template <std::size_t N>
using RowsIn = nb::ndarray<const double, nb::shape<-1, static_cast<nb::ssize_t>(N)>,
                           nb::device::cpu>;
// Rows of N float64 values written in place, C-contiguous.
template <std::size_t N>
using RowsOut = nb::ndarray<double, nb::shape<-1, static_cast<nb::ssize_t>(N)>, nb::c_contig,
                            nb::device::cpu>;
using StatusOut = nb::ndarray<std::uint8_t, nb::shape<-1>, nb::c_contig, nb::device::cpu>;

// Row `row` of `rows` as N values. Values are moved with memcpy: a buffer need not be aligned.
template <std::size_t N>
class RowReader {
 public:
  explicit RowReader(const RowsIn<N>& rows) noexcept
      : data_(reinterpret_cast<const unsigned char*>(rows.data())),
        row_stride_bytes_(rows.stride(0) * static_cast<std::int64_t>(sizeof(double))),
        value_stride_bytes_(rows.stride(1) * static_cast<std::int64_t>(sizeof(double))),
        packed_(rows.stride(1) == 1) {}

  void read(std::size_t row, std::array<double, N>& values) const noexcept {
    const unsigned char* first = data_ + static_cast<std::int64_t>(row) * row_stride_bytes_;
    if (packed_) {
      std::memcpy(values.data(), first, sizeof(double) * N);
      return;
    }
    for (std::size_t k = 0; k < N; ++k) {
      std::memcpy(&values[k], first + static_cast<std::int64_t>(k) * value_stride_bytes_,
                  sizeof(double));
    }
  }

 private:
  const unsigned char* data_;
  std::int64_t row_stride_bytes_;
  std::int64_t value_stride_bytes_;
  bool packed_;
};

// Every array holds one entry per row of signal_in; a ValueError in Python otherwise.
void checkRows(std::size_t rows, std::size_t other, const char* what) {
  if (other != rows) {
    throw std::invalid_argument(std::string(what) + " has " + std::to_string(other) +
                                " rows, signal_in " + std::to_string(rows));
  }
}

// Rows run without the interpreter lock in stretches of this many (about 15 ms); between two,
// signals are handled, so that Ctrl-C stops a long call as it stops a loop written in Python.
constexpr std::size_t kRowsBetweenSignals = std::size_t{1} << 18;

// One Python-level `update` per row, as the binding of `kivo_tf_utils_ext` makes it: copy in,
// update into zeros, copy out, keep the return code. `set_tf(row)` runs first, before each row.
// Called holding the interpreter lock; an exception from a signal handler stops the rows there.
template <std::size_t N, class Block, class SetTf>
void updateEachRow(Block& block, const RowsIn<N>& signal_in, RowsOut<N>& signal_out,
                   StatusOut& status, const SetTf& set_tf) {
  const std::size_t rows = signal_in.shape(0);
  const RowReader<N> reader(signal_in);
  auto* out = reinterpret_cast<unsigned char*>(signal_out.data());
  std::uint8_t* codes = status.data();
  for (std::size_t first = 0; first < rows; first += kRowsBetweenSignals) {
    if (first > 0 && PyErr_CheckSignals() != 0) {
      throw nb::python_error();
    }
    const std::size_t end = std::min(rows, first + kRowsBetweenSignals);
    nb::gil_scoped_release unlocked;
    for (std::size_t row = first; row < end; ++row) {
      set_tf(row);
      std::array<double, N> row_in{};
      reader.read(row, row_in);
      std::array<double, N> row_out{};
      const kivo::KivoControlReturnCode code = block.update(row_in, row_out);
      std::memcpy(out + row * sizeof(double) * N, row_out.data(), sizeof(double) * N);
      codes[row] = static_cast<std::uint8_t>(static_cast<std::int32_t>(code));
    }
  }
}

// The wrench, twist and IMU blocks: each row's transform, when given, is set before its update;
// without one the block keeps the transform it has.
template <class Block>
void updateRowsWithTf(Block& block, const RowsIn<6>& signal_in, RowsOut<6> signal_out,
                      StatusOut status, const RowsIn<kTfWidth>& tf) {
  const std::size_t rows = signal_in.shape(0);
  checkRows(rows, signal_out.shape(0), "signal_out");
  checkRows(rows, status.shape(0), "status");
  if (!tf.is_valid()) {
    updateEachRow<6>(block, signal_in, signal_out, status, [](std::size_t) {});
    return;
  }
  checkRows(rows, tf.shape(0), "tf");
  const RowReader<kTfWidth> tf_reader(tf);
  updateEachRow<6>(block, signal_in, signal_out, status, [&](std::size_t row) {
    std::array<double, kTfWidth> tf_row{};
    tf_reader.read(row, tf_row);
    block.setFixedToMovingFrameTf(tf_row);
  });
}

// The pose block takes no transform: its moving frame follows from each input pose.
void updatePoseRows(kivo::KivoTfPose& block, const RowsIn<7>& signal_in, RowsOut<7> signal_out,
                    StatusOut status) {
  const std::size_t rows = signal_in.shape(0);
  checkRows(rows, signal_out.shape(0), "signal_out");
  checkRows(rows, status.shape(0), "status");
  updateEachRow<7>(block, signal_in, signal_out, status, [](std::size_t) {});
}

template <class Block>
void defineWithTf(nb::module_& m, const char* doc) {
  m.def(
      "update_rows",
      [](Block& block, const RowsIn<6>& signal_in, RowsOut<6> signal_out, StatusOut status,
         const RowsIn<kTfWidth>& tf) {
        updateRowsWithTf(block, signal_in, std::move(signal_out), std::move(status), tf);
      },
      "block"_a, "signal_in"_a.noconvert(), "signal_out"_a.noconvert(), "status"_a.noconvert(),
      "tf"_a.noconvert().none() = nb::none(), doc);
}

}  // namespace

NB_MODULE(_batch, m) {
  m.doc() =
      "The per-row loop of kivo_tf_tools over whole arrays, on the blocks of kivo_tf_utils_ext "
      "(private to the tools; use kivo_tf_tools.transform_with_block).";
  // The block classes are registered by the extension; importing it first lets a call name them.
  nb::module_::import_("kivo_tf_utils_ext");

  static constexpr const char* kWithTfDoc =
      "For each row k: block.set_fixed_to_moving_frame_tf(tf[k]) when tf is given (pose of the "
      "moving frame in the fixed frame, [x, y, z, qw, qx, qy, qz]), then "
      "block.update(signal_in[k], row), with signal_out[k] = row (zeros for a refused row) and status[k] = the return code "
      "(0 Ok, 4 NotReady, 5 Error). Arrays are float64 (status uint8) and never converted; "
      "signal_out and status are C-contiguous. The block keeps the last transform. Runs without "
      "the interpreter lock: the block and the arrays must not be used by another thread until "
      "it returns. Signals are handled every 262,144 rows: an exception from a handler "
      "(KeyboardInterrupt) stops the rows there.";
  defineWithTf<kivo::KivoTfImu>(m, kWithTfDoc);
  m.def("update_rows", &updatePoseRows, "block"_a, "signal_in"_a.noconvert(),
        "signal_out"_a.noconvert(), "status"_a.noconvert(),
        "For each row k: block.update(signal_in[k], row) on poses [px, py, pz, qw, qx, qy, qz], "
        "with signal_out[k] = row (zeros for a refused row) and status[k] = the return code "
        "(0 Ok, 4 NotReady, 5 Error). Arrays are float64 (status uint8) and never converted; "
        "signal_out and status are C-contiguous. Runs without the interpreter lock: the block "
        "and the arrays must not be used by another thread until it returns. Signals are "
        "handled every 262,144 rows: an exception from a handler (KeyboardInterrupt) stops the "
        "rows there.");
  defineWithTf<kivo::KivoTfTwist>(m, kWithTfDoc);
  defineWithTf<kivo::KivoTfWrench>(m, kWithTfDoc);
}
