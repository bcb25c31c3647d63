# Shared by the scripts: installs the Debian packages that are missing and
# configures and builds spotfall into a build folder.

SPOTFALL_PACKAGES=(
  cmake g++ make pkg-config          # the build
  liballegro4-dev                    # the program's library
  libx11-dev libxrandr-dev           # the program: telling Xwayland from X
  libxtst-dev libxxf86vm-dev libpng-dev  # the harness: keys, video modes, pictures
  libgtest-dev                       # the tests
  xvfb x11-utils faketime            # a private X server, xdpyinfo, a pinned clock
  valgrind                           # memcheck in the suite
)

# The other kinds of display the tests run the program on: an Xorg that
# switches video modes, and a Wayland desktop (weston with Xwayland).
SPOTFALL_DISPLAY_PACKAGES=(
  xserver-xorg-core xserver-xorg-video-dummy
  weston xwayland
)

# What scripts/package and the package tests need besides the build.
SPOTFALL_PACKAGING_PACKAGES=(
  dpkg-dev file binutils             # dpkg-shlibdeps (it runs file), dpkg-buildflags, strip
  lintian                            # the package's check
  groff-base man-db                  # the manual page's check
)

# Installs, without prompts, those of the packages named that are missing.
install_missing_packages() {
  local missing=()
  local package
  for package in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$package")
    fi
  done
  [ "${#missing[@]}" -eq 0 ] && return 0

  local sudo=()
  if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null; then
      echo "$(basename "$0"): these packages are missing: ${missing[*]}; install them as root (apt-get install ${missing[*]}) and run this again" >&2
      exit 1
    fi
    sudo=(sudo)
  fi
  echo "$(basename "$0"): installing ${missing[*]}" >&2
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# Configures and builds into the folder given, passing any further options to cmake.
build_spotfall() {
  local build_dir=$1
  shift
  cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
  cmake --build "$build_dir" -j "$(nproc)"
}
