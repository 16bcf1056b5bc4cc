#!/usr/bin/env bash
# Sets everything up (scripts/setup.sh), then runs the demo: a few control cycles of each block on
# examples/kivo_tf_config.json, from C++ and from Python, and `kivo-tf check` on that file.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$root/scripts/setup.sh"
echo "== C++ demo"
"$root/build/examples/kivo_tf_demo" "$root/examples/kivo_tf_config.json"
echo
echo "== Python demo"
PYTHONPATH="$root/build/python_modules" "$root/.venv/bin/python" "$root/examples/demo.py"
echo
echo "== kivo-tf check examples/kivo_tf_config.json"
# Exit status 1 means warnings only and does not fail the demo; 2 (an error) does.
(cd "$root" && PYTHONPATH="$root/build/python_modules" "$root/.venv/bin/python" -m kivo_tf_tools \
  check examples/kivo_tf_config.json) || [ $? -eq 1 ]
