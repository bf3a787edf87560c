#!/usr/bin/env bash
# Builds the program alone into build-release/ and makes the Debian package
# there: build-release/mirabo_<version>_amd64.deb. Install it with
#   sudo apt install ./build-release/mirabo_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh build
cmake --preset release >/dev/null
cmake --build --preset release
cpack --preset deb
