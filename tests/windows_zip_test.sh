#!/usr/bin/env bash
# The Windows zip, as a Windows user gets it: builds it with
# scripts/package --windows into a folder of its own (the Wine tests then
# run its program), and checks its name, its files, that the program
# imports nothing but Windows' own DLLs, and that the README has Windows'
# line ends. Skipped (status 77) where the cross compiler cannot be had.
#
# usage: windows_zip_test.sh SOURCE_DIR WORK_DIR VERSION
set -euo pipefail
if [ $# -ne 3 ]; then
  echo "usage: windows_zip_test.sh SOURCE_DIR WORK_DIR VERSION" >&2
  exit 2
fi
source_dir=$1 work=$2 version=$3

if ! command -v x86_64-w64-mingw32-g++-win32 >/dev/null && ! command -v dpkg-query >/dev/null; then
  echo "windows zip test: skipped: no mingw-w64 cross compiler, and no Debian tools to install it" >&2
  exit 77
fi

failures=0
fail() {
  echo "windows zip test: $*" >&2
  failures=$((failures + 1))
}

start=$(date +%s%N)
if ! zip=$("$source_dir/scripts/package" --windows --build-dir "$work"); then
  echo "windows zip test: scripts/package --windows failed; see its output above" >&2
  exit 1
fi
echo "zip: $zip ($(stat -c %s "$zip") bytes, built in $(( ($(date +%s%N) - start) / 1000000 )) ms)"

name=spotfall-$version-windows-x86_64
[ "$(basename "$zip")" = "$name.zip" ] || fail "the zip is $(basename "$zip"), not $name.zip"

echo "== contents"
unzip -Z1 "$zip" | sort | tee "$work/contents"
expected="$name/
$name/ALLEGRO-LICENSE.txt
$name/LICENSE.txt
$name/README.txt
$name/spotfall.exe"
# Some zips list the folder itself, some do not.
[ "$(grep -v "^$name/\$" "$work/contents")" = "$(echo "$expected" | grep -v "^$name/\$")" ] ||
  fail "the zip's files differ from the program, its licences and its README:
$(diff <(echo "$expected") "$work/contents" || true)"

rm -rf "$work/unzipped"
unzip -q "$zip" -d "$work/unzipped"
exe=$work/unzipped/$name/spotfall.exe

# A static build imports only DLLs every Windows has: no C++ runtime, no
# mingw threads, no Allegro DLL beside it.
echo "== DLLs spotfall.exe imports"
x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\tDLL Name: //p' | tee "$work/dlls"
[ -s "$work/dlls" ] || fail "objdump found no imports in $exe"
while read -r dll; do
  case ${dll,,} in
    kernel32.dll | user32.dll | gdi32.dll | comdlg32.dll | ole32.dll | ddraw.dll | \
    dinput.dll | dsound.dll | winmm.dll | msvcrt.dll | advapi32.dll | shell32.dll) ;;
    *) fail "spotfall.exe imports $dll, which is not one of Windows' own DLLs" ;;
  esac
done < "$work/dlls"
# A 64-bit Windows GUI program, read from its PE header itself (the wording
# of file(1) changes between its versions): the header's offset is at 0x3c;
# there "PE\0\0", the machine (0x8664, x86-64) 4 bytes on, the optional
# header's magic (0x20b, PE32+) 24 bytes on and its subsystem (2, the
# Windows GUI) 92 bytes on.
le16() {  # FILE OFFSET: the little-endian 16-bit number there
  od -An -t u2 --endian=little -j "$2" -N 2 "$1" | tr -d ' '
}
pe=$(od -An -t u4 --endian=little -j $((0x3c)) -N 4 "$exe" | tr -d ' ')
if [ -z "$pe" ] || [ "$(od -An -c -j "$pe" -N 4 "$exe" 2>/dev/null | tr -d ' ')" != 'PE\0\0' ]; then
  fail "spotfall.exe has no PE header (at offset ${pe:-none})"
else
  machine=$(printf '0x%x' "$(le16 "$exe" $((pe + 4)))")
  magic=$(printf '0x%x' "$(le16 "$exe" $((pe + 24)))")
  subsystem=$(le16 "$exe" $((pe + 24 + 68)))
  echo "PE header at $pe: machine $machine, optional header magic $magic, subsystem $subsystem"
  [ "$machine" = 0x8664 ] || fail "spotfall.exe is built for machine $machine, not x86-64 (0x8664)"
  [ "$magic" = 0x20b ] || fail "spotfall.exe's optional header is $magic, not PE32+ (0x20b)"
  [ "$subsystem" = 2 ] || fail "spotfall.exe's subsystem is $subsystem, not the Windows GUI (2)"
fi

readme=$work/unzipped/$name/README.txt
grep -q "spotfall $version for Windows" "$readme" || fail "README.txt does not name version $version"
[ "$(grep -c $'\r$' "$readme")" = "$(wc -l < "$readme")" ] ||
  fail "README.txt does not end every line with CR LF"
grep -q 'giftware' "$work/unzipped/$name/ALLEGRO-LICENSE.txt" ||
  fail "ALLEGRO-LICENSE.txt is not Allegro's giftware licence"

if [ "$failures" -ne 0 ]; then
  echo "windows zip test: $failures check(s) failed" >&2
  exit 1
fi
echo "windows zip test: all checks passed"
