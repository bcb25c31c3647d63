# Other Debian releases for the tests: a root of each, made with mmdebstrap
# from the mirror the machine's apt already uses and kept under the user's
# cache, and a way to run a command in it. Each run sees the root through an
# overlay whose changes are thrown away, in mount and PID namespaces of its
# own, so the root stays as made and nothing started inside outlives the run.
# Needs setup.sh.

# The releases the suite runs on, oldest first.
SPOTFALL_RELEASES=(bookworm trixie forky)

machine_release() {
  (. /etc/os-release && echo "${VERSION_CODENAME:-unknown}")
}

# The mirror that apt takes the machine's own release from.
debian_mirror() {
  local own
  own=$(machine_release)
  apt-get indextargets --format '$(SITE) $(CODENAME) $(IDENTIFIER)' 2>/dev/null |
    awk -v own="$own" '$2 == own && $3 == "Packages" { print $1; exit }'
}

# Every package the suite uses, one a line.
spotfall_test_packages() {
  printf '%s\n' "${SPOTFALL_PACKAGES[@]}" "${SPOTFALL_DISPLAY_PACKAGES[@]}" \
    "${SPOTFALL_PACKAGING_PACKAGES[@]}" "${SPOTFALL_WINDOWS_TEST_PACKAGES[@]}" git | sort -u
}

release_cache() {
  echo "${XDG_CACHE_HOME:-$HOME/.cache}/spotfall/roots"
}

# Makes the root of RELEASE with every test package the release has, unless
# the one in the cache was made for the same packages; prints its path. On
# failure says why on stderr and returns 1.
make_release_root() {
  local release=$1
  local root
  root=$(release_cache)/$release
  local stamp
  stamp=$( { echo "release $release"; echo "format 1"; spotfall_test_packages; } | sha256sum | cut -c1-16)
  if [ -f "$root.stamp" ] && [ "$(cat "$root.stamp")" = "$stamp" ] && [ -d "$root/usr" ]; then
    echo "$root"
    return 0
  fi
  if ! command -v mmdebstrap >/dev/null; then
    echo "$(basename "$0"): mmdebstrap is missing; it makes the root of $release" >&2
    return 1
  fi
  local mirror
  mirror=$(debian_mirror)
  if [ -z "$mirror" ]; then
    echo "$(basename "$0"): apt names no mirror for $(machine_release) (run apt-get update); the root of $release is made from it" >&2
    return 1
  fi
  mkdir -p "$(release_cache)"
  rm -rf "$root.new"
  echo "$(basename "$0"): making a root of Debian $release from $mirror (a few minutes, once)" >&2
  # Packages a release lacks (Wine is sometimes out of testing) are left
  # out, and the tests that need them say so and skip. A testing mirror's
  # index may be past its Valid-Until date: only this root accepts that.
  local packages
  packages=$(spotfall_test_packages | tr '\n' ' ')
  if ! mmdebstrap --variant=apt --include=ca-certificates \
      --aptopt='Acquire::Check-Valid-Until "false"' \
      --customize-hook='chroot "$1" sh -c "
          available=;
          for p in '"$packages"'; do
            [ -n \"\$(apt-cache madison \$p)\" ] && available=\"\$available \$p\" ||
              echo \"not in this release: \$p\" >&2;
          done;
          DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \$available"' \
      "$release" "$root.new" "$mirror" >"$root.log" 2>&1; then
    echo "$(basename "$0"): making the root of $release failed; the end of $root.log:" >&2
    tail -n 15 "$root.log" >&2
    rm -rf "$root.new"
    return 1
  fi
  grep '^not in this release' "$root.log" >&2 || true
  # The old root goes only once the new one is whole.
  rm -f "$root.stamp"
  [ -d "$root" ] && mv "$root" "$root.old" && rm -rf "$root.old"
  mv "$root.new" "$root"
  echo "$stamp" >"$root.stamp"
  echo "$root"
}

# Runs COMMAND (a bash command line) in the root of RELEASE, in a clean
# clone of this repository's HEAD at /spotfall, as root with a plain
# environment. SPOTFALL_FIRST_DISPLAY and CI are passed on. For work on the
# tests, SPOTFALL_RELEASE_TREE=here puts this work tree itself at /spotfall
# instead, so that a build folder in it (build-trixie, say) is kept.
run_in_release_root() {
  local release=$1 command=$2
  local root
  root=$(make_release_root "$release") || return 1
  local scratch
  scratch=$(mktemp -d "${TMPDIR:-/var/tmp}/spotfall-$release.XXXXXX")
  if [ "${SPOTFALL_RELEASE_TREE:-}" = here ]; then
    ln -s "$PWD" "$scratch/spotfall"
  else
    git clone -q "$PWD" "$scratch/spotfall"
  fi
  mkdir -p "$(release_cache)/$release-home-cache"
  local status=0
  unshare --mount --pid --fork --propagation private \
    env ROOT="$root" SCRATCH="$scratch" HOME_CACHE="$(release_cache)/$release-home-cache" \
        COMMAND="$command" FIRST_DISPLAY="${SPOTFALL_FIRST_DISPLAY:-}" CI_FLAG="${CI:-}" \
    bash -c '
      set -e
      # The overlay makes the root a mount point of its own, which unshare
      # inside needs, and keeps the cached root as it was made.
      mkdir -p "$SCRATCH/layer"
      mount -t tmpfs tmpfs "$SCRATCH/layer"
      mkdir -p "$SCRATCH/layer/upper" "$SCRATCH/layer/work" "$SCRATCH/merged"
      mount -t overlay overlay -o "lowerdir=$ROOT,upperdir=$SCRATCH/layer/upper,workdir=$SCRATCH/layer/work" "$SCRATCH/merged"
      m=$SCRATCH/merged
      mount -t proc proc "$m/proc"
      mount --rbind /dev "$m/dev"
      mount -t tmpfs tmpfs "$m/dev/shm"
      mount --rbind /sys "$m/sys"
      mount -t tmpfs tmpfs "$m/tmp"
      mount -t tmpfs tmpfs "$m/run"
      mkdir -p "$m/spotfall" "$m/root/.cache"
      mount --bind "$SCRATCH/spotfall" "$m/spotfall"
      mount --bind "$HOME_CACHE" "$m/root/.cache"
      cp /etc/resolv.conf "$m/etc/resolv.conf" 2>/dev/null || true
      exec chroot "$m" /usr/bin/env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        LANG=C.UTF-8 ${FIRST_DISPLAY:+SPOTFALL_FIRST_DISPLAY=$FIRST_DISPLAY} ${CI_FLAG:+CI=$CI_FLAG} \
        bash -c "cd /spotfall && $COMMAND"
    ' || status=$?
  rm -rf "$scratch"
  return $status
}
