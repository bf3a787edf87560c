#!/usr/bin/env bash
# Builds what the benchmarks need and prints one table of their figures.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/build.sh
exec /usr/bin/python3 bench/run_all.py "$@"
