#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Backups into a repository, end to end on stand-in disks, beside the plain copies they are judged
# by. Run by hand, as root, on an otherwise idle machine, under the machine lock:
#   flock MACHINE_LOCK bench/repo/run.sh [REPEATS]      (default 3)
# where MACHINE_LOCK is the lock file that the integration tests take around the machine.
# Environment: TMPDIR (where the repositories and images go, default /var/tmp); QV_BENCH_DROP=0
# to keep the page cache between cases (by default it is dropped before every timed case, for
# both sides alike); QV_BENCH_BIG=0 to skip the 64 GiB memory case; QV_BENCH_BIG_RUN=N blocks per
# changed run there (default 16); QV_BENCH_SIZE for the size of the timed disks (default 4G);
# QV_BENCH_RBD=0 to skip the base into Ceph beside rbd import (bench/repo/rbd.sh) at the end.
#
# Every case of a repeat runs before the next repeat, so that drift on the machine spreads over all
# of them. Prints every run, then medians, ratios and the targets beside them. Asserts nothing.
set -euo pipefail
cd "$(dirname "$0")/../.."
ROOT=$PWD
REPEATS=${1:-3}
PARENT=${TMPDIR:-/var/tmp}
DROP=${QV_BENCH_DROP:-1}
BIG=${QV_BENCH_BIG:-64G}
[ "$BIG" = 0 ] && BIG=
BIG_RUN=${QV_BENCH_BIG_RUN:-16}
SIZE=${QV_BENCH_SIZE:-4G}

BUILD=$ROOT/build/bench
"$ROOT/scripts/deps"
# GCC 12 at -O3 takes a string concatenation in the stand-in for an overlapping copy; a warning
# there must not stop a benchmark.
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQV_TESTS=OFF -DQV_WERROR=OFF -DQV_RBD=ON >/dev/null
cmake --build "$BUILD" -j2 --target qvctl_cmd qvctl_rbd qvsnap qvsim qvsimd qvsim_preload measure >/dev/null
QVCTL=$BUILD/ctl/qvctl
QVSNAP=$BUILD/tool/qvsnap
QVSIM=$BUILD/sim/qvsim
MEASURE=$BUILD/bench/copy/measure
BLOCKS=$ROOT/bench/repo/blocks.py

# The stand-in's own fixtures take this lock as well.
exec 9>/run/qvsim-fixture.lock
flock 9

WORK=$(mktemp -d "$PARENT/qvrepo-bench.XXXXXX")
mkdir "$WORK/mnt"
DEVS=()
LOOP=
cleanup() {
  set +e
  [ -n "$LOOP" ] && losetup -d "$LOOP"
  for d in "${DEVS[@]}"; do "$QVSIM" run -- "$QVCTL" --quiet detach "$d" >/dev/null 2>&1; done
  "$QVSIM" stop >/dev/null
  rm -rf "$WORK"
}
trap cleanup EXIT

source "$ROOT/bench/repo/disk.sh"

# Before every timed case: the same cache state for both sides of a ratio.
settle() {
  sync
  [ "$DROP" = 1 ] && echo 3 >/proc/sys/vm/drop_caches
  return 0
}

RESULTS=$WORK/results
# record NAME SYNC_FILE CMD...: one run, its time to exit and to a durable SYNC_FILE ("-": none),
# and its peak resident memory.
record() {
  local name=$1 sync=$2; shift 2
  local exit_s durable rss status args=(--log "$WORK/log")
  [ "$sync" != - ] && args+=(--sync "$sync")
  settle
  read -r _ exit_s _ durable _ rss _ status < <("$MEASURE" "${args[@]}" -- "$@")
  [ "$status" = 0 ] || { echo "$name failed ($status):" >&2; cat "$WORK/log" >&2; exit 1; }
  printf '%s %s %s %s\n' "$name" "$exit_s" "$durable" "$rss" >>"$RESULTS"
  printf '  %-22s exit %8.3f s  durable %8.3f s  rss %7d KiB\n' "$name" "$exit_s" "$durable" "$rss"
}
# The kind that the last backup's record names, as a check that the case ran what it is named for.
expect_kind() {
  local kind
  kind=$(grep -o '"kind": *"[a-z]*"' "$WORK/log" | head -1 | sed 's/.*"\([a-z]*\)"$/\1/')
  [ "$kind" = "$1" ] || echo "  (warning: the backup ran as ${kind:-unknown}, not $1)"
}
QV=("$QVSIM" run -- "$QVCTL")

"$QVSIM" stop >/dev/null 2>&1 || true  # whatever an earlier, killed run left
sim_start

echo "# setting up: two $SIZE stand-in disks, a quarter and all of their blocks data"
make_disk $SIZE
QUARTER=$DEV
make_disk $SIZE
FULL=$DEV
python3 "$BLOCKS" quarter "$QUARTER"
python3 "$BLOCKS" full "$FULL"
USED_Q=$(python3 "$BLOCKS" count "$QUARTER")
USED_F=$(python3 "$BLOCKS" count "$FULL")
truncate -s $SIZE "$WORK/target.loop"
LOOP=$(losetup --show -f "$WORK/target.loop")
echo "# $(nproc) cores; repositories on $(stat -f -c %T "$PARENT") in $PARENT; page cache" \
  "$([ "$DROP" = 1 ] && echo dropped || echo kept) before every case"
echo "# used blocks: quarter $USED_Q, full $USED_F of $(($(blockdev --getsize64 "$QUARTER") / 4096))"

RQ=$WORK/repo-quarter
RF=$WORK/repo-full
DD=$WORK/dd.img
TARGET=$WORK/target.img
ALLOC=$WORK/alloc
: >"$ALLOC"
GEN=0
for rep in $(seq 1 "$REPEATS"); do
  echo "# repeat $rep"
  # Base backups into empty repositories, and dd of the whole device beside each.
  for kind in quarter full; do
    if [ $kind = quarter ]; then dev=$QUARTER repo=$RQ; else dev=$FULL repo=$RF; fi
    rm -rf "$repo"
    record "base-$kind" "$repo/image" "${QV[@]}" backup "$dev" "$repo" --json
    expect_kind base
    echo "$kind $(du --block-size=1 -s "$repo" | cut -f1)" >>"$ALLOC"
    rm -f "$DD"
    blockdev --flushbufs "$dev"  # read through the stand-in, as the snapshot device is
    record "dd-$kind" - dd if="$dev" of="$DD" bs=1M conv=fsync status=none
  done
  rm -f "$DD"

  # The same sorted, scattered tenth rewritten before each side's incremental copy.
  GEN=$((GEN + 1))
  python3 "$BLOCKS" tenth "$FULL" $GEN
  record incr "$RF/image" "${QV[@]}" backup "$FULL" "$RF" --json
  expect_kind incremental

  # The older point, rebuilt from the image and its deltas, against a copy of the image itself.
  rm -f "$TARGET"
  record restore-file "$TARGET" "${QV[@]}" repo restore "$RF@1" "$TARGET"
  rm -f "$TARGET"
  record dd-restore-file - dd if="$RF/image" of="$TARGET" bs=1M conv=fsync status=none
  record restore-loop "$LOOP" "${QV[@]}" repo restore "$RF@1" "$LOOP"
  record dd-restore-loop - dd if="$RF/image" of="$LOOP" bs=1M conv=fsync status=none

  record check - "${QV[@]}" repo check "$RF"
  record read - sh -c 'cat "$1"/image "$1"/sums "$1"/deltas/* >/dev/null' sh "$RF"

  # qvsnap -i patches the image dd just wrote, from a snapshot taken for it by hand.
  GEN=$((GEN + 1))
  python3 "$BLOCKS" tenth "$FULL" $GEN
  qv snapshot start "$FULL"
  record qvsnap-incr "$TARGET" "$QVSIM" run -- "$QVSNAP" -p -i "$FULL" "$TARGET"
  qv snapshot complete "$FULL"
done

if [ -n "$BIG" ]; then
  # Room for the large case: its base is refused on a filesystem with less room than the device.
  rm -rf "$RQ" "$RF" "$TARGET" "$WORK/target.loop"
  losetup -d "$LOOP"
  LOOP=
  for d in "${DEVS[@]}"; do qv detach "$d"; "$QVSIM" disk remove "$d" >/dev/null; done
  DEVS=()
  echo "# memory: a $BIG sparse stand-in disk, then a tenth of its blocks in runs of $BIG_RUN, scattered"
  make_disk "$BIG"
  dev=$DEV
  RB=$WORK/repo-big
  record big-base "$RB/image" "${QV[@]}" backup "$dev" "$RB" --json
  expect_kind base
  python3 "$BLOCKS" tenth "$dev" 1 "$BIG_RUN"
  record big-incr "$RB/image" "${QV[@]}" backup "$dev" "$RB" --json
  expect_kind incremental
  record big-check - "${QV[@]}" repo check "$RB"
fi

python3 - "$RESULTS" "$ALLOC" "$REPEATS" "$USED_Q" "$USED_F" <<'PY'
import statistics, sys
path, alloc_path, repeats, used_q, used_f = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]), int(sys.argv[5])
runs = {}
for line in open(path):
    name, exit_s, durable, rss = line.split()
    runs.setdefault(name, []).append((float(exit_s), float(durable), int(rss)))
med = {k: (statistics.median(r[0] for r in v), statistics.median(r[1] for r in v), max(r[2] for r in v))
       for k, v in runs.items()}
alloc = {}
for line in open(alloc_path):
    kind, n = line.split()
    alloc.setdefault(kind, []).append(int(n))

def verdict(ok):
    return "PASS" if ok else "FAIL"

print(f"# medians of {repeats}: exit, durable (s); peak resident (KiB, largest)")
for k in sorted(med):
    e, d, r = med[k]
    print(f"  {k:<22} exit {e:8.3f}  durable {d:8.3f}  rss {r:7d}")
print("# ratios of durable medians (time / time; rates as their inverse)")
def time_ratio(label, a, b, limit):
    if a in med and b in med:
        x = med[a][1] / med[b][1]
        print(f"  {label:<52} {x:6.3f}  target <= {limit}  {verdict(x <= limit)}")
def rate_ratio(label, a, b, limit):
    if a in med and b in med:
        x = med[b][1] / med[a][1]
        print(f"  {label:<52} {x:6.3f}  target >= {limit}  {verdict(x >= limit)}")
time_ratio("base quarter full / dd of the whole device", "base-quarter", "dd-quarter", 0.5)
time_ratio("base full / dd of the whole device", "base-full", "dd-full", 1.1)
time_ratio("incremental, a tenth / qvsnap -i of the same", "incr", "qvsnap-incr", 2.5)
rate_ratio("restore rate / dd rate, into a file", "restore-file", "dd-restore-file", 0.8)
rate_ratio("restore rate / dd rate, onto a loop device", "restore-loop", "dd-restore-loop", 0.8)
rate_ratio("check rate / plain read rate of the files", "check", "read", 0.8)
print("# allocated size of the repository (du) / used blocks of the device")
for kind, used, limit in (("quarter", used_q, 1.1), ("full", used_f, None)):
    if kind in alloc:
        a = statistics.median(alloc[kind])
        x = a / (used * 4096)
        tail = f"  target <= {limit}  {verdict(x <= limit)}" if limit else ""
        print(f"  {kind:<8} {int(a):>12} bytes / {used * 4096:>12} bytes = {x:6.3f}{tail}")
print("# peak resident memory of each qvctl run (largest of the repeats)")
for k in sorted(med):
    if k.startswith("dd-") or k in ("read", "qvsnap-incr"):
        continue
    r = med[k][2]
    print(f"  {k:<22} {r:7d} KiB  target < 65536  {verdict(r < 65536)}")
PY

# The base into Ceph beside rbd import, on a disk and a cluster of its own.
if [ "${QV_BENCH_RBD:-1}" != 0 ]; then
  "$QVSIM" stop >/dev/null 2>&1 || true
  echo "# a base into Ceph beside rbd import"
  QV_BENCH_BUILD=$BUILD "$ROOT/bench/repo/rbd.sh" "$REPEATS"
fi
