#!/usr/bin/env bash
# The build-time image check: a table of images and the fault each must name.
set -euo pipefail
tool=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
fail=0

make_image() {  # make_image FILE SIZE ZERO_AT(-1 for none)
  python3 - "$@" <<'PY'
import sys
path, size, zero = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
data = bytearray(b'v' * size)
data[0:7] = b'zem4200'[:size]
if 0 <= zero < size:
    data[zero] = 0
open(path, 'wb').write(data)
PY
}

expect() {  # expect NAME STATUS PATTERN FILE
  local name=$1 status=$2 pattern=$3 file=$4 out rc=0
  out=$("$tool" check "$file" 2>&1) || rc=$?
  if [ "$rc" -ne "$status" ] || ! grep -q -- "$pattern" <<<"$out" || ! grep -qF -- "$file" <<<"$out"; then
    echo "FAIL $name: status $rc, output: $out"
    fail=1
  else
    echo "ok   $name: $out"
  fi
}

make_image "$dir/good.bin" 1000 100
make_image "$dir/short.bin" 127 100
: >"$dir/empty.bin"
make_image "$dir/noversionend.bin" 1000 -1
make_image "$dir/zero-at-128.bin" 1000 128
make_image "$dir/zero-at-127.bin" 1000 127
make_image "$dir/largest.bin" $((65535 * 512 - 1)) 100
make_image "$dir/toolarge.bin" $((65535 * 512)) 100
"$tool" sample "$dir/sample.bin"

expect good 0 "1000 bytes" "$dir/good.bin"
expect sample 0 "748972 bytes, model ZEM-4100/4200, version 2.0.0-sample" "$dir/sample.bin"
expect missing 1 "missing" "$dir/absent.bin"
expect short 1 "shorter than 128 bytes" "$dir/short.bin"
expect empty 1 "shorter than 128 bytes" "$dir/empty.bin"
expect no-version-end 1 "no zero byte" "$dir/noversionend.bin"
expect zero-after-header 1 "no zero byte" "$dir/zero-at-128.bin"
expect zero-at-127 0 "1000 bytes" "$dir/zero-at-127.bin"
expect largest 0 "33553919 bytes" "$dir/largest.bin"
expect too-large 1 "65535 \* 512" "$dir/toolarge.bin"

[ "$("$tool" sample "$dir/again.bin"; cmp "$dir/sample.bin" "$dir/again.bin" && echo same)" = same ] \
  || { echo "FAIL the sample is not deterministic"; fail=1; }
exit $fail
