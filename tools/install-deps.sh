#!/usr/bin/env bash
# Installs, as root on Debian, the packages the build and the tests need,
# when they are missing. Safe to run again: it installs nothing twice.
#
# Mirrors are sometimes caught mid-sync: one architecture's index fails to
# download while every package we need can still be had. So the index update
# is retried and a partial failure is not fatal; and when the i386 security
# index is stale (multiarch then cannot match versions across architectures),
# the install is retried once with the security suite ranked below the
# release suite, through a temporary apt preference that is removed again.
set -euo pipefail

want=(cmake ninja-build g++ make libgtest-dev libgmock-dev googletest openjdk-17-jdk-headless
  junit5 clang-format binutils)
# The fuzz targets: clang with libFuzzer and the sanitizer runtimes.
want+=(clang-14 libclang-rt-14-dev)
# The tests of the Linux printer-class backend run against a mocked sysfs and
# device node (tests only: the library itself needs neither).
want+=(umockdev libumockdev-dev pkg-config)
# Windows cross builds and the tests under Wine.
want_windows=(g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine32:i386 wine64)

# The benchmarks' latency histogram (tools/bench.sh).
want_bench=(gnuplot-nox)

if [ "${VELTO_SKIP_WINDOWS:-0}" != "1" ]; then
  want+=("${want_windows[@]}")
fi
if [ "${VELTO_BENCH:-0}" = "1" ]; then
  want+=("${want_bench[@]}")
fi
want+=(${VELTO_EXTRA_PACKAGES:-})

missing_packages() {
  local p
  for p in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
      echo "$p"
    fi
  done
}

# wine32 is installed everywhere, for the machines that can run it; where the
# kernel cannot, its tests are skipped, and we say so once here.
say_32bit() {
  [ "${VELTO_SKIP_WINDOWS:-0}" = 1 ] && return
  local why
  why=$(bash "$(dirname "$0")/windows/wine.sh" probe32 2>/dev/null) || return 0
  [ "$why" = yes ] || echo "install-deps: 32-bit programs cannot run here (${why%%:*}); the i686 Wine tests will be skipped"
}

mapfile -t missing < <(missing_packages "${want[@]}")
if [ ${#missing[@]} -eq 0 ]; then
  say_32bit
  exit 0
fi

if [ "$(id -u)" != "0" ]; then
  echo "install-deps: missing packages (${missing[*]}); run as root to install them" >&2
  exit 1
fi
echo "install-deps: installing ${missing[*]}"
if printf '%s\n' "${missing[@]}" | grep -q ':i386$'; then
  dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive

# A failed update usually means one index is out of sync; the rest is still
# current, so after the last try we go on and let the install decide.
updated=0
for attempt in 1 2 3; do
  if apt-get update -qq; then
    updated=1
    break
  fi
  echo "install-deps: apt-get update failed (try $attempt of 3)" >&2
  sleep $((attempt * 5))
done
[ $updated = 1 ] || echo "install-deps: index update failed in part; trying the install anyway" >&2

if apt-get install -y -qq "${missing[@]}" >/dev/null; then
  say_32bit
  exit 0
fi

pref=/etc/apt/preferences.d/zz-veltousb-security-below-release
echo "install-deps: install failed; retrying with the security suite ranked below the release" >&2
cat >"$pref" <<'PREF'
Package: *
Pin: release l=Debian-Security
Pin-Priority: 90
PREF
trap 'rm -f "$pref"' EXIT
status=0
apt-get install -y -qq "${missing[@]}" >/dev/null || status=$?
rm -f "$pref"
trap - EXIT
if [ $status = 0 ]; then
  say_32bit
  exit 0
fi

mapfile -t still < <(missing_packages "${want[@]}")
cat >&2 <<MSG
install-deps: these packages could not be installed: ${still[*]}
  The package mirror may be in the middle of a sync; run this script again in a
  few minutes. To build and test without the Windows DLLs and Wine, set
  VELTO_SKIP_WINDOWS=1 (the Windows tests are then not registered).
MSG
exit 1
