"""Quaternion and 3-vector maths of the tools, with the blocks' conventions: quaternions
[w, x, y, z] with scalar part w, the Hamilton product, and R(q) applied to a quaternion of any
norm exactly as stored (no normalisation), so that what the tools show is what a block computes.

`q_multiply`, `q_conjugate`, `rotate`, `cross`, `add` and `subtract` take floats or NumPy arrays
as components alike: a quaternion given as a (4, N) array and a vector as a (3, N) array (one per
column) go through them column by column, returning tuples of (N,) arrays."""
from __future__ import annotations

import math
from collections.abc import Sequence
from typing import Any

from kivo_tf_tools._deps import require

Vec3 = tuple[float, float, float]
Quat = tuple[float, float, float, float]

# How far from 1 the norm of a quaternion may be before the tools report it as not of unit norm.
NORM_TOLERANCE = 1e-6


def norm(q: Sequence[float]) -> float:
    return math.sqrt(sum(c * c for c in q))


def is_unit(q: Sequence[float]) -> bool:
    """|q| within NORM_TOLERANCE of 1: what the blocks apply is then a rotation."""
    return abs(norm(q) - 1.0) <= NORM_TOLERANCE


def q_multiply(a: Quat, b: Quat) -> Quat:
    return (a[0] * b[0] - a[1] * b[1] - a[2] * b[2] - a[3] * b[3],
            a[0] * b[1] + a[1] * b[0] + a[2] * b[3] - a[3] * b[2],
            a[0] * b[2] - a[1] * b[3] + a[2] * b[0] + a[3] * b[1],
            a[0] * b[3] + a[1] * b[2] - a[2] * b[1] + a[3] * b[0])


def q_conjugate(q: Quat) -> Quat:
    return (q[0], -q[1], -q[2], -q[3])


def q_normalised(q: Quat) -> Quat:
    """q / |q| when |q|² > 0; a zero or NaN norm leaves q as it is (as the pose block does)."""
    s = q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]
    if not s > 0.0:
        return q
    n = math.sqrt(s)
    return (q[0] / n, q[1] / n, q[2] / n, q[3] / n)


def cross(a: Vec3, b: Vec3) -> Vec3:
    return (a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0])


def add(a: Vec3, b: Vec3) -> Vec3:
    return (a[0] + b[0], a[1] + b[1], a[2] + b[2])


def subtract(a: Vec3, b: Vec3) -> Vec3:
    return (a[0] - b[0], a[1] - b[1], a[2] - b[2])


def rotate(q: Quat, v: Vec3) -> Vec3:
    """R(q)·v = v + w·t + u × t with t = 2·(u × v), for a quaternion of any norm."""
    u = (q[1], q[2], q[3])
    c = cross(u, v)
    t = (2.0 * c[0], 2.0 * c[1], 2.0 * c[2])
    ut = cross(u, t)
    return (v[0] + q[0] * t[0] + ut[0], v[1] + q[0] * t[1] + ut[1], v[2] + q[0] * t[2] + ut[2])


def slerp(q0: Any, q1: Any, s: Any) -> Any:
    """The shortest-arc spherical interpolation from unit quaternions q0 to q1, at fractions s in
    [0, 1], for many at once: q0, q1 (4, N) arrays [w, x, y, z] (one quaternion per column), s an
    (N,) array; returns (4, N). q1 is first negated where q0·q1 < 0, so that the rotation turns
    through the smaller angle. At s = 0 and s = 1 the result is q0 and ±q1 exactly; where the two
    are within rounding of each other the linear interpolation is used, normalised."""
    np = require("numpy")
    dot = np.einsum("ij,ij->j", q0, q1)
    sign = np.where(dot < 0.0, -1.0, 1.0)
    q1 = q1 * sign
    dot = np.minimum(dot * sign, 1.0)
    theta = np.arccos(dot)
    sin_theta = np.sin(theta)
    arc = sin_theta > 1e-9
    safe = np.where(arc, sin_theta, 1.0)
    w0 = np.where(arc, np.sin((1.0 - s) * theta) / safe, 1.0 - s)
    w1 = np.where(arc, np.sin(s * theta) / safe, s)
    q = w0 * q0 + w1 * q1
    return np.where(arc, q, q / np.sqrt(np.einsum("ij,ij->j", q, q)))
