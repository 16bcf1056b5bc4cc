#!/usr/bin/env bash
# Installs what the project needs and builds it, doing only what is missing:
#   1. Debian packages (compiler, CMake, pkg-config, nlohmann/json, GoogleTest, Google Benchmark),
#      with apt-get;
#   2. the virtual environment .venv with the pinned pip and Python tools of requirements.txt
#      (the system's own pip is used only to bootstrap it, so its version does not matter);
#   3. a Release build of the library, the Python modules, the demo, the tests and the
#      benchmarks, in build/.
# Each step says what it does before it starts; the tools' own output goes into logs
# (build/setup-logs/, build/configure.log, build/build.log), and a failed step prints its first
# error and the log's path.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="$root/.venv"
build="$root/build"
logs="$build/setup-logs"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
mkdir -p "$logs"
source "$root/scripts/build_tree.sh"

missing=()
for package in nlohmann-json3-dev libgtest-dev libbenchmark-dev; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
done
command -v g++ >/dev/null || missing+=(g++)
command -v cmake >/dev/null || missing+=(cmake)
command -v make >/dev/null || missing+=(make)
command -v pkg-config >/dev/null || missing+=(pkgconf)
python3 -c 'import ensurepip, venv' 2>/dev/null || missing+=(python3-venv)
python3 -c 'import os, sysconfig; assert os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h"))' \
  2>/dev/null || missing+=(python3-dev)
if [ "${#missing[@]}" -gt 0 ]; then
  echo "setup: installing Debian packages with apt-get (about a minute): ${missing[*]}"
  { $sudo apt-get update && DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"; } \
    > "$logs/apt.log" 2>&1 || { step_failed "$logs/apt.log" "setup: apt-get"; exit 1; }
fi

stamp="$venv/.requirements.sha256"
wanted="$(sha256sum "$root/requirements.txt" | cut -d' ' -f1)"
if [ ! -x "$venv/bin/python" ] || [ "$(cat "$stamp" 2>/dev/null)" != "$wanted" ]; then
  echo "setup: creating $venv with the pinned Python tools of requirements.txt (about a minute)"
  pip_pin="$(grep -E '^pip==' "$root/requirements.txt")"
  {
    python3 -m venv "$venv" &&
      "$venv/bin/python" -m pip install --disable-pip-version-check "$pip_pin" &&
      "$venv/bin/python" -m pip install --disable-pip-version-check -r "$root/requirements.txt"
  } > "$logs/pip.log" 2>&1 || { step_failed "$logs/pip.log" "setup: pip"; exit 1; }
  echo "$wanted" > "$stamp"
  rm -f "$build/configure.args"  # new tools (nanobind) mean a new configuration
fi

configure_args=(-DCMAKE_BUILD_TYPE=Release "-DPython_EXECUTABLE=$venv/bin/python" -DKIVO_BUILD_BENCHMARKS=ON)
build_tree "$build" configure_args || exit 1
