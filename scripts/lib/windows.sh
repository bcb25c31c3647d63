# The Windows build, shared by scripts/package --windows and its test:
# Allegro's Windows library built once into a cache, then spotfall.exe from
# the same CMake project with the mingw-w64 toolchain file.

# The Allegro release the mends in windows/allegro/ are made for: the
# upstream tarball of Debian's source package allegro4.4.
ALLEGRO_WINDOWS_SOURCE_PACKAGE=allegro4.4
ALLEGRO_WINDOWS_VERSION=4.4.3.1

# The built library lives outside the clone, under the user's cache: it
# depends only on this release, the mends and the toolchain file, not on
# the program, so every clone and every fresh CI checkout on this machine
# reuses it instead of fetching and building it again. A changed mend or
# toolchain file gives a new folder (their hash is in its name).
allegro_windows_cache() {
  local key
  key=$(cat windows/allegro/*.patch cmake/mingw-w64-x86_64.cmake | sha256sum | cut -c1-12)
  echo "${XDG_CACHE_HOME:-$HOME/.cache}/spotfall/allegro-$ALLEGRO_WINDOWS_VERSION-mingw-w64-x86_64-$key"
}

# Fetches the upstream tarball of Debian's source package into DIR through
# a sources list and a lists folder of its own, given to apt with -o, so
# the machine's apt configuration and package lists stay as they are. The
# Debian patch tarball is not always served, so only the .orig.tar.gz is
# fetched, with apt's own downloader, checked against the hash in the
# source index. Prints the tarball's path.
fetch_allegro_source() {
  local dir=$1
  local tarball=$dir/${ALLEGRO_WINDOWS_SOURCE_PACKAGE}_$ALLEGRO_WINDOWS_VERSION.orig.tar.gz
  if [ -f "$tarball" ]; then
    echo "$tarball"
    return 0
  fi
  local mirror=${SPOTFALL_DEBIAN_MIRROR:-http://deb.debian.org/debian}
  local suite
  suite=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
  local apt_dir=$dir/apt
  mkdir -p "$apt_dir/lists/partial"
  echo "deb-src $mirror $suite main" > "$apt_dir/sources.list"
  local apt_options=(
    -o Dir::Etc::SourceList="$apt_dir/sources.list"
    -o Dir::Etc::SourceParts=/dev/null
    -o Dir::State::Lists="$apt_dir/lists"
    -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache=
    -o APT::Sandbox::User=root
  )
  echo "$(basename "$0"): fetching the source of $ALLEGRO_WINDOWS_SOURCE_PACKAGE ($suite) for the Windows build" >&2
  apt-get -q "${apt_options[@]}" update >&2
  # 'URI' name size hash, one line a file of the source package.
  local line
  line=$(apt-get -q "${apt_options[@]}" source --print-uris "$ALLEGRO_WINDOWS_SOURCE_PACKAGE" |
         grep -F "${ALLEGRO_WINDOWS_SOURCE_PACKAGE}_$ALLEGRO_WINDOWS_VERSION.orig.tar.gz" || true)
  if [ -z "$line" ]; then
    echo "$(basename "$0"): apt offers no ${ALLEGRO_WINDOWS_SOURCE_PACKAGE}_$ALLEGRO_WINDOWS_VERSION.orig.tar.gz from $mirror $suite; the Windows build is made for Allegro $ALLEGRO_WINDOWS_VERSION (set SPOTFALL_DEBIAN_MIRROR to a mirror that has it)" >&2
    return 1
  fi
  local uri hash
  uri=$(echo "$line" | awk '{print $1}' | tr -d "'")
  hash=$(echo "$line" | awk '{print $4}')
  /usr/lib/apt/apt-helper -o APT::Sandbox::User=root download-file "$uri" "$tarball.part" "$hash" >&2
  mv "$tarball.part" "$tarball"
  rm -rf "$apt_dir"
  echo "$tarball"
}

# Builds Allegro's static Windows library with the mends, once, into the
# cache; prints the folder it is installed in. A lock keeps two builds from
# filling one folder at once.
build_allegro_for_windows() {
  local cache
  cache=$(allegro_windows_cache)
  mkdir -p "$cache"
  (
    flock 9
    if [ -f "$cache/built" ] && [ -d "$cache/install" ]; then
      exit 0
    fi
    rm -f "$cache/built"
    # This subshell runs as the left side of || below, where set -e does
    # not hold: every step that can fail says so itself, and a failed build
    # is never marked as built.
    local tarball
    tarball=$(fetch_allegro_source "$(dirname "$cache")") || exit 1
    rm -rf "$cache/source" "$cache/build" "$cache/install"
    mkdir -p "$cache/source"
    tar -xzf "$tarball" -C "$cache/source" --strip-components=1 || exit 1
    local patch
    for patch in windows/allegro/*.patch; do
      echo "$(basename "$0"): mending Allegro with $(basename "$patch")" >&2
      patch -d "$cache/source" -p1 --quiet < "$patch" || exit 1
    done
    # Only the static library: no add-ons, examples, tools, tests or
    # documents. Allegro 4.4 asks for CMake 2.6's policies, which CMake 4
    # no longer offers; 3.5's are the oldest it has, and build it the same.
    cmake -S "$cache/source" -B "$cache/build" \
      -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" \
      -DCMAKE_POLICY_VERSION_MINIMUM=3.5 \
      -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$cache/install" \
      -DSHARED=OFF -DWANT_ALLEGROGL=OFF -DWANT_LOADPNG=OFF -DWANT_LOGG=OFF \
      -DWANT_JPGALLEG=OFF -DWANT_EXAMPLES=OFF -DWANT_TOOLS=OFF -DWANT_TESTS=OFF \
      -DWANT_DOCS=OFF >&2 || exit 1
    cmake --build "$cache/build" -j "$(nproc)" >&2 || exit 1
    cmake --install "$cache/build" >&2 || exit 1
    cp "$cache/source/docs/txt/license.txt" "$cache/install/allegro-license.txt" 2>/dev/null ||
      cp "$cache/source/readme.txt" "$cache/install/allegro-license.txt"
    # Only the installed library is kept.
    rm -rf "$cache/build" "$cache/source"
    touch "$cache/built"
  ) 9> "$cache.lock" || return 1
  echo "$cache/install"
}
