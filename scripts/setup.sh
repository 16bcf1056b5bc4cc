#!/usr/bin/env bash
# Installs what the project needs and builds it, doing only what is missing:
#   1. Debian packages (compiler, CMake, pkg-config, nlohmann/json, GoogleTest, Google Benchmark),
#      with apt-get;
#   2. the pinned Python tools of requirements.txt, in the virtual environment .venv;
#   3. a Release build of the library, the Python modules, the demo and the tests, in build/.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="$root/.venv"
build="$root/build"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

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
  echo "setup: installing Debian packages: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

stamp="$venv/.requirements.sha256"
wanted="$(sha256sum "$root/requirements.txt" | cut -d' ' -f1)"
if [ ! -x "$venv/bin/python" ] || [ "$(cat "$stamp" 2>/dev/null)" != "$wanted" ]; then
  echo "setup: installing Python tools into $venv"
  python3 -m venv "$venv"
  "$venv/bin/python" -m pip install --quiet --disable-pip-version-check -r "$root/requirements.txt"
  echo "$wanted" > "$stamp"
  rm -f "$build/configure.args"  # new tools (nanobind) mean a new configuration
fi

echo "setup: building in $build"
mkdir -p "$build"
# A configured tree re-runs CMake by itself when a CMake file changes: configure only when there is
# no tree yet or the arguments changed.
configure_args=(-DCMAKE_BUILD_TYPE=Release "-DPython_EXECUTABLE=$venv/bin/python" -DKIVO_BUILD_BENCHMARKS=ON)
configure_stamp="$build/configure.args"
if [ ! -f "$build/CMakeCache.txt" ] || [ "$(cat "$configure_stamp" 2>/dev/null)" != "${configure_args[*]}" ]; then
  rm -f "$configure_stamp"
  cmake -S "$root" -B "$build" "${configure_args[@]}" > "$build/configure.log" 2>&1 \
    || { cat "$build/configure.log"; exit 1; }
  echo "${configure_args[*]}" > "$configure_stamp"
fi
cmake --build "$build" -j "$(nproc)" > "$build/build.log" 2>&1 || { cat "$build/build.log"; exit 1; }
