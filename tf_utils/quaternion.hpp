#pragma once

// Quaternion and 3-vector maths shared by every block. Each formula is written once, here.
//
// Conventions: quaternions are [w, x, y, z] with scalar part w and vector part u = (x, y, z);
// the product is Hamilton's. `rotate(q, v)` applies R(q) to v for a quaternion of any norm, without
// normalising it first: R(q) takes coordinates in the rotated axes to coordinates in the reference
// axes when q has unit norm, and R(conjugate(q)) is the transpose of R(q).

#include <array>
#include <cmath>

namespace kivo::detail {

using Vec3 = std::array<double, 3>;
using Quat = std::array<double, 4>;

constexpr Vec3 add(const Vec3& a, const Vec3& b) noexcept {
  return {a[0] + b[0], a[1] + b[1], a[2] + b[2]};
}

constexpr Vec3 subtract(const Vec3& a, const Vec3& b) noexcept {
  return {a[0] - b[0], a[1] - b[1], a[2] - b[2]};
}

constexpr Vec3 scale(double s, const Vec3& a) noexcept { return {s * a[0], s * a[1], s * a[2]}; }

constexpr Vec3 cross(const Vec3& a, const Vec3& b) noexcept {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

constexpr Quat conjugate(const Quat& q) noexcept { return {q[0], -q[1], -q[2], -q[3]}; }

// Hamilton product a ⊗ b.
constexpr Quat multiply(const Quat& a, const Quat& b) noexcept {
  return {a[0] * b[0] - a[1] * b[1] - a[2] * b[2] - a[3] * b[3],
          a[0] * b[1] + a[1] * b[0] + a[2] * b[3] - a[3] * b[2],
          a[0] * b[2] - a[1] * b[3] + a[2] * b[0] + a[3] * b[1],
          a[0] * b[3] + a[1] * b[2] - a[2] * b[1] + a[3] * b[0]};
}

// R(q)·v = v + w·t + u × t with t = 2·(u × v); equal to the matrix form of R(q) for any norm of q.
constexpr Vec3 rotate(const Quat& q, const Vec3& v) noexcept {
  const Vec3 u{q[1], q[2], q[3]};
  const Vec3 t = scale(2.0, cross(u, v));
  return add(add(v, scale(q[0], t)), cross(u, t));
}

// Divides q by its norm when the squared norm is positive; a zero or NaN squared norm leaves q as
// it is.
inline Quat normalized(const Quat& q) noexcept {
  const double s = q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3];
  if (!(s > 0.0)) {
    return q;
  }
  const double n = std::sqrt(s);
  return {q[0] / n, q[1] / n, q[2] / n, q[3] / n};
}

}  // namespace kivo::detail
