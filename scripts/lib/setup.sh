# Shared by the scripts: installs the Debian packages that are missing and
# configures and builds spotfall into a build folder.

# What building and running spotfall needs, and what scripts/run needs to
# show its picture where no display can be opened.
SPOTFALL_RUN_PACKAGES=(
  cmake g++ make pkg-config          # the build
  liballegro4-dev                    # the program's library
  libx11-dev libxrandr-dev libxinerama-dev  # the program: Xwayland and the monitors
  libxtst-dev libxxf86vm-dev libpng-dev  # the harness: keys, video modes, pictures
  libsystemd-dev                     # the harness: GNOME Shell's keys and pictures (sd-bus)
  xvfb x11-utils                     # a private X server; xdpyinfo and xprop
)
# Everything: the tests, the benchmark and the soak need the rest.
SPOTFALL_PACKAGES=(
  "${SPOTFALL_RUN_PACKAGES[@]}"
  libgtest-dev                       # the tests
  faketime                           # a pinned clock for the seed test
  valgrind                           # memcheck in the suite
  openbox                            # a window manager for the desktop test
)

# The other kinds of display the tests run the program on: an Xorg that
# switches video modes, and Wayland desktops with Xwayland: each nested on
# an Xvfb (weston, whose weston-terminal is the native Wayland client on
# all of them; KDE's KWin; sway, cage and labwc, with xhost to let the harness's
# user into their Xwayland, as they run as nobody), and GNOME Shell headless
# with D-Bus buses of its own.
SPOTFALL_DISPLAY_PACKAGES=(
  xserver-xorg-core xserver-xorg-video-dummy
  weston xwayland kwin-wayland sway cage labwc x11-xserver-utils
  gnome-shell dbus-daemon mount      # mount: GNOME Shell's namespaces (a minimal Debian testing lacks it)
  libgtk-3-bin                       # gtk-launch: starting spotfall from its menu entry, as a desktop does
)

# What scripts/package and the package tests need besides the build.
SPOTFALL_PACKAGING_PACKAGES=(
  dpkg-dev file binutils             # dpkg-shlibdeps (it runs file), dpkg-buildflags, strip
  lintian                            # the package's check
  groff-base man-db                  # the manual page's check
  desktop-file-utils appstream       # the desktop entry's and the AppStream metadata's checks
)

# What the Windows build (scripts/package --windows) needs: the mingw-w64
# cross compiler (its win32 thread model) with Windows' headers and import
# libraries, and patch for the mends to Allegro's source.
SPOTFALL_WINDOWS_BUILD_PACKAGES=(
  cmake make patch
  g++-mingw-w64-x86-64-win32 mingw-w64-x86-64-dev
)
# And its tests: Wine runs the zip's program, RandR gives it the mode, unzip
# opens the zip and objdump reads the program's imports.
SPOTFALL_WINDOWS_TEST_PACKAGES=(
  "${SPOTFALL_WINDOWS_BUILD_PACKAGES[@]}"
  wine wine64 unzip binutils-mingw-w64-x86-64
)

# Installs, without prompts, those of the packages named that are missing.
install_missing_packages() {
  if ! command -v dpkg-query >/dev/null; then
    echo "$(basename "$0"): cannot tell what is installed here (no dpkg-query: not a Debian system?)." >&2
    echo "$(basename "$0"): going on with what there is; this needs what these Debian packages hold: $*" >&2
    return 0
  fi
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
      echo "$(basename "$0"): these packages are missing: ${missing[*]}; install them as root (apt-get update && apt-get install --no-install-recommends ${missing[*]}) and run this again" >&2
      exit 1
    fi
    sudo=(sudo)
  fi
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q ||
    echo "$(basename "$0"): the package lists could not be updated; going on with what apt knows" >&2
  # A release may lack a package (labwc came with Debian 13; Wine is
  # sometimes out of testing): the tests that need it say so and skip.
  local available=()
  for package in "${missing[@]}"; do
    if [ -n "$(apt-cache madison "$package" 2>/dev/null)" ]; then
      available+=("$package")
    else
      echo "$(basename "$0"): apt has no $package to install (not in this Debian release); going on without it" >&2
    fi
  done
  [ "${#available[@]}" -eq 0 ] && return 0
  echo "$(basename "$0"): installing ${available[*]}" >&2
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${available[@]}"
}

# Configures and builds into the folder given, passing any further options to cmake.
build_spotfall() {
  local build_dir=$1
  shift
  cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
  cmake --build "$build_dir" -j "$(nproc)"
}
