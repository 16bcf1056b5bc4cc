"""The ``kivo-tf`` command: one subcommand per tool, each in its own module."""
from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence

from kivo_tf_tools import __version__, check, draw, frames, run
from kivo_tf_tools._deps import MissingDependency
from kivo_tf_tools.sections import ConfigError

DESCRIPTION = """\
See and check what a kivo tf utils configuration file means.

  kivo-tf check CONFIG.json            findings about every section, like a compiler
  kivo-tf draw CONFIG.json -o F.png    a 3-D picture of the frames of each section
  kivo-tf run CONFIG.json SECTION --input IN.csv --output OUT.csv
                                       a recorded log through the real block
  kivo-tf frames BAG [-o tree.png]     the tf tree recorded in a ROS bag
"""


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
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        return int(args.func(args))
    except (MissingDependency, ConfigError) as error:
        print(f"kivo-tf {args.command}: error: {error}", file=sys.stderr)
        return 2
    except BrokenPipeError:
        # The reader of the standard output went away (e.g. `| head`): stop quietly.
        try:
            sys.stdout = open(os.devnull, "w")
        except OSError:
            pass
        return 1
    except KeyboardInterrupt:
        print("kivo-tf: interrupted", file=sys.stderr)
        return 130
