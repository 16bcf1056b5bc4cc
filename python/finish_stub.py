"""Finishes a type stub written by nanobind's stub generator for one of the project's modules.

The modules render an array parameter as `ndarray[dtype=float64, shape=(6), order='C',
device='cpu']`, which the generator turns into
`Annotated[NDArray[numpy.float64], dict(shape=(6), order='C', device='cpu')]` and an import of
NumPy. The modules accept any object with the buffer protocol (a NumPy array, `array.array`, a
memoryview) and never import NumPy, so the stub types such a parameter as
`Annotated[Buffer, dict(dtype='float64', shape=(6), order='C', device='cpu')]`, with `Buffer` from
`collections.abc` (Python 3.12+) or `typing_extensions` (which type checkers bundle), and imports
nothing else.

Usage: python finish_stub.py GENERATED.pyi OUTPUT.pyi
"""
from __future__ import annotations

import re
import sys
from pathlib import Path

NDARRAY = re.compile(
    r"Annotated\[NDArray\[numpy\.(?P<dtype>\w+)\], dict\((?P<extras>(?:[^()]|\([^()]*\))*)\)\]")
NUMPY_IMPORTS = ("import numpy\n", "from numpy.typing import NDArray\n")
BUFFER_IMPORT = """import sys

if sys.version_info >= (3, 12):
    from collections.abc import Buffer
else:
    from typing_extensions import Buffer
"""


def as_buffer(match: re.Match[str]) -> str:
    extras = match["extras"].strip()
    return f"Annotated[Buffer, dict(dtype='{match['dtype']}'{', ' if extras else ''}{extras})]"


def finish(text: str) -> str:
    text, arrays = NDARRAY.subn(as_buffer, text)
    if not arrays:
        return text
    for line in NUMPY_IMPORTS:
        text = text.replace(line, "", 1)
    if re.search(r"\bnumpy\b|\bNDArray\b", text):
        raise SystemExit("finish_stub: an array annotation of an unknown form is left:\n" + text)
    # The buffer import goes after the generator's imports, before the first definition.
    first_definition = re.search(r"^(class|def|@|\w+\s*[:=])", text, re.MULTILINE)
    cut = first_definition.start() if first_definition else len(text)
    head = text[:cut].rstrip("\n") + "\n"
    return head + BUFFER_IMPORT + "\n\n" + text[cut:]


def main() -> None:
    generated, output = map(Path, sys.argv[1:3])
    output.parent.mkdir(parents=True, exist_ok=True)
    output.write_text(finish(generated.read_text(encoding="utf-8")), encoding="utf-8")


if __name__ == "__main__":
    main()
