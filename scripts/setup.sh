#!/usr/bin/env bash
# Installs from Debian's packages whatever the build, the tests, the
# benchmarks and the scripts need and is missing, checks that the tests'
# independent peers can start, then configures and builds kelvane into build/.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  cmake g++ ninja-build pkg-config
  qt6-base-dev qt6-charts-dev libqt6opengl6-dev libgl-dev
  qt6-httpserver-dev qt6-websockets-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libmodbus-dev mbpoll
  python3 python3-pymodbus python3-serial python3-serial-asyncio
  clang libclang-rt-14-dev
  debootstrap git systemd-container
  libmosquitto-dev prometheus-cpp-dev
  mosquitto prometheus influxdb
  chromium chromium-driver python3-jinja2
  librsvg2-bin desktop-file-utils appstream help2man
  build-essential debhelper dpkg-dev fakeroot lintian
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  echo "Installing: ${missing[*]}"
  $sudo apt-get update
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi

bash scripts/check-peers.sh

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
cmake --build build -j2
