#!/usr/bin/env bash
# Installs what is needed, builds Keldor and its tools with the sanitizers, runs
# every fuzz target briefly (scripts/fuzz.sh) and every unit and end-to-end
# test, then builds and checks the Debian packages.
#
#   scripts/test.sh            all of that
#   scripts/test.sh --quick    builds what the unit tests need and runs the tests
#                              labelled `unit` only: no fuzzing, end-to-end tests or packages
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build-test -DKELDOR_TESTS=ON -DKELDOR_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
if [ "${1:-}" = "--quick" ]; then
  # keldor itself for the systemd units' ExecStart, which their check looks up.
  cmake --build build-test -j"$(nproc)" --target unit_tests web_unit_tests keldor
  ctest --test-dir build-test --output-on-failure -j"$(nproc)" -L unit
  exit
fi
cmake --build build-test -j"$(nproc)"
scripts/fuzz.sh
ctest --test-dir build-test --output-on-failure -j"$(nproc)"
scripts/package-test.sh
