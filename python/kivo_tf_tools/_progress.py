"""A progress bar on the standard error stream for long runs, drawn by tqdm: only when that stream
is a terminal and the run was not asked to be quiet, and only once the run has taken a while.
Anything else (a log file, a pipe, --quiet, tqdm missing) gets nothing, and the run is the same."""
from __future__ import annotations

import importlib
import sys
from types import TracebackType
from typing import Any

# A run shorter than this shows no bar at all.
DELAY_S = 1.0


def _is_terminal(stream: Any) -> bool:
    try:
        return bool(stream is not None and stream.isatty())
    except (OSError, ValueError):
        return False


class Progress:
    """Counts `unit`s done out of `total` (None: unknown) and shows them as a bar with the rate
    and the time left. Use as a context; `update(n)` after each piece of work."""

    def __init__(self, total: int | None, unit: str, description: str,
                 quiet: bool = False) -> None:
        self._bar: Any = None
        if quiet or not _is_terminal(sys.stderr):
            return
        try:
            tqdm: Any = importlib.import_module("tqdm")
        except ImportError:
            return
        # No monitor thread: the bar is drawn only from the thread that updates it, never while
        # the library's stderr lines are being captured.
        tqdm.tqdm.monitor_interval = 0
        self._bar = tqdm.tqdm(total=total, unit=unit, unit_scale=True, desc=description,
                              delay=DELAY_S, leave=False, file=sys.stderr, dynamic_ncols=True)

    @property
    def shown(self) -> bool:
        return self._bar is not None

    def update(self, count: int) -> None:
        if self._bar is not None and count:
            self._bar.update(count)

    def close(self) -> None:
        if self._bar is not None:
            try:
                self._bar.close()
            except (OSError, ValueError):
                pass
            self._bar = None

    def __enter__(self) -> Progress:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 trace: TracebackType | None) -> None:
        self.close()
