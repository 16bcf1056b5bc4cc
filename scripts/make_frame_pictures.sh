#!/usr/bin/env bash
# Draws the pictures of docs/frames.md with `kivo-tf draw` from examples/kivo_tf_config.json, one
# per section, each with the moving frame of that block's worked example in docs/frames.md.
# Uses the build tree (run scripts/setup.sh first); writes docs/frames_<block>.png.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
config="$root/examples/kivo_tf_config.json"
h=0.7071067811865476  # √½: cos and sin of a quarter turn's half angle
draw() {
  PYTHONPATH="$root/build/python_modules" "$root/.venv/bin/python" -m kivo_tf_tools draw "$config" "$@"
}
# M displaced by (1, 2, 3) and turned a quarter turn about z. The triads are drawn longer than the
# sensor's 0.1 m offset, which they would otherwise follow, so that they show across 3.8 m.
draw --section tf_wrench_config --tf 1 2 3 "$h" 0 0 "$h" --axis-length 0.8 \
  -o "$root/docs/frames_wrench.png"
draw --section tf_twist_config --tf 1 2 3 "$h" 0 0 "$h" --axis-length 0.8 \
  -o "$root/docs/frames_twist.png"
# The pose block's M follows from its input pose: position (1, 0, 0), a quarter turn about z.
draw --section tf_pose_config --pose 1 0 0 "$h" 0 0 "$h" --axis-length 0.15 \
  -o "$root/docs/frames_pose.png"
# M at the origin of F, turned a quarter turn about z.
draw --section tf_imu_config --tf 0 0 0 "$h" 0 0 "$h" -o "$root/docs/frames_imu.png"
ls -l "$root"/docs/frames_*.png
