#!/usr/bin/env bash
# Builds everything and runs all tests: the plain build (warnings as errors),
# the AddressSanitizer/UndefinedBehaviorSanitizer build, and short fuzz runs.
#   tools/run-tests.sh            all three
#   QM_FUZZ_SECONDS=0 ...          skip fuzzing
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash tools/install-deps.sh
jobs=$(nproc)
export CC=clang CXX=clang++

echo "== plain build"
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQM_WERROR=ON -DQM_BUILD_BENCH=ON >/dev/null
cmake --build build/release -j "$jobs"
ctest --test-dir build/release -j "$jobs" --output-on-failure

echo "== sanitizer build (address, undefined)"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQM_WERROR=ON \
      -DQM_SANITIZE=address,undefined >/dev/null
cmake --build build/asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/asan -j "$jobs" --output-on-failure

secs=${QM_FUZZ_SECONDS:-60}
if [ "$secs" -gt 0 ]; then
  echo "== fuzz targets, ${secs} s each"
  cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQM_BUILD_TESTS=OFF \
        -DQM_BUILD_FUZZ=ON -DQM_SANITIZE=address,undefined >/dev/null
  cmake --build build/fuzz -j "$jobs"
  for f in build/fuzz/bin/fuzz_*; do
    [ -x "$f" ] || continue
    name=$(basename "$f")
    corpus=build/fuzz/corpus/$name
    mkdir -p "$corpus"
    seeds=()
    [ -f "$root/tests/fuzz/$name.seeds" ] && while read -r d; do seeds+=("$root/$d"); done < "$root/tests/fuzz/$name.seeds"
    echo "-- $name"
    "$f" -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 -print_final_stats=0 \
         "$corpus" "${seeds[@]}" 2>&1 | tail -n 3
  done
fi
echo "all builds and tests passed"
