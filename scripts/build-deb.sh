#!/usr/bin/env bash
# Builds the Debian packages (debian/) from a copy of the source tree, so
# that the build leaves nothing in the tree itself; the .deb files, with the
# .buildinfo and .changes, land in OUT_DIR.
# Usage: build-deb.sh SOURCE_DIR OUT_DIR [JOBS]
set -euo pipefail
source=$(cd "$1" && pwd)
mkdir -p "$2"
out=$(cd "$2" && pwd)
jobs=${3:-2}
version=$(dpkg-parsechangelog -l "$source/debian/changelog" -S Version)
copy="$out/tqapi-$version"
rm -rf "$copy"
mkdir -p "$copy"
trap 'rm -rf "$copy"' EXIT
# The tree as it is, less version control and build directories (and the
# output directory, when it lies inside the tree).
tar -C "$source" --exclude-vcs --exclude=./build --exclude='./build-*' --exclude=./out \
    --exclude="./${out#"$source"/}" -cf - . | tar -C "$copy" -xf -
cd "$copy"
DEB_BUILD_OPTIONS="nocheck parallel=$jobs ${DEB_BUILD_OPTIONS:-}" dpkg-buildpackage -us -uc -b
ls "$out"/*.deb
