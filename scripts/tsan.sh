#!/usr/bin/env bash
# Runs the test of blocks on many threads under ThreadSanitizer (GCC), outside scripts/test.sh:
# builds the library and the thread test in build-tsan/ and runs it; any data race report fails.
# Needs what scripts/setup.sh installs (compiler, CMake, nlohmann/json, GoogleTest).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build-tsan"
reports="$build/sanitizer-reports"

configure_args=(-DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=-g -O1" -DKIVO_SANITIZE=thread
  -DBUILD_TESTING=ON -DKIVO_BUILD_PYTHON=OFF -DKIVO_BUILD_EXAMPLES=OFF -DKIVO_BUILD_BENCHMARKS=OFF)
echo "tsan: building in $build"
source "$root/scripts/build_tree.sh"
build_tree "$build" configure_args kivo_tf_utils_thread_tests || exit 1

rm -rf "$reports"
mkdir -p "$reports"
echo "== Blocks on many threads (ThreadSanitizer)"
status=0
# The test captures the standard error stream, so reports go to files.
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:log_path=$reports/tsan" \
  "$build/tests/cpp/kivo_tf_utils_thread_tests" || status=1
if [ -n "$(ls -A "$reports")" ]; then
  for report in "$reports"/*; do echo "--- $report"; cat "$report"; done
  status=1
fi
[ "$status" -eq 0 ] && echo "tsan: no data race reported"
exit "$status"
