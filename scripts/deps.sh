#!/usr/bin/env bash
# Installs the Debian packages the build needs, when any is missing.
#   scripts/deps.sh [more packages...]   (scripts/fuzz.sh adds libclang-rt-14-dev)
#   scripts/deps.sh --list               print the build's packages, install nothing
set -euo pipefail
packages=(cmake ninja-build g++ clang libpugixml-dev googletest libgtest-dev libbenchmark-dev
          libcli11-dev nlohmann-json3-dev libpng-dev libraw-dev libtiff-dev pkg-config)
if [ "${1:-}" = "--list" ]; then
  printf '%s\n' "${packages[@]}"
  exit 0
fi
packages+=("$@")
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}"
fi
