#!/usr/bin/env bash
# Installs the Debian 12 packages a build or a test run needs, when they are
# missing. Quick and silent when everything is already there.
#   scripts/deps.sh build   the updater itself
#   scripts/deps.sh test    the host test suite and the Wine end-to-end tests
set -euo pipefail

build_packages=(cmake make python3 g++-mingw-w64-i686 binutils-mingw-w64-i686)
# wine64 and the x86-64 compiler: the Wine tests on machines that cannot run
# 32-bit x86 programs run a 64-bit build of the updater (preset windows64).
# osslsigncode and openssl: the release command's signing and its test.
test_packages=(g++ libgtest-dev python3-pefile wine wine32 wine64 fonts-wine xvfb imagemagick
               osslsigncode openssl faketime locales fonts-ipafont-gothic e2fsprogs
               g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64)

case "${1:-}" in
  build) wanted=("${build_packages[@]}") ;;
  test) wanted=("${build_packages[@]}" "${test_packages[@]}") ;;
  *) echo "usage: $0 build|test" >&2; exit 2 ;;
esac

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

missing=()
for p in "${wanted[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  if [[ " ${missing[*]} " == *" wine32 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    as_root dpkg --add-architecture i386
  fi
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# Wine shows the Japanese texts only under a Japanese locale (ANSI code page 932).
if [ "$1" = test ] && ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
  echo "Generating the ja_JP.UTF-8 locale"
  as_root sed -i 's/^# *\(ja_JP.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  grep -q '^ja_JP.UTF-8 UTF-8' /etc/locale.gen || echo 'ja_JP.UTF-8 UTF-8' | as_root tee -a /etc/locale.gen >/dev/null
  as_root locale-gen >/dev/null
fi
