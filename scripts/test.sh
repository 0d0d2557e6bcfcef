#!/usr/bin/env bash
# Builds everything on the host and runs the whole test suite against the
# simulated board. Usage: scripts/test.sh [build-dir] [extra cmake args...]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/host-deps.sh
build=${1:-build}
shift || true
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build" -j"$(nproc)"
# The skipped tests, each with its reason in the log above, are counted.
ctest --test-dir "$build" --output-on-failure -j"$(nproc)" --timeout 300 | tee "$build/ctest.log"
echo "skipped: $(grep -c '(Skipped)$' "$build/ctest.log" || true)"
