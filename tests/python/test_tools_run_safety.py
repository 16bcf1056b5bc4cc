"""`kivo-tf run` never destroys what it did not create, never hangs, and ends every failure with
one line: links, devices, FIFOs, the input as output, closed and full streams, signals."""
import os
import re
import signal
import stat
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

import kivo_tf_tools
from kivo_tf_tools._output import _can_link_unnamed
from kivo_tf_tools.cli import main

REPO = Path(__file__).resolve().parents[2]
EXAMPLE = REPO / "examples" / "kivo_tf_config.json"
HEADER = "t,fx,fy,fz,tx,ty,tz,tf_x,tf_y,tf_z,tf_qw,tf_qx,tf_qy,tf_qz\n"
ROW = "0.5,1.0,2.0,3.0,0.1,0.2,0.3,1.0,2.0,3.0,1.0,0.0,0.0,0.0\n"
# Repetitions of the stress cases; KIVO_STRESS_REPEAT=20 for the full campaign.
REPEAT = int(os.environ.get("KIVO_STRESS_REPEAT", "3"))


def write_log(path, rows, bad_at=None):
    with open(path, "w") as stream:
        stream.write(HEADER)
        for k in range(rows):
            stream.write(ROW.replace("2.0,3.0,0.1", "2.0,x,0.1") if k == bad_at else ROW)
    return path


def command(*args):
    return [sys.executable, "-m", "kivo_tf_tools", "run", str(EXAMPLE), "tf_wrench_config",
            *map(str, args)]


def environment():
    return {**os.environ, "PYTHONPATH": str(Path(kivo_tf_tools.__file__).resolve().parents[1])}


def run_cli(*args, timeout=60, **kwargs):
    return subprocess.run(command(*args), capture_output=True, text=True, env=environment(),
                          timeout=timeout, **kwargs)


@pytest.fixture
def run_tool(capfd):
    def run_tool(source, target):
        status = main(["run", str(EXAMPLE), "tf_wrench_config", "-i", str(source), "-o",
                       str(target)])
        return status, capfd.readouterr().err
    return run_tool


def left_in(directory):
    return sorted(p.name for p in Path(directory).iterdir())


def test_a_symlink_is_followed_and_stays_a_link(run_tool, tmp_path):
    source = write_log(tmp_path / "in.csv", 3)
    (tmp_path / "target.csv").write_text("old\n")
    os.chmod(tmp_path / "target.csv", 0o640)
    (tmp_path / "link.csv").symlink_to("target.csv")
    status, err = run_tool(source, tmp_path / "link.csv")
    assert status == 0, err
    assert (tmp_path / "link.csv").is_symlink()
    assert (tmp_path / "target.csv").read_text().startswith("t,fx,fy,fz,tx,ty,tz,status\n")
    assert stat.S_IMODE(os.stat(tmp_path / "target.csv").st_mode) == 0o640
    assert left_in(tmp_path) == ["in.csv", "link.csv", "target.csv"]


@pytest.mark.parametrize("kind", ["same path", "symlink to the input", "hard link to the input"])
def test_the_input_is_never_the_output(run_tool, tmp_path, kind):
    source = write_log(tmp_path / "in.csv", 3)
    before = source.read_bytes()
    target = {"same path": source, "symlink to the input": tmp_path / "link.csv",
              "hard link to the input": tmp_path / "hard.csv"}[kind]
    if kind == "symlink to the input":
        target.symlink_to("in.csv")
    elif kind == "hard link to the input":
        os.link(source, target)
    status, err = run_tool(source, target)
    assert status == 2
    assert err == f"kivo-tf run: error: the output {target} is the input: write to another file\n"
    assert source.read_bytes() == before and os.stat(source).st_nlink == (
        2 if kind == "hard link to the input" else 1)


def test_the_input_as_output_is_refused_before_reading(tmp_path):
    """A FIFO as both: refused without opening it for reading (which would wait for a writer)."""
    os.mkfifo(tmp_path / "pipe")
    result = run_cli("-i", tmp_path / "pipe", "-o", tmp_path / "pipe", timeout=30)
    assert result.returncode == 2
    assert result.stderr.endswith("is the input: write to another file\n")


def test_a_device_is_written_in_place(run_tool, tmp_path):
    source = write_log(tmp_path / "in.csv", 3)
    status, err = run_tool(source, "/dev/null")
    assert status == 0, err
    assert stat.S_ISCHR(os.stat("/dev/null").st_mode)
    status, err = run_tool(source, "/dev/full")
    assert status == 2
    assert err == "kivo-tf run: error: cannot write /dev/full: No space left on device\n"
    assert stat.S_ISCHR(os.stat("/dev/full").st_mode)


def test_a_fifo_is_written_in_place(run_tool, tmp_path):
    source = write_log(tmp_path / "in.csv", 3)
    os.mkfifo(tmp_path / "out.fifo")
    received = []
    reader = threading.Thread(target=lambda: received.append(
        (tmp_path / "out.fifo").read_text()))
    reader.start()
    status, err = run_tool(source, tmp_path / "out.fifo")
    reader.join(30)
    assert status == 0, err
    assert received[0].startswith("t,fx,fy,fz,tx,ty,tz,status\n0.5,")
    assert stat.S_ISFIFO(os.stat(tmp_path / "out.fifo").st_mode)


@pytest.mark.parametrize("target, message", [
    (".", "cannot write {tmp}: it is a directory"),
    ("missing/out.csv", "cannot write {tmp}/missing/out.csv: No such file or directory"),
])
def test_unwritable_destinations_give_one_line(run_tool, tmp_path, target, message):
    source = write_log(tmp_path / "in.csv", 3)
    path = tmp_path / target if target != "." else tmp_path
    status, err = run_tool(source, path)
    assert status == 2
    assert err == "kivo-tf run: error: " + message.format(tmp=tmp_path) + "\n"
    assert left_in(tmp_path) == ["in.csv"]


@pytest.mark.parametrize("how", ["fifo", "/dev/stdin", "process substitution"])
def test_inputs_that_cannot_seek(tmp_path, how):
    source = write_log(tmp_path / "in.csv", 5)
    if how == "fifo":
        os.mkfifo(tmp_path / "in.fifo")
        feeder = threading.Thread(target=lambda: (tmp_path / "in.fifo").write_bytes(
            source.read_bytes()))
        feeder.start()
        result = run_cli("-i", tmp_path / "in.fifo", "-o", "-")
        feeder.join(30)
    elif how == "/dev/stdin":
        with open(source) as stream:
            result = run_cli("-i", "/dev/stdin", "-o", "-", stdin=stream)
    else:
        line = " ".join(f"'{c}'" for c in command("-i", "<(cat in.csv)", "-o", "-"))
        result = subprocess.run(["bash", "-c", line.replace("'<(cat in.csv)'", "<(cat in.csv)")],
                                cwd=tmp_path, capture_output=True, text=True, env=environment(),
                                timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.count("\n") == 6 and result.stdout.endswith(",Ok\n")
    assert result.stderr.startswith("kivo-tf run: 5 rows, 0 refused, ")


@pytest.mark.parametrize("redirect, message", [
    ("<&-", "kivo-tf run: error: standard input is closed\n"),
    (">&-", "kivo-tf run: error: standard output is closed\n"),
    (">/dev/full", "kivo-tf run: error: cannot write standard output: No space left on device\n"),
])
def test_closed_and_full_standard_streams(tmp_path, redirect, message):
    write_log(tmp_path / "in.csv", 3)
    source = "-" if redirect == "<&-" else "in.csv"
    line = " ".join(f"'{c}'" for c in command("-i", source, "-o", "-")) + " " + redirect
    result = subprocess.run(["bash", "-c", line], cwd=tmp_path, capture_output=True,
                            text=True, env=environment(), timeout=60)
    assert (result.returncode, result.stderr) == (2, message)


def test_closed_standard_error_keeps_the_output_clean(tmp_path):
    """The library's lines for refused rows go nowhere, not into the output file that took
    descriptor 2."""
    (tmp_path / "in.csv").write_text("fx,fy,fz,tx,ty,tz\n1,2,3,4,5,6\n")
    line = " ".join(f"'{c}'" for c in command("-i", "in.csv", "-o", "out.csv")) + " 2>&-"
    result = subprocess.run(["bash", "-c", line], cwd=tmp_path, capture_output=True, text=True,
                            env=environment(), timeout=60)
    assert result.returncode == 0
    assert (tmp_path / "out.csv").read_text() == (
        "fx,fy,fz,tx,ty,tz,status\n0.0,0.0,0.0,0.0,0.0,0.0,Error\n")


def test_an_endless_input_stops_with_one_line(tmp_path):
    result = run_cli("-i", "/dev/zero", "-o", tmp_path / "out.csv")
    assert result.returncode == 2
    assert result.stderr == ("kivo-tf run: error: /dev/zero: line 1: no end of the header line "
                             "within 1 MiB: not a CSV log\n")
    assert left_in(tmp_path) == []


def test_a_closed_output_pipe_ends_the_run_quietly(tmp_path):
    source = write_log(tmp_path / "in.csv", 200_000)
    run = subprocess.Popen(command("-i", source, "-o", "-"), stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, env=environment())
    assert run.stdout.readline().startswith(b"t,fx,")
    run.stdout.close()
    assert run.wait(60) == 128 + signal.SIGPIPE
    assert run.stderr.read() == b""


def slow_run(tmp_path):
    """A run reading from a FIFO that a thread feeds slowly: (process, stop feeding)."""
    os.mkfifo(tmp_path / "in.fifo")
    done = threading.Event()

    def feed():
        try:
            with open(tmp_path / "in.fifo", "w") as stream:
                stream.write(HEADER)
                while not done.wait(0.01):
                    stream.write(ROW * 100)
                    stream.flush()
        except OSError:  # the run has gone: its end of the FIFO is closed
            pass

    feeder = threading.Thread(target=feed, daemon=True)
    feeder.start()
    run = subprocess.Popen(command("-i", tmp_path / "in.fifo", "-o", tmp_path / "out.csv"),
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=environment())
    time.sleep(1.0)
    return run, done


@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGHUP, signal.SIGINT])
def test_signals_end_the_run_and_remove_the_temporary_output(tmp_path, signum):
    run, done = slow_run(tmp_path)
    try:
        run.send_signal(signum)
        assert run.wait(30) == 128 + signum
    finally:
        done.set()
        run.kill()
    err = run.stderr.read().decode()
    name = {signal.SIGINT: "interrupted"}.get(signum, f"stopped by {signal.Signals(signum).name}")
    assert err == f"kivo-tf: {name}\n"
    assert left_in(tmp_path) == ["in.fifo"]


@pytest.mark.skipif(not _can_link_unnamed("/tmp"), reason="no O_TMPFILE with linkat here")
def test_sigkill_leaves_no_temporary_file(tmp_path):
    run, done = slow_run(tmp_path)
    run.kill()
    run.wait(30)
    done.set()
    assert left_in(tmp_path) == ["in.fifo"]


@pytest.mark.parametrize("repetition", range(REPEAT))
def test_stress_every_failure_ends_promptly_with_its_status(tmp_path, repetition):
    """The cases that hung with worker processes: a bad value mid-file, a closed output pipe and
    a killed run, each under a timeout, every time with the right exit status."""
    rows = 60_000
    source = write_log(tmp_path / "bad.csv", rows, bad_at=rows // 2)
    result = run_cli("-i", source, "-o", tmp_path / "out.csv", timeout=60)
    assert result.returncode == 2
    assert result.stderr == (f"kivo-tf run: error: {source}: line {rows // 2 + 2}: column 'fz': "
                             "'x' is not a number\n")
    good = write_log(tmp_path / "good.csv", rows)
    pipeline = subprocess.run(
        ["bash", "-o", "pipefail", "-c",
         " ".join(f"'{c}'" for c in command("-i", good, "-o", "-")) + " | head -n 3 >/dev/null"],
        capture_output=True, text=True, env=environment(), timeout=60)
    assert pipeline.returncode == 128 + signal.SIGPIPE and pipeline.stderr == ""
    (tmp_path / "bad.csv").unlink()
    (tmp_path / "good.csv").unlink()
    run, done = slow_run(tmp_path)
    try:
        run.send_signal(signal.SIGTERM if repetition % 2 else signal.SIGKILL)
        status = run.wait(30)
    finally:
        done.set()
        run.kill()
    assert status == (128 + signal.SIGTERM if repetition % 2 else -signal.SIGKILL)
    if repetition % 2 or _can_link_unnamed(str(tmp_path)):
        assert left_in(tmp_path) == ["in.fifo"]


@pytest.fixture
def tiny_file_system(tmp_path):
    """A 1 MiB tmpfs (root only; skipped where mounting is not allowed)."""
    mount_point = tmp_path / "tiny"
    mount_point.mkdir()
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", str(mount_point)],
                             capture_output=True)
    if mounted.returncode != 0:
        pytest.skip("cannot mount a tmpfs here")
    yield mount_point
    subprocess.run(["umount", str(mount_point)], check=True)


def test_a_full_file_system_gives_one_line_and_leaves_nothing(tmp_path, tiny_file_system):
    source = write_log(tmp_path / "in.csv", 20_000)
    (tiny_file_system / "out.csv").write_text("earlier result\n")
    result = run_cli("-i", source, "-o", tiny_file_system / "out.csv", timeout=60)
    assert result.returncode == 2
    assert result.stderr == (f"kivo-tf run: error: cannot write {tiny_file_system / 'out.csv'}: "
                             "No space left on device\n")
    assert left_in(tiny_file_system) == ["out.csv"]
    assert (tiny_file_system / "out.csv").read_text() == "earlier result\n"


@pytest.mark.parametrize("path", ["/dev/stdout", "/dev/stderr", "/dev/fd/{fd}",
                                  "/proc/self/fd/1", "link-to-stdout"])
def test_a_descriptor_path_appends_to_the_stream_as_open(tmp_path, path):
    """`-o /dev/stdout >> keep.txt` once replaced keep.txt through a temporary file."""
    source = write_log(tmp_path / "in.csv", 3)
    (tmp_path / "link-to-stdout").symlink_to("/dev/stdout")
    (tmp_path / "keep.txt").write_text("kept\n")
    before = os.stat(tmp_path / "keep.txt").st_ino
    fd = os.open(tmp_path / "keep.txt", os.O_WRONLY | os.O_APPEND)
    streams = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}
    if path in ("/dev/stdout", "/proc/self/fd/1", "link-to-stdout"):
        streams["stdout"] = fd
    elif path == "/dev/stderr":
        streams["stderr"] = fd
    try:
        result = subprocess.run(command("-i", source, "-o", path.format(fd=fd)), cwd=tmp_path,
                                env=environment(), timeout=60, pass_fds=(fd,), **streams)
    finally:
        os.close(fd)
    assert result.returncode == 0
    kept = (tmp_path / "keep.txt").read_text()
    assert kept.startswith("kept\nt,fx,fy,fz,tx,ty,tz,status\n0.5,")
    assert kept.count(",Ok\n") == 3 and os.stat(tmp_path / "keep.txt").st_ino == before
    assert left_in(tmp_path) == ["in.csv", "keep.txt", "link-to-stdout"]


def dead_pid():
    child = subprocess.Popen([sys.executable, "-c", ""])
    child.wait()
    return child.pid


def test_stale_temporary_files_of_dead_runs_are_removed(tmp_path):
    from kivo_tf_tools._output import private_temp_name, remove_stale_temps

    name = private_temp_name(str(tmp_path), "out.csv")
    assert re.fullmatch(rf"{re.escape(str(tmp_path))}/\.out\.csv\.kivo-tf-{os.getpid()}-"
                        r"[0-9a-f]{8}\.tmp", name) and not os.path.exists(name)
    dead = dead_pid()
    stale = [f".out.csv.kivo-tf-{dead}-0123abcd.tmp", f".out.csv.kivo-tf-{dead}-89abcdef.tmp"]
    kept = [os.path.basename(name), f".out.csv.kivo-tf-{os.getppid()}-0123abcd.tmp",
            f".other.csv.kivo-tf-{dead}-0123abcd.tmp", f".out.csv.kivo-tf-{dead}-0123abc.tmp",
            f".out.csv.kivo-tf-{dead}-0123ABCD.tmp", f"out.csv.kivo-tf-{dead}-0123abcd.tmp",
            f".out.csv.{dead}.tmp", "out.csv"]
    for entry in [stale[0], *kept]:
        (tmp_path / entry).write_text("x")
    (tmp_path / stale[1]).mkdir()  # a staged directory, as bag outputs make
    (tmp_path / stale[1] / "part").write_text("x")
    remove_stale_temps(str(tmp_path), "out.csv")
    assert left_in(tmp_path) == sorted(kept)
    remove_stale_temps(str(tmp_path / "missing"), "out.csv")  # errors are ignored


def test_a_run_removes_what_a_killed_run_left_beside_its_output(run_tool, tmp_path):
    source = write_log(tmp_path / "in.csv", 3)
    left = tmp_path / f".out.csv.kivo-tf-{dead_pid()}-00000000.tmp"
    left.write_text("partial")
    status, err = run_tool(source, tmp_path / "out.csv")
    assert status == 0, err
    assert left_in(tmp_path) == ["in.csv", "out.csv"]
