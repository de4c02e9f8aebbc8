#!/usr/bin/env bash
# Verification benchmark (not part of the test suite).
#
# What it measures
#   Ordinary packages. Signed zip packages, built once per run: 1,000 files of 4 KB,
#   10,000 files of 4 KB, 50,000 files of 1 KB, 4 files of 50 MB. Contenders:
#     floor     the work any verifier of a package pays: copy the package, `unzip -q` it, one
#               `sha256sum` over every file, remove the tree
#     verifier  $BUILD_DIR/KVBSignCmd -verify <pkg.kvb> -skipOnlineRevocationChecks
#     baseline  the same with $BASELINE_BUILD_DIR/KVBSignCmd, when given (before/after in one run)
#   The contenders run interleaved: every round runs each package once with each contender, in
#   an order that changes from round to round, so that a slow phase of the machine falls on all
#   of them alike. Printed per package and contender: the median time over the rounds, the
#   spread (min-max), the ratio to the floor (the median of the per-round ratios contender /
#   floor of the same round) and, for the verifiers, the peak resident memory (the largest
#   `/usr/bin/time -f %M` of the rounds). Then: verifier time per file at 50,000 files divided by
#   that at 1,000 files, and the peak memory at 50,000 files and for the 50 MB files.
#   Targets printed beside the figures: verifier/floor <= 1.1 on every package; per file
#   50,000 / 1,000 <= 1.5; peak memory <= 32 MB at 50,000 files, and flat in file size (the
#   4 x 50 MB peak at most 4 MB above the 1,000 x 4 KB peak).
#
#   Stress table. Signature documents with about 1 MB and 8 MB of hostile text (see
#   make_bench_package.cpp): "&quot;" and "%22" runs in a manifest URI, "/>" runs, blank runs,
#   CR LF runs (signature variant), many small elements. Signed, so that every rewriting and
#   decoding step of the verification runs over the hostile text. Per kind: the time of each
#   text routine of the library over the document (bench/text_bench.cpp, best of repeated
#   calls), and of the whole verification (best of up to 3 runs; fewer once a run takes over
#   10 s) with its exit status (entities and escapes name no file, so they end in 50). Two more
#   kinds scale a count with the size instead (50,000 and 400,000 at 1 and 8, documents of
#   about 0.6 and 4.8 MB; 4,000 and 32,000, about 4.3 and 34 MB): crlpoints, a self-signed
#   signer whose one CRL distribution point URI repeats "http://a."; tokencerts, a timestamp
#   whose token carries that many certificates. Their rows are the reference, the check they
#   load (checkCertificateChainRevocation, validateTimestamp) and the whole verification, for
#   crlpoints with the revocation check on (it ends in 52: the URLs name no server), in a
#   network namespace of its own so that nothing is sent off the machine. Target:
#   the large document at most 1.25 x (large/small) as long as the small one, 10 x for 8 MB
#   against 1 MB. A cell that runs longer than $STRESS_TIMEOUT is stopped and shows "timeout".
#   The first row of each kind, "reference", runs no library code (a copy of the document and
#   one count over it): it shows the ratio this machine gives for plain linear work. A 1 MB
#   text stays in a core's cache and an 8 MB one does not, so a linear routine that passes over
#   its text several times can exceed the reference a little; a quadratic one shows 50 and more.
#
# Why a private tmpfs
#   On a disk file system the creation and deletion of tens of thousands of files slows every
#   later file creation for minutes, which hides the verifier's own cost. The script therefore
#   re-executes itself once in a private mount namespace (`unshare -m`, needs root), makes all
#   mounts private, mounts a fresh tmpfs on /tmp, binds the build trees and the repository back
#   in when they live under /tmp, and runs everything there (the verifier's temporary
#   directories included). Nothing is written to the machine's /tmp; the tmpfs disappears
#   with the namespace.
#
# How to run (as root)
#   bench/run.sh                                   uses build/ (builds it when something is missing)
#   RUNS=3 BASELINE_BUILD_DIR=/path/to/old/build bench/run.sh
#
# Environment
#   BUILD_DIR           build tree of the verifier (default: build/ of this repository); needs
#                       KVBSignCmd and libkvbsign_core.a (the stress routines link it)
#   BASELINE_BUILD_DIR  a second build tree, measured beside the first (default: none)
#   RUNS                rounds over the ordinary packages (default 5)
#   WARMUP              unmeasured rounds before them (default 1)
#   PACKAGES            ordinary packages, any of: 1k 10k 50k big (default all; "" skips them)
#   STRESS              1 runs the stress table (default), 0 skips it
#   STRESS_KINDS        default: entities escapes slashes blanks linebreaks elements crlpoints
#                       tokencerts
#   STRESS_SMALL_MB, STRESS_LARGE_MB   document sizes of the stress table (default 1 and 8)
#   STRESS_TIMEOUT      seconds per stress cell (default 120)
#   TMPFS_SIZE          size of the private /tmp (default 4g)
set -euo pipefail
export LC_ALL=C

here=$(cd "$(dirname "$0")" && pwd -P)
repo=$(dirname "$here")
absolute() { case "$1" in /*) printf '%s\n' "$1" ;; *) printf '%s\n' "$repo/$1" ;; esac; }
die() { echo "bench: $*" >&2; exit 1; }

build=$(absolute "${BUILD_DIR:-$repo/build}")
baseline=${BASELINE_BUILD_DIR:+$(absolute "$BASELINE_BUILD_DIR")}
runs=${RUNS:-5}
warmup=${WARMUP:-1}
packages=${PACKAGES-1k 10k 50k big}
stress=${STRESS:-1}
stress_kinds=${STRESS_KINDS:-entities escapes slashes blanks linebreaks elements crlpoints tokencerts}
small_mb=${STRESS_SMALL_MB:-1}
large_mb=${STRESS_LARGE_MB:-8}
stress_timeout=${STRESS_TIMEOUT:-120}

# The source tree a build was configured from (its headers go with its static library).
source_of() { sed -n 's/^CMAKE_HOME_DIRECTORY:INTERNAL=//p' "$1/CMakeCache.txt" 2>/dev/null; }

if [ -z "${KVBBENCH_INSIDE:-}" ]; then
  [ "$(id -u)" -eq 0 ] || die "needs root: it runs in a private mount namespace with a tmpfs on /tmp"
  command -v unshare >/dev/null || die "unshare missing (util-linux)"
  [ -x /usr/bin/time ] || die "/usr/bin/time missing (apt-get install time)"
  for tool in zip unzip sha256sum timeout openssl c++; do
    command -v "$tool" >/dev/null || die "$tool missing"
  done
  if [ ! -x "$build/KVBSignCmd" ] || [ ! -f "$build/libkvbsign_core.a" ]; then
    cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
    cmake --build "$build" -j"$(nproc)" --target KVBSignCmd kvbsign_core >/dev/null
  fi
  if [ -n "$baseline" ]; then
    [ -x "$baseline/KVBSignCmd" ] || die "no KVBSignCmd in BASELINE_BUILD_DIR=$baseline"
    baseline=$(realpath -e "$baseline")
  fi
  # Physical paths: a tree under /tmp is found again below by its name there.
  build=$(realpath -e "$build")
  export KVBBENCH_INSIDE=1 BUILD_DIR="$build" BASELINE_BUILD_DIR="$baseline"
  exec unshare --mount -- "$BASH" "$here/run.sh" "$@"
fi

# ---------------------------------------------------------------- inside the namespace
started=$SECONDS
trap 'echo "bench: stopped by a failure at line $LINENO" >&2' ERR
# What must stay reachable once the tmpfs covers /tmp: this script, the build trees and the
# source trees they were configured from (the stress driver compiles against their headers).
needed=("$repo" "$build")
declare -A source_dir
for b in "$build" $baseline; do
  needed+=("$b")
  source_dir[$b]=$(source_of "$b")
  if [ -n "${source_dir[$b]}" ]; then needed+=("${source_dir[$b]}"); fi
done
mount --make-rprivate /
# The old /tmp stays reachable through this descriptor, to bind back what lives there.
exec 9</tmp
mount -t tmpfs -o "size=${TMPFS_SIZE:-4g},mode=1777" kvbbench /tmp
# Shorter paths first, so that a tree inside another is bound after its parent.
while IFS= read -r dir; do
  case "$dir" in
    /tmp/*)
      if [ ! -d "$dir" ]; then
        mkdir -p "$dir"
        # No canonical path: it would name the covered directory by its old name under /tmp.
        mount --no-canonicalize --bind "/proc/self/fd/9/${dir#/tmp/}" "$dir"
      fi
      ;;
  esac
done < <(printf '%s\n' "${needed[@]}" | awk '{ print length($0) "\t" $0 }' | sort -n | cut -f2-)
exec 9<&-

export TMPDIR=/tmp
work=$(mktemp -d /tmp/kvbbench.XXXXXX)
trap 'rm -rf "$work"' EXIT

now_us() { local t=$EPOCHREALTIME; echo "${t/./}"; }
secs() { awk -v a="$1" 'BEGIN { printf "%.3f", a / 1e6 }'; }
mb() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }
verdict() { awk -v x="$1" -v t="$2" 'BEGIN { print (x <= t) ? "ok" : "OVER" }'; }
# median, min and max of the numbers given, one line: "median min max"
stats() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END {
  m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2; print m, v[1], v[NR] }'; }

# ---------------------------------------------------------------- tools and keys
cxxflags=(-O2 -std=c++17 -Wall -Wextra -DOPENSSL_API_COMPAT=30000 -DOPENSSL_NO_DEPRECATED)
c++ "${cxxflags[@]}" -o "$work/make_bench_package" "$here/make_bench_package.cpp" -lcrypto

# text_bench <build> <out>: the routine driver linked against that build's static core
build_text_bench() {
  local b=$1 out=$2 src=${source_dir[$1]} extra=()
  [ -n "$src" ] && [ -f "$b/libkvbsign_core.a" ] || return 1
  if grep -q '^KVBSIGN_SANITIZE:BOOL=ON' "$b/CMakeCache.txt"; then extra=(-fsanitize=address,undefined); fi
  c++ "${cxxflags[@]}" "${extra[@]}" -DBOOST_FILESYSTEM_NO_DEPRECATED \
      -I"$src/KVBSignLib/src" -I"$src/KVBSignLib/platform" -I"$src/library/source" \
      -o "$out" "$here/text_bench.cpp" "$b/libkvbsign_core.a" -lboost_filesystem -lboost_system -lcrypto -lz -pthread
}

(
  cd "$work"
  openssl req -x509 -newkey rsa:2048 -nodes -keyout root.key -out root.pem -subj "/CN=KVB Bench Root" \
      -days 3 -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
  openssl req -newkey rsa:2048 -nodes -keyout leaf.key -out leaf.csr -subj "/CN=KVB Bench Signer" 2>/dev/null
  printf 'basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature\n' > leaf.ext
  openssl x509 -req -in leaf.csr -CA root.pem -CAkey root.key -CAcreateserial -out leaf.pem -days 2 \
      -extfile leaf.ext 2>/dev/null
)
signer=("$work/leaf.key" "$work/leaf.pem" "$work/root.pem")

# zip_package <dir> <kvb>: mimetype first and stored, then the rest; removes the directory
zip_package() {
  (cd "$1" && zip -q -X -0 "$2" mimetype && zip -q -X -r "$2" . -x mimetype)
  rm -rf "$1"
}

describe() {
  local src=$1 rev
  rev=$(git -C "$src" rev-parse --short HEAD 2>/dev/null || echo "?")
  if [ -n "$(git -C "$src" status --porcelain --untracked-files=no 2>/dev/null)" ]; then rev="$rev+changes"; fi
  echo "$rev"
}

echo "benchmark $(date '+%Y-%m-%d %H:%M:%S'), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg), /tmp: private tmpfs"
echo "verifier: $build/KVBSignCmd ($(describe "${source_dir[$build]}"))"
if [ -n "$baseline" ]; then echo "baseline: $baseline/KVBSignCmd ($(describe "${source_dir[$baseline]}"))"; fi

# ---------------------------------------------------------------- ordinary packages
contenders=(floor verifier)
if [ -n "$baseline" ]; then contenders+=(baseline); fi
declare -A binary=([verifier]="$build/KVBSignCmd" [baseline]="$baseline/KVBSignCmd")
declare -A T M   # T[pkg,contender,round] microseconds, M[pkg,contender,round] peak KB

# run_floor <kvb>: sets R_US
run_floor() {
  local f=$work/floor t0
  t0=$(now_us)
  mkdir "$f" "$f/x"
  cp "$1" "$f/copy.kvb"
  unzip -q "$f/copy.kvb" -d "$f/x"
  (cd "$f/x" && find . -type f -print0 | xargs -0 -s 1900000 sha256sum >/dev/null)
  rm -rf "$f"
  R_US=$(($(now_us) - t0))
}

# run_verifier <binary> <kvb>: sets R_US and R_KB; stops the run unless the package verifies
run_verifier() {
  local t0
  t0=$(now_us)
  SSL_CERT_FILE=$work/root.pem /usr/bin/time -f %M -o "$work/mem" \
      "$1" -verify "$2" -skipOnlineRevocationChecks >"$work/out" 2>&1 \
      || die "$1 does not verify $2: $(cat "$work/out")"
  R_US=$(($(now_us) - t0))
  R_KB=$(tail -n 1 "$work/mem")
}

# The orders of the contenders, one per round in turn: each contender takes each place.
if [ ${#contenders[@]} -eq 3 ]; then
  orders=("0 1 2" "1 2 0" "2 0 1" "0 2 1" "2 1 0" "1 0 2")
else
  orders=("0 1" "1 0")
fi

declare -A pkg_count pkg_size pkg_label
pkg_count=([1k]=1000 [10k]=10000 [50k]=50000 [big]=4)
pkg_size=([1k]=4096 [10k]=4096 [50k]=1024 [big]=52428800)
pkg_label=([1k]="1,000 x 4 KB" [10k]="10,000 x 4 KB" [50k]="50,000 x 1 KB" [big]="4 x 50 MB")

if [ -n "$packages" ]; then
  for p in $packages; do
    [ -n "${pkg_count[$p]:-}" ] || die "unknown package $p (PACKAGES: 1k 10k 50k big)"
    "$work/make_bench_package" "$work/$p" "${pkg_count[$p]}" "${pkg_size[$p]}" "${signer[@]}"
    zip_package "$work/$p" "$work/$p.kvb"
  done

  for ((round = 1 - warmup; round <= runs; round++)); do
    order=${orders[$(((round + warmup - 1) % ${#orders[@]}))]}
    for p in $packages; do
      for i in $order; do
        c=${contenders[$i]}
        if [ "$c" = floor ]; then
          run_floor "$work/$p.kvb"
        else
          run_verifier "${binary[$c]}" "$work/$p.kvb"
          M[$p,$c,$round]=$R_KB
        fi
        T[$p,$c,$round]=$R_US
      done
    done
  done

  echo
  echo "ordinary packages: $runs rounds (after $warmup warm-up), contenders interleaved, order varied per round"
  printf '%-14s %-9s %9s %17s %7s %-12s %8s\n' package contender median_s "spread_s" ratio "target" peak_MB
  declare -A MED PEAK
  for p in $packages; do
    label=${pkg_label[$p]}
    for c in "${contenders[@]}"; do
      times=() ratios=() peak=0
      for ((round = 1; round <= runs; round++)); do
        times+=("${T[$p,$c,$round]}")
        ratios+=("$(awk -v a="${T[$p,$c,$round]}" -v b="${T[$p,floor,$round]}" 'BEGIN { print a / b }')")
        if [ "$c" != floor ] && [ "${M[$p,$c,$round]}" -gt "$peak" ]; then peak=${M[$p,$c,$round]}; fi
      done
      read -r med lo hi <<<"$(stats "${times[@]}")"
      MED[$p,$c]=$med
      if [ "$c" = floor ]; then
        printf '%-14s %-9s %9s %17s\n' "$label" "$c" "$(secs "$med")" "$(secs "$lo")-$(secs "$hi")"
      else
        PEAK[$p,$c]=$peak
        read -r ratio _ <<<"$(stats "${ratios[@]}")"
        ratio=$(awk -v r="$ratio" 'BEGIN { printf "%.2f", r }')
        printf '%-14s %-9s %9s %17s %7s %-12s %8s\n' "$label" "$c" "$(secs "$med")" "$(secs "$lo")-$(secs "$hi")" \
            "$ratio" "<= 1.1 $(verdict "$ratio" 1.1)" "$(mb "$peak")"
      fi
      label=""
    done
  done

  echo
  for c in "${contenders[@]:1}"; do
    if [ -n "${MED[50k,$c]:-}" ] && [ -n "${MED[1k,$c]:-}" ]; then
      scale=$(awk -v a="${MED[50k,$c]}" -v b="${MED[1k,$c]}" 'BEGIN { printf "%.2f", (a / 50000) / (b / 1000) }')
      printf '%-9s per file, 50,000 / 1,000 files: %s (%s / %s us; target <= 1.5: %s)\n' "$c" "$scale" \
          "$(awk -v a="${MED[50k,$c]}" 'BEGIN { printf "%.1f", a / 50000 }')" \
          "$(awk -v a="${MED[1k,$c]}" 'BEGIN { printf "%.1f", a / 1000 }')" "$(verdict "$scale" 1.5)"
    fi
    if [ -n "${PEAK[50k,$c]:-}" ]; then
      printf '%-9s peak memory, 50,000 files: %s MB (target <= 32: %s)\n' "$c" "$(mb "${PEAK[50k,$c]}")" \
          "$(verdict "$(mb "${PEAK[50k,$c]}")" 32)"
    fi
    if [ -n "${PEAK[big,$c]:-}" ] && [ -n "${PEAK[1k,$c]:-}" ]; then
      growth=$(awk -v a="${PEAK[big,$c]}" -v b="${PEAK[1k,$c]}" 'BEGIN { printf "%.1f", (a - b) / 1024 }')
      printf '%-9s peak memory, 4 x 50 MB: %s MB, 1,000 x 4 KB: %s MB (flat in file size, target <= +4 MB: %s)\n' \
          "$c" "$(mb "${PEAK[big,$c]}")" "$(mb "${PEAK[1k,$c]}")" "$(verdict "$growth" 4)"
    fi
  done
  for p in $packages; do rm -f "$work/$p.kvb"; done
fi

# ---------------------------------------------------------------- stress table
if [ "$stress" = 1 ]; then
  stress_builds=(verifier)
  declare -A text_bench=()
  build_text_bench "$build" "$work/text_bench.verifier" || die "cannot build text_bench against $build"
  text_bench[verifier]=$work/text_bench.verifier
  if [ -n "$baseline" ]; then
    stress_builds+=(baseline)
    if build_text_bench "$baseline" "$work/text_bench.baseline" 2>"$work/tb.err"; then
      text_bench[baseline]=$work/text_bench.baseline
    else
      echo "bench: text_bench does not build against $baseline; its routine cells show \"n/a\"" >&2
    fi
  fi
  text_routines=(reference htmlEntitiesDecode UriDecode unite_lines stringRange removeSpacesBetweenElements
                 expandCollapsedElements signedInfoSHA1 manifestSHA256 canonicalFormDropsContent)
  # The rows of a kind: the text routines, or for the kinds whose cost lies in a certificate
  # or the timestamp the check that reads it.
  routines_of() {
    case "$1" in
      crlpoints) echo reference checkCertificateChainRevocation ;;
      tokencerts) echo reference validateTimestamp ;;
      *) echo "${text_routines[@]}" ;;
    esac
  }
  # The revocation check runs only where no download can leave the machine: a network
  # namespace of its own, with no interface up.
  offline=(unshare --net --)
  limit=$(awk -v s="$small_mb" -v l="$large_mb" 'BEGIN { printf "%.2f", 1.25 * l / s }')

  # stress_routine <build> <routine> <xml>: prints seconds, "timeout" or "n/a"
  stress_routine() {
    local tb=${text_bench[$1]:-} out rc=0 prefix=()
    [ -n "$tb" ] || { echo n/a; return; }
    if [ "$2" = checkCertificateChainRevocation ]; then prefix=("${offline[@]}"); fi
    out=$(SSL_CERT_FILE=$work/root.pem timeout "$stress_timeout" "${prefix[@]}" "$tb" "$2" "$3" 2>/dev/null) || rc=$?
    if [ "$rc" -eq 0 ]; then echo "$out"; elif [ "$rc" -eq 124 ]; then echo timeout; else echo "error($rc)"; fi
  }
  # stress_verify <build> <kvb> <kind>: prints "<seconds> <status> <peak KB>" or "timeout - -"
  stress_verify() {
    local t0 us best="" rc i peak=0 kb flags=(-skipOnlineRevocationChecks) prefix=()
    if [ "$3" = crlpoints ]; then flags=() prefix=("${offline[@]}"); fi
    for ((i = 0; i < 3; i++)); do
      rc=0
      t0=$(now_us)
      SSL_CERT_FILE=$work/root.pem KVBSIGN_CRL_CACHE=$work/no-crl-cache timeout "$stress_timeout" "${prefix[@]}" \
          /usr/bin/time -f %M -o "$work/stress-mem" "${binary[$1]}" -verify "$2" "${flags[@]}" >/dev/null 2>&1 || rc=$?
      us=$(($(now_us) - t0))
      if [ "$rc" -eq 124 ]; then echo "timeout - -"; return; fi
      kb=$(tail -n 1 "$work/stress-mem")
      if [ "$kb" -gt "$peak" ]; then peak=$kb; fi
      if [ -z "$best" ] || [ "$us" -lt "$best" ]; then best=$us; fi
      if [ "$us" -gt 10000000 ]; then break; fi
    done
    echo "$(secs "$best") $rc $peak"
  }
  # cell_ratio <small> <large>: prints "<ratio> <verdict>" or "- -"
  cell_ratio() {
    case "$1$2" in
      *timeout*) echo "- OVER"; return ;;
      *[!0-9.]*) echo "- -"; return ;;
    esac
    awk -v a="$1" -v b="$2" -v t="$limit" 'BEGIN {
      if (a <= 0) a = 1e-6; r = b / a; printf "%.1f %s\n", r, (r <= t) ? "ok" : "OVER" }'
  }

  for k in $stress_kinds; do
    for mbytes in "$small_mb" "$large_mb"; do
      d=$work/stress-$k-$mbytes
      "$work/make_bench_package" --hostile "$k" $((mbytes * 1048576)) "$d" "${signer[@]}"
      cp "$d/META-INF/signatures.xml" "$d.xml"
      zip_package "$d" "$d.kvb"
    done
  done

  echo
  echo "stress: hostile signature documents of $small_mb MB and $large_mb MB; target: $large_mb MB at most $limit x" \
       "as long as $small_mb MB; cells over $stress_timeout s show \"timeout\""
  header=$(printf '%-10s %-31s' kind step)
  for b in "${stress_builds[@]}"; do
    header+=$(printf ' | %-11s %10s %10s %6s %-4s' "$b" "${small_mb}MB_s" "${large_mb}MB_s" ratio "")
  done
  echo "$header"
  memory_notes=()
  for k in $stress_kinds; do
    kind=$k
    for step in $(routines_of "$k") verification; do
      line=$(printf '%-10s %-31s' "$kind" "$step")
      for b in "${stress_builds[@]}"; do
        if [ "$step" = verification ]; then
          read -r ts ss ms <<<"$(stress_verify "$b" "$work/stress-$k-$small_mb.kvb" "$k")"
          read -r tl sl ml <<<"$(stress_verify "$b" "$work/stress-$k-$large_mb.kvb" "$k")"
          status="status $ss/$sl"
          # Peak memory of the large document against twice its size plus 64 MB.
          if [ "$ml" != - ]; then
            doc_kb=$(( $(stat -c %s "$work/stress-$k-$large_mb.xml") / 1024 ))
            bound_kb=$((2 * doc_kb + 65536))
            mem_verdict=ok
            [ "$ml" -le "$bound_kb" ] || mem_verdict=OVER
            memory_notes+=("$(printf '%-10s %-9s peak %s MB / %s MB for the %s MB document (bound 2 x document + 64 MB = %s MB: %s)' \
                "$k" "$b" "$(mb "$ms")" "$(mb "$ml")" "$large_mb" "$(mb "$bound_kb")" "$mem_verdict")")
          fi
        else
          ts=$(stress_routine "$b" "$step" "$work/stress-$k-$small_mb.xml")
          tl=$(stress_routine "$b" "$step" "$work/stress-$k-$large_mb.xml")
          status=""
        fi
        read -r r v <<<"$(cell_ratio "$ts" "$tl")"
        if [ "$step" = reference ]; then v=""; fi  # a yardstick, not a target
        line+=$(printf ' | %-11s %10s %10s %6s %-4s' "$status" "$ts" "$tl" "$r" "$v")
      done
      echo "$line"
      kind=""
    done
  done
  echo
  echo "stress: peak memory of the whole verification, $small_mb MB / $large_mb MB documents"
  for note in "${memory_notes[@]}"; do echo "$note"; done
fi

echo
echo "run took $((SECONDS - started)) s (load at the end $(cut -d' ' -f1-3 /proc/loadavg))"
