#!/usr/bin/env bash
# The files that put spotfall in a desktop's menu and a software centre, as
# `cmake --install` lays them out under /usr (in a folder of the test's
# own, through DESTDIR), checked by the freedesktop and AppStream tools:
#
#   desktop-entry  desktop-file-validate says nothing; the Exec line runs
#                  the installed program and the icon it names is there
#   metainfo       appstreamcli validate --pedantic (and validate-tree, which
#                  also reads the entry and the icons) passes, as
#                  appstream_validate.sh judges it; the release is VERSION;
#                  the launchable entry and
#                  the binary it provides are installed
#
# Exits 77 (skipped) where the tool is missing.
#
# usage: menu_files_test.sh desktop-entry|metainfo BUILD_DIR APP_ID VERSION
set -euo pipefail
if [ $# -ne 4 ]; then
  echo "usage: menu_files_test.sh desktop-entry|metainfo BUILD_DIR APP_ID VERSION" >&2
  exit 2
fi
check=$1 build=$2 id=$3 version=$4

case $check in
  desktop-entry) tool=desktop-file-validate package=desktop-file-utils ;;
  metainfo) tool=appstreamcli package=appstream ;;
  *) echo "menu files test: no check '$check'" >&2; exit 2 ;;
esac
if ! command -v "$tool" >/dev/null; then
  echo "menu files test: skipped: $tool is not installed (Debian: $package)"
  exit 77
fi

failures=0
fail() {
  echo "menu files test: $*" >&2
  failures=$((failures + 1))
}

root=$(mktemp -d "${TMPDIR:-/tmp}/spotfall-menu-files.XXXXXX")
trap 'rm -rf "$root"' EXIT
DESTDIR=$root cmake --install "$build" --prefix /usr > "$root.log" 2>&1 ||
  { cat "$root.log" >&2; rm -f "$root.log"; echo "menu files test: cmake --install failed" >&2; exit 1; }
rm -f "$root.log"
share=$root/usr/share
entry=$share/applications/$id.desktop
metainfo=$share/metainfo/$id.metainfo.xml

if [ "$check" = desktop-entry ]; then
  echo "== desktop-file-validate $entry"
  cat "$entry"
  if ! said=$(desktop-file-validate "$entry" 2>&1) || [ -n "$said" ]; then
    fail "desktop-file-validate reports:
$said"
  fi
  exec_line=$(sed -n 's/^Exec=//p' "$entry")
  program=$(find "$root/usr" -path '*/spotfall' -type f -perm -u+x -printf '/%P\n' | head -1)
  [ "$exec_line" = "/usr$program" ] || [ "$exec_line" = "$program" ] ||
    fail "Exec is '$exec_line', not the installed program ($program under the root)"
  icon=$(sed -n 's/^Icon=//p' "$entry")
  for size in 48x48 64x64 128x128 256x256; do
    [ -f "$share/icons/hicolor/$size/apps/$icon.png" ] ||
      fail "no $size icon named $icon in the hicolor theme"
  done
  [ -f "$share/icons/hicolor/scalable/apps/$icon.svg" ] ||
    fail "no scalable icon named $icon in the hicolor theme"
else
  # validate-tree also reads the entry and the icons.
  "$(dirname "$0")/appstream_validate.sh" validate "$metainfo" ||
    fail "appstreamcli validate does not pass the metadata (above)"
  "$(dirname "$0")/appstream_validate.sh" validate-tree "$root" ||
    fail "appstreamcli validate-tree does not pass the installed files (above)"
  grep -q "<release version=\"$version\" date=\"[0-9]\{4\}-[0-9][0-9]-[0-9][0-9]\"" "$metainfo" ||
    fail "no dated release $version in $metainfo"
  launchable=$(sed -n 's:.*<launchable type="desktop-id">\(.*\)</launchable>.*:\1:p' "$metainfo")
  [ -n "$launchable" ] && [ -f "$share/applications/$launchable" ] ||
    fail "the launchable '$launchable' is not an installed desktop entry"
  binary=$(sed -n 's:.*<binary>\(.*\)</binary>.*:\1:p' "$metainfo")
  [ -n "$binary" ] && [ -n "$(find "$root/usr" -name "$binary" -type f -perm -u+x)" ] ||
    fail "the binary '$binary' it provides is not installed"
fi

if [ "$failures" -ne 0 ]; then
  echo "menu files test: $failures check(s) failed" >&2
  exit 1
fi
echo "menu files test: $check passes"
