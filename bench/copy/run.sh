#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
# qvsnap's base and incremental runs end to end, beside dd and a reference copier of the same
# I/O pattern, over loop devices of 1 and 4 GiB read from the page cache, into an image on the
# filesystem of the work folder. Run by hand, as root, on an otherwise idle machine:
#   bench/copy/run.sh [REPEATS] [SIZE_GIB...]        (defaults: 3 repeats, 1 and 4 GiB)
# Builds what it needs into build/bench. Every case of a repeat runs before the next repeat, so
# that drift on the machine spreads over all of them. Prints every run, then medians and the
# ratios that the copy is judged by. Asserts nothing.
#
# "durable" is the time from the start to the image on the disk: the run, then an fsync of the
# image (which finds nothing to write when the run ended with its own). qvsnap's code runs as built
# (the public operations through the shared library), with bench/copy's preload standing in for the module:
# the loop device is its own snapshot device and the incremental changelog is a scattered tenth of
# its blocks, sorted.
set -euo pipefail
cd "$(dirname "$0")/../.."
ROOT=$PWD
REPEATS=${1:-3}
shift || true
SIZES=("$@")
[ ${#SIZES[@]} -eq 0 ] && SIZES=(1 4)
PARENT=${TMPDIR:-/var/tmp}

BUILD=$ROOT/build/bench
"$ROOT/scripts/deps"
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQV_TESTS=OFF >/dev/null
cmake --build "$BUILD" --target qvsnap_bench refcopy qvsnap_bench_shim measure >/dev/null
QVSNAP=$BUILD/bench/copy/qvsnap_bench
REF=$BUILD/bench/copy/refcopy
SHIM=$BUILD/bench/copy/qvsnap_bench_shim.so
MEASURE=$BUILD/bench/copy/measure

# The integration tests take this lock for their loop devices; a bench beside them measures both.
exec 9>/run/qvsim-fixture.lock
flock 9

WORK=$(mktemp -d "$PARENT/qvsnap-bench.XXXXXX")
LOOPS=()
cleanup() {
  for l in "${LOOPS[@]}"; do losetup -d "$l"; done
  rm -rf "$WORK"
}
trap cleanup EXIT

declare -A LOOP
for g in "${SIZES[@]}"; do
  dd if=/dev/urandom of="$WORK/source-$g" bs=1M count=$((g * 1024)) status=none
  LOOP[$g]=$(losetup --show -f "$WORK/source-$g")
  LOOPS+=("${LOOP[$g]}")
  cat "${LOOP[$g]}" >/dev/null  # every run reads its source from the page cache
done
echo "# sources: ${SIZES[*]} GiB loop devices; image on $(stat -f -c %T "$WORK") in $PARENT; $(nproc) cores"
IMG=$WORK/image
RESULTS=$WORK/results

fresh() { rm -f "$IMG"; sync; }
# record NAME [measure args...] -- CMD...: one run, its durable time and peak memory.
record() {
  local name=$1; shift
  local exit_s durable rss status
  read -r _ exit_s _ durable _ rss _ status < <("$MEASURE" --sync "$IMG" --log "$WORK/log" "$@")
  [ "$status" = 0 ] || { echo "$name failed ($status):" >&2; cat "$WORK/log" >&2; exit 1; }
  printf '%s %s %s %s\n' "$name" "$exit_s" "$durable" "$rss" >>"$RESULTS"
  printf '  %-26s exit %7.3f s  durable %7.3f s  rss %7d KiB\n' "$name" "$exit_s" "$durable" "$rss"
}

# summary RESULTS REPEATS SIZE...: medians of every case, then the ratios the copy is judged by.
summary() {
  python3 - "$@" <<'PY'
import statistics, sys
path, repeats, sizes = sys.argv[1], sys.argv[2], sys.argv[3:]
runs = {}
for line in open(path):
    name, exit_s, durable, rss = line.split()
    runs.setdefault(name, []).append((float(exit_s), float(durable), int(rss)))
med = {k: (statistics.median(r[0] for r in v), statistics.median(r[1] for r in v), max(r[2] for r in v))
       for k, v in runs.items()}
print(f"# medians of {repeats}: exit, durable (s); peak resident (KiB, largest)")
for k in sorted(med):
    e, d, r = med[k]
    print(f"  {k:<26} exit {e:7.3f}  durable {d:7.3f}  rss {r:7d}")
print("# ratios of durable medians")
def ratio(label, a, b, target="-"):
    print(f"  {label:<46} {med[a][1] / med[b][1]:6.3f}  (target {target})")
for g in sizes:
    for w in (1, 2, 4):
        t = lambda v: v if (g, w) == ("1", 2) else "-"
        ratio(f"{g}G w{w} qvsnap base / dd bs=1M conv=fsync", f"{g}G-qvsnap-base-w{w}", f"{g}G-dd-1M", t("1.6"))
        ratio(f"{g}G w{w} qvsnap base / reference", f"{g}G-qvsnap-base-w{w}", f"{g}G-ref-base-w{w}", t("1.1"))
        ratio(f"{g}G w{w} qvsnap incr / reference", f"{g}G-qvsnap-incr-w{w}", f"{g}G-ref-incr-w{w}", t("1.1"))
        ratio(f"{g}G w{w} qvsnap incr / dd bs=1M conv=fsync", f"{g}G-qvsnap-incr-w{w}", f"{g}G-dd-1M", t("0.25"))
    ratio(f"{g}G reference: write-back after reset / none", f"{g}G-ref-base-sync-w2", f"{g}G-ref-base-w2")
    ratio(f"{g}G reference: write-back and drop / none", f"{g}G-ref-base-drop-w2", f"{g}G-ref-base-w2")
    ratio(f"{g}G dd bs=4k / bs=1M", f"{g}G-dd-4k", f"{g}G-dd-1M")
    changed = int(g) * 262144 // 10
    print(f"  {g}G qvsnap base peak resident: {med[f'{g}G-qvsnap-base-w2'][2]} KiB (target < 65536)")
    print(f"  {g}G qvsnap incr peak resident: {med[f'{g}G-qvsnap-incr-w2'][2]} KiB "
          f"(target < {65536 + changed * 8 // 1024}: 64 MiB + 8 bytes x {changed} changed blocks)")
PY
}

for rep in $(seq 1 "$REPEATS"); do
  echo "# repeat $rep"
  for g in "${SIZES[@]}"; do
    src=${LOOP[$g]}
    for w in 1 2 4; do
      fresh; record "${g}G-qvsnap-base-w$w" -- env LD_PRELOAD="$SHIM" "$QVSNAP" -p -w "$w" "$src" "$IMG"
      fresh; record "${g}G-ref-base-w$w" -- "$REF" "$src" "$IMG" "$w" --fill
    done
    # What lies between the reset and the copy: nothing, a write-back, or a write-back and drop.
    for between in sync drop; do
      fresh; record "${g}G-ref-base-$between-w2" -- "$REF" "$src" "$IMG" 2 --fill=$between
    done
    for bs in 1M 4k; do
      fresh; record "${g}G-dd-$bs" -- dd if="$src" of="$IMG" bs=$bs conv=fsync status=none
    done
    # The incremental runs patch the image that dd left.
    for w in 1 2 4; do
      record "${g}G-qvsnap-incr-w$w" -- env LD_PRELOAD="$SHIM" "$QVSNAP" -p -i -w "$w" "$src" "$IMG"
      record "${g}G-ref-incr-w$w" -- "$REF" "$src" "$IMG" "$w" --tenth
    done
  done
done
fresh

summary "$RESULTS" "$REPEATS" "${SIZES[@]}"
