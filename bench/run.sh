#!/usr/bin/env bash
# Verification benchmark. Builds signed packages, verifies each with KVBSignCmd and compares
# the time with the floor that any verifier of a package pays: copy the package, unzip it,
# SHA-256 every file, remove the copy. Prints, from one run:
#   - verify time / floor time for 10,000 files of 4 KB and for 4 files of 50 MB (target <= 1.3)
#   - verify time per file at 50,000 files / at 1,000 files (target <= 1.5)
#   - peak resident memory of the verification of the 50 MB files (target < 64 MB)
#
#   bench/run.sh            uses build/ (builds it when KVBSignCmd is missing)
#   BUILD_DIR=dir bench/run.sh
# Everything it makes lives in one directory under /tmp, removed on exit.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")
build=${BUILD_DIR:-$repo/build}
case "$build" in /*) ;; *) build=$repo/$build ;; esac
runs=${RUNS:-3}

if [ ! -x "$build/KVBSignCmd" ]; then
  cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" -j"$(nproc)" --target KVBSignCmd >/dev/null
fi
[ -x /usr/bin/time ] || { echo "bench: /usr/bin/time missing (apt-get install time)" >&2; exit 1; }

work=$(mktemp -d /tmp/kvbbench.XXXXXX)
trap 'rm -rf "$work"' EXIT

c++ -O2 -std=c++17 -Wall -Wextra -DOPENSSL_API_COMPAT=30000 -DOPENSSL_NO_DEPRECATED \
    -o "$work/make_bench_package" "$here/make_bench_package.cpp" -lcrypto

(
  cd "$work"
  openssl req -x509 -newkey rsa:2048 -nodes -keyout root.key -out root.pem -subj "/CN=KVB Bench Root" \
      -days 3 -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
  openssl req -newkey rsa:2048 -nodes -keyout leaf.key -out leaf.csr -subj "/CN=KVB Bench Signer" 2>/dev/null
  printf 'basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature\n' > leaf.ext
  openssl x509 -req -in leaf.csr -CA root.pem -CAkey root.key -CAcreateserial -out leaf.pem -days 2 \
      -extfile leaf.ext 2>/dev/null
)

ns() { date +%s%N; }

# make_package <name> <count> <size>: the zip file $work/<name>.kvb
make_package() {
  local dir=$work/$1
  "$work/make_bench_package" "$dir" "$2" "$3" "$work/leaf.key" "$work/leaf.pem" "$work/root.pem"
  (cd "$dir" && zip -q -X -0 "../$1.kvb" mimetype && zip -q -X -r "../$1.kvb" . -x mimetype)
  rm -rf "$dir"
}

# verify_once <kvb>: prints "<ns> <peak KB>"; fails unless the package verifies
verify_once() {
  local start end
  start=$(ns)
  SSL_CERT_FILE=$work/root.pem /usr/bin/time -f %M -o "$work/mem" \
      "$build/KVBSignCmd" -verify "$1" -skipOnlineRevocationChecks >"$work/out" 2>&1 \
      || { echo "bench: verification failed: $(cat "$work/out")" >&2; exit 1; }
  end=$(ns)
  echo "$((end - start)) $(tail -n 1 "$work/mem")"
}

# floor_once <kvb>: prints ns of copy, unzip, sha256sum of every file, removal
floor_once() {
  local start end f=$work/floor
  start=$(ns)
  mkdir "$f"
  cp "$1" "$f/copy.kvb"
  mkdir "$f/x"
  unzip -q "$f/copy.kvb" -d "$f/x"
  find "$f/x" -type f -print0 | xargs -0 sha256sum >/dev/null
  rm -rf "$f"
  end=$(ns)
  echo "$((end - start))"
}

# measure <name>: sets V (best verify ns), F (best floor ns), M (peak KB of the verifications)
measure() {
  local kvb=$work/$1.kvb i v m f
  verify_once "$kvb" >/dev/null
  floor_once "$kvb" >/dev/null
  V=0 F=0 M=0
  for ((i = 0; i < runs; i++)); do
    read -r v m < <(verify_once "$kvb")
    f=$(floor_once "$kvb")
    if [ "$V" -eq 0 ] || [ "$v" -lt "$V" ]; then V=$v; fi
    if [ "$F" -eq 0 ] || [ "$f" -lt "$F" ]; then F=$f; fi
    if [ "$m" -gt "$M" ]; then M=$m; fi
  done
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
secs() { awk -v a="$1" 'BEGIN { printf "%.3f", a / 1e9 }'; }

printf '%-16s %10s %10s %7s %12s %9s\n' package verify_s floor_s ratio us_per_file peak_MB
declare -A perfile
for row in "files1k 1000 4096" "files10k 10000 4096" "files50k 50000 4096" "big4 4 52428800"; do
  read -r name count size <<<"$row"
  make_package "$name" "$count" "$size"
  measure "$name"
  perfile[$name]=$(awk -v v="$V" -v n="$count" 'BEGIN { printf "%.1f", v / n / 1000 }')
  printf '%-16s %10s %10s %7s %12s %9s\n' "$count x $size" "$(secs "$V")" "$(secs "$F")" "$(ratio "$V" "$F")" \
      "${perfile[$name]}" "$(awk -v m="$M" 'BEGIN { printf "%.1f", m / 1024 }')"
  eval "V_$name=$V F_$name=$F M_$name=$M"
  rm -f "$work/$name.kvb"
done

r10k=$(ratio "$V_files10k" "$F_files10k")
rbig=$(ratio "$V_big4" "$F_big4")
scale=$(ratio "${perfile[files50k]}" "${perfile[files1k]}")
mem=$(awk -v m="$M_big4" 'BEGIN { printf "%.1f", m / 1024 }')
verdict() { awk -v x="$1" -v t="$2" 'BEGIN { print (x <= t) ? "ok" : "OVER" }'; }
echo
echo "10,000 x 4 KB: verify/floor $r10k (target <= 1.3: $(verdict "$r10k" 1.3))"
echo "4 x 50 MB:     verify/floor $rbig (target <= 1.3: $(verdict "$rbig" 1.3))"
echo "per file, 50,000 / 1,000 files: $scale (target <= 1.5: $(verdict "$scale" 1.5))"
echo "peak memory, 4 x 50 MB: $mem MB (target < 64: $(verdict "$mem" 63.99))"
