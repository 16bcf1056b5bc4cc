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
configure_args=(-DCMAKE_BUILD_TYPE=Release "-DPython_EXECUTABLE=$venv/bin/python" -DKIVO_BUILD_BENCHMARKS=ON)
source "$root/scripts/build_tree.sh"
build_tree "$build" configure_args || exit 1
