#!/usr/bin/env bash
# zemupgrade.exe is a PE32 GUI program for Intel 80386 that needs only system DLLs
# and carries resource ZEM_FIRMWARE/112 (English, United States) with exactly the image's bytes.
set -euo pipefail
exe=$1 image=$2
fail=0
check() { if eval "$2"; then echo "ok   $1"; else echo "FAIL $1"; fail=1; fi; }

kind=$(file -b "$exe")
check "PE32 GUI for Intel 80386 ($kind)" '[[ "$kind" == "PE32 executable (GUI) Intel 80386"* ]]'

dlls=$(i686-w64-mingw32-objdump -p "$exe" | awk '/DLL Name:/ {print toupper($3)}' | sort -u | tr '\n' ' ')
allowed=" COMCTL32.DLL GDI32.DLL KERNEL32.DLL MSVCRT.DLL USER32.DLL WINMM.DLL WSOCK32.DLL ADVAPI32.DLL "
extra=""
for d in $dlls; do [[ "$allowed" == *" $d "* ]] || extra+="$d "; done
check "only system DLLs ($dlls)" '[ -z "$extra" ]'
check "Winsock 1.1 library linked" '[[ " $dlls" == *" WSOCK32.DLL "* ]]'

listing=$(wrestool -l "$exe")
check "resource ZEM_FIRMWARE/112 in English (United States)" \
  'grep -q -- "--type=.ZEM_FIRMWARE. --name=112 --language=1033" <<<"$listing"'
tmp=$(mktemp)
trap 'rm -f "$tmp"' EXIT
wrestool -x --raw --type=ZEM_FIRMWARE --name=112 "$exe" > "$tmp"
check "resource bytes equal $image" 'cmp -s "$tmp" "$image"'
exit $fail
