#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a while on a
# copy of its corpus. Any finding (a crash, a broken invariant, memory over
# the limit, a slow input) fails the run. Usage: scripts/fuzz.sh [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-30}
scripts/apt-need.sh clang libclang-rt-14-dev

build=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DBOARD_FUZZ=ON -DBOARD_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target version_file_fuzz frame_link_fuzz kboot_link_fuzz telemetry_fuzz \
  image_format_fuzz

# A small quarantine: the sanitizer's held-back frees must not pass for the
# program's own memory under -rss_limit_mb.
export ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=16}
for target in version_file frame_link kboot_link telemetry image_format; do
  work="$build/fuzz-work/$target"
  rm -rf "$work" && mkdir -p "$work/corpus" "$work/findings"
  cp fuzz/corpus/"$target"/* "$work/corpus/"
  echo "-- $target: ${seconds} s"
  if ! "$build/fuzz/${target}_fuzz" -max_total_time="$seconds" -rss_limit_mb=256 \
      -malloc_limit_mb=128 -timeout=5 -max_len=8192 -print_final_stats=1 \
      -artifact_prefix="$work/findings/" "$work/corpus" >"$work/log" 2>&1; then
    tail -n 40 "$work/log"
    echo "FAIL: $target found a problem; inputs in $work/findings/" >&2
    exit 1
  fi
  grep -E '^(Done|stat::number_of_executed_units|stat::average_exec_per_sec|stat::peak_rss_mb)' "$work/log"
done
