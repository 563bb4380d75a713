# Debian 12 packages the build, the tests and the tools need. Sourced by
# scripts/run and scripts/test; installs only what is missing.

NUV_PACKAGES=(
  build-essential cmake ninja-build pkg-config git clang libclang-rt-14-dev
  libglib2.0-dev libglib2.0-dev-bin libplist-dev libudev-dev libimobiledevice-dev libsqlite3-dev
  libcurl4-openssl-dev nlohmann-json3-dev
  libatspi2.0-dev at-spi2-core libx11-dev libxcomposite-dev libxext-dev libgtk-3-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  dbus dbus-x11 python3 python3-gi gir1.2-glib-2.0 gir1.2-gtk-3.0 python3-dbusmock
  umockdev gir1.2-umockdev-1.0 libumockdev-dev xvfb x11-utils procps libxcb-composite0-dev
)

nuv_install_deps() {
  local missing=()
  local p
  for p in "${NUV_PACKAGES[@]}"; do
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
  # nuv_configure_build DIR [cmake args...]
  local dir=$1
  shift
  cmake -S "$NUV_ROOT" -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$(nproc)"
}
