"""The fields of the four message types that the blocks read and write, and the IMU's
covariances carried into the output axes.

Message types: ``geometry_msgs/msg/WrenchStamped`` (wrench [force, torque]),
``geometry_msgs/msg/TwistStamped`` (twist [linear, angular]), ``geometry_msgs/msg/PoseStamped``
(pose [position, orientation w x y z]) and ``sensor_msgs/msg/Imu`` ([linear_acceleration,
angular_velocity]), as rosbags' message objects. Quaternions are [w, x, y, z]; covariances are
row-major 3 × 3 in the axes the message is expressed in.
"""
from __future__ import annotations

from collections.abc import Callable
from typing import Any

from kivo_tf_tools import quaternion
from kivo_tf_tools._deps import require
from kivo_tf_tools.sections import Section

# Message type read and written per block class.
MESSAGE_TYPES: dict[str, str] = {
    "KivoTfWrench": "geometry_msgs/msg/WrenchStamped",
    "KivoTfTwist": "geometry_msgs/msg/TwistStamped",
    "KivoTfPose": "geometry_msgs/msg/PoseStamped",
    "KivoTfImu": "sensor_msgs/msg/Imu",
}


def _vector(v: Any) -> tuple[float, float, float]:
    return (v.x, v.y, v.z)


def signal_of(block_class: str) -> Callable[[Any], tuple[float, ...]]:
    """The function taking a message to its signal row, in the block's order."""
    if block_class == "KivoTfWrench":
        return lambda m: (*_vector(m.wrench.force), *_vector(m.wrench.torque))
    if block_class == "KivoTfTwist":
        return lambda m: (*_vector(m.twist.linear), *_vector(m.twist.angular))
    if block_class == "KivoTfPose":
        return lambda m: (*_vector(m.pose.position), m.pose.orientation.w,
                          *_vector(m.pose.orientation))
    return lambda m: (*_vector(m.linear_acceleration), *_vector(m.angular_velocity))


def _set_vector(v: Any, x: float, y: float, z: float) -> None:
    v.x, v.y, v.z = x, y, z


def make_output(block_class: str, msg: Any, row: list[float], frame: str,
                 covariances: tuple[Any, Any] | None) -> Any:
    """`msg`, changed in place into the output message: the signal `row`, ``header.frame_id``
    `frame`, and for an IMU the covariances (acceleration, angular velocity; 9 values each, in
    the output axes) and the orientation marked as not estimated (identity quaternion,
    orientation_covariance[0] = −1). These are all the fields of the four message types
    besides the rest of the header, which the caller sets."""
    msg.header.frame_id = frame
    if block_class == "KivoTfWrench":
        _set_vector(msg.wrench.force, *row[:3])
        _set_vector(msg.wrench.torque, *row[3:])
    elif block_class == "KivoTfTwist":
        _set_vector(msg.twist.linear, *row[:3])
        _set_vector(msg.twist.angular, *row[3:])
    elif block_class == "KivoTfPose":
        _set_vector(msg.pose.position, *row[:3])
        orientation = msg.pose.orientation
        orientation.w, orientation.x, orientation.y, orientation.z = row[3:]
    else:
        np = require("numpy")
        assert covariances is not None
        _set_vector(msg.linear_acceleration, *row[:3])
        _set_vector(msg.angular_velocity, *row[3:])
        msg.orientation.w = 1.0
        _set_vector(msg.orientation, 0.0, 0.0, 0.0)
        not_estimated = np.zeros(9)
        not_estimated[0] = -1.0
        msg.orientation_covariance = not_estimated
        msg.linear_acceleration_covariance, msg.angular_velocity_covariance = covariances
    return msg


def _matrices(q: Any) -> Any:
    """R(q) as (N, 3, 3) for quaternions q (4, N), applied as stored (no normalisation)."""
    np = require("numpy")
    columns = [np.array(quaternion.rotate(q, axis)) for axis in
               ((1.0, 0.0, 0.0), (0.0, 1.0, 0.0), (0.0, 0.0, 1.0))]
    return np.stack(columns, axis=-1).transpose(1, 0, 2)


def _resolved(section: Section, tf: Any | None, count: int) -> tuple[Any, Any, Any, Any]:
    """(q_i, q_o (4, N): the input and output axes in F; p_i, p_o (3, N): the reference points
    in F), resolved with the transforms `tf` (N, 7) as the block resolves them."""
    np = require("numpy")
    t_fm = tf[:, :3].T if tf is not None else np.zeros((3, count))
    q_fm = tf[:, 3:].T if tf is not None else np.tile([[1.0], [0.0], [0.0], [0.0]], count)

    def entry(key: str, neutral: tuple[float, ...]) -> Any:
        found = section.entries.get(key)
        values = found.values if found is not None else neutral
        column = np.tile(np.asarray(values, dtype=np.float64)[:, None], count)
        if found is None or not found.uses_moving_frame:
            return column
        if len(values) == 4:
            return np.array(quaternion.q_multiply(q_fm, column))
        return np.array(quaternion.add(quaternion.rotate(q_fm, column), t_fm))

    identity, origin = (1.0, 0.0, 0.0, 0.0), (0.0, 0.0, 0.0)
    return (entry("set_input_expression_axes", identity),
            entry("set_output_expression_axes", identity),
            entry("set_input_reference_point", origin),
            entry("set_output_reference_point", origin))


def imu_covariances(section: Section, tf: Any | None, imu_in: Any, cov_a: Any,
                    cov_w: Any) -> tuple[Any, Any]:
    """The covariances of the IMU block's output (acceleration, angular velocity), each
    (N, 9) row-major in the output axes, from those of the input (N, 9) in the input axes.

    ω_out = A·ω_in with A = R(q_o*)·R(q_i), so Σω_out = A Σω Aᵀ exactly. The acceleration adds
    the centripetal term c(ω_F) = ω_F × (ω_F × r), r = p_o − p_i, whose uncertainty is carried
    to first order: Σa_out = A Σa Aᵀ + B Σω Bᵀ with B = R(q_o*)·J·R(q_i) and
    J = ∂c/∂ω_F = (ω_F·r) I + ω_F rᵀ − 2 r ω_Fᵀ (the two inputs taken as uncorrelated). A
    covariance marked as not estimated (first element −1) is passed on as it is and adds
    nothing; an unknown one (all zeros) stays zero."""
    np = require("numpy")
    count = len(imu_in)
    q_i, q_o, p_i, p_o = _resolved(section, tf, count)
    r_i = _matrices(q_i)
    r_o_t = _matrices(np.array(quaternion.q_conjugate(q_o)))
    a = r_o_t @ r_i
    omega_f = np.einsum("nij,nj->ni", r_i, imu_in[:, 3:])
    r = (p_o - p_i).T
    j = (np.einsum("ni,ni->n", omega_f, r)[:, None, None] * np.eye(3)
         + np.einsum("ni,nj->nij", omega_f, r) - 2.0 * np.einsum("ni,nj->nij", r, omega_f))
    b = r_o_t @ j @ r_i
    sigma_a, sigma_w = cov_a.reshape(-1, 3, 3), cov_w.reshape(-1, 3, 3)
    marked_a, marked_w = cov_a[:, 0] == -1.0, cov_w[:, 0] == -1.0
    out_w = a @ sigma_w @ a.transpose(0, 2, 1)
    lever = b @ sigma_w @ b.transpose(0, 2, 1)
    out_a = a @ sigma_a @ a.transpose(0, 2, 1) + np.where(marked_w[:, None, None], 0.0, lever)
    out_a = np.where(marked_a[:, None], cov_a, out_a.reshape(-1, 9))
    out_w = np.where(marked_w[:, None], cov_w, out_w.reshape(-1, 9))
    return out_a, out_w
