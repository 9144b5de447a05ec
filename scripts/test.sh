#!/usr/bin/env bash
# Installs what is needed, builds Keldor and its tools with the sanitizers, runs
# every fuzz target briefly (scripts/fuzz.sh) and every unit and end-to-end
# test, then builds and checks the Debian packages.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build-test -DKELDOR_TESTS=ON -DKELDOR_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build build-test -j"$(nproc)"
scripts/fuzz.sh
ctest --test-dir build-test --output-on-failure -j"$(nproc)"
scripts/package-test.sh
