"""A block over a whole log held in arrays: one `update` per row, as in a control loop.

This is what ``kivo-tf run`` does for every format, and what a notebook calls on arrays taken from
pandas, Polars or pyarrow::

    import numpy as np
    from kivo_tf_tools import transform

    wrench_out, status = transform("examples/kivo_tf_config.json", "tf_wrench_config",
                                   wrench_in, tf)          # (N, 6) and (N, 7) float64 arrays

The loop over the rows runs in C++ (`kivo_tf_tools._batch`) on the C++ block inside the Python
block object, without the interpreter lock, so other Python threads run meanwhile (the block and
the arrays must not be used by another thread until it returns; Ctrl-C stops it within 262,144
rows, as it stops a loop in Python). Each row gets exactly what one Python-level
`set_fixed_to_moving_frame_tf` and `update` give it, bit for bit, refused rows and the library's
lines on stderr included; a subclass that overrides either method gets the rows through its own
methods, one Python call each.

Conventions: signal rows as the block takes them (wrench [fx, fy, fz, tx, ty, tz] in N and N·m,
twist [vx, vy, vz, wx, wy, wz] in m/s and rad/s, pose [px, py, pz, qw, qx, qy, qz], IMU
[ax, ay, az, wx, wy, wz] in m/s² and rad/s); the fixed-to-moving-frame transform of each row
[x, y, z, qw, qx, qy, qz] is the pose of the moving frame M in the fixed frame F, quaternion
[w, x, y, z].
"""
from __future__ import annotations

import os
from typing import Any

from kivo_tf_tools._deps import require
from kivo_tf_tools.sections import SECTIONS, SIGNAL_COLUMNS, ConfigError, load_block

# The block's return codes as stored in the status array (the values of KivoControlReturnCode).
STATUS_OK = 0
STATUS_NOT_READY = 4
STATUS_ERROR = 5


def transform(config: str | os.PathLike[str], section: str, signal: Any,
              tf: Any | None = None) -> tuple[Any, Any]:
    """Runs the block of `section` (e.g. "tf_wrench_config"), loaded from the configuration file
    `config`, over every row of `signal`, and returns ``(signal_out, status)``.

    - `signal`: (N, 6) float64, or (N, 7) for the pose block; anything NumPy converts to that.
    - `tf`: (N, 7) float64, the fixed-to-moving-frame transform set before each row's update, or
      None to set none (the pose block takes none: its moving frame follows from its input).
    - `signal_out`: (N, 6) or (N, 7) float64, the block's output; a refused row holds zeros.
    - `status`: (N,) uint8, the block's return code of each row: 0 Ok, 4 NotReady, 5 Error
      (the values of kivo_control.KivoControlReturnCode).

    One block serves the whole log, so a row without a transform (tf None) uses the last one
    set, as in a control loop. Raises ConfigError when the section cannot be loaded and
    ValueError for arrays of the wrong shape. The library's line on the standard error stream
    for each refused row is not captured here."""
    if section not in SECTIONS:
        raise ConfigError(f"unknown section '{section}' (known: {', '.join(SECTIONS)})")
    return transform_with_block(load_block(os.fspath(config), section), signal, tf)


def block_class_name(block: Any) -> str:
    """The name of the block class of kivo_tf_utils_ext that `block` is an instance of (a
    subclass counts). Raises TypeError for anything else."""
    import kivo_tf_utils_ext

    for name in SIGNAL_COLUMNS:
        if isinstance(block, getattr(kivo_tf_utils_ext, name)):
            return name
    raise TypeError(f"block must be a KivoTfWrench, KivoTfTwist, KivoTfPose or KivoTfImu of "
                    f"kivo_tf_utils_ext (or of a subclass), not {type(block).__name__}")


def transform_with_block(block: Any, signal: Any, tf: Any | None = None) -> tuple[Any, Any]:
    """`transform` with a block that the caller constructed (from a file or a KivoTfConfig);
    the block keeps its last transform afterwards. Raises TypeError when `block` is not a
    block."""
    np = require("numpy")
    kind = block_class_name(block)
    width = len(SIGNAL_COLUMNS[kind])
    signal_in = np.asarray(signal, dtype=np.float64)
    if signal_in.ndim != 2 or signal_in.shape[1] != width:
        raise ValueError(f"signal must have shape (N, {width}) for {kind}, "
                         f"not {np.ascontiguousarray(signal_in).shape}")
    rows = signal_in.shape[0]
    tf_in = None
    if tf is not None:
        if not hasattr(block, "set_fixed_to_moving_frame_tf"):
            raise ValueError(f"{kind} takes no fixed-to-moving-frame transform "
                             "(its moving frame follows from the input pose): pass tf=None")
        tf_in = np.asarray(tf, dtype=np.float64)
        if tf_in.shape != (rows, 7):
            raise ValueError(f"tf must have shape ({rows}, 7), "
                             f"not {np.ascontiguousarray(tf_in).shape}")
    if _overridden(block, kind, tf_in is not None):
        return _update_each_row(np, block, signal_in, tf_in)
    from kivo_tf_tools import _batch

    signal_out = np.empty((rows, width), dtype=np.float64)
    status = np.empty(rows, dtype=np.uint8)
    if tf_in is None:
        _batch.update_rows(block, _rows_in_place(np, signal_in), signal_out, status)
    else:
        _batch.update_rows(block, _rows_in_place(np, signal_in), signal_out, status,
                           _rows_in_place(np, tf_in))
    return signal_out, status


def _overridden(block: Any, kind: str, sets_tf: bool) -> bool:
    """Whether a subclass (or the instance) replaces `update`, or `set_fixed_to_moving_frame_tf`
    when a transform is set: the rows then go through those Python methods one by one."""
    import kivo_tf_utils_ext

    base = getattr(kivo_tf_utils_ext, kind)
    if type(block) is base:
        return False
    names = ("set_fixed_to_moving_frame_tf", "update") if sets_tf else ("update",)
    return any(getattr(getattr(block, name), "__func__", None) is not getattr(base, name)
               for name in names)


def _rows_in_place(np: Any, values: Any) -> Any:
    """Float64 rows as the batch loop reads them in place: any strides that are whole values,
    aligned; anything else (a field of packed records) as a C-contiguous copy."""
    if values.flags.aligned and all(s % values.itemsize == 0 for s in values.strides):
        return values
    return np.ascontiguousarray(values)


def _update_each_row(np: Any, block: Any, signal: Any, tf: Any | None) -> tuple[Any, Any]:
    """One Python-level call per row of `signal` (N, width), after `set_fixed_to_moving_frame_tf`
    of the row of `tf` (N, 7) when given."""
    signal_in = np.ascontiguousarray(signal)
    if not signal_in.flags.writeable:  # e.g. pandas' to_numpy(): the blocks take writable rows
        signal_in = signal_in.copy()
    rows = signal_in.shape[0]
    signal_out = np.zeros_like(signal_in)
    if tf is not None:
        tf_in = np.ascontiguousarray(tf)
        set_tf = block.set_fixed_to_moving_frame_tf
        update = block.update
        codes: list[Any] = []
        append = codes.append
        for tf_row, row_in, row_out in zip(tf_in, signal_in, signal_out):
            set_tf(tf_row)
            append(update(row_in, row_out))
    else:
        codes = list(map(block.update, signal_in, signal_out))
    status = np.fromiter(map(int, codes), dtype=np.uint8, count=rows)
    return signal_out, status
