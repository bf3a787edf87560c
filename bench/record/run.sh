#!/usr/bin/env bash
# Records from the test camera (or, with "webcam", the typical test webcam
# at 1280x720 motion-JPEG) and prints one summary line.
# Usage: bench/record/run.sh [build dir, default build] [webcam [rounds]]
set -euo pipefail
build="${1:-$(dirname "$0")/../../build}"
shift || true
home="$(mktemp -d)"
trap 'rm -rf "$home"' EXIT
QT_QPA_PLATFORM=offscreen GST_REGISTRY="$home/registry.bin" XDG_RUNTIME_DIR="$home" \
  "$build/bench/record/record_bench" "$@" 2> "$home/stderr" || { cat "$home/stderr" >&2; exit 1; }
