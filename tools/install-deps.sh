#!/usr/bin/env bash
# Installs, as root on Debian, the packages the build and the tests need,
# when they are missing. Safe to run again: it installs nothing twice.
set -euo pipefail

want=(cmake ninja-build g++ make libgtest-dev libgmock-dev googletest openjdk-17-jdk-headless
  junit5 clang-format binutils)
# Windows cross builds and the tests under Wine.
want_windows=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine32:i386 wine64)

if [ "${VELTO_SKIP_WINDOWS:-0}" != "1" ]; then
  want+=("${want_windows[@]}")
fi

missing=()
for p in "${want[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" != "0" ]; then
  echo "install-deps: missing packages (${missing[*]}); run as root to install them" >&2
  exit 1
fi
echo "install-deps: installing ${missing[*]}"
if printf '%s\n' "${missing[@]}" | grep -q ':i386$'; then
  dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq "${missing[@]}" >/dev/null
