"""Where ``kivo-tf run`` writes, without ever destroying what it did not create.

- A path that does not exist, or names a regular file: the output goes to a file in the same
  directory, unnamed while it is written (``O_TMPFILE``: a run killed even by SIGKILL leaves
  nothing behind; where the file system lacks it, a hidden ``.NAME.kivo-tf-PID-XXXXXXXX.tmp``
  removed on every error and signal), and takes the destination's name only when the run
  succeeds. A regular file keeps its permission bits. A temporary file left by a run that was
  killed (its process id no longer running) is removed by the next run writing beside it.
- A symbolic link is followed: its target is written, the link stays.
- A path naming a descriptor the process has open (``/dev/stdout``, ``/dev/stderr``,
  ``/dev/fd/N``, ``/proc/self/fd/N``, or a link to one) is written through a duplicate of that
  descriptor, where it stands: appending where the shell opened it to append (``>>``), never
  truncated or replaced, as ``-`` writes standard output.
- A device, FIFO or other non-regular file (``/dev/null``, a named pipe) is written to directly.
- A directory is refused, and so is the input itself (same device and inode, after links).
"""
from __future__ import annotations

import errno
import fcntl
import os
import re
import secrets
import shutil
import stat
import sys
from typing import BinaryIO

from kivo_tf_tools._escape import escaped
from kivo_tf_tools.tables import RunError


def same_file(a: os.stat_result, b: os.stat_result) -> bool:
    return (a.st_dev, a.st_ino) == (b.st_dev, b.st_ino)


def private_temp_name(directory: str, base: str) -> str:
    """A new path beside `base` in `directory` for this process to stage an output in (not
    created): ``directory/.{base}.kivo-tf-{pid}-{8 hex digits}.tmp``."""
    return os.path.join(directory, f".{base}.kivo-tf-{os.getpid()}-{secrets.token_hex(4)}.tmp")


def remove_stale_temps(directory: str, base: str) -> None:
    """Removes what `private_temp_name(directory, base)` named for a process that is no longer
    running (files or whole directories): a run killed by SIGKILL could not remove its own.
    Nothing else is touched, and errors are ignored."""
    pattern = re.compile(rf"\.{re.escape(base)}\.kivo-tf-(\d+)-[0-9a-f]{{8}}\.tmp")
    try:
        names = os.listdir(directory)
    except OSError:
        return
    for name in names:
        match = pattern.fullmatch(name)
        if match is None:
            continue
        try:
            os.kill(int(match.group(1)), 0)
            continue  # running (or another user's): kept
        except ProcessLookupError:
            pass
        except (OSError, OverflowError, ValueError):
            continue
        path = os.path.join(directory, name)
        try:
            if os.path.isdir(path) and not os.path.islink(path):
                shutil.rmtree(path, ignore_errors=True)
            else:
                os.unlink(path)
        except OSError:
            pass


# Paths that name an open descriptor of this process rather than a file.
_STANDARD_PATHS = {"/dev/stdin": 0, "/dev/stdout": 1, "/dev/stderr": 2}
_DESCRIPTOR_PATH = re.compile(r"/(?:dev/fd|proc/self/fd|proc/(\d+)/fd)/(\d+)")


def descriptor_path(path: str) -> int | None:
    """The descriptor that `path` names (/dev/stdout, /dev/stderr, /dev/fd/N, /proc/self/fd/N,
    /proc/PID/fd/N of this process, directly or through symbolic links), or None."""
    if path == "-":
        return None
    current = os.path.abspath(path)
    for _ in range(40):  # the kernel's limit of links followed
        if current in _STANDARD_PATHS:
            return _STANDARD_PATHS[current]
        match = _DESCRIPTOR_PATH.fullmatch(current)
        if match is not None and (match.group(1) is None
                                  or int(match.group(1)) == os.getpid()):
            return int(match.group(2))
        try:
            target = os.readlink(current)
        except OSError:  # not a link (or not there)
            return None
        current = os.path.normpath(os.path.join(os.path.dirname(current), target))
    return None


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


class Destination:
    """An open output: write to `stream`, then `commit()` or `discard()`."""

    def __init__(self, path: str, input_stat: os.stat_result | None) -> None:
        self.path = path
        self.name = "standard output" if path == "-" else escaped(path)
        self._fd = -1
        self._temp: str | None = None  # the named temporary file, when O_TMPFILE is not used
        self._unnamed = False
        self._target = path
        descriptor = descriptor_path(path)
        if path == "-":
            self._open_standard_output(input_stat)
        elif descriptor is not None:
            self._open_descriptor(descriptor, input_stat)
        else:
            self._open_path(input_stat)
        self.stream: BinaryIO = open(self._fd, "wb", buffering=1 << 20,
                                     closefd=path != "-")

    def _open_standard_output(self, input_stat: os.stat_result | None) -> None:
        try:
            out = os.fstat(1)
            if sys.stdout is None:  # closed when the process started (now on /dev/null)
                raise OSError
        except OSError:
            raise RunError("standard output is closed") from None
        if input_stat is not None and stat.S_ISREG(out.st_mode) and same_file(out, input_stat):
            raise RunError("the standard output is the input file: write to another file")
        self._fd = 1

    def _open_descriptor(self, descriptor: int, input_stat: os.stat_result | None) -> None:
        """Writes through a duplicate of an open descriptor, at its own offset and flags."""
        standard = {0: (sys.stdin, "standard input"), 1: (sys.stdout, "standard output"),
                    2: (sys.stderr, "standard error")}
        if descriptor in standard and standard[descriptor][0] is None:
            raise RunError(f"cannot write {self.name}: {standard[descriptor][1]} is closed")
        try:
            info = os.fstat(descriptor)
            writable = (fcntl.fcntl(descriptor, fcntl.F_GETFL) & os.O_ACCMODE) != os.O_RDONLY
        except OSError as error:
            raise RunError(f"cannot write {self.name}: {error.strerror}") from None
        if (input_stat is not None and stat.S_ISREG(info.st_mode)
                and same_file(info, input_stat)):
            raise RunError(f"the output {self.name} is the input: write to another file")
        if stat.S_ISDIR(info.st_mode):
            raise RunError(f"cannot write {self.name}: it is a directory")
        if not writable:
            raise RunError(f"cannot write {self.name}: it is open for reading only")
        self._fd = os.dup(descriptor)

    def _open_path(self, input_stat: os.stat_result | None) -> None:
        target = os.path.realpath(self.path)
        self._target = target
        try:
            existing: os.stat_result | None = os.stat(target)
        except FileNotFoundError:
            existing = None
        except OSError as error:
            raise RunError(f"cannot write {self.name}: {error.strerror}") from None
        if existing is not None and input_stat is not None and same_file(existing, input_stat):
            raise RunError(f"the output {self.name} is the input: write to another file")
        if existing is not None and stat.S_ISDIR(existing.st_mode):
            raise RunError(f"cannot write {self.name}: it is a directory")
        if existing is not None and not stat.S_ISREG(existing.st_mode):
            try:  # a device or FIFO: written in place, never replaced
                self._fd = os.open(target, os.O_WRONLY | os.O_NOCTTY | os.O_CLOEXEC)
            except OSError as error:
                raise RunError(f"cannot write {self.name}: {error.strerror}") from None
            return
        directory = os.path.dirname(target) or "."
        mode = (existing.st_mode & 0o7777) if existing is not None else 0o666 & ~_umask()
        remove_stale_temps(directory, os.path.basename(target))
        unnamed = getattr(os, "O_TMPFILE", 0)
        try:
            if not unnamed or not _can_link_unnamed(directory):
                raise NotImplementedError
            self._fd = os.open(directory, unnamed | os.O_RDWR | os.O_CLOEXEC, mode)
            self._unnamed = True
        except NotImplementedError:
            self._open_named_temp(directory, target)
        except OSError as error:
            if error.errno not in (errno.EISDIR, errno.EOPNOTSUPP, errno.EINVAL):
                raise RunError(f"cannot write {self.name}: {error.strerror}") from None
            self._open_named_temp(directory, target)
        os.fchmod(self._fd, mode)

    def _open_named_temp(self, directory: str, target: str) -> None:
        self._fd, self._temp = self._named_temp(directory, target)

    def _named_temp(self, directory: str, target: str) -> tuple[int, str]:
        """A new hidden file beside the destination: (descriptor, path)."""
        base = os.path.basename(target)
        for _ in range(100):
            name = private_temp_name(directory, base)
            try:
                fd = os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o600)
            except FileExistsError:
                continue
            except OSError as error:
                raise RunError(f"cannot write {self.name}: {error.strerror}") from None
            return fd, name
        raise RunError(f"cannot write {self.name}: no free temporary name")

    def commit(self) -> None:
        """Flushes the output and gives it the destination's name. Raises RunError."""
        try:
            self.stream.flush()
            if self.path != "-":
                if self._unnamed:
                    self._temp = self._link_unnamed()
                if self._temp is not None:
                    os.replace(self._temp, self._target)
                    self._temp = None
        except OSError as error:
            raise RunError(f"cannot write {self.name}: {error.strerror}") from None
        finally:
            self.discard()

    def _link_unnamed(self) -> str:
        """A name for the unnamed file, beside the destination. Where the kernel will not link
        it (some sandboxes), its bytes are copied into a named temporary file."""
        directory = os.path.dirname(self._target) or "."
        base = os.path.basename(self._target)
        while True:
            name = private_temp_name(directory, base)
            try:
                _link_descriptor(self._fd, name)
            except FileExistsError:
                continue
            except OSError:
                break
            return name
        fd, self._temp = self._named_temp(directory, self._target)
        try:
            os.fchmod(fd, os.fstat(self._fd).st_mode & 0o7777)
            size = os.fstat(self._fd).st_size
            offset = 0
            while offset < size:
                sent = os.sendfile(fd, self._fd, offset, size - offset)
                if sent == 0:
                    raise OSError(errno.EIO, "short copy")
                offset += sent
        finally:
            os.close(fd)
        return self._temp

    def reopen(self) -> BinaryIO | None:
        """A new stream reading what has been written (flush first), when the output is a regular
        file of this run's own, not yet named; None for a device, FIFO or descriptor."""
        if self._temp is not None:
            return open(self._temp, "rb")
        if self._unnamed:
            return open(f"/proc/self/fd/{self._fd}", "rb")
        return None

    def discard(self) -> None:
        """Closes the output; a temporary file that did not take the destination's name is
        removed. Safe to call more than once."""
        try:
            self.stream.close()
        except OSError:
            pass
        if self._temp is not None:
            try:
                os.unlink(self._temp)
            except FileNotFoundError:
                pass
            self._temp = None


def _link_descriptor(fd: int, path: str) -> None:
    """Gives the open file `fd` the name `path` (linkat with AT_SYMLINK_FOLLOW through /proc;
    os.link takes that path only when given a directory descriptor)."""
    directory = os.open(os.path.dirname(path) or ".", os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        os.link(f"/proc/self/fd/{fd}", os.path.basename(path), dst_dir_fd=directory,
                follow_symlinks=True)
    finally:
        os.close(directory)


def _can_link_unnamed(directory: str) -> bool:
    """Whether an unnamed file (O_TMPFILE) made in `directory` can be given a name there: tried
    once with an empty one, which never stays visible for more than a moment."""
    try:
        fd = os.open(directory, os.O_TMPFILE | os.O_WRONLY | os.O_CLOEXEC, 0o600)
    except OSError:
        return False
    try:
        name = os.path.join(directory, f".kivo-tf.{secrets.token_hex(8)}.tmp")
        _link_descriptor(fd, name)
        os.unlink(name)
        return True
    except OSError:
        return False
    finally:
        os.close(fd)


def input_stat(path: str) -> os.stat_result | None:
    """The input's identity, to refuse writing onto it (None: standard input that is no file)."""
    try:
        return os.fstat(0) if path == "-" else os.stat(path)
    except OSError:
        return None


def stderr_line(text: str) -> None:
    """One line on the standard error stream, if there is one."""
    if sys.stderr is None:
        return
    try:
        sys.stderr.write(text + "\n")
        sys.stderr.flush()
    except (OSError, ValueError):
        pass
