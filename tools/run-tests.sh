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
  # The targets run side by side (one core each); each must end clean.
  pids=()
  names=()
  for f in build/fuzz/bin/fuzz_*; do
    [ -x "$f" ] || continue
    name=$(basename "$f")
    corpus=build/fuzz/corpus/$name
    mkdir -p "$corpus"
    seeds=()
    if [ -f "tests/fuzz/$name.seeds" ]; then
      while read -r d; do [ -n "$d" ] && [ -e "$root/$d" ] && seeds+=("$root/$d"); done < "tests/fuzz/$name.seeds"
    fi
    "$f" -max_total_time="$secs" -timeout=10 -rss_limit_mb=1536 -print_final_stats=1 \
         "$corpus" "${seeds[@]}" >"build/fuzz/$name.log" 2>&1 &
    pids+=($!)
    names+=("$name")
  done
  failed=0
  for i in "${!pids[@]}"; do
    if wait "${pids[$i]}"; then
      echo "-- ${names[$i]}: $(grep -m1 -o 'stat::number_of_executed_units: *[0-9]*' "build/fuzz/${names[$i]}.log" | grep -o '[0-9]*$') runs, clean"
    else
      echo "-- ${names[$i]}: FAILED"; tail -n 40 "build/fuzz/${names[$i]}.log"; failed=1
    fi
  done
  [ "$failed" -eq 0 ]
fi
echo "all builds and tests passed"
