# Debian 12 packages the build, the tests and the tools need. Sourced by
# scripts/run and scripts/test; installs only what is missing.

# The module, its probe and nuvctl: what the README's install recipe builds
# (and lists; the install test checks that the two agree). libglib2.0-dev
# brings gdbus-codegen (libglib2.0-dev-bin), which the build runs; gettext
# the translation tools (xgettext, msgfmt).
NUV_BUILD_PACKAGES=(
  build-essential cmake ninja-build pkg-config gettext
  libglib2.0-dev libplist-dev libudev-dev libimobiledevice-dev libsqlite3-dev
  libcurl4-openssl-dev nlohmann-json3-dev libgtk-4-dev adwaita-icon-theme
  libsoup-3.0-dev libmosquitto-dev
)
# ./scripts/run also starts a session bus when there is none.
NUV_RUN_PACKAGES=(dbus)
# Tests, benchmarks, sanitizers, fuzzing and the desktop utilities.
NUV_TEST_PACKAGES=(
  git clang libclang-rt-14-dev libglib2.0-dev-bin
  libatspi2.0-dev at-spi2-core libx11-dev libxcomposite-dev libxext-dev libgtk-3-dev
  libxcb-composite0-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  dbus dbus-x11 python3 python3-gi gir1.2-glib-2.0 gir1.2-gtk-3.0 python3-dbusmock
  umockdev gir1.2-umockdev-1.0 libumockdev-dev xvfb x11-utils procps
  systemd groff-base desktop-file-utils gir1.2-atspi-2.0 weston
  valgrind openssl appstream locales
  mosquitto prometheus prometheus-node-exporter python3-paho-mqtt
)

# ./scripts/package: the packaging tools; the build's own packages are
# debian/control's Build-Depends (nuv_build_depends).
NUV_PACKAGE_PACKAGES=(debhelper dpkg-dev fakeroot devscripts lintian git)
# The package test (tests/package): the installed units, the module and the
# bridge on a private bus, the example host on Xvfb with the accessibility bus.
NUV_PACKAGE_TEST_PACKAGES=(
  build-essential systemd dbus xvfb at-spi2-core python3 python3-gi gir1.2-glib-2.0 gir1.2-gtk-3.0
)

nuv_build_depends() {
  # The package names of debian/control's Build-Depends, without versions.
  sed -n '/^Build-Depends:/,/^[A-Z][A-Za-z-]*:/p' "$NUV_ROOT/debian/control" |
    sed -e '$d' -e 's/^Build-Depends://' | tr ',' '\n' |
    sed -e 's/([^)]*)//g' -e 's/\[[^]]*\]//g' -e 's/[[:space:]]//g' -e '/^$/d' -e 's/^debhelper-compat$/debhelper/'
}

nuv_install_deps() {
  # nuv_install_deps PACKAGE...
  local missing=()
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "==> installing: ${missing[*]}"
  local sudo=()
  [ "$(id -u)" -ne 0 ] && sudo=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get update -qq
  "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

nuv_configure_build() {
  # nuv_configure_build DIR [cmake args...] [-- TARGET...]
  # Configures DIR and builds the targets given after "--", or everything.
  local dir=$1
  shift
  local configure=() targets=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do configure+=("$1"); shift; done
  [ $# -gt 0 ] && shift && targets=(--target "$@")
  cmake -S "$NUV_ROOT" -B "$dir" -G Ninja "${configure[@]}" >/dev/null
  cmake --build "$dir" -j "$(nproc)" "${targets[@]}"
}
