"""The per-row loop in C++ (`kivo_tf_tools._batch`, used by `transform_with_block`) against the
block called from Python row by row: the same bits, statuses, lines on stderr and block state, on
random entries, transforms (unit, non-unit, NaN) and signals, for every block kind and policy and
for inputs of any layout NumPy converts; the blocks it takes are those of kivo_tf_utils_ext; it runs
without the interpreter lock."""
import os
import signal
import sys
import threading

import numpy as np
import pytest

from conftest import BLOCK_CLASSES, SIGNAL_LENGTH, make_config
from kivo_tf_tools import _batch, transform_with_block

ROWS = 64
POLICIES = ["BestEffort", "SoftRt", "HardRt", "StrictRt"]
# Origins of the four entries (input point, input axes, output point, output axes); "" is unset.
SECTIONS = {
    "moving": ("moving_frame", "moving_frame", "moving_frame", "moving_frame"),
    "mixed": ("moving_frame", "fixed_frame", "fixed_frame", "moving_frame"),
    "fixed": ("fixed_frame", "fixed_frame", "fixed_frame", "fixed_frame"),
    "unset": ("moving_frame", "fixed_frame", "", "fixed_frame"),
    # the pose block refuses input axes in the moving frame
    "moving_input_axes": ("fixed_frame", "moving_frame", "fixed_frame", "fixed_frame"),
}
FIELDS = ("input_ref_point", "input_expr_axes", "output_ref_point", "output_expr_axes")


def make_block(ext, kc, cls, section, policy, seed):
    """A block of class `cls` with the origins of `section`, random translations and non-unit
    quaternions."""
    rng = np.random.default_rng(seed)
    entries = {}
    for field, origin in zip(FIELDS, SECTIONS[section]):
        size = 3 if field.endswith("ref_point") else 4
        entries[field] = (origin, rng.normal(0.0, 1.0, size).tolist())
    config = make_config(ext, entries)
    config.policy = getattr(kc.KivoControlBlockPolicy, policy)
    return getattr(ext, cls)(config)


def random_rows(cls, rows, seed):
    """(signal, tf): signals with NaN and infinite rows, transforms unit and non-unit, some NaN."""
    rng = np.random.default_rng(seed)
    signal = rng.normal(0.0, 10.0, (rows, SIGNAL_LENGTH[cls]))
    signal[rows // 5] = np.nan
    signal[rows // 3, 1] = np.inf
    tf = rng.normal(0.0, 1.0, (rows, 7))
    tf[::2, 3:] /= np.linalg.norm(tf[::2, 3:], axis=1, keepdims=True)
    tf[rows // 4, 4] = np.nan
    tf[rows // 2] = np.nan
    return signal, tf


def per_row(block, signal, tf):
    """What Python-level calls give, one row at a time."""
    signal = np.array(signal, dtype=np.float64, order="C")
    out = np.zeros_like(signal)
    codes = []
    for k in range(len(signal)):
        if tf is not None:
            block.set_fixed_to_moving_frame_tf(np.asarray(tf, dtype=np.float64)[k])
        codes.append(int(block.update(signal[k].copy(), out[k])))
    return out, np.array(codes, dtype=np.uint8)


def probe(block):
    """The block's state as an update without a new transform shows it."""
    (width,) = {SIGNAL_LENGTH[c.__name__] for c in type(block).__mro__
                if c.__name__ in SIGNAL_LENGTH}
    signal = np.arange(1.0, width + 1.0)
    out = np.zeros_like(signal)
    return int(block.update(signal, out)), out.tobytes()


def assert_same(capfd, batched, reference, signal, tf):
    """Runs both blocks over the rows and compares everything observable."""
    out, status = transform_with_block(batched, signal, tf)
    lines = capfd.readouterr().err.splitlines()
    want, codes = per_row(reference, signal, tf)
    want_lines = capfd.readouterr().err.splitlines()
    assert out.dtype == np.float64 and out.flags.c_contiguous and status.dtype == np.uint8
    assert out.tobytes() == want.tobytes()
    assert status.tolist() == codes.tolist()
    assert lines == want_lines
    assert probe(batched) == probe(reference)
    capfd.readouterr()
    return status


@pytest.mark.parametrize("policy", POLICIES)
@pytest.mark.parametrize("section", SECTIONS)
@pytest.mark.parametrize("cls", BLOCK_CLASSES)
def test_batch_matches_the_rows_updated_one_by_one(ext, kc, capfd, cls, section, policy):
    seed = (100 * BLOCK_CLASSES.index(cls) + 10 * list(SECTIONS).index(section)
            + POLICIES.index(policy))
    batched, reference = (make_block(ext, kc, cls, section, policy, seed) for _ in range(2))
    signal, tf = random_rows(cls, ROWS, seed)
    if cls == "KivoTfPose":
        tf = None
    status = assert_same(capfd, batched, reference, signal, tf)
    refused = section == "unset" or (cls == "KivoTfPose" and SECTIONS[section][1] == "moving_frame")
    lenient = policy in ("BestEffort", "SoftRt")
    assert set(status.tolist()) == ({4 if lenient else 5} if refused else {0})


@pytest.mark.parametrize("cls", ["KivoTfImu", "KivoTfTwist", "KivoTfWrench"])
def test_without_transforms_the_block_refuses_then_keeps_the_last_one(ext, kc, capfd, cls):
    batched, reference = (make_block(ext, kc, cls, "moving", "SoftRt", 4) for _ in range(2))
    signal, tf = random_rows(cls, ROWS, 4)
    status = assert_same(capfd, batched, reference, signal, None)  # no transform set yet
    assert set(status.tolist()) == {4}
    assert_same(capfd, batched, reference, signal[:3], tf[:3])
    status = assert_same(capfd, batched, reference, signal, None)  # the last row's transform
    assert set(status.tolist()) == {0}


def layouts():
    """name -> a function of float64 rows giving an input of that layout with the same values
    (or values NumPy converts to float64)."""
    return {
        "C float64": lambda a: np.ascontiguousarray(a),
        "F order": lambda a: np.asfortranarray(a),
        "float32": lambda a: a.astype(np.float32),
        "int64": lambda a: (np.clip(np.nan_to_num(a), -1e6, 1e6) * 100.0).astype(np.int64),
        "big-endian": lambda a: a.astype(">f8"),
        "columns of a wider table": lambda a: np.column_stack([a, a[:, :3]])[:, :a.shape[1]],
        "every other row, backwards in memory": lambda a: np.repeat(a[::-1], 2, axis=0)[::-2],
        "read-only": lambda a: np.lib.stride_tricks.as_strided(a, writeable=False),
        "one row broadcast": lambda a: np.broadcast_to(a[1], a.shape),
        "nested lists": lambda a: a.tolist(),
        "packed records": lambda a: np.rec.fromarrays(
            [a, np.zeros(len(a), np.uint8)],
            dtype=[("v", "f8", a.shape[1]), ("pad", "u1")]).v,
    }


@pytest.mark.parametrize("layout", list(layouts()))
@pytest.mark.parametrize("cls", BLOCK_CLASSES)
def test_inputs_of_any_layout_give_the_same_rows(ext, kc, capfd, cls, layout):
    make = layouts()[layout]
    batched, reference = (make_block(ext, kc, cls, "mixed", "HardRt", 9) for _ in range(2))
    signal, tf = random_rows(cls, ROWS, 9)
    signal, tf = make(signal), make(tf)
    assert_same(capfd, batched, reference, signal, None if cls == "KivoTfPose" else tf)


def test_subclasses_run_in_the_batch_and_overrides_are_called_per_row(ext, kc, capfd):
    calls = []

    class Plain(ext.KivoTfWrench):
        pass

    class Counting(ext.KivoTfWrench):
        def update(self, wrench_in, wrench_out):
            calls.append(1)
            return super().update(wrench_in, wrench_out)

    signal, tf = random_rows("KivoTfWrench", ROWS, 2)
    config = make_config(ext, {f: (o, [0.5, 0.25, 0.0, 0.0][:3 if f.endswith("point") else 4])
                               for f, o in zip(FIELDS, SECTIONS["mixed"])})
    reference = ext.KivoTfWrench(config)
    for batched in (Plain(config), Counting(config)):
        assert_same(capfd, batched, reference, signal, tf)
    assert len(calls) == ROWS + 1  # the rows and the probe


def test_the_blocks_of_the_extension_are_taken_by_reference(ext, kc):
    """The module shares the extension's type registry: it takes its blocks, changes their state
    in place, and refuses anything else with nanobind's TypeError."""
    block = make_block(ext, kc, "KivoTfWrench", "moving", "StrictRt", 1)
    signal, tf = random_rows("KivoTfWrench", 3, 1)
    out, status = np.empty((3, 6)), np.empty(3, np.uint8)
    _batch.update_rows(block, signal, out, status, tf)
    reference = make_block(ext, kc, "KivoTfWrench", "moving", "StrictRt", 1)
    reference.set_fixed_to_moving_frame_tf(tf[-1])
    assert probe(block) == probe(reference)
    for wrong in (ext.KivoTfConfig(), None, object()):
        with pytest.raises(TypeError, match="incompatible function arguments"):
            _batch.update_rows(wrong, signal, out, status, tf)
    pose = make_block(ext, kc, "KivoTfPose", "fixed", "StrictRt", 1)
    with pytest.raises(TypeError):  # a pose takes 7-wide rows and no transform
        _batch.update_rows(pose, signal, out, status, tf)


@pytest.mark.parametrize("cls", BLOCK_CLASSES)
def test_a_refused_row_holds_zeros_whatever_the_output_held(ext, kc, capfd, cls):
    block = make_block(ext, kc, cls, "unset", "HardRt", 6)
    width = SIGNAL_LENGTH[cls]
    out, status = np.full((3, width), 7.0), np.full(3, 255, np.uint8)
    _batch.update_rows(block, np.ones((3, width)), out, status)
    assert not out.any() and status.tolist() == [5, 5, 5]
    assert capfd.readouterr().err == f"{cls}: update() called before all TF entries are set.\n" * 3


@pytest.mark.parametrize("signal_out, status, tf, error", [
    (np.empty((2, 6)), np.empty(3, np.uint8), None, "signal_out has 2 rows, signal_in 3"),
    (np.empty((3, 6)), np.empty(4, np.uint8), None, "status has 4 rows, signal_in 3"),
    (np.empty((3, 6)), np.empty(3, np.uint8), np.zeros((2, 7)), "tf has 2 rows, signal_in 3"),
])
def test_row_counts_must_agree(ext, signal_out, status, tf, error):
    block = ext.KivoTfWrench()
    with pytest.raises(ValueError, match=error):
        _batch.update_rows(block, np.zeros((3, 6)), signal_out, status, tf)


@pytest.mark.parametrize("argument, value", [
    ("signal_in", np.zeros((3, 6), np.float32)),  # never converted: the caller converts
    ("signal_out", np.empty((6, 3)).T),  # outputs must be C-contiguous
    ("signal_out", np.empty((3, 6), np.float32)),
    ("status", np.empty(3, np.int64)),
    ("tf", np.zeros((3, 7), np.float32)),
])
def test_arrays_are_never_converted(ext, argument, value):
    arguments = {"signal_in": np.zeros((3, 6)), "signal_out": np.empty((3, 6)),
                 "status": np.empty(3, np.uint8), "tf": np.zeros((3, 7))}
    arguments[argument] = value
    with pytest.raises(TypeError, match="incompatible function arguments"):
        _batch.update_rows(ext.KivoTfWrench(), *arguments.values())


def test_another_thread_runs_while_the_rows_are_updated(ext, kc):
    """A thread woken just before a long batch runs before the batch has written its last row:
    the loop does not hold the interpreter lock. The switch interval is long, so that nothing but
    the batch itself lets the thread in."""
    rows = 1_000_000
    block = make_block(ext, kc, "KivoTfWrench", "mixed", "BestEffort", 3)
    signal = np.broadcast_to(np.ones(6), (rows, 6))
    tf = np.broadcast_to([0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0], (rows, 7))
    out, status = np.empty((rows, 6)), np.full(rows, 255, np.uint8)
    go = threading.Event()
    seen = []
    thread = threading.Thread(target=lambda: (go.wait(), seen.append(int(status[-1]))))
    thread.start()
    interval = sys.getswitchinterval()
    sys.setswitchinterval(30.0)
    try:
        go.set()
        _batch.update_rows(block, signal, out, status, tf)
    finally:
        sys.setswitchinterval(interval)
        thread.join()
    assert seen == [255]  # the last row was not written yet
    assert set(status.tolist()) == {0}


def test_a_signal_handler_stops_a_long_call_between_stretches_of_rows(ext, kc):
    """An exception from a signal handler (KeyboardInterrupt on Ctrl-C) ends the call at the next
    stretch of 262,144 rows, as it ends a loop in Python: the rows before are done, those after
    untouched. Refused rows (each writes its line, here to /dev/null) make the call long."""
    rows = 1_000_000
    block = make_block(ext, kc, "KivoTfWrench", "unset", "BestEffort", 3)
    rows_in = np.broadcast_to(np.ones(6), (rows, 6))
    out, status = np.full((rows, 6), 7.0), np.full(rows, 255, np.uint8)

    class Stop(Exception):
        pass

    def stop(signum, frame):
        raise Stop

    main_thread = threading.get_ident()
    go = threading.Event()
    thread = threading.Thread(target=lambda: (go.wait(),
                                              signal.pthread_kill(main_thread, signal.SIGUSR1)))
    thread.start()
    previous = signal.signal(signal.SIGUSR1, stop)
    saved_stderr = os.dup(2)
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 2)
    try:
        go.set()
        with pytest.raises(Stop):
            _batch.update_rows(block, rows_in, out, status)
    finally:
        os.dup2(saved_stderr, 2)
        os.close(saved_stderr)
        os.close(null)
        signal.signal(signal.SIGUSR1, previous)
        thread.join()
    done = int(np.count_nonzero(status != 255))
    assert 0 < done < rows and done % 262_144 == 0
    assert set(status[:done].tolist()) == {4} and not out[:done].any()
    assert (out[done:] == 7.0).all()


def test_the_module_imports_first_and_exits_cleanly(layout_dir, run_python, tmp_path):
    code = ("import numpy as np\n"
            "from kivo_tf_tools import _batch\n"
            "import kivo_tf_utils_ext as e\n"
            "out, status = np.empty((2, 7)), np.empty(2, np.uint8)\n"
            "_batch.update_rows(e.KivoTfPose(), np.zeros((2, 7)), out, status)\n"
            "print(status.tolist())\n")
    res = run_python(code, cwd=tmp_path, pythonpath=layout_dir)
    assert res.returncode == 0, res.stderr
    assert res.stdout == "[4, 4]\n"
    assert "leaked" not in res.stderr
    assert res.stderr.count("KivoTfPose: update() called before all TF entries are set.") == 2
