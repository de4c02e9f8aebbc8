#!/usr/bin/env bash
# Sets up, builds and runs every test: once in a normal build, once under
# AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

jobs=$(nproc)
scripts/build.sh build
(cd build && ctest --output-on-failure -j"$jobs")

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:halt_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
scripts/build.sh build-asan -DKVBSIGN_SANITIZE=ON
(cd build-asan && ctest --output-on-failure -j"$jobs")

# Short fuzzing runs of every target over its seeds.
FIXTURE_BUILD_DIR=build scripts/fuzz.sh
