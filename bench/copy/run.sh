#!/bin/bash
# qvsnap's copy against a reference copier and dd, over a 1 GiB loop device into an image on the
# filesystem of the work directory. Run by hand, as root, under the machine lock that the
# integration tests take (flock LOCKFILE bench/copy/run.sh ...):
#   bench/copy/run.sh [BUILD_DIR] [REPEATS] [WORK_PARENT]
# Prints every run, then medians and ratios. Asserts nothing.
#
# qvsnap's code runs as built, with bench/copy's preload standing in for the module: the loop device is
# its own snapshot device and the incremental changelog is a scattered tenth of its blocks. The
# preload stamps the phases, so the base run's reset (zero fill, write-back, page drop) and its
# copy are timed apart.
set -euo pipefail

BUILD=$(realpath "${1:-build}")
REPEATS=${2:-3}
PARENT=${3:-${TMPDIR:-/var/tmp}}
QVSNAP=$BUILD/bench/copy/qvsnap_bench
REF=$BUILD/bench/copy/refcopy
SHIM=$BUILD/bench/copy/qvsnap_bench_shim.so
for f in "$QVSNAP" "$REF" "$SHIM"; do
  [[ -e $f ]] || { echo "missing $f: build the targets qvsnap_bench refcopy qvsnap_bench_shim" >&2; exit 1; }
done

WORK=$(mktemp -d "$PARENT/qvsnap-bench.XXXXXX")
LOOP=""
cleanup() {
  [[ -n $LOOP ]] && losetup -d "$LOOP"
  rm -rf "$WORK"
}
trap cleanup EXIT

echo "# source: 1 GiB loop device over a file; image on $(stat -f -c %T "$WORK") ($PARENT)"
dd if=/dev/urandom of="$WORK/source" bs=1M count=1024 status=none
LOOP=$(losetup --show -f "$WORK/source")
cat "$LOOP" >/dev/null  # the source is read from the page cache in every run
IMG=$WORK/image
RESULTS=$WORK/results

now() { date +%s.%N; }
fresh() { rm -f "$IMG"; sync; }
record() { printf '%s %s\n' "$1" "$2" >>"$RESULTS"; printf '  %-28s %8.3f s\n' "$1" "$2"; }

# qvsnap with the preload; answers "reset copy" from its stamps.
qvsnap_phases() {
  local log=$WORK/stamps
  LD_PRELOAD=$SHIM "$QVSNAP" -p "$@" 2>"$log" >/dev/null
  awk '/^bench: reset/{r=$3} /^bench: copy/{c=$3} /^bench: end/{e=$3} END{printf "%.6f %.6f\n", c-r, e-c}' "$log"
}

for rep in $(seq 1 "$REPEATS"); do
  echo "# repeat $rep"
  for w in 1 2 4; do
    fresh
    read -r reset copy < <(qvsnap_phases -w "$w" "$LOOP" "$IMG")
    record "qvsnap-base-reset-w$w" "$reset"
    record "qvsnap-base-copy-w$w" "$copy"
    # The incremental run patches the image just made.
    sync
    read -r _ copy < <(qvsnap_phases -i -w "$w" "$LOOP" "$IMG")
    record "qvsnap-incr-copy-w$w" "$copy"

    fresh
    read -r _ fill _ copy _ < <("$REF" "$LOOP" "$IMG" "$w" --reset)
    record "ref-reset-w$w" "$fill"
    record "ref-copy-into-reset-w$w" "$copy"
    sync
    read -r _ _ _ copy _ < <("$REF" "$LOOP" "$IMG" "$w" --tenth)
    record "ref-incr-copy-w$w" "$copy"

    fresh
    read -r _ fill _ copy _ < <("$REF" "$LOOP" "$IMG" "$w" --fill)
    record "ref-copy-into-filled-w$w" "$copy"
  done
  for bs in 4k 1M; do
    fresh
    t0=$(now)
    dd if="$LOOP" of="$IMG" bs=$bs status=none
    record "dd-bs$bs" "$(echo "$(now) - $t0" | bc)"
  done
done
fresh

echo "# medians of $REPEATS"
sort -k1,1 -k2,2n "$RESULTS" | awk '
  { v[$1] = v[$1] " " $2; n[$1]++ }
  END {
    for (k in v) {
      split(substr(v[k], 2), a, " "); m = (n[k] % 2) ? a[(n[k] + 1) / 2] : (a[n[k] / 2] + a[n[k] / 2 + 1]) / 2
      printf "%s %.3f\n", k, m
    }
  }' | sort >"$WORK/medians"
awk '{ printf "  %-28s %8.3f s  %7.1f MiB/s\n", $1, $2, ($1 ~ /incr/ ? 102.4 : 1024) / $2 }' "$WORK/medians"

median() { awk -v k="$1" '$1 == k { print $2 }' "$WORK/medians"; }
echo "# ratios (time / time)"
for w in 1 2 4; do
  printf '  w%d qvsnap copy / ref copy (reset file): %.3f\n' "$w" \
    "$(echo "$(median qvsnap-base-copy-w$w) / $(median ref-copy-into-reset-w$w)" | bc -l)"
  printf '  w%d qvsnap incr / ref incr:              %.3f\n' "$w" \
    "$(echo "$(median qvsnap-incr-copy-w$w) / $(median ref-incr-copy-w$w)" | bc -l)"
  printf '  w%d ref copy into filled / into reset:   %.3f\n' "$w" \
    "$(echo "$(median ref-copy-into-filled-w$w) / $(median ref-copy-into-reset-w$w)" | bc -l)"
  printf '  w%d qvsnap reset+copy / dd bs=1M:        %.3f\n' "$w" \
    "$(echo "($(median qvsnap-base-reset-w$w) + $(median qvsnap-base-copy-w$w)) / $(median dd-bs1M)" | bc -l)"
done
printf '  dd bs=4k / dd bs=1M:                     %.3f\n' "$(echo "$(median dd-bs4k) / $(median dd-bs1M)" | bc -l)"
