#pragma once

// Argument types of the per-cycle members, with type casters that read the common case straight
// from the buffer protocol and leave every other object to nanobind's own conversion.
//
// - `SignalBuffer<N>` is a signal array of `update`: declared, rendered and converted exactly as
//   nb::ndarray<double, nb::shape<N>, nb::c_contig, nb::device::cpu>. A writable, one-dimensional
//   buffer of N native float64 values with unit stride is taken directly; everything else goes
//   through nanobind's array import with the same flags, so conversions, refusals and their
//   TypeError stay nanobind's.
// - `TransformValues` is the 7-double transform [x, y, z, qw, qx, qy, qz]: declared, rendered and
//   converted exactly as std::array<double, 7>. A memoryview, array.array or NumPy array (exactly
//   those types) of 7 native float64 values in one dimension (any stride, read-only allowed) is
//   read directly; every other object goes through nanobind's array caster (sequence protocol,
//   ints, NumPy scalars, ...).
//
// Neither direct path converts anything: it takes only what the fallback would have taken
// unchanged, with the same values. Buffers need not be 8-byte aligned: values are moved with
// memcpy, never through a double pointer into the caller's memory.

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstring>

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/array.h>

namespace kivo_python {

template <std::size_t N>
using SignalArray = nanobind::ndarray<double, nanobind::shape<N>, nanobind::c_contig,
                                      nanobind::device::cpu>;

// N float64 values in native byte order at `data`, which may be at any address.
template <std::size_t N>
struct SignalBuffer {
  void* data = nullptr;

  void readInto(std::array<double, N>& values) const noexcept {
    std::memcpy(values.data(), data, sizeof(double) * N);
  }
  void writeFrom(const std::array<double, N>& values) const noexcept {
    std::memcpy(data, values.data(), sizeof(double) * N);
  }
};

struct TransformValues {
  std::array<double, 7> values{};
};

namespace detail {

// True for a struct-module format that denotes a native-order C double.
inline bool isNativeFloat64Format(const char* format) noexcept {
  if (format == nullptr) return false;  // unsigned bytes
  constexpr char kNative = PY_LITTLE_ENDIAN ? '<' : '>';
  if (format[0] == '@' || format[0] == '=' || format[0] == kNative) ++format;
  return format[0] == 'd' && format[1] == '\0';
}

// True for an object of exactly one of the array types whose sequence items are the elements of
// their buffer: memoryview, array.array and numpy.ndarray (not a subclass of either).
inline bool isPlainArray(PyObject* object) noexcept {
  const PyTypeObject* type = Py_TYPE(object);
  return type == &PyMemoryView_Type || std::strcmp(type->tp_name, "numpy.ndarray") == 0 ||
         std::strcmp(type->tp_name, "array.array") == 0;
}

// A borrowed view of a one-dimensional buffer of `n` native float64 values, released with the
// object. `acquire` fails without a Python error set.
class Float64Buffer {
 public:
  Float64Buffer() noexcept = default;
  Float64Buffer(const Float64Buffer&) = delete;
  Float64Buffer& operator=(const Float64Buffer&) = delete;
  ~Float64Buffer() { release(); }

  bool acquire(PyObject* src, Py_ssize_t n, bool writable, bool unit_stride) noexcept {
    release();
    if (!PyObject_CheckBuffer(src)) return false;
    if (PyObject_GetBuffer(src, &view_, PyBUF_RECORDS_RO) != 0) {
      PyErr_Clear();
      return false;
    }
    held_ = true;
    const bool fits = view_.ndim == 1 && view_.shape[0] == n &&
                      view_.itemsize == static_cast<Py_ssize_t>(sizeof(double)) &&
                      isNativeFloat64Format(view_.format) && view_.suboffsets == nullptr &&
                      (!writable || !view_.readonly) &&
                      (!unit_stride || view_.strides[0] == static_cast<Py_ssize_t>(sizeof(double)));
    if (!fits) release();
    return fits;
  }

  void* data() const noexcept { return view_.buf; }
  Py_ssize_t stride() const noexcept { return view_.strides[0]; }

 private:
  void release() noexcept {
    if (held_) {
      PyBuffer_Release(&view_);
      held_ = false;
    }
  }

  Py_buffer view_{};
  bool held_ = false;
};

}  // namespace detail
}  // namespace kivo_python

NAMESPACE_BEGIN(NB_NAMESPACE)
NAMESPACE_BEGIN(detail)

template <std::size_t N>
struct type_caster<kivo_python::SignalBuffer<N>> {
  using Fallback = make_caster<kivo_python::SignalArray<N>>;
  NB_TYPE_CASTER(kivo_python::SignalBuffer<N>, Fallback::Name)

  bool from_python(handle src, uint32_t flags, cleanup_list* cleanup) noexcept {
    if (buffer_.acquire(src.ptr(), static_cast<Py_ssize_t>(N), /*writable=*/true,
                        /*unit_stride=*/true)) {
      value.data = buffer_.data();
      return true;
    }
    if (!fallback_.from_python(src, flags, cleanup)) return false;
    value.data = fallback_.value.data();
    return true;
  }

 private:
  kivo_python::detail::Float64Buffer buffer_;
  Fallback fallback_;
};

template <>
struct type_caster<kivo_python::TransformValues> {
  using Fallback = make_caster<std::array<double, 7>>;
  NB_TYPE_CASTER(kivo_python::TransformValues, Fallback::Name)

  bool from_python(handle src, uint32_t flags, cleanup_list* cleanup) noexcept {
    kivo_python::detail::Float64Buffer buffer;
    // The fallback reads a sequence item by item; the buffer holds the same values only for the
    // plain array types, whose items are their buffer's elements (a subclass may override them).
    if (kivo_python::detail::isPlainArray(src.ptr()) &&
        buffer.acquire(src.ptr(), 7, /*writable=*/false, /*unit_stride=*/false)) {
      const auto* item = static_cast<const unsigned char*>(buffer.data());
      for (double& v : value.values) {
        std::memcpy(&v, item, sizeof(double));
        item += buffer.stride();
      }
      return true;
    }
    Fallback fallback;
    if (!fallback.from_python(src, flags, cleanup)) return false;
    value.values = fallback.value;
    return true;
  }
};

NAMESPACE_END(detail)
NAMESPACE_END(NB_NAMESPACE)
