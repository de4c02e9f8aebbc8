#!/usr/bin/env bash
# Builds into the given directory (default: build). Extra arguments go to cmake.
# JOBS: parallel compile jobs (default: the number of cores).
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
shift || true
jobs=${JOBS:-$(nproc)}
case $jobs in ''|*[!0-9]*|0) echo "JOBS must be a positive whole number, not '$jobs'" >&2; exit 2 ;; esac
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$dir" -j"$jobs" -- --no-print-directory
