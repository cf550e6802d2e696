#!/usr/bin/env bash
# The shipped program holds no test code: none of the test controls of
# tests/support/hooks.h and none of the scripted operator's calls, and, given
# the test-support library, none of the global symbols that library defines.
#   no_test_code.sh NM PROGRAM [LIBRARY]
set -euo pipefail
nm=$1 program=$2 library=${3:-}

defined=$("$nm" --defined-only "$program")
if ! grep -q 'WinMain' <<<"$defined"; then
  echo "FAIL: $program has no symbol table to check (no WinMain in it)"
  exit 1
fi

faults=0
# The test controls and the operator by name, whatever library they may come from.
names=$("$nm" -C --defined-only "$program" | sed -n 's/^[0-9a-fA-F]* [A-Za-z] //p' |
        grep -E '^(PortSetClock|PortFailThreadCreation|PortFailSocketStartup|PortSetExitHook|PortSetScreenSize|PortSetDialogSource|Operator[A-Z][A-Za-z]*)\b' || true)
if [[ -n $names ]]; then
  echo "FAIL: $program defines test controls:"
  sed 's/^/  /' <<<"$names"
  faults=1
fi

if [[ -n $library ]]; then
  # Every strong global symbol of the library (functions, data), by its linker name.
  test_symbols=$("$nm" --defined-only -g "$library" | awk 'NF == 3 && $2 ~ /^[TDBR]$/ { print $3 }' | sort -u)
  if [[ -z $test_symbols ]]; then
    echo "FAIL: $library defines no symbols: wrong file?"
    exit 1
  fi
  shipped=$(awk 'NF == 3 { print $3 }' <<<"$defined" | sort -u)
  both=$(comm -12 <(echo "$test_symbols") <(echo "$shipped"))
  if [[ -n $both ]]; then
    echo "FAIL: $program defines symbols of the test-support library $library:"
    sed 's/^/  /' <<<"$both"
    faults=1
  fi
  echo "checked $(wc -l <<<"$test_symbols") symbols of $(basename "$library") against $(basename "$program")"
fi
[[ $faults -eq 0 ]] && echo "PASS: $(basename "$program") holds no test code"
exit $faults
