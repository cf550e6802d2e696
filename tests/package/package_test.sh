#!/usr/bin/env bash
# The release packages as a user gets them. scripts/package builds both; then
#  - the zip holds exactly zemupgrade.exe, README.txt and SHA256SUMS, the sums
#    hold, and the exe is the product (image, system DLLs only, the version);
#  - the .deb carries exactly zemupgrade, zem-sim and the README, depends on what
#    dpkg-shlibdeps found, installs into a throwaway root with a dpkg database
#    of its own, runs from there, and is purged again leaving nothing behind.
# Everything is checked against the one version in CMakeLists.txt.
# Runs programs: call it inside tests/netns-run (scripts/test does).
set -euo pipefail
cd "$(dirname "$0")/../.."
fail=0
check() { if eval "$2"; then echo "ok   $1"; else echo "FAIL $1"; fail=1; fi; }

scripts/package
version=$(sed -n 's/^project(zemupgrade VERSION \([0-9][0-9.]*\) .*/\1/p' CMakeLists.txt)
echo "== the packages of version $version"
zip=build/packages/zemupgrade-$version-win32.zip
arch=$(dpkg --print-architecture)
deb=build/packages/zemupgrade_${version}_$arch.deb
work=$(mktemp -d /tmp/zem-package.XXXXXX)
trap 'rm -rf "$work"' EXIT

echo "== $zip"
check "the zip exists" '[ -f "$zip" ]'
top=zemupgrade-$version-win32
listed=$(unzip -Z1 "$zip" | sort | tr '\n' ' ')
check "the zip holds exactly the exe, README.txt and SHA256SUMS ($listed)" \
  '[ "$listed" = "$top/README.txt $top/SHA256SUMS $top/zemupgrade.exe " ]'
unzip -q "$zip" -d "$work/zip"
summed=$(awk '{print $2}' "$work/zip/$top/SHA256SUMS" | sort | tr '\n' ' ')
check "SHA256SUMS names every other file ($summed)" '[ "$summed" = "README.txt zemupgrade.exe " ]'
check "the files match SHA256SUMS" '(cd "$work/zip/$top" && sha256sum --strict --quiet -c SHA256SUMS)'
check "README.txt is the README with Windows line ends" \
  'sed "s/\$/\r/" README.md | cmp -s - "$work/zip/$top/README.txt"'
exe=$work/zip/$top/zemupgrade.exe
wrestool -x --raw --type=ZEM_FIRMWARE --name=112 build/win32/zemupgrade.exe > "$work/image.bin"
tests/windows/exe_check.sh "$exe" "$work/image.bin" || fail=1
versions=$(wrestool -x --raw --type=16 "$exe" | iconv -f UTF-16LE -t UTF-8 | tr -c '[:print:]' '\n' | grep -A2 -E '^(File|Product)Version$' | grep -E '^[0-9.]+$' | tr '\n' ' ')
check "FileVersion and ProductVersion of the exe are $version ($versions)" '[ "$versions" = "$version $version " ]'

echo "== $deb"
check "the .deb exists" '[ -f "$deb" ]'
fields=$(dpkg-deb -f "$deb" Package Version Architecture | tr '\n' ' ')
check "package zemupgrade, version $version, $arch ($fields)" \
  '[ "$fields" = "Package: zemupgrade Version: $version Architecture: $arch " ]'
depends=$(dpkg-deb -f "$deb" Depends)
check "dpkg-shlibdeps found the C, C++ and OpenSSL libraries ($depends)" \
  '[[ "$depends" == *"libc6 ("* && "$depends" == *"libstdc++6 ("* && "$depends" == *"libssl3 ("* ]]'
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort | tr '\n' ' ')
check "the .deb carries exactly the two programs and the README ($files)" \
  '[ "$files" = "./usr/bin/zem-sim ./usr/bin/zemupgrade ./usr/share/doc/zemupgrade/README.md " ]'

# A root of its own with a dpkg database of its own. The packages the .deb depends on
# are entered with this machine's records of them, so that dpkg checks the Depends
# line against what is really installed; their files stay outside this root.
root=$work/root
admin=$root/var/lib/dpkg
mkdir -p "$admin/info" "$admin/updates" "$admin/triggers"
touch "$admin/available" "$admin/status"
for p in $(sed 's/([^)]*)//g; s/[,|]/ /g' <<<"$depends"); do
  # libc6:amd64 where the package comes in one copy per architecture, else its plain name.
  name=$(dpkg-query -W -f='${binary:Package}' "$p:$arch" 2>/dev/null || dpkg-query -W -f='${binary:Package}' "$p" 2>/dev/null) ||
    { echo "FAIL $p, which the .deb depends on, is not installed here"; fail=1; continue; }
  { dpkg-query -s "$name"; echo; } >> "$admin/status"
  touch "$admin/info/$name.list"  # none of its files are in this root
done
check "dpkg installs it into the throwaway root" 'dpkg --root="$root" -i "$deb" >"$work/dpkg.log" 2>&1'
state=$(dpkg-query --admindir="$admin" -W -f='${Status} ${Version}' zemupgrade)
check "the throwaway database has it installed ($state)" '[ "$state" = "install ok installed $version" ]'
check "the installed README is the README" 'cmp -s README.md "$root/usr/share/doc/zemupgrade/README.md"'
check "zem-sim --help runs from the throwaway root" \
  '"$root/usr/bin/zem-sim" --help >"$work/help.txt" 2>&1 && grep -q "^Usage: zem-sim" "$work/help.txt"'
# With no operator input every question is answered Cancel: the notice, then status 2.
set +e
"$root/usr/bin/zemupgrade" </dev/null >"$work/run.txt" 2>&1
ran=$?
set -e
check "zemupgrade starts from the throwaway root and ends on Cancel (status $ran)" \
  '[ $ran -eq 2 ] && grep -q "Firmware Upgrade" "$work/run.txt"'
check "dpkg purges it from the throwaway root" 'dpkg --root="$root" --purge zemupgrade >>"$work/dpkg.log" 2>&1'
check "the throwaway database no longer knows it" \
  '! dpkg-query --admindir="$admin" -W zemupgrade >/dev/null 2>&1'
left=$(find "$root" -mindepth 1 -not -path "$root/var" -not -path "$root/var/*" | tr '\n' ' ')
check "nothing is left outside the database (${left:-nothing})" '[ -z "$left" ]'
if [ $fail -ne 0 ]; then
  echo "---- dpkg"
  cat "$work/dpkg.log"
fi
exit $fail
