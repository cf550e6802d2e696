#!/usr/bin/env bash
# A build whose ZEM_FIRMWARE_IMAGE cannot be embedded stops with a message naming the file and the fault.
set -euo pipefail
source_dir=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
printf 'zem4200 but far too short' > "$work/short.bin"
cmake -S "$source_dir" -B "$work/build" -G Ninja -DBUILD_TESTING=OFF \
  -DZEM_FIRMWARE_IMAGE="$work/short.bin" >"$work/configure.log" 2>&1
if cmake --build "$work/build" --target zemupgrade >"$work/build.log" 2>&1; then
  echo "FAIL the build went on with a 25-byte image"
  exit 1
fi
if grep -q "ZEM_FIRMWARE_IMAGE $work/short.bin: the image is shorter than 128 bytes" "$work/build.log"; then
  echo "ok   the build stopped: $(grep -m1 'ZEM_FIRMWARE_IMAGE' "$work/build.log")"
else
  echo "FAIL the build log does not name the file and the fault:"
  cat "$work/build.log"
  exit 1
fi
[ ! -e "$work/build/zemupgrade" ] || { echo "FAIL a program was linked"; exit 1; }
