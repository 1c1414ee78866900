#!/bin/bash
# SPDX-License-Identifier: GPL-2.0-or-later
# A base backup into a Ceph pool beside `rbd import` of the same device into the same pool, on a
# throw-away one-node cluster (tests/rbd/cluster) and a stand-in disk three quarters full of data.
# Run by hand, as root, on an otherwise idle machine, under the machine lock, or from run.sh:
#   flock MACHINE_LOCK bench/repo/rbd.sh [REPEATS]       (default 3)
# Environment: QV_BENCH_RBD_SIZE, the disk's size (default 1G); QV_BENCH_BUILD, a build folder with
# qvctl, its Ceph module and qvsim (default: one of its own). Prints every run, the medians and
# their ratio beside its target. Asserts nothing.
set -euo pipefail
cd "$(dirname "$0")/../.."
ROOT=$PWD
REPEATS=${1:-3}
SIZE=${QV_BENCH_RBD_SIZE:-1G}
BUILD=${QV_BENCH_BUILD:-$ROOT/build/bench}

if [ -z "${QV_BENCH_BUILD:-}" ]; then
  "$ROOT/scripts/deps"
  cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQV_TESTS=OFF -DQV_WERROR=OFF -DQV_RBD=ON >/dev/null
  cmake --build "$BUILD" -j2 --target qvctl_cmd qvctl_rbd qvsim qvsimd qvsim_preload >/dev/null
fi
QVCTL=$BUILD/ctl/qvctl
QVSIM=$BUILD/sim/qvsim
CLUSTER=$ROOT/tests/rbd/cluster

WORK=$(mktemp -d "${TMPDIR:-/var/tmp}/qvrbd-bench.XXXXXX")
CEPH=$WORK/ceph
DEV=
cleanup() {
  set +e
  [ -n "$DEV" ] && "$QVSIM" run -- "$QVCTL" --quiet detach "$DEV" >/dev/null 2>&1
  "$QVSIM" stop >/dev/null 2>&1
  "$CLUSTER" stop "$CEPH"
  rm -rf "$WORK"
}
trap cleanup EXIT

"$CLUSTER" start "$CEPH"
CONF=$CEPH/ceph.conf
DEVS=()
source "$ROOT/bench/repo/disk.sh"
sim_start
mkdir "$WORK/mnt"
make_disk "$SIZE"
bytes=$(blockdev --getsize64 "$DEV")
# Three quarters of the disk random data, past ext4's own first blocks; the rest zeros.
dd if=/dev/urandom of="$DEV" bs=1M seek=8 count=$((bytes * 3 / 4 >> 20)) conv=notrunc,fsync status=none

seconds() { python3 -c 'import sys,time; print(f"{time.monotonic():.6f}")'; }
RESULTS=$WORK/results
run() {  # NAME CMD...
  local name=$1 t0 t1
  shift
  sync
  echo 3 >/proc/sys/vm/drop_caches
  t0=$(seconds)
  "$@" >"$WORK/log" 2>&1 || { echo "$name failed:" >&2; cat "$WORK/log" >&2; exit 1; }
  t1=$(seconds)
  python3 -c "print('$name', $t1 - $t0)" >>"$RESULTS"
  python3 -c "print(f'  {\"$name\":<12} {$t1 - $t0:8.3f} s  {$bytes / ($t1 - $t0) / 1e6:8.1f} MB/s')"
}

echo "# $SIZE disk, three quarters data; $REPEATS repeats, each side on a new image"
for i in $(seq 1 "$REPEATS"); do
  run import rbd -c "$CONF" import --no-progress "$DEV" "qvtest/import-$i"
  run base qv backup "$DEV" "rbd:qvtest/base-$i" --ceph-conf "$CONF"
  rbd -c "$CONF" rm --no-progress "qvtest/import-$i" >/dev/null
  for image in "base-$i" "base-$i.quorvex-sums"; do
    rbd -c "$CONF" snap purge "qvtest/$image" >/dev/null 2>&1
    rbd -c "$CONF" rm --no-progress "qvtest/$image" >/dev/null
  done
done

python3 - "$RESULTS" "$bytes" <<'PY'
import statistics, sys
runs = {}
for line in open(sys.argv[1]):
    name, t = line.split()
    runs.setdefault(name, []).append(float(t))
size = int(sys.argv[2])
med = {k: statistics.median(v) for k, v in runs.items()}
for k, t in med.items():
    print(f"  median {k:<12} {t:8.3f} s  {size / t / 1e6:8.1f} MB/s")
x = med["import"] / med["base"]
print(f"  base rate / rbd import rate, same device and pool  {x:6.3f}  target >= 0.8  {'ok' if x >= 0.8 else 'FAIL'}")
PY
