#!/usr/bin/env bash
# Sets everything up (scripts/setup.sh), then runs every test: the C++ suites with CTest and the
# Python suite with pytest against the modules in build/python_modules; then the same C++ and
# Python tests again, built with AddressSanitizer and UndefinedBehaviorSanitizer in build-asan/,
# with the replay of the fuzz corpus (scripts/test_sanitized.sh). A failing part does not stop
# the others; the exit status is non-zero when any part failed.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$root/scripts/setup.sh"
failed=()
echo "== C++ tests"
(cd "$root/build" && ctest --output-on-failure -j "$(nproc)") || failed+=("C++ tests")
echo "== Python tests"
(cd "$root" && PYTHONPATH="$root/build/python_modules" "$root/.venv/bin/python" -m pytest -q tests/python) \
  || failed+=("Python tests")
bash "$root/scripts/test_sanitized.sh" || failed+=("sanitized tests")
if [ "${#failed[@]}" -gt 0 ]; then
  echo "test: failed: $(IFS=,; echo "${failed[*]}" | sed 's/,/, /g')" >&2
  exit 1
fi
