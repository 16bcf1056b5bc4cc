#!/usr/bin/env bash
# Fuzzes the JSON configuration reader with libFuzzer for SECONDS seconds (default 60), then
# minimises the corpus: usage `bash scripts/fuzz.sh [SECONDS]`.
#
# The fuzz target (tests/fuzz/fuzz_config_loader.cpp) and the library are built with Debian's
# Clang, libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer in build-fuzz/ (Clang and its
# runtime package are installed with apt-get when missing). The run starts from the hand-written
# inputs in tests/fuzz/seeds/ and the corpus in tests/fuzz/corpus/, and leaves in tests/fuzz/corpus/
# the smallest set of inputs that reaches everything reached so far (libFuzzer's -merge=1): commit
# it. scripts/test.sh replays seeds and corpus through the same target built with GCC.
# A failure leaves the crashing input in build-fuzz/ and exits non-zero.
set -euo pipefail
seconds="${1:-60}"
[[ "$seconds" =~ ^[1-9][0-9]*$ ]] || { echo "usage: $0 [SECONDS]" >&2; exit 2; }
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build-fuzz"
fuzz_dir="$root/tests/fuzz"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

apt_install() {
  echo "fuzz: installing Debian packages: $*"
  [ -n "${apt_updated:-}" ] || { $sudo apt-get update -qq; apt_updated=1; }
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "$@"
}

missing=()
for package in nlohmann-json3-dev libgtest-dev; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
done
command -v clang++ >/dev/null || missing+=(clang)
command -v cmake >/dev/null || missing+=(cmake)
command -v make >/dev/null || missing+=(make)
[ "${#missing[@]}" -eq 0 ] || apt_install "${missing[@]}"

# libFuzzer ships with Clang's runtime libraries, which Debian packages apart from the compiler
# as libclang-rt-<major>-dev (Debian 12: Clang 14, Debian 13: Clang 19).
fuzzer_links() {
  echo 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }' |
    clang++ -x c++ -fsanitize=fuzzer,address,undefined - -o /dev/null 2>/dev/null
}
if ! fuzzer_links; then
  apt_install "libclang-rt-$(clang++ -dumpversion | cut -d. -f1)-dev"
  fuzzer_links || { echo "fuzz: clang++ cannot link libFuzzer programs" >&2; exit 1; }
fi

# Optimised but with assertions (the JSON library's included) and exact stack traces.
configure_args=(-DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=-g -O1"
  -DKIVO_SANITIZE=address,undefined,fuzzer-no-link -DKIVO_LIBFUZZER=ON -DBUILD_TESTING=ON
  -DKIVO_BUILD_PYTHON=OFF -DKIVO_BUILD_EXAMPLES=OFF -DKIVO_BUILD_BENCHMARKS=OFF)
echo "fuzz: building the fuzz target in $build"
source "$root/scripts/build_tree.sh"
build_tree "$build" configure_args kivo_fuzz_config_loader || exit 1
fuzzer="$build/tests/fuzz/kivo_fuzz_config_loader"

new_inputs="$build/new-inputs"
merged="$build/merged-corpus"
rm -rf "$new_inputs" "$merged"
mkdir -p "$new_inputs" "$merged" "$fuzz_dir/corpus"
log="$build/fuzz.log"
echo "fuzz: fuzzing for $seconds s (log: $log)"
# New inputs go to the first folder; the others are read only. Leaks are reported too.
(cd "$build" && "$fuzzer" -max_total_time="$seconds" -dict="$fuzz_dir/config.dict" -print_final_stats=1 \
  -timeout=10 -rss_limit_mb=4096 "$new_inputs" "$fuzz_dir/corpus" "$fuzz_dir/seeds") > "$log" 2>&1 ||
  { tail -n 60 "$log"; echo "fuzz: failure; the input is in $build (crash-*, leak-*, timeout-*)" >&2; exit 1; }

before="$(find "$fuzz_dir/corpus" -type f | wc -l)"
# Minimised by edges reached, not by their hit counts: a few hundred files instead of thousands.
(cd "$build" && "$fuzzer" -merge=1 -use_counters=0 "$merged" "$fuzz_dir/corpus" "$new_inputs") > "$build/merge.log" 2>&1 ||
  { tail -n 30 "$build/merge.log"; exit 1; }
find "$fuzz_dir/corpus" -type f -delete
cp "$merged"/* "$fuzz_dir/corpus/" 2>/dev/null || true
after="$(find "$fuzz_dir/corpus" -type f | wc -l)"

# libFuzzer's status lines read "#<runs> <event> cov: <edges> ft: <features> corp: <n>/<size> ...".
last_status="$(grep -E '^#[0-9]+' "$log" | tail -n 1)"
executions="$(grep -oE 'stat::number_of_executed_units: [0-9]+' "$log" | grep -oE '[0-9]+$')"
echo "fuzz: $executions executions in $seconds s, $(( executions / seconds )) per second"
echo "fuzz: coverage at the end: $(grep -oE 'cov: [0-9]+ ft: [0-9]+' <<< "$last_status")"
echo "fuzz: new inputs found: $(find "$new_inputs" -type f | wc -l); corpus tests/fuzz/corpus: $before -> $after files" \
  "($(cat "$fuzz_dir"/corpus/* 2>/dev/null | wc -c) bytes), plus $(find "$fuzz_dir/seeds" -type f | wc -l) seeds"
