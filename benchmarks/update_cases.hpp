#pragma once

// The cases of the update benchmarks: each block kind with its reference kernel, the entries of
// the "moving" case (every entry the block allows in the moving frame, the transform given before
// each update, as a control loop does) and of the "fixed" case (every entry in the fixed frame, no
// transform), the kernel's record of the same entries, and the sample signal.
//
// Quaternions are [w, x, y, z]; the transform is [x, y, z, qw, qx, qy, qz] of M in F.

#include <array>
#include <cstddef>
#include <string>
#include <tuple>
#include <type_traits>

#include "kivo_tf_imu.hpp"
#include "kivo_tf_pose.hpp"
#include "kivo_tf_twist.hpp"
#include "kivo_tf_wrench.hpp"
#include "reference_kernel.hpp"

namespace kivo_bench {

inline constexpr double kH = 0.70710678118654752440;  // √½
inline constexpr std::array<double, 7> kTf{1.0, -2.0, 0.5, 0.5, -0.5, 0.5, 0.5};

// Keeps the compiler from assuming anything about `value` across this point: it may have been
// read and written.
template <class T>
inline void opaque(T& value) noexcept {
  asm volatile("" : : "r"(&value) : "memory");
}

// The library side and the kernel side of one block kind.
template <class B, std::size_t N, void (*Kernel)(const kivo_reference::Record&, const std::array<double, N>&,
                                                 std::array<double, N>&) noexcept>
struct Kind {
  using Block = B;
  using Signal = std::array<double, N>;
  static constexpr bool kTakesTf = !std::is_same_v<B, kivo::KivoTfPose>;
  // Out of line and opaque to interprocedural optimisation, as a library call is.
  [[gnu::noipa]] static void kernel(const kivo_reference::Record& r, const Signal& in, Signal& out) {
    Kernel(r, in, out);
  }
};
using Wrench = Kind<kivo::KivoTfWrench, 6, kivo_reference::wrench>;
using Twist = Kind<kivo::KivoTfTwist, 6, kivo_reference::twist>;
using Imu = Kind<kivo::KivoTfImu, 6, kivo_reference::imu>;
using Pose = Kind<kivo::KivoTfPose, 7, kivo_reference::pose>;

// The pose block cannot take its input axes in the moving frame.
template <class K>
kivo::KivoTfConfig config(bool moving) {
  const std::string frame = moving ? "moving_frame" : "fixed_frame";
  const std::string in_axes = moving && K::kTakesTf ? "moving_frame" : "fixed_frame";
  kivo::KivoTfConfig c;
  c.input_ref_point = {frame, {0.1, -0.2, 0.3}};
  c.input_expr_axes = {in_axes, {0.5, 0.5, -0.5, 0.5}};
  c.output_ref_point = {frame, {0.0, 0.0, 1.0}};
  c.output_expr_axes = {frame, {kH, kH, 0.0, 0.0}};
  return c;
}

// The kernel's record of the entries of config<K>(moving), with the transform kTf.
template <class K>
kivo_reference::Record record(bool moving) {
  const kivo::KivoTfConfig c = config<K>(moving);
  kivo_reference::Record r{c.input_ref_point.translation, c.input_expr_axes.rotation,
                           c.output_ref_point.translation, c.output_expr_axes.rotation};
  r.moving_p_i = c.input_ref_point.origin == "moving_frame";
  r.moving_q_i = c.input_expr_axes.origin == "moving_frame";
  r.moving_p_o = c.output_ref_point.origin == "moving_frame";
  r.moving_q_o = c.output_expr_axes.origin == "moving_frame";
  r.t_FM = {kTf[0], kTf[1], kTf[2]};
  r.q_FM = {kTf[3], kTf[4], kTf[5], kTf[6]};
  return r;
}

template <class Signal>
Signal sampleSignal() {
  Signal signal{0.3, -1.2, 2.5, 0.6, -0.4, 0.9};
  if constexpr (std::tuple_size_v<Signal> == 7) signal[6] = 0.2;
  return signal;
}

// One cycle of a control loop on `block`: the transform where the case gives one, then `update`.
template <class K, bool kMoving>
inline kivo::KivoControlReturnCode libraryCycle(typename K::Block& block, std::array<double, 7>& tf,
                                                typename K::Signal& in, typename K::Signal& out) {
  if constexpr (kMoving && K::kTakesTf) {
    opaque(tf);
    block.setFixedToMovingFrameTf(tf);
  }
  opaque(in);
  const kivo::KivoControlReturnCode code = block.update(in, out);
  opaque(out);
  return code;
}

// The same cycle on a reference record: the transform stored as the block stores it, then the
// arithmetic.
template <class K, bool kMoving>
inline void kernelCycle(kivo_reference::Record& r, std::array<double, 7>& tf, typename K::Signal& in,
                        typename K::Signal& out) {
  if constexpr (kMoving && K::kTakesTf) {
    opaque(tf);
    r.t_FM = {tf[0], tf[1], tf[2]};
    r.q_FM = {tf[3], tf[4], tf[5], tf[6]};
  }
  opaque(in);
  K::kernel(r, in, out);
  opaque(out);
}

}  // namespace kivo_bench
