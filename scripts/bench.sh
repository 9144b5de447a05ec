#!/usr/bin/env bash
# Builds Keldor and its benchmarks in release mode into build-bench and prints
# the machine and the table of figures beside their anchors (Markdown, on
# standard output; progress on standard error).
#
#   scripts/bench.sh            quick: 5 rounds, 10 s idle watch, 2 + 1 crashes
#   scripts/bench.sh --full     60 s idle watch, 7 rounds, 3 + 2 crashes
#   scripts/bench.sh [--full] [keldor_bench options...]   e.g. --only pings,status
#   scripts/bench.sh --only fleet   the fleet's figures alone: Keldors sharing a
#                                   throwaway PostgreSQL cluster (postgresql-15)
set -euo pipefail
cd "$(dirname "$0")/.."
options=(--reps 5 --idle-seconds 10 --crash-reps 2 --adopted-reps 1)
if [[ "${1:-}" == "--full" ]]; then
  shift
  options=(--reps 7 --idle-seconds 60 --crash-reps 3 --adopted-reps 2)
fi
scripts/install-deps.sh
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DKELDOR_BENCH=ON >/dev/null
cmake --build build-bench -j"$(nproc)" >/dev/null
echo "Machine: $(nproc) CPUs, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)," \
  "Linux $(uname -r)"
exec build-bench/keldor_bench --build build-bench "${options[@]}" "$@"
