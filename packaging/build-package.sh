#!/usr/bin/env bash
# Builds the source and binary packages as a distribution does, with dpkg-buildpackage, in a fresh
# clone of the committed tree (what is not committed is not built), under DIR (build/debian by
# default), where the packages land beside the clone. DEB_BUILD_OPTIONS is passed on (nocheck
# leaves the tests out).
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-build/debian}
rm -rf "$out"
mkdir -p "$out"
git clone -q . "$out/portkit"
(cd "$out/portkit" && dpkg-buildpackage -us -uc)
