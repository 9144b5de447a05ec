#!/usr/bin/env bash
# Installs what is needed, builds Keldor, lays out a demo game installation in
# ./demo and runs Keldor on it in the foreground (Ctrl-C stops it).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
build/mkinstall demo
exec build/keldor -path "$PWD/demo" -port "${KELDOR_PORT:-15667}" "$@"
