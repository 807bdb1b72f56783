#!/usr/bin/env bash
# Cross-builds everything for 64-bit Arm and runs every test under qemu-aarch64.
#   scripts/test-arm64.sh [--cases-only] [build-dir]   (default: build-arm64)
# --cases-only: ctest alone, without the whole runs of scripts/run-whole.sh
# (as scripts/test.sh takes it).
# Installs what is missing: Debian's cross compiler, qemu-user, and the arm64
# build of each library scripts/deps.sh installs for the host, beside it
# through multiarch. Tests start the tools and their own program as child
# processes; the kernel hands those to qemu through its binfmt_misc entry,
# which this script registers where nothing did at boot.
set -euo pipefail
cd "$(dirname "$0")/.."
whole=1
if [ "${1:-}" = "--cases-only" ]; then
  whole=0
  shift
fi
build_dir="${1:-build-arm64}"
bash scripts/deps.sh

sudo_cmd=""
[ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
native="$(dpkg --print-architecture)"

# The arm64 twin of every host development package that Debian lets stand
# beside another architecture's ("Multi-Arch: same"): the libraries the build
# links. Header-only and tool packages serve both architectures as they are.
wanted=(g++-aarch64-linux-gnu qemu-user qemu-user-binfmt)
while read -r package; do
  fields="$(dpkg-query -W -f='${Architecture} ${Multi-Arch}' "$package:$native" 2>/dev/null || true)"
  if [[ "$package" == *-dev && "$fields" == "$native same" ]]; then wanted+=("$package:arm64"); fi
done < <(bash scripts/deps.sh --list)
missing=()
for package in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    $sudo_cmd dpkg --add-architecture arm64
  fi
  # Other builds on this machine may hold the package lock for a while.
  $sudo_cmd apt-get -o DPkg::Lock::Timeout=600 update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get -o DPkg::Lock::Timeout=600 install -y -qq "${missing[@]}"
fi

# Debian's qemu-user-binfmt leaves the entry to systemd-binfmt at boot; where
# systemd does not run (containers, CI machines) register it here.
binfmt=/proc/sys/fs/binfmt_misc
if [ ! -e "$binfmt/qemu-aarch64" ]; then
  if [ ! -e "$binfmt/register" ]; then
    $sudo_cmd mount -t binfmt_misc binfmt_misc "$binfmt" || true
  fi
  if [ -e "$binfmt/register" ]; then
    grep -v '^#' /usr/lib/binfmt.d/qemu-aarch64.conf | head -n 1 | $sudo_cmd tee "$binfmt/register" >/dev/null
  fi
fi
if [ ! -e "$binfmt/qemu-aarch64" ]; then
  echo "cannot register qemu-aarch64 with binfmt_misc: tests that start arm64 programs would fail" >&2
  exit 1
fi
grep -qx enabled "$binfmt/qemu-aarch64" || echo 1 | $sudo_cmd tee "$binfmt/qemu-aarch64" >/dev/null

cmake -S . -B "$build_dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-aarch64-linux-gnu.cmake"
cmake --build "$build_dir"
ctest --test-dir "$build_dir" --output-on-failure -j"$(nproc)"
# Each test program once as a whole, in order and shuffled: no case leans
# on another's leftovers.
if [ $whole -eq 1 ]; then
  bash scripts/run-whole.sh "$build_dir"
fi
