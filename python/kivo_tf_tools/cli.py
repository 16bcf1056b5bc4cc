"""The ``kivo-tf`` command: one subcommand per tool, each in its own module."""
from __future__ import annotations

import argparse
import os
import signal
import sys
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from types import FrameType

from kivo_tf_tools import __version__, check, draw, frames, run
from kivo_tf_tools._deps import MissingDependency
from kivo_tf_tools._escape import escaped
from kivo_tf_tools._output import stderr_line
from kivo_tf_tools.sections import ConfigError
from kivo_tf_tools.tables import RunError

DESCRIPTION = """\
See and check what a kivo tf utils configuration file means.

  kivo-tf check CONFIG.json            findings about every section, like a compiler
  kivo-tf draw CONFIG.json -o F.png    a 3-D picture of the frames of each section
  kivo-tf run CONFIG.json SECTION --input IN.csv --output OUT.csv
                                       a recorded log (CSV, Parquet, ROS bag) through the real block
  kivo-tf frames BAG [-o tree.png]     the tf tree recorded in a ROS bag
"""

# Signals that end a run like Ctrl-C does: whatever is being written is removed, exit 128 + N.
STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
# Set (to anything but "" or "0") to see the traceback of an internal error.
TRACEBACK_VARIABLE = "KIVO_TF_TRACEBACK"
# The exit status of an internal error (EX_SOFTWARE of sysexits.h).
INTERNAL_ERROR = 70


class Stopped(BaseException):
    """Raised in the main thread on SIGTERM or SIGHUP, so that every `finally` runs."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


def _stop(signum: int, frame: FrameType | None) -> None:
    raise Stopped(signum)


@contextmanager
def _stop_on_signals() -> Iterator[None]:
    previous = {}
    for signum in STOP_SIGNALS[1:]:
        try:
            previous[signum] = signal.signal(signum, _stop)
        except (ValueError, OSError):  # not the main thread
            pass
    try:
        yield
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)


def _reopen_closed_standard_streams() -> None:
    """A closed descriptor 0, 1 or 2 is opened on /dev/null, so that no file the tools open
    takes its number (the library writes its lines on 2); the Python stream of a closed one
    stays None, which the tools report when they need it."""
    for fd in (0, 1, 2):
        try:
            os.fstat(fd)
        except OSError:
            opened = os.open(os.devnull, os.O_RDWR)
            if opened != fd:
                os.dup2(opened, fd)
                os.close(opened)
            if fd == 0:
                sys.stdin = None
            elif fd == 1:
                sys.stdout = None
            else:
                sys.stderr = None


def _tolerant_standard_streams() -> None:
    """Text that cannot be encoded (a file name that is not UTF-8, read back as surrogates) is
    written with backslash escapes instead of raising on the way out."""
    for stream in (sys.stdout, sys.stderr):
        reconfigure = getattr(stream, "reconfigure", None)
        if reconfigure is not None:
            try:
                reconfigure(errors="backslashreplace")
            except (OSError, ValueError):
                pass


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="kivo-tf", description=DESCRIPTION,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    subparsers = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    for tool in (check, draw, run, frames):
        tool.add_parser(subparsers)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command of `argv` (default: the process's arguments) and returns its exit
    status. As the process's own command (no `argv`), a run that failed or was stopped ends the
    process here: a read or write of pyarrow's still blocked on a pipe must not hold up its exit."""
    status = _main(argv)
    if argv is None and status != 0:
        for stream in (sys.stdout, sys.stderr):
            try:
                if stream is not None:
                    stream.flush()
            except (OSError, ValueError):
                pass
        os._exit(status)
    return status


def _main(argv: Sequence[str] | None) -> int:
    _reopen_closed_standard_streams()
    _tolerant_standard_streams()
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        with _stop_on_signals():
            return int(args.func(args))
    except (MissingDependency, ConfigError, RunError) as error:
        stderr_line(f"kivo-tf {args.command}: error: {error}")
        return 2
    except BrokenPipeError:
        # The reader of the standard output went away (e.g. `| head`): stop quietly, with the
        # status of a process ended by SIGPIPE.
        try:
            sys.stdout = open(os.devnull, "w")
        except OSError:
            pass
        return 128 + signal.SIGPIPE
    except KeyboardInterrupt:
        stderr_line("kivo-tf: interrupted")
        return 128 + signal.SIGINT
    except Stopped as stop:
        stderr_line(f"kivo-tf: stopped by {signal.Signals(stop.signum).name}")
        return 128 + stop.signum
    except Exception as error:  # noqa: BLE001 - the last resort: one line, never a traceback
        return _internal_error(args.command, error)


def _internal_error(command: str, error: BaseException) -> int:
    """One line for an exception the tools did not expect (a fault of the tools, not of the
    input), or the traceback when TRACEBACK_VARIABLE is set."""
    if os.environ.get(TRACEBACK_VARIABLE, "") not in ("", "0"):
        import traceback

        if sys.stderr is not None:
            traceback.print_exception(error, file=sys.stderr)
    text = str(error).strip().splitlines()
    detail = f": {escaped(text[0])}" if text else ""
    stderr_line(f"kivo-tf {command}: internal error: {type(error).__name__}{detail} (set "
                f"{TRACEBACK_VARIABLE}=1 to see where; please report it)")
    return INTERNAL_ERROR
