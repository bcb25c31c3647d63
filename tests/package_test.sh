#!/usr/bin/env bash
# The Debian package, as a user gets it: builds it with scripts/package into
# WORK_DIR/build, checks its name, files, modes and control fields, runs
# lintian on it, then extracts it and runs the packaged program on a
# private Xvfb through the exact-picture oracle (white, exact discs, SPACE
# freezes, ESC ends it with status 0).
#
# With RELEASE (a Debian codename), instead: the package installed with apt
# on a fresh minimal root of that release (scripts/package --try), its
# program through the oracle there, and nothing of it left after apt
# remove. The package users get is the one built on the oldest release the
# suite runs (the machine's own, Debian 12): one built on a newer release
# asks for that release's library versions. So this runs only where the
# release here is that oldest one, and skips (status 77), saying so, in the
# newer releases' roots, where the whole suite also runs; their own package
# is checked there without RELEASE, lintian of that release included.
#
# usage: package_test.sh SOURCE_DIR WORK_DIR VERSION SNAPSHOT_TOOL APP_ID [RELEASE]
set -euo pipefail
if [ $# -ne 5 ] && [ $# -ne 6 ]; then
  echo "usage: package_test.sh SOURCE_DIR WORK_DIR VERSION SNAPSHOT_TOOL APP_ID [RELEASE]" >&2
  exit 2
fi
source_dir=$1 work=$2 version=$3 snapshot=$4 id=$5 release=${6:-}

if [ -n "$release" ]; then
  . "$source_dir/scripts/lib/release.sh"
  here=$(machine_release)
  if [ "$here" != "${SPOTFALL_RELEASES[0]}" ]; then
    echo "package test: skipped: the package installed across releases is the one built on ${SPOTFALL_RELEASES[0]}; this is $here, whose own package Package.DebianPackage checks"
    exit 77
  fi
  if [ "$(id -u)" -ne 0 ]; then
    echo "package test: skipped: installing into a root of $release needs root (mmdebstrap, chroot, mounts)"
    exit 77
  fi
  mkdir -p "$work"
  start=$(date +%s%N)
  status=0
  "$source_dir/scripts/package" --build-dir "$work/build" --try --release "$release" \
    --snapshot "$snapshot" | tee "$work/try-$release.log" || status=$?
  echo "the try on $release took $(( ($(date +%s%N) - start) / 1000000 )) ms"
  if [ "$status" -eq 75 ]; then
    echo "package test: skipped: no minimal root of $release could be made here (above says why)"
    exit 77
  fi
  if [ "$status" -ne 0 ]; then
    echo "package test: the package does not install, run and go cleanly on a fresh $release (above)" >&2
    exit 1
  fi
  # Two seconds give about 40 discs; a white screen alone also matches the
  # oracle, with none.
  discs=$(sed -n 's/.* with \([0-9]*\)\( to [0-9]*\)\? discs.*/\1/p' "$work/try-$release.log")
  if [ "${discs:-0}" -lt 10 ]; then
    echo "package test: the program installed on $release drew ${discs:-no} discs in 2 s, fewer than 10" >&2
    exit 1
  fi
  echo "package test: installs, runs exactly and leaves nothing on a fresh $release"
  exit 0
fi

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

# Control fields. Depends comes from dpkg-shlibdeps (Allegro's library with
# a version taken from its shlibs; checked below, with the program).
echo "== control"
dpkg-deb -f "$deb" | tee "$work/control"
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = spotfall ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)', not $version"
[ "$(field Section)" = games ] || fail "Section is '$(field Section)', not games"
[ "$(field Priority)" = optional ] || fail "Priority is '$(field Priority)', not optional"
[[ $(field Maintainer) =~ ^[^\<]+\ \<[^@\>]+@[^\>]+\>$ ]] ||
  fail "Maintainer '$(field Maintainer)' is not 'name <address>'"
[ "$(field Description | wc -l)" -ge 3 ] ||
  fail "the description has no long part: '$(field Description)'"
[ -n "$(field Installed-Size)" ] || fail "no Installed-Size"

dpkg-deb -x "$deb" "$work/root"

# The packaged metadata, with its entry and icons, through AppStream's own
# check (see appstream_validate.sh: the one thing it allows is the want of
# a homepage, which AppStream 1.0 and later warn of).
appstream_passes=no
if command -v appstreamcli >/dev/null; then
  if "$source_dir/tests/appstream_validate.sh" validate-tree "$work/root"; then
    appstream_passes=yes
  else
    fail "appstreamcli validate-tree does not pass the packaged files (above)"
  fi
fi

# lintian: no error, no warning, and none of the hardening tags, which it
# only reports as information. One warning is let through:
# appstream-metadata-validation-failed, lintian's report of appstreamcli
# validate-tree failing, which with AppStream 1.0 and later it does for the
# want of a homepage alone; so it passes only where the check above has
# found that to be all.
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
# Lines "E: <package>: <tag> ..." ("W:" for a warning).
lintian_tags=$(sed -n -E 's/^[EW]: [^ ]+ ([a-z0-9-]+).*/\1/p' "$work/lintian" | sort -u)
if [ "$appstream_passes" = yes ]; then
  lintian_tags=$(grep -vx appstream-metadata-validation-failed <<<"$lintian_tags" || true)
fi
if [ -n "$lintian_tags" ] || grep -E '^(E|W): ' "$work/lintian" | grep -vq appstream-metadata-validation-failed; then
  fail "lintian reports errors or warnings: $(echo $lintian_tags) (above)"
fi
if grep -E 'hardening-no-' "$work/lintian" >/dev/null; then
  fail "lintian finds the binary built without a hardening flag (above)"
fi

# Depends names Allegro's library under the name of the package that holds
# it here, whatever the release calls that package (Debian 13 renamed
# liballegro4.4 to liballegro4.4t64, which provides the old name): the
# package that owns the file of the Allegro soname the program links is one
# of the alternatives of an entry, by its own name or one it provides, with
# a version.
echo "== Allegro's library in Depends"
allegro_soname=$(objdump -p "$work/root/usr/games/spotfall" |
  awk '$1 == "NEEDED" && $2 ~ /^liballeg\./ { print $2 }')
allegro_packages=$(dpkg-query -S "*/$allegro_soname" 2>/dev/null |
  awk -F': ' -v soname="$allegro_soname" '{ n = split($2, path, "/"); if (path[n] == soname) print $1 }' |
  tr ',' '\n' | sed 's/:.*//; s/^ *//' | sort -u)
if [ -z "$allegro_soname" ]; then
  fail "the packaged program links no Allegro library (liballeg.*)"
elif [ -z "$allegro_packages" ]; then
  fail "no installed package holds $allegro_soname, the Allegro library the program links"
else
  # Each package's own name and the names it provides.
  allegro_names=$(for p in $allegro_packages; do
    echo "$p"
    dpkg-query -W -f '${Provides}\n' "$p" | tr ',' '\n' | awk 'NF { print $1 }'
  done | sort -u)
  echo "$allegro_soname is held by $(echo $allegro_packages), which answers to: $(echo $allegro_names)"
  resolved=
  while read -r alternative; do
    name=$(awk '{ sub(/:.*/, "", $1); print $1 }' <<<"$alternative")
    if grep -qxF "$name" <<<"$allegro_names" && [[ $alternative == *'(>= '* ]]; then
      resolved=$alternative
    fi
  done < <(field Depends | tr ',|' '\n\n' | sed 's/^ *//; s/ *$//')
  [ -n "$resolved" ] ||
    fail "Depends '$(field Depends)' has no versioned alternative naming $(echo $allegro_names), which holds $allegro_soname"
  echo "Depends: $resolved"
fi

echo "== the packaged desktop entry"
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
