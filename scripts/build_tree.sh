# Sourced by the scripts that build a tree of this project (setup, sanitized tests, fuzzing,
# ThreadSanitizer): `build_tree BUILD_DIR ARGS_ARRAY_NAME [TARGET...]` configures BUILD_DIR with the
# CMake arguments held in the named array when it has no configuration yet or was configured with
# other arguments (a configured tree re-runs CMake by itself when a CMake file changes), then
# builds the targets (all when none are named). The logs stay in the tree and are printed on
# failure.
build_tree() {
  local build="$1"
  local -n cmake_args="$2"
  shift 2
  local root
  root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
  mkdir -p "$build"
  if [ ! -f "$build/CMakeCache.txt" ] || [ "$(cat "$build/configure.args" 2>/dev/null)" != "${cmake_args[*]}" ]; then
    rm -f "$build/configure.args"
    cmake -S "$root" -B "$build" "${cmake_args[@]}" > "$build/configure.log" 2>&1 \
      || { cat "$build/configure.log"; return 1; }
    echo "${cmake_args[*]}" > "$build/configure.args"
  fi
  local targets=()
  for target in "$@"; do targets+=(--target "$target"); done
  cmake --build "$build" -j "$(nproc)" "${targets[@]}" > "$build/build.log" 2>&1 \
    || { cat "$build/build.log"; return 1; }
}
