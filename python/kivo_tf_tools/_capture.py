"""Capture of what the library writes on the process's standard error stream.

The library reports refusals and warnings with one line each on file descriptor 2 (from C++,
not through Python's ``sys.stderr``). The tools redirect that descriptor around their calls into
the library, so that their own output stays readable and the lines can be counted and summarised.
"""
from __future__ import annotations

import os
import sys
import tempfile
from types import TracebackType


class LibraryStderr:
    """Redirects file descriptor 2 to a temporary file between `__enter__` and `__exit__`.

    Reusable: each `with` block appends to the capture; `take()` returns the captured lines and
    empties the capture."""

    def __init__(self) -> None:
        self._file = tempfile.TemporaryFile()
        self._saved: int | None = None

    def __enter__(self) -> LibraryStderr:
        if sys.stderr is not None:
            sys.stderr.flush()
        try:
            self._saved = os.dup(2)
        except OSError:  # descriptor 2 is closed: leave it closed afterwards
            self._saved = -1
        os.dup2(self._file.fileno(), 2)
        return self

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        assert self._saved is not None
        if self._saved >= 0:
            os.dup2(self._saved, 2)
            os.close(self._saved)
        else:
            os.close(2)
        self._saved = None

    def take(self) -> list[str]:
        """The lines written since the last call, without their line ends."""
        fd = self._file.fileno()
        size = os.lseek(fd, 0, os.SEEK_END)
        if size == 0:
            return []
        os.lseek(fd, 0, os.SEEK_SET)
        data = b""
        while len(data) < size:
            block = os.read(fd, size - len(data))
            if not block:
                break
            data += block
        os.ftruncate(fd, 0)
        os.lseek(fd, 0, os.SEEK_SET)
        return data.decode("utf-8", "replace").splitlines()

    def close(self) -> None:
        self._file.close()
