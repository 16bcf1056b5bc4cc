"""Finishes a type stub written by nanobind's stub generator for one of the project's modules.

The modules render an array parameter as `ndarray[dtype=float64, shape=(6), order='C',
device='cpu']`, which the generator turns into
`Annotated[NDArray[numpy.float64], dict(shape=(6), order='C', device='cpu')]` and an import of
NumPy. The modules accept any object with the buffer protocol (`array.array`, a memoryview, a NumPy
array) or with a DLPack export, and never import NumPy, so the stub types such a parameter as
`Annotated[Buffer | _DLPackArray, dict(dtype='float64', shape=(6), order='C', device='cpu')]` and
imports nothing else. `Buffer` comes from `collections.abc` (Python 3.12+) or `typing_extensions`
(bundled with type checkers); `_DLPackArray` is a protocol declared in the stub: NumPy's own stubs
give arrays `__buffer__` only from Python 3.12 on, but `__dlpack__` always.

Usage: python finish_stub.py GENERATED.pyi OUTPUT.pyi
"""
from __future__ import annotations

import re
import sys
from pathlib import Path

NDARRAY = re.compile(
    r"Annotated\[NDArray\[numpy\.(?P<dtype>\w+)\], dict\((?P<extras>(?:[^()]|\([^()]*\))*)\)\]")
NUMPY_IMPORTS = ("import numpy\n", "from numpy.typing import NDArray\n")
ARRAY_TYPES = '''import sys
from typing import Protocol

if sys.version_info >= (3, 12):
    from collections.abc import Buffer
else:
    from typing_extensions import Buffer


class _DLPackArray(Protocol):
    """An array that exports its data through DLPack, such as a NumPy array."""

    def __dlpack__(self) -> object: ...
'''


def as_buffer(match: re.Match[str]) -> str:
    extras = match["extras"].strip()
    return (f"Annotated[Buffer | _DLPackArray, "
            f"dict(dtype='{match['dtype']}'{', ' if extras else ''}{extras})]")


def finish(text: str) -> str:
    text, arrays = NDARRAY.subn(as_buffer, text)
    if not arrays:
        return text
    for line in NUMPY_IMPORTS:
        text = text.replace(line, "", 1)
    if re.search(r"\bnumpy\b|\bNDArray\b", text):
        raise SystemExit("finish_stub: an array annotation of an unknown form is left:\n" + text)
    # The array types go after the generator's imports, before the first definition.
    first_definition = re.search(r"^(class|def|@|\w+\s*[:=])", text, re.MULTILINE)
    cut = first_definition.start() if first_definition else len(text)
    head = text[:cut].rstrip("\n") + "\n"
    return head + ARRAY_TYPES + "\n\n" + text[cut:]


def main() -> None:
    generated, output = map(Path, sys.argv[1:3])
    output.parent.mkdir(parents=True, exist_ok=True)
    output.write_text(finish(generated.read_text(encoding="utf-8")), encoding="utf-8")


if __name__ == "__main__":
    main()
