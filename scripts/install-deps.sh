#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build and the tests need and
# the machine lacks. Needs root (or sudo) only when something is missing.
set -euo pipefail

packages=(
  cmake g++ make binutils pkg-config
  libcurl4-openssl-dev libssl-dev nlohmann-json3-dev libstb-dev libgl-dev
  libgtest-dev libbenchmark-dev libcpp-httplib-dev
  libegl-dev libegl-mesa0 libgl1-mesa-dri
  clang-19 libclang-rt-19-dev libturbojpeg0-dev curl
  libopencv-dev libopencv-contrib-dev opencv-doc
  libhiredis-dev redis-server haproxy
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
as_root=(env DEBIAN_FRONTEND=noninteractive)
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "run this as root, or install sudo: these packages are missing" >&2; exit 1; }
  as_root=(sudo)  # apt-get alone, as a sudoers rule may allow; it asks its questions, if any, at the terminal
fi
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
