#!/usr/bin/env bash
# The sanitized part of scripts/test.sh, run after scripts/setup.sh: builds the library, the
# Python modules and the C++ tests with AddressSanitizer and UndefinedBehaviorSanitizer (GCC) in
# build-asan/, then runs
#   - the C++ tests with CTest, leak detection on, including the replay of the fuzz corpus
#     tests/fuzz/corpus through the configuration loader's fuzz target;
#   - the Python tests (all but the wheel packaging test) in an interpreter with the sanitizer
#     runtimes preloaded, leak detection off (the interpreter keeps its objects until exit).
# Every sanitizer report stops its program; any report, and any failed test, fails the run.
# AddressSanitizer writes its reports to build-asan/sanitizer-reports/, so that a report from a
# subprocess or from inside a captured stream is kept; UndefinedBehaviorSanitizer, sharing the
# process with it, ignores log_path and writes to the standard error stream, which the Python run
# therefore leaves uncaptured at the file-descriptor level (--capture=sys).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="$root/.venv"
build="$root/build-asan"
reports="$build/sanitizer-reports"

# Only what the sanitized run needs: no demo, no benchmarks, no type stubs (generating them imports
# the instrumented modules; the stubs are checked in build/). Debug keeps the build short and the
# reports exact; CMake reconfigures by itself when a CMakeLists.txt changes.
configure_args=(-DCMAKE_BUILD_TYPE=Debug -DKIVO_SANITIZE=address,undefined -DBUILD_TESTING=ON
  -DKIVO_BUILD_PYTHON=ON -DKIVO_BUILD_STUBS=OFF -DKIVO_BUILD_EXAMPLES=OFF -DKIVO_BUILD_BENCHMARKS=OFF
  -DPython_EXECUTABLE="$venv/bin/python")
echo "sanitized: building in $build"
source "$root/scripts/build_tree.sh"
build_tree "$build" configure_args || exit 1

rm -rf "$reports"
mkdir -p "$reports"
common="halt_on_error=1:abort_on_error=1:print_stacktrace=1"
export UBSAN_OPTIONS="$common"
log="$build/sanitized-test.log"
status=0

echo "== C++ tests (AddressSanitizer + UndefinedBehaviorSanitizer, leak detection on; fuzz corpus replay)"
(cd "$build" && ASAN_OPTIONS="$common:detect_leaks=1:detect_stack_use_after_return=1:log_path=$reports/asan" \
  ctest --output-on-failure -j "$(nproc)") 2>&1 | tee "$log" || status=1

echo "== Python tests (AddressSanitizer + UndefinedBehaviorSanitizer preloaded, leak detection off)"
preload="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
(cd "$root" && LD_PRELOAD="$preload" PYTHONMALLOC=malloc \
  ASAN_OPTIONS="$common:detect_leaks=0:log_path=$reports/asan" \
  PYTHONPATH="$build/python_modules" "$venv/bin/python" -m pytest -q -p no:cacheprovider --capture=sys \
  -m "not packaging" --ignore=tests/python/test_stubs.py tests/python) 2>&1 | tee -a "$log" || status=1

# A report that a test swallowed (a subprocess, a captured stream) still fails the run.
if [ -n "$(ls -A "$reports")" ] || grep -qE "(Address|Leak|UndefinedBehavior)Sanitizer|: runtime error: " "$log"; then
  echo "sanitized: sanitizer reports:"
  for report in "$reports"/*; do [ -f "$report" ] && { echo "--- $report"; cat "$report"; }; done
  grep -E "(Address|Leak|UndefinedBehavior)Sanitizer|: runtime error: " "$log" || true
  status=1
fi
# Nothing more is printed on success, so that pytest's summary stays the last line.
exit "$status"
