"""``kivo-tf run``."""
from __future__ import annotations

import argparse
import sys
from typing import Any


def add_parser(subparsers: Any) -> None:
    parser = subparsers.add_parser("run", help="(not built yet)")
    parser.set_defaults(func=run)


def run(args: argparse.Namespace) -> int:
    print("kivo-tf run: not built yet", file=sys.stderr)
    return 2
