#!/usr/bin/env bash
# Sets up, builds, makes a signed demo package and verifies it with -certInfo.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh build
build/KVBSignCmd "$@" || true
