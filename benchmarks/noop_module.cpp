// Yardstick of the Python benchmark: functions that take arguments declared exactly like those
// of the blocks' `update` and `set_fixed_to_moving_frame_tf`, convert them with nanobind's own
// casters, and do nothing else.

#include <array>
#include <cstddef>

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/array.h>

namespace nb = nanobind;
using namespace nb::literals;

namespace {

template <std::size_t N>
using SignalArray = nb::ndarray<double, nb::shape<N>, nb::c_contig, nb::device::cpu>;

template <std::size_t N>
void defineUpdateLike(nb::module_& m, const char* name) {
  m.def(name, [](SignalArray<N>, SignalArray<N>) {}, "signal_in"_a, "signal_out"_a.noconvert());
}

}  // namespace

NB_MODULE(kivo_bench_noop, m) {
  m.doc() = "No-op functions with the argument declarations of the transform blocks' members";
  defineUpdateLike<6>(m, "update6");
  defineUpdateLike<7>(m, "update7");
  m.def("set_tf", [](const std::array<double, 7>&) {}, "tf"_a);
}
