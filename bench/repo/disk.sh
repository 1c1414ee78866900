# SPDX-License-Identifier: GPL-2.0-or-later
# The stand-in and its disks as the repository benchmarks set them up; sourced, with QVSIM, QVCTL
# and WORK (holding an empty folder mnt) set, and DEVS an array.

# The daemon outlives the command that starts it: it must not carry the locks' descriptors with it,
# or a daemon left behind by a killed run would hold the machine for good.
sim_start() {
  (
    for fd in /proc/self/fd/*; do
      n=${fd##*/}
      [ "$n" -gt 2 ] && eval "exec $n>&-" 2>/dev/null || true
    done
    exec "$QVSIM" start
  ) >/dev/null
}
qv() { "$QVSIM" run -- "$QVCTL" --quiet "$@" >/dev/null; }

# make_disk SIZE: DEV becomes a stand-in disk with ext4 on it, attached, its three stores created
# and registered as an administrator would, then unmounted so that the benchmark can write the raw
# device.
make_disk() {
  local dev
  dev=$("$QVSIM" disk create "$1")
  DEV=$dev
  DEVS+=("$dev")
  mkfs.ext4 -q -F -E nodiscard "$dev"
  mount "$dev" "$WORK/mnt"
  qv attach "$dev"
  qv store create changelog "$dev"
  qv store create data "$dev" --size 4M
  for kind in changelog data metadata; do qv store register "$kind" "$dev"; done
  umount "$WORK/mnt"
}

