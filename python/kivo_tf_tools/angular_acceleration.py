"""The α × r term that the IMU block leaves out, added to a whole log where time is known.

The block computes a_o = R(q_o*)·(a_F + ω_F × (ω_F × r)) with r = p_o − p_i, the lever arm from
the input to the output reference point in F; the rigid-body relation also has α × r. For a log
the angular acceleration follows from the rates themselves: ω_F (the output rate taken back to F
axes) differenced over time in F axes (axes that turn would see components change while the
vector does not), by the second-order central difference on the log's own, possibly uneven, time
steps; at the ends of the log and beside a refused row, the one-sided difference. The lever arm
and the output axes are resolved with each row's fixed-to-moving-frame transform exactly as the
block resolves them: a point in M is R(q_FM)·p + t_FM, axes in M are q_FM ⊗ q.
"""
from __future__ import annotations

from collections.abc import Callable
from typing import Any

from kivo_tf_tools._deps import require
from kivo_tf_tools.quaternion import add, cross, q_conjugate, q_multiply, rotate, subtract
from kivo_tf_tools.sections import Entry, Section

# Only rows the block returned Ok for (status 0) are used and changed.
_STATUS_OK = 0


def _resolved_point(entry: Entry, q_FM: Any, t_FM: Any) -> Any:
    """The entry's reference point in F, one row per sample: components (x, y, z) of (N,) arrays."""
    np = require("numpy")
    p = tuple(np.float64(v) for v in entry.values)
    if not entry.uses_moving_frame:
        return p
    return add(rotate(q_FM, p), t_FM)


def _resolved_axes(entry: Entry, q_FM: Any) -> Any:
    """The entry's axes in F: components (w, x, y, z)."""
    np = require("numpy")
    q = tuple(np.float64(v) for v in entry.values)
    return q_multiply(q_FM, q) if entry.uses_moving_frame else q


def _steps(t: Any) -> Any:
    """h[k] = t[k+1] − t[k] in seconds, from times in seconds (float) or in integer nanoseconds
    (then the difference is taken exactly, in integers, before it becomes seconds)."""
    np = require("numpy")
    if np.issubdtype(t.dtype, np.integer):
        return np.diff(t.astype(np.int64)).astype(np.float64) / 1e9
    return np.diff(t)


def _rate_derivative(t: Any, omega_F: Any, usable: Any) -> tuple[Any, Any]:
    """(α_F of shape (N, 3), rows where it is known) from ω_F (N, 3) at times `t` (N,), using
    only rows marked `usable`."""
    np = require("numpy")
    rows = len(t)
    alpha = np.zeros_like(omega_F)
    known = np.zeros(rows, dtype=bool)
    if rows < 2:
        return alpha, known
    h = _steps(t)  # h[k] = t[k+1] − t[k], seconds
    step = usable[:-1] & usable[1:] & np.isfinite(h) & (h > 0)
    has_prev = np.zeros(rows, dtype=bool)
    has_next = np.zeros(rows, dtype=bool)
    has_prev[1:] = step
    has_next[:-1] = step
    h_prev = np.ones(rows)
    h_next = np.ones(rows)
    h_prev[1:][step] = h[step]
    h_next[:-1][step] = h[step]
    d_prev = np.zeros_like(omega_F)  # ω[k] − ω[k−1]
    d_next = np.zeros_like(omega_F)  # ω[k+1] − ω[k]
    d_prev[1:] = omega_F[1:] - omega_F[:-1]
    d_next[:-1] = omega_F[1:] - omega_F[:-1]
    both = usable & has_prev & has_next
    only_prev = usable & has_prev & ~has_next
    only_next = usable & has_next & ~has_prev
    h1, h2 = h_prev[both, None], h_next[both, None]
    alpha[both] = (h1 * h1 * d_next[both] + h2 * h2 * d_prev[both]) / (h1 * h2 * (h1 + h2))
    alpha[only_prev] = d_prev[only_prev] / h_prev[only_prev, None]
    alpha[only_next] = d_next[only_next] / h_next[only_next, None]
    known[both | only_prev | only_next] = True
    return alpha, known


def add_angular_acceleration_term(section: Section, t: Any, tf: Any | None, imu_out: Any,
                                  status: Any) -> int:
    """Adds α × r, in the output axes, to the acceleration imu_out[:, :3] of every row with status
    Ok (0) whose α is known, in place; returns the number of rows it was added to.

    - `section`: the IMU section the log went through (kivo_tf_tools.sections.Section).
    - `t`: (N,) seconds (float), or integer nanoseconds (int64: the steps are then exact),
      increasing; rows whose step to both neighbours is not positive get no term.
    - `tf`: (N, 7) fixed-to-moving-frame transform of each row [x, y, z, qw, qx, qy, qz], or None
      when no entry uses the moving frame.
    - `imu_out`: (N, 6) float64, the block's output [ax, ay, az, wx, wy, wz].
    - `status`: (N,) uint8, the block's return code per row.

    Raises ValueError when an entry uses the moving frame and `tf` is None."""
    return add_term_to_rows(section, t, tf, imu_out, status, slice(None))


def add_term_to_rows(section: Section, t: Any, tf: Any | None, imu_out: Any, status: Any,
                     rows_changed: slice) -> int:
    """`add_angular_acceleration_term` that changes only the rows of `rows_changed`; the others
    serve as neighbours (a log read in batches passes the rows around each batch)."""
    np = require("numpy")
    entries = [section.entries.get(key) for key in (
        "set_input_reference_point", "set_output_reference_point", "set_output_expression_axes")]
    usable = np.asarray(status) == _STATUS_OK
    if not usable.any() or any(entry is None for entry in entries):
        return 0  # the block refuses every row while an entry is unset
    p_in, p_out, q_out = (entry for entry in entries if entry is not None)
    rows = len(imu_out)
    times = np.asarray(t)
    if not np.issubdtype(times.dtype, np.integer):
        times = times.astype(np.float64)
    if times.shape != (rows,) or np.shape(status) != (rows,):
        raise ValueError(f"t and status must have shape ({rows},)")
    if tf is None:
        if any(entry.uses_moving_frame for entry in (p_in, p_out, q_out)):
            raise ValueError(f"{section.name} places an entry in the moving frame: the "
                             "fixed-to-moving-frame transform of each row is needed")
        q_FM: Any = None
        t_FM: Any = None
    else:
        transform = np.asarray(tf, dtype=np.float64)
        t_FM = tuple(transform[:, :3].T)
        q_FM = tuple(transform[:, 3:].T)
    r_F = subtract(_resolved_point(p_out, q_FM, t_FM), _resolved_point(p_in, q_FM, t_FM))
    q_o_F = _resolved_axes(q_out, q_FM)
    omega_F = np.column_stack(np.broadcast_arrays(*rotate(q_o_F, tuple(imu_out[:, 3:].T))))
    alpha_F, known = _rate_derivative(times, omega_F, usable)
    term_F = cross(tuple(alpha_F.T), r_F)
    term_o = np.column_stack(np.broadcast_arrays(*rotate(q_conjugate(q_o_F), term_F)))
    changed = np.zeros(rows, dtype=bool)
    changed[rows_changed] = True
    known &= changed
    imu_out[known, :3] += term_o[known]
    return int(known.sum())


class TermAcrossBatches:
    """The α × r term of a log that arrives in batches, each row's difference taken with its
    neighbours as in one pass over the whole log: the last row of each batch waits for its
    successor, and the row before it stays as that row's other neighbour.

    `term(work, changed)` adds the term to the rows of `work` in `changed` (in place, as
    `add_term_to_rows` does) and returns how many got it. A batch is any object with `out`,
    `__len__`, `part(start, stop)` (views) and `joined(first, second)`."""

    def __init__(self, term: Callable[[Any, slice], int]) -> None:
        self._term = term
        self._pending: Any = None  # the last row, waiting for its successor
        self._context: Any = None  # the row before it, a neighbour only
        self.added = 0  # rows that got the term

    def _with(self, first: Any, rows: Any) -> Any:
        return rows if first is None else type(rows).joined(first, rows)

    def batch(self, rows: Any) -> Any:
        """The rows now finished: those of `rows` (after the one held back) but its last."""
        rows = self._with(self._pending, rows)
        work = self._with(self._context, rows)
        lead = len(work) - len(rows)
        self.added += self._term(work, slice(lead, len(work) - 1))
        rows.out[:] = work.out[lead:]
        if len(rows) >= 2:
            self._context = rows.part(len(rows) - 2, len(rows) - 1)
        self._pending = rows.part(len(rows) - 1, len(rows))
        return rows.part(0, len(rows) - 1)

    def finish(self) -> Any:
        """The last row of the log, finished; None when no row came."""
        pending, self._pending = self._pending, None
        if pending is None:
            return None
        work = self._with(self._context, pending)
        self.added += self._term(work, slice(len(work) - 1, None))
        pending.out[:] = work.out[len(work) - 1:]
        return pending
