# Shared by scripts/run and scripts/test: install what is missing, configure, build.
# Sourced, not run.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# Debian 12 packages the project builds and runs with (scripts/run)...
VR_PACKAGES=(
  cmake g++ ninja-build pkg-config
  libgtest-dev libgmock-dev
  qt6-base-dev qt6-base-dev-tools libgl1-mesa-dev nlohmann-json3-dev
  libfuse3-dev scdoc
)
# ...and the peers and tools its tests use (scripts/test).
VR_TEST_PACKAGES=(
  socat python3 python3-serial netcat-openbsd ser2net
  xvfb xdotool x11-utils
  dpkg-dev fakeroot lintian desktop-file-utils appstream man-db bash-completion
  qemu-system-x86 busybox-static
)

# vr_install_missing [test]: the build's packages, and with "test" the tests' too.
vr_install_missing() {
  local missing=() p wanted=("${VR_PACKAGES[@]}")
  [ "${1:-}" = test ] && wanted+=("${VR_TEST_PACKAGES[@]}")
  for p in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
  # The tests start ser2net themselves; the system service Debian starts with
  # the package would serve its sample ports on this machine.
  if [[ " ${missing[*]} " == *" ser2net "* ]] && command -v systemctl >/dev/null; then
    $sudo systemctl disable --now ser2net >/dev/null 2>&1 || true
  fi
}

# vr_build DIR [cmake args...]
vr_build() {
  local dir=$1; shift
  cmake -S "$ROOT" -B "$ROOT/$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$ROOT/$dir" --parallel "$(nproc)"
}
