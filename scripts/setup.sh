#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12. Quick and offline when all is there.
set -euo pipefail

packages=(g++ make cmake pkg-config libssl-dev openssl libboost-dev libboost-filesystem-dev
          libboost-system-dev libgtest-dev zlib1g-dev unzip zip libarchive-tools xmlsec1 util-linux valgrind
          time)
if [ "${KVBSIGN_WITH_FUZZ:-0}" = 1 ]; then
  packages+=(clang-14 libclang-rt-14-dev)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
