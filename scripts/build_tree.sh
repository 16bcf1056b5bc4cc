# Sourced by the scripts that build a tree of this project (setup, sanitized tests, fuzzing,
# ThreadSanitizer).
#
# `build_tree BUILD_DIR ARGS_ARRAY_NAME [TARGET...]` configures BUILD_DIR with the CMake arguments
# held in the named array when it has no configuration yet or was configured with other arguments
# (a configured tree re-runs CMake by itself when a CMake file changes), then builds the targets
# (all when none are named), printing the share done as it goes. The logs stay in the tree
# (configure.log, build.log); on failure the first error and the log's path are printed.
#
# `step_failed LOG WHAT` prints that report for any log: the first compiler, linker or CMake error
# line with a few lines of context, and where the whole log is.

step_failed() {
  local log="$1" what="$2" first
  echo "$what failed; the first error:" >&2
  first="$(grep -n -i -m 1 -E '^E: |(^|[^-[:alnum:]_])error:|CMake Error|undefined reference to|\*\*\* ' "$log" | cut -d: -f1)"
  if [ -n "$first" ]; then
    sed -n "$(( first > 2 ? first - 2 : 1 )),$(( first + 4 ))p" "$log" | sed 's/^/  | /' >&2
  else
    tail -n 8 "$log" | sed 's/^/  | /' >&2
  fi
  echo "the whole log: $log" >&2
}

# Reads a build's output and prints "NN%" each time the build passes another tenth of its steps,
# on one line.
_build_progress() {
  local label="$1" shown=-1 line percent
  while IFS= read -r line; do
    printf '%s\n' "$line" >&3
    if [[ "$line" =~ ^\[\ *([0-9]+)%\] ]]; then
      percent=$(( BASH_REMATCH[1] / 10 * 10 ))
      if [ "$percent" -gt "$shown" ]; then
        [ "$shown" -lt 0 ] && printf '%s' "$label"
        printf ' %s%%' "$percent"
        shown=$percent
      fi
    fi
  done
  [ "$shown" -ge 0 ] && echo
  return 0
}

build_tree() {
  local build="$1"
  local -n cmake_args="$2"
  shift 2
  local root
  root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
  mkdir -p "$build"
  if [ ! -f "$build/CMakeCache.txt" ] || [ "$(cat "$build/configure.args" 2>/dev/null)" != "${cmake_args[*]}" ]; then
    rm -f "$build/configure.args"
    echo "configuring $build (CMake; log: $build/configure.log)"
    cmake -S "$root" -B "$build" "${cmake_args[@]}" > "$build/configure.log" 2>&1 \
      || { step_failed "$build/configure.log" "configuring $build"; return 1; }
    echo "${cmake_args[*]}" > "$build/configure.args"
  fi
  local targets=()
  for target in "$@"; do targets+=(--target "$target"); done
  local status=0
  { cmake --build "$build" -j "$(nproc)" "${targets[@]}" 2>&1 || echo "build-exit-status $?"; } \
    | _build_progress "building $build (log: $build/build.log):" 3> "$build/build.log"
  grep -q '^build-exit-status ' "$build/build.log" && status=1
  if [ "$status" -ne 0 ]; then
    step_failed "$build/build.log" "building $build"
    return 1
  fi
}
