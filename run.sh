#!/usr/bin/env bash
# Installs what is missing, builds, and starts Mirabo.
#   ./run.sh --demo   the same with a throw-away settings location, a local mail
#                     server that keeps what it receives, and a test camera if
#                     the machine has none
set -euo pipefail
cd "$(dirname "$0")"
scripts/deps.sh
scripts/build.sh
if [ "${1:-}" = "--demo" ]; then
  shift
  exec scripts/demo.sh "$@"
fi
exec build/bin/mirabo "$@"
