"""Quaternion and 3-vector maths of the tools, with the blocks' conventions: quaternions
[w, x, y, z] with scalar part w, the Hamilton product, and R(q) applied to a quaternion of any
norm exactly as stored (no normalisation), so that what the tools show is what a block computes."""
from __future__ import annotations

import math
from collections.abc import Sequence

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
