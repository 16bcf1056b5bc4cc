"""ROS bags for ``kivo-tf run`` (placeholder until bag support lands)."""
from __future__ import annotations

import argparse
import os

from kivo_tf_tools.tables import RunError


def is_bag(path: str) -> bool:
    """A ROS 1 bag (a path ending in `.bag`) or a rosbag2 directory (one holding metadata.yaml)."""
    return path.endswith(".bag") or os.path.isfile(os.path.join(path, "metadata.yaml"))


def run_bag(args: argparse.Namespace) -> int:
    raise RunError("ROS bags are not supported yet")
