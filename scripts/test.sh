#!/usr/bin/env bash
# Sets up, builds and runs every test: once in a normal build, once under
# AddressSanitizer and UndefinedBehaviorSanitizer, then short fuzzing runs.
# JOBS: parallel compile jobs, tests and fuzzing targets (default: the number of cores).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-$(nproc)}
case $jobs in ''|*[!0-9]*|0) echo "JOBS must be a positive whole number, not '$jobs'" >&2; exit 2 ;; esac
export JOBS=$jobs
scripts/setup.sh

scripts/build.sh build
(cd build && ctest --output-on-failure -j"$jobs")

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:halt_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
scripts/build.sh build-asan -DKVBSIGN_SANITIZE=ON
(cd build-asan && ctest --output-on-failure -j"$jobs")

# Short fuzzing runs of every target over its seeds.
FIXTURE_BUILD_DIR=build scripts/fuzz.sh
