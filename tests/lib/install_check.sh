#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Installs the build into a scratch prefix and builds a C program against it through pkg-config.
set -euo pipefail
build=$1
sanitize=${2:+-fsanitize=$2}  # a sanitized library needs a sanitized program
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
pc=$(dirname "$(find "$prefix" -name libqvctl.pc | head -n1)")
export PKG_CONFIG_PATH=$pc
# shellcheck disable=SC2046
cc -Wall -Werror $sanitize -o "$prefix/consumer" "$(dirname "$0")/c_consumer.c" $(pkg-config --cflags --libs libqvctl)
libdir=$(pkg-config --variable=libdir libqvctl)
out=$(LD_LIBRARY_PATH=$libdir "$prefix/consumer")
echo "$out"
grep -q "^libqvctl version: " <<<"$out"
find "$prefix" -name 'libqvctl.so.1' | grep -q .
find "$prefix" -name 'qvctl.h' | grep -q .
for installed in sbin/qvsnap sbin/qvctl share/man/man8/qvsnap.8 share/man/man8/qvctl.8 share/man/man3/libqvctl.3; do
  [ -e "$prefix/$installed" ] || { echo "not installed: $installed" >&2; exit 1; }
done
