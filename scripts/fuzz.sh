#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each one over its seed corpus for a while.
#
#   FUZZ_SECONDS     seconds per target (default 30)
#   FUZZ_TARGETS     targets to run, blank-separated (default: every fuzz/fuzz_*.cpp)
#   FUZZ_BUILD_DIR   the clang fuzz build (default build-fuzz)
#   FIXTURE_BUILD_DIR the normal build that makes the seed writer (default build)
#   JOBS             parallel compile jobs and targets fuzzing at once (default: the number of cores)
#
# Fails when a target crashes, leaks, hangs past 10 s on one input or exceeds 2 GB. Seeds,
# new corpus entries and the targets' scratch space live in one temporary directory that is
# removed at the end; findings are copied to $FUZZ_BUILD_DIR/findings/ first.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-30}
fuzz_dir=${FUZZ_BUILD_DIR:-build-fuzz}
fixture_dir=${FIXTURE_BUILD_DIR:-build}
jobs=${JOBS:-$(nproc)}
case $jobs in ''|*[!0-9]*|0) echo "JOBS must be a positive whole number, not '$jobs'" >&2; exit 2 ;; esac

KVBSIGN_WITH_FUZZ=1 scripts/setup.sh

CC=clang-14 CXX=clang++-14 cmake -S . -B "$fuzz_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKVBSIGN_FUZZ=ON -DKVBSIGN_TESTS=OFF >/dev/null
cmake --build "$fuzz_dir" -j"$jobs" -- --no-print-directory
cmake -S . -B "$fixture_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$fixture_dir" -j"$jobs" --target kvbsign-fixture kvbsign-crltool -- --no-print-directory

if [ -z "${FUZZ_TARGETS:-}" ]; then
  FUZZ_TARGETS=$(cd fuzz && ls fuzz_*.cpp | sed -e 's/\.cpp$//' -e 's/^fuzz_//' | grep -vx support)
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/kvbsign-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/tmp"

"$fixture_dir/tests/kvbsign-fixture" seeds "$work/seeds" >/dev/null

export ASAN_OPTIONS=detect_leaks=1:halt_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# The targets' scratch directories go below $work too, also when a crash skips their removal.
export TMPDIR=$work/tmp

# The seeds must pass the checks that guard the deep code, or the runs below fuzz little.
KVBFUZZ_EXPECT_VALID=1 "$fuzz_dir/fuzz/fuzz_validate" "$work"/seeds/validate/* >"$work/seedcheck.log" 2>&1 || {
  cat "$work/seedcheck.log"; echo "fuzz: a validate seed does not verify"; exit 1; }
verified=()
for s in response response-variant-wrapped response-user-root response-before-signer token token-variant; do
  verified+=("$work/seeds/timestamp/$s.der")
done
KVBFUZZ_EXPECT_VERIFIED=1 "$fuzz_dir/fuzz/fuzz_timestamp" "${verified[@]}" >"$work/seedcheck.log" 2>&1 || {
  cat "$work/seedcheck.log"; echo "fuzz: a timestamp seed does not verify"; exit 1; }

# Runs one target; its verdict goes to $work/<target>.status.
run_target() {
  local t=$1 bin=$fuzz_dir/fuzz/fuzz_$1
  if [ ! -x "$bin" ]; then
    echo "fuzz: no target $bin" >"$work/$t.log"
    echo failed >"$work/$t.status"
    return
  fi
  mkdir -p "$work/corpus/$t" "$work/artifacts/$t" "$work/seeds/$t"
  local dict=()
  [ -f "fuzz/dict/$t.dict" ] && dict=(-dict="fuzz/dict/$t.dict")
  # Inputs of earlier findings run first with the seeds (libFuzzer writes only to the first
  # corpus directory, so these stay untouched).
  local regressions=()
  [ -d "fuzz/regressions/$t" ] && regressions=("fuzz/regressions/$t")
  if "$bin" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 "${dict[@]}" \
      -artifact_prefix="$work/artifacts/$t/" -print_final_stats=1 \
      "$work/corpus/$t" "$work/seeds/$t" "${regressions[@]}" >"$work/$t.log" 2>&1; then
    echo ok >"$work/$t.status"
  else
    echo failed >"$work/$t.status"
  fi
}

# The targets run side by side, one process each, at most $jobs at a time.
running=0
for t in $FUZZ_TARGETS; do
  if [ "$running" -ge "$jobs" ]; then
    wait -n
    running=$((running - 1))
  fi
  run_target "$t" &
  running=$((running + 1))
done
wait

failed=()
for t in $FUZZ_TARGETS; do
  log=$work/$t.log
  if [ "$(cat "$work/$t.status" 2>/dev/null)" = ok ]; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    echo "fuzz_$t: ${runs:-?} runs in ${seconds}s (${rate:-?} exec/s), no findings"
  else
    failed+=("$t")
    tail -n 60 "$log"
    mkdir -p "$fuzz_dir/findings/$t"
    cp "$log" "$fuzz_dir/findings/$t/"
    for f in "$work/artifacts/$t"/*; do
      [ -e "$f" ] || continue
      cp "$f" "$fuzz_dir/findings/$t/"
      echo "fuzz_$t: finding $fuzz_dir/findings/$t/$(basename "$f") ($(wc -c <"$f") bytes)"
    done
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: findings in: ${failed[*]} (see $fuzz_dir/findings/)"
  exit 1
fi
echo "fuzz: all targets clean"
