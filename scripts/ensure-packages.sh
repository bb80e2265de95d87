#!/usr/bin/env bash
# Installs the Debian packages named on the command line that are missing,
# when run as root; otherwise prints the command that would. A package of
# another architecture is named with its suffix (wine32:i386); that
# architecture is added to dpkg first when it is not there yet.
set -euo pipefail
missing=()
foreign=()
for package in "$@"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
    case $package in
      *:*)
        arch=${package##*:}
        if [ "$arch" != "$(dpkg --print-architecture)" ] &&
           ! dpkg --print-foreign-architectures | grep -qx "$arch" &&
           [[ " ${foreign[*]} " != *" $arch "* ]]; then
          foreign+=("$arch")
        fi
        ;;
    esac
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -eq 0 ]; then
  for arch in "${foreign[@]}"; do
    echo "adding the $arch architecture to dpkg"
    dpkg --add-architecture "$arch"
  done
  echo "installing: ${missing[*]}"
  # Other builds on the machine may be installing too: wait for their lock.
  apt-get -o DPkg::Lock::Timeout=600 update -qq
  DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}"
else
  for arch in "${foreign[@]}"; do
    echo "the $arch architecture is missing; run: sudo dpkg --add-architecture $arch && sudo apt-get update" >&2
  done
  echo "missing packages; run: sudo apt-get install -y ${missing[*]}" >&2
  exit 1
fi
