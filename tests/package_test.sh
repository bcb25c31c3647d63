#!/usr/bin/env bash
# The Debian package, as a user gets it: builds it with scripts/package into
# a folder of its own, checks its name, files, modes and control fields,
# runs lintian on it, then extracts it and runs the packaged program on a
# private Xvfb through the exact-picture oracle (white, exact discs, SPACE
# freezes, ESC ends it with status 0).
#
# usage: package_test.sh SOURCE_DIR WORK_DIR VERSION SNAPSHOT_TOOL APP_ID
set -euo pipefail
if [ $# -ne 5 ]; then
  echo "usage: package_test.sh SOURCE_DIR WORK_DIR VERSION SNAPSHOT_TOOL APP_ID" >&2
  exit 2
fi
source_dir=$1 work=$2 version=$3 snapshot=$4 id=$5

failures=0
fail() {
  echo "package test: $*" >&2
  failures=$((failures + 1))
}

rm -rf "$work/root" "$work/packaged.png"
mkdir -p "$work"
if ! deb=$("$source_dir/scripts/package" --build-dir "$work/build"); then
  echo "package test: scripts/package failed; see its output above" >&2
  exit 1
fi
echo "package: $deb ($(stat -c %s "$deb") bytes)"

expected_name=spotfall_${version}_$(dpkg --print-architecture).deb
[ "$(basename "$deb")" = "$expected_name" ] ||
  fail "the package is $(basename "$deb"), not $expected_name"

# Files: exactly the program, its documents, and what puts it in a
# desktop's menu (the entry, the icon in the hicolor theme's sizes, the
# AppStream metadata), owned by root, with the modes Debian wants.
echo "== contents"
dpkg-deb -c "$deb" | tee "$work/contents"
icon_files=$(for size in 128x128 256x256 48x48 64x64; do
  printf './usr/share/icons/hicolor/%s/\n./usr/share/icons/hicolor/%s/apps/\n' "$size" "$size"
  echo "./usr/share/icons/hicolor/$size/apps/$id.png"
done)
expected_files=$(sort <<EOF_FILES
./usr/
./usr/games/
./usr/games/spotfall
./usr/share/
./usr/share/applications/
./usr/share/applications/$id.desktop
./usr/share/doc/
./usr/share/doc/spotfall/
./usr/share/doc/spotfall/changelog.gz
./usr/share/doc/spotfall/copyright
./usr/share/icons/
./usr/share/icons/hicolor/
$icon_files
./usr/share/icons/hicolor/scalable/
./usr/share/icons/hicolor/scalable/apps/
./usr/share/icons/hicolor/scalable/apps/$id.svg
./usr/share/man/
./usr/share/man/man6/
./usr/share/man/man6/spotfall.6.gz
./usr/share/metainfo/
./usr/share/metainfo/$id.metainfo.xml
EOF_FILES
)
files=$(awk '{print $6}' "$work/contents" | sort)
[ "$files" = "$expected_files" ] ||
  fail "the package's files differ from what it should hold:
$(diff <(echo "$expected_files") <(echo "$files") || true)"
while read -r mode owner _ _ _ path; do
  case $path in
    */) want=drwxr-xr-x ;;
    ./usr/games/spotfall) want=-rwxr-xr-x ;;
    *) want=-rw-r--r-- ;;
  esac
  [ "$mode" = "$want" ] || fail "$path has mode $mode, not $want"
  [ "$owner" = root/root ] || fail "$path is owned by $owner, not root/root"
done < "$work/contents"

# Control fields. Depends comes from dpkg-shlibdeps, so Allegro's library
# is there with a version taken from its shlibs.
echo "== control"
dpkg-deb -f "$deb" | tee "$work/control"
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = spotfall ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)', not $version"
[ "$(field Section)" = games ] || fail "Section is '$(field Section)', not games"
[ "$(field Priority)" = optional ] || fail "Priority is '$(field Priority)', not optional"
[[ $(field Maintainer) =~ ^[^\<]+\ \<[^@\>]+@[^\>]+\>$ ]] ||
  fail "Maintainer '$(field Maintainer)' is not 'name <address>'"
[[ $(field Depends) =~ (^|,\ )liballegro4\.4\ \(\>=\ [^\)]+\) ]] ||
  fail "Depends '$(field Depends)' does not name Allegro's library liballegro4.4 with a version"
[ "$(field Description | wc -l)" -ge 3 ] ||
  fail "the description has no long part: '$(field Description)'"
[ -n "$(field Installed-Size)" ] || fail "no Installed-Size"

# lintian: no error, no warning, and none of the hardening tags, which it
# only reports as information.
echo "== lintian -I --pedantic"
lintian_status=0
# With --fail-on none, a non-zero status means lintian itself failed; the
# tags are judged here.
lintian --fail-on none -I --pedantic "$deb" > "$work/lintian" 2> "$work/lintian.err" ||
  lintian_status=$?
cat "$work/lintian"
if [ "$lintian_status" -ne 0 ]; then
  fail "lintian itself failed (status $lintian_status): $(cat "$work/lintian.err")"
fi
if grep -E '^(E|W): ' "$work/lintian" >/dev/null; then
  fail "lintian reports errors or warnings (above)"
fi
if grep -E 'hardening-no-' "$work/lintian" >/dev/null; then
  fail "lintian finds the binary built without a hardening flag (above)"
fi

echo "== the packaged desktop entry"
dpkg-deb -x "$deb" "$work/root"
cat "$work/root/usr/share/applications/$id.desktop"
# The menu starts the program where the package puts it.
exec_line=$(sed -n 's/^Exec=//p' "$work/root/usr/share/applications/$id.desktop")
[ "$exec_line" = /usr/games/spotfall ] ||
  fail "the desktop entry's Exec is '$exec_line', not /usr/games/spotfall"
# The packaged entry and metadata pass the tools a desktop's own packages
# run on them (where those tools are here; the menu tests insist on them).
if command -v desktop-file-validate >/dev/null; then
  said=$(desktop-file-validate "$work/root/usr/share/applications/$id.desktop" 2>&1) ||
    fail "desktop-file-validate failed on the packaged entry: $said"
  [ -z "$said" ] || fail "desktop-file-validate reports on the packaged entry:
$said"
fi
if command -v appstreamcli >/dev/null; then
  echo "== appstreamcli validate-tree --pedantic --no-net (the packaged files)"
  said=$(appstreamcli validate-tree --pedantic --no-net --no-color "$work/root" 2>&1) ||
    fail "appstreamcli validate-tree fails on the packaged files (below)"
  echo "$said"
  if grep -E '^ *(E|W): ' <<<"$said" >/dev/null; then
    fail "appstreamcli validate-tree reports errors or warnings on the packaged files (above)"
  fi
fi

# The packaged program through the oracle.
echo "== the packaged program on a private X server"
if SPOTFALL_BINARY=$work/root/usr/games/spotfall "$snapshot" --seconds 2 \
     --out "$work/packaged.png" | tee "$work/snapshot"; then
  # Two seconds give about 40 discs; a white screen alone also matches the
  # oracle, with none.
  discs=$(sed -n 's/.* with \([0-9]*\)\( to [0-9]*\)\? discs.*/\1/p' "$work/snapshot")
  [ "${discs:-0}" -ge 10 ] ||
    fail "the packaged program drew ${discs:-no} discs in 2 s, fewer than 10"
else
  fail "the packaged program failed the picture check (above)"
fi

if [ "$failures" -ne 0 ]; then
  echo "package test: $failures check(s) failed" >&2
  exit 1
fi
echo "package test: all checks passed"
