#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer and UndefinedBehavior-
# Sanitizer, in build-fuzz/) and runs them.
#
#   scripts/fuzz.sh                    every target briefly (FUZZ_SECONDS each, default 3),
#                                      after replaying fuzz/regressions/: what the test command runs
#   scripts/fuzz.sh TARGET SECONDS     one target for as long as one wants
#   scripts/fuzz.sh all SECONDS        every target in turn, SECONDS each
#   scripts/fuzz.sh list               the target names
#   scripts/fuzz.sh campaign [RUNS] [TARGET...]
#                                      each target (all by default) until it has
#                                      run RUNS inputs in all (default 10 million),
#                                      FUZZ_CHUNK (250,000) at a time; the count is kept in
#                                      build-fuzz/campaign/TARGET, so a stopped
#                                      campaign goes on where it stopped (SIGINT to
#                                      the fuzz_ process stops it and keeps its count)
#   scripts/fuzz.sh figures            what the campaigns have run so far
#
# A long run keeps what it learns in build-fuzz/corpus/TARGET (seeded from
# fuzz/corpus/TARGET) and leaves any crashing input in build-fuzz/findings/.
# Such an input goes into fuzz/regressions/TARGET/ once its fault is mended.
set -euo pipefail

# Long runs go into a process namespace of their own. A status request with no
# game server known reads the whole process table, and there that table holds
# the fuzzer alone: the client targets run about twice as fast. Where no
# namespace can be made, they run in the machine's table.
case "${1:-brief}" in
  brief | list | figures) ;;
  *)
    if [ -z "${KELDOR_FUZZ_ISOLATED:-}" ]; then
      export KELDOR_FUZZ_ISOLATED=1
      for how in "" "--user --map-root-user"; do
        # shellcheck disable=SC2086  # $how is a list of options
        if unshare $how --pid --fork --mount-proc true 2>/dev/null; then
          exec unshare $how --pid --fork --mount-proc bash "$0" "$@"
        fi
      done
    fi
    ;;
esac

cd "$(dirname "$0")/.."
root=$PWD
build=$root/build-fuzz

cmake -S . -B "$build" -DKELDOR_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" --target fuzz_targets -j"${FUZZ_JOBS:-$(nproc)}" >/dev/null

targets=$(cat fuzz/targets.txt)

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

# Options every run shares: inputs up to 64 KiB, a slow input is a finding, memory bounded.
common=(-max_len=65536 -timeout=20 -report_slow_units=20 -rss_limit_mb=2048 -print_final_stats=1)

run_one() {  # TARGET SECONDS LOGFILE
  local target=$1 seconds=$2 log=$3
  local corpus=$build/corpus/$target findings=$build/findings/$target
  mkdir -p "$corpus" "$findings"
  cp -n "$root/fuzz/corpus/$target/"* "$corpus/" 2>/dev/null || true
  "$build/fuzz_$target" "${common[@]}" -max_total_time="$seconds" \
    -artifact_prefix="$findings/" "$corpus" >"$log" 2>&1
}

replay() {  # TARGET: every stored regression input once
  local dir=$root/fuzz/regressions/$1
  [ -d "$dir" ] && [ -n "$(ls -A "$dir")" ] || return 0
  "$build/fuzz_$1" "${common[@]}" "$dir"/* >/dev/null 2>&1
}

summary() {  # TARGET LOGFILE
  local execs cov
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$2" | tail -1)
  cov=$(grep -o 'cov: [0-9]*' "$2" | tail -1 | cut -d' ' -f2)
  printf '%-20s %12s executions, coverage %s\n' "$1" "${execs:-?}" "${cov:-?}"
}

ledger_total() {  # TARGET: the executions its campaign has recorded
  awk '{ total += $2 } END { print total + 0 }' "$build/campaign/$1" 2>/dev/null || echo 0
}

figures() {
  printf '%-20s %14s %8s %10s\n' target executions coverage findings
  for t in $targets; do
    local cov findings
    cov=$(awk 'END { print $3 }' "$build/campaign/$t" 2>/dev/null || true)
    findings=$(find "$build/findings/$t" -type f 2>/dev/null | wc -l || true)
    printf '%-20s %14s %8s %10s\n' "$t" "$(ledger_total "$t")" "${cov:--}" "$findings"
  done
}

case "${1:-brief}" in
  list)
    echo "$targets"
    ;;
  figures)
    figures
    ;;
  campaign)
    goal=${2:-10000000}
    which=${*:3}
    [ -n "$which" ] || which=$targets
    mkdir -p "$build/campaign" "$build/logs"
    status=0
    for t in $which; do
      while :; do
        done_runs=$(ledger_total "$t")
        [ "$done_runs" -lt "$goal" ] || break
        chunk=$((goal - done_runs)) most=${FUZZ_CHUNK:-250000}
        [ "$chunk" -le "$most" ] || chunk=$most
        log=$build/logs/$t.campaign.log
        corpus=$build/corpus/$t findings=$build/findings/$t
        mkdir -p "$corpus" "$findings"
        cp -n "$root/fuzz/corpus/$t/"* "$corpus/" 2>/dev/null || true
        # Status 72 is an interrupted run (SIGINT): its executions count, and
        # the campaign stops there.
        # A quarantine of 64 MB rather than 256: it still holds what far more than
        # one input frees, and the campaign runs a quarter faster for it.
        result=0
        ASAN_OPTIONS=$ASAN_OPTIONS:quarantine_size_mb=64 \
          "$build/fuzz_$t" "${common[@]}" -runs="$chunk" -artifact_prefix="$findings/" \
          "$corpus" >"$log" 2>&1 || result=$?
        if [ "$result" -ne 0 ] && [ "$result" -ne 72 ]; then
          status=1
          echo "FINDING in $t: see $log and $findings/"
          break
        fi
        execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
        cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
        echo "$(date -u +%FT%TZ) ${execs:-0} ${cov:-0}" >>"$build/campaign/$t"
        echo "$t: $(ledger_total "$t") executions so far, coverage ${cov:-?}"
        [ "$result" -eq 0 ] || break 2
      done
    done
    figures
    exit $status
    ;;
  brief)
    seconds=${FUZZ_SECONDS:-3}
    passed=0 failed=0
    logs=$(mktemp -d)
    for t in $targets; do
      if replay "$t" && run_one "$t" "$seconds" "$logs/$t.log"; then
        passed=$((passed + 1))
        summary "$t" "$logs/$t.log"
      else
        failed=$((failed + 1))
        echo "FAILED $t:"
        tail -40 "$logs/$t.log" 2>/dev/null || true
      fi
    done
    rm -rf "$logs"
    echo "fuzz: $passed passed, $failed failed"
    [ "$failed" -eq 0 ]
    ;;
  *)
    [ $# -eq 2 ] || { echo "usage: scripts/fuzz.sh [TARGET|all SECONDS | list]" >&2; exit 2; }
    which=$1 seconds=$2
    [ "$which" = all ] && which=$targets
    status=0
    for t in $which; do
      mkdir -p "$build/logs"
      log=$build/logs/$t.log
      if run_one "$t" "$seconds" "$log"; then summary "$t" "$log"; else
        status=1
        echo "FINDING in $t: see $log and $build/findings/$t/"
      fi
    done
    exit $status
    ;;
esac
