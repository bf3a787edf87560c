#!/usr/bin/env bash
# Configures and builds into build/ (the program lands in build/bin).
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${MIRABO_PRESET:-default}"
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
