#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build tarnkernl; does nothing when all is there.
#   tools/setup.sh          everything: the native build and all cross targets
#   tools/setup.sh native   only what the native build (and the demo) needs
#   tools/setup.sh windows  what the native build and the Windows x86-64 demo under Wine need
#   tools/setup.sh fuzz     what the native build and the fuzzers (clang's libFuzzer) need
set -euo pipefail

native=(cmake g++ make pkgconf libgtest-dev googletest faketime binutils-mingw-w64-x86-64 gettext
        llvm-14-dev)
windows=(g++-mingw-w64-x86-64-posix wine64)
cross=(g++-multilib qemu-user g++-mingw-w64-i686-posix)
fuzz=(clang libclang-rt-14-dev)

wanted=("${native[@]}")
case "${1:-all}" in
  native) ;;
  windows) wanted+=("${windows[@]}") ;;
  fuzz) wanted+=("${fuzz[@]}") ;;
  *) wanted+=("${windows[@]}" "${cross[@]}") ;;
esac

missing=()
for package in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed' || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
