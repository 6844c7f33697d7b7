#!/usr/bin/env bash
# Installs the Debian packages (Debian 12 or 13) a build or a test run
# needs, when they are missing. Quick and silent when everything is already
# there.
#   scripts/deps.sh build   the updater itself
#   scripts/deps.sh test    the host test suite and the Wine end-to-end tests
#   scripts/deps.sh roots   scripts/debian_root.sh: fresh Debian roots from the mirror
#
# A mirror in the middle of a sync can fail `apt-get update` on some index
# (seen on the i386 security index): the script goes on with the indexes it
# has and fails only when a package it needs cannot be installed, naming it.
set -euo pipefail

build_packages=(cmake make python3 g++-mingw-w64-i686 binutils-mingw-w64-i686)
# wine64 and the x86-64 compiler: the Wine tests on machines that cannot run
# 32-bit x86 programs run a 64-bit build of the updater (preset windows64).
# osslsigncode and openssl: the release command's signing and its test.
# ninja-build: the mutation check's build (tests/mutate.py).
# libc6-i386 (an amd64 package) brings the 32-bit loader that tells whether
# this machine runs 32-bit x86 programs at all.
test_packages=(g++ libgtest-dev zlib1g-dev python3-pefile python3-pyflakes wine wine64 fonts-wine xvfb imagemagick
               ninja-build osslsigncode openssl faketime locales fonts-ipafont-gothic e2fsprogs
               g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 libc6-i386)

case "${1:-}" in
  build) wanted=("${build_packages[@]}") ;;
  test) wanted=("${build_packages[@]}" "${test_packages[@]}") ;;
  roots) wanted=(mmdebstrap debian-archive-keyring) ;;
  *) echo "usage: $0 build|test|roots" >&2; exit 2 ;;
esac

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

updated=no
update_indexes() {
  [ "$updated" = yes ] && return
  updated=yes
  if ! as_root apt-get update -qq; then
    echo "apt-get update failed on some index (a mirror mid-sync?); going on with the indexes it has"
  fi
}

# Installs the packages named; returns 1 after naming those that could not
# be installed.
install_packages() {
  update_indexes
  if as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null; then
    return 0
  fi
  local failed=()
  for p in "$@"; do
    installed "$p" && continue
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$p" >/dev/null 2>&1 || failed+=("$p")
  done
  [ ${#failed[@]} -eq 0 ] && return 0
  echo "Could not install: ${failed[*]}" >&2
  return 1
}

missing=()
for p in "${wanted[@]}"; do
  installed "$p" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  install_packages "${missing[@]}"
fi

# Wine's 32-bit half, only where 32-bit x86 programs run: it needs the i386
# architecture, whose indexes may be the ones a mirror fails on. Without it
# the Wine tests run the 64-bit build, and say so.
if [ "$1" = test ] && ! installed wine32 && /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
  echo "Installing: wine32 (this machine runs 32-bit x86 programs)"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    as_root dpkg --add-architecture i386
    updated=no
  fi
  install_packages wine32 ||
    echo "wine32 could not be installed: the Wine tests will run the 64-bit build under wine64"
fi

# Wine shows the Japanese texts only under a Japanese locale (ANSI code page 932).
if [ "$1" = test ] && ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
  echo "Generating the ja_JP.UTF-8 locale"
  as_root sed -i 's/^# *\(ja_JP.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen || echo 'ja_JP.UTF-8 UTF-8' | as_root tee -a /etc/locale.gen >/dev/null
  as_root locale-gen >/dev/null
fi
