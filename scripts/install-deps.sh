#!/usr/bin/env bash
# Installs every build, test and benchmark dependency from Debian's packages.
# Idempotent: packages already present are skipped, and apt-get is not touched
# at all when nothing is missing.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config clang-format
  portaudio19-dev
  libasound2-dev libjack-jackd2-dev
  libsndfile1-dev
  libflac-dev
  zlib1g-dev libminizip-dev
  libpugixml-dev
  libcli11-dev
  libcpp-httplib-dev nlohmann-json3-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  jackd2
  libfftw3-dev
  sox
  clang libclang-rt-dev
  qt6-base-dev qt6-svg-dev libqcustomplot-dev
  xvfb xauth x11-apps
  desktop-file-utils
  fonts-dejavu-core
  ccache
  pybind11-dev python3-dev python3-numpy python3-pytest
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
# jackd2 asks whether to enable real-time priority; answer it up front.
echo "jackd2 jackd/tweak_rt_limits boolean false" | $SUDO debconf-set-selections
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
