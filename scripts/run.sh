#!/usr/bin/env bash
# Sets up, builds, makes a signed demo package with the test fixture tool and verifies it
# with -certInfo. Extra arguments are passed on to KVBSignCmd.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh build
demo=build/demo
rm -rf "$demo"
build/tests/kvbsign-fixture demo "$demo" >/dev/null
set +e
SSL_CERT_FILE="$demo/roots.pem" build/KVBSignCmd -verify "$demo/demo.kvb" -certInfo "$@"
status=$?
set -e
echo "exit code: $status"
