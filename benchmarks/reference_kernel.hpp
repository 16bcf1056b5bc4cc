#pragma once

// Reference kernels: the per-cycle arithmetic of each block written out in one function over a
// compact record, with the moving-frame choices as runtime flags and without the readiness and
// transform tests, the messages or the exception handler of the blocks. They are the yardstick
// of the update benchmarks and, in the tests, the expected results bit for bit.
//
// Conventions: translations [x, y, z] in metres, quaternions [w, x, y, z]; F is the fixed frame,
// M the moving frame, (t_FM, q_FM) the pose of M in F.

#include <array>

#include "quaternion.hpp"

namespace kivo_reference {

using kivo::detail::Quat;
using kivo::detail::Vec3;
using Signal6 = std::array<double, 6>;
using Signal7 = std::array<double, 7>;

// The four entries of one block, the moving-frame flag of each, and the fixed-to-moving-frame
// transform of the wrench, twist and IMU blocks (unused by the pose).
struct Record {
  Vec3 p_i;
  Quat q_i;
  Vec3 p_o;
  Quat q_o;
  Vec3 t_FM{0.0, 0.0, 0.0};
  Quat q_FM{1.0, 0.0, 0.0, 0.0};
  bool moving_p_i = false;
  bool moving_q_i = false;
  bool moving_p_o = false;
  bool moving_q_o = false;
};

// Wrench, twist and IMU: the pair [linear, angular] placed in fixed-frame axes, moved from p_i to
// p_o by `transport`, and expressed in the output axes.
template <class Transport>
inline void transformPair(const Record& r, const Signal6& in, Signal6& out,
                          const Transport& transport) noexcept {
  using namespace kivo::detail;
  Vec3 p_i_F = r.p_i;
  if (r.moving_p_i) p_i_F = add(rotate(r.q_FM, r.p_i), r.t_FM);
  Quat q_i_F = r.q_i;
  if (r.moving_q_i) q_i_F = multiply(r.q_FM, r.q_i);
  Vec3 p_o_F = r.p_o;
  if (r.moving_p_o) p_o_F = add(rotate(r.q_FM, r.p_o), r.t_FM);
  Quat q_o_F = r.q_o;
  if (r.moving_q_o) q_o_F = multiply(r.q_FM, r.q_o);

  Vec3 linear_F = rotate(q_i_F, Vec3{in[0], in[1], in[2]});
  Vec3 angular_F = rotate(q_i_F, Vec3{in[3], in[4], in[5]});
  transport(p_i_F, p_o_F, linear_F, angular_F);
  const Quat q_o_F_conj = conjugate(q_o_F);
  const Vec3 linear_out = rotate(q_o_F_conj, linear_F);
  const Vec3 angular_out = rotate(q_o_F_conj, angular_F);
  out = {linear_out[0], linear_out[1], linear_out[2], angular_out[0], angular_out[1], angular_out[2]};
}

// τ_o = τ_i + (p_i − p_o) × f
inline void wrench(const Record& r, const Signal6& in, Signal6& out) noexcept {
  using namespace kivo::detail;
  transformPair(r, in, out, [](const Vec3& p_i_F, const Vec3& p_o_F, const Vec3& f_F, Vec3& tau_F) {
    tau_F = add(tau_F, cross(subtract(p_i_F, p_o_F), f_F));
  });
}

// v_o = v_i + ω × (p_o − p_i)
inline void twist(const Record& r, const Signal6& in, Signal6& out) noexcept {
  using namespace kivo::detail;
  transformPair(r, in, out, [](const Vec3& p_i_F, const Vec3& p_o_F, Vec3& v_F, const Vec3& omega_F) {
    v_F = add(v_F, cross(omega_F, subtract(p_o_F, p_i_F)));
  });
}

// a_o = a_i + ω × (ω × (p_o − p_i))
inline void imu(const Record& r, const Signal6& in, Signal6& out) noexcept {
  using namespace kivo::detail;
  transformPair(r, in, out, [](const Vec3& p_i_F, const Vec3& p_o_F, Vec3& a_F, const Vec3& omega_F) {
    a_F = add(a_F, cross(omega_F, cross(omega_F, subtract(p_o_F, p_i_F))));
  });
}

// Pose: the moving frame is the body of the input pose; the input axes are always fixed.
inline void pose(const Record& r, const Signal7& in, Signal7& out) noexcept {
  using namespace kivo::detail;
  const Vec3 p{in[0], in[1], in[2]};
  const Quat q{in[3], in[4], in[5], in[6]};
  const Quat q_M = normalized(multiply(r.q_i, q));
  const Vec3 p_F = rotate(r.q_i, p);
  Vec3 p_i_F = r.p_i;
  if (r.moving_p_i) p_i_F = rotate(q_M, r.p_i);
  const Vec3 t_M = subtract(p_F, p_i_F);
  Vec3 p_o_F = r.p_o;
  if (r.moving_p_o) p_o_F = add(rotate(q_M, r.p_o), t_M);
  Quat q_o_F = r.q_o;
  if (r.moving_q_o) q_o_F = normalized(multiply(q_M, r.q_o));
  const Quat q_o_F_conj = conjugate(q_o_F);
  const Vec3 p_out = rotate(q_o_F_conj, p_o_F);
  const Quat q_out = multiply(q_o_F_conj, q_M);
  out = {p_out[0], p_out[1], p_out[2], q_out[0], q_out[1], q_out[2], q_out[3]};
}

}  // namespace kivo_reference
