#!/usr/bin/env bash
# Soak run (not part of the test command): Keldor with the simulated game server
# and keldorctl on loopback, for a bounded time, then a report.
#
#   scripts/soak.sh [SECONDS] [WORKERS]      (defaults 300 and 4)
#
# While it runs: the game server is killed with SIGKILL about once a minute and
# Keldor restarts it; WORKERS client loops connect, log in, ask for status,
# players and clients, fetch every file, upload the schedule, the announcements
# and the banned words and read them back, add and remove bans, add bans that
# run out by themselves, and disconnect;
# a rude loop connects and hangs up mid-handshake, sends garbage or a request
# cut short. The schedule holds an event that fires during the run.
# The report: Keldor crashes (must be 0), sanitizer reports, descriptors and
# memory at start and end, files that are not whole or not as uploaded, timed
# bans still listed after their end, and requests that got no answer
# (keldorctl's exit status 2).
#
# Uses the sanitizer build (build-test, as scripts/test.sh makes it) unless
# SOAK_BUILD names another build directory (a plain build shows memory better:
# the sanitizers hold freed memory back for a while).
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds=${1:-300}
workers=${2:-4}
build=${SOAK_BUILD:-$root/build-test}
for tool in keldor keldorctl mkinstall gamesim; do
  [ -x "$build/$tool" ] || { echo "soak: $build/$tool is missing (build first)" >&2; exit 1; }
done

work=$(mktemp -d /tmp/keldor-soak-XXXXXX)
dir=$work/install
facts=$("$build/mkinstall" --server-binary "$build/gamesim" "$dir")
port=$(sed -n 's/.*-port \([0-9]*\).*/\1/p' <<<"$facts")
export KELDOR_HOST=127.0.0.1 KELDOR_PORT=$port KELDOR_USER=admin
KELDOR_PASSWORD=$(sed -n 's/^admin-password: //p' <<<"$facts")
export KELDOR_PASSWORD
settings=$dir/mods/bfvietnam/settings
# A start event a minute into the run (it restarts the running server), and
# announcements every 10 seconds.
printf '%s,start,daily,*,*,1\n' "$(($(date +%s) + 60))" >"$settings/serverschedule.con"
printf 'manager.autoAnnounce 1\nmanager.autoAnnouncePeriod 10\n' >>"$settings/servermanager.con"
printf 'Soak announcement one\nSoak announcement two\n' >"$settings/announcements.con"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
"$build/keldor" -path "$dir" -port "$port" -start -restart +simPlayers 8 +simBots 2 +simTick 1 \
  >"$work/keldor.out" 2>"$work/keldor.err" &
keldor=$!

ctl() { timeout 60 "$build/keldorctl" --timeout 20 "$@"; }
for _ in $(seq 100); do ctl ping >/dev/null 2>&1 && break; sleep 0.2; done

fds() { ls "/proc/$keldor/fd" 2>/dev/null | wc -l; }
rss() { awk '/^VmRSS/ {print $2 " " $3}' "/proc/$keldor/status" 2>/dev/null; }
sleep 3  # let the game server come up before the first figures
start_fds=$(fds) start_rss=$(rss)
deadline=$(($(date +%s) + seconds))

# One client loop: every kind of request, counted; exit status 2 is a request
# that got no answer.
worker() {
  local n=$1 requests=0 unanswered=0 wrong=0 expiring=0
  local mine=$work/w$n
  mkdir -p "$mine"
  count() {
    requests=$((requests + 1))
    if [ "$1" -eq 2 ]; then unanswered=$((unanswered + 1)); fi
  }
  while [ "$(date +%s)" -lt "$deadline" ]; do
    for cmd in ping status players clients join-info "get settings" "get log" "get users" \
      "get maps" "get rotation" "say soak-$n" "console game.listPlayers" "user list"; do
      # shellcheck disable=SC2086
      ctl $cmd >/dev/null 2>&1
      count $?
    done
    printf 'soak word %s\n' "$n" >"$mine/words"
    ctl put bannedwords "$mine/words" >/dev/null 2>&1
    count $?
    ctl get bannedwords "$mine/back" >/dev/null 2>&1
    count $?
    # Another worker may have put its own list in between: any worker's list is whole.
    grep -qx 'soak word [0-9]*' "$mine/back" 2>/dev/null || wrong=$((wrong + 1))
    printf 'Announcement from worker %s\n' "$n" >"$mine/ann"
    ctl put announcements "$mine/ann" >/dev/null 2>&1
    count $?
    ctl ban 1 "soak$n" 30 soaking >/dev/null 2>&1
    count $?
    ctl unban "soak$n" >/dev/null 2>&1
    count $?
    # A ban left to run out: the list must not keep it past its end.
    expiring=$((expiring + 1))
    ctl ban -1 "expiring-$n-$expiring" 5 soaking --address "10.77.$n.$((expiring % 250))" \
      >/dev/null 2>&1
    count $?
  done
  echo "$requests $unanswered $wrong" >"$work/worker$n.result"
}

# Rude clients: hang up at once, mid-handshake, after garbage, or mid-request.
# They come from addresses 127.0.1.1-254 in turn: garbage that reads as a wrong
# name or password counts as password guessing, and Keldor rightly locks a
# guessing address out for a while, which must neither shut out the client
# loops on 127.0.0.1 nor turn the rest of the run into refused connections.
rude() {
  python3 - "$port" "$deadline" >"$work/rude.result" <<'PY'
import os, socket, sys, time
port, deadline = int(sys.argv[1]), int(sys.argv[2])
payloads = [b"", b"abcdefghij", None, bytes(64) + b"\x8c\x2d\x00\xbe"]
connections = 0
while time.time() < deadline:
    for payload in payloads:
        try:
            with socket.socket() as s:
                s.bind((f"127.0.1.{1 + connections % 254}", 0))
                s.settimeout(5)
                s.connect(("127.0.0.1", port))
                s.sendall(os.urandom(200) if payload is None else payload)
            connections += 1
        except OSError:
            pass
    time.sleep(0.05)
print(connections)
PY
}

# The game server crashes about once a minute; Keldor restarts it. Not more
# often: three crashes within a minute of their starts are a restart loop, in
# which Keldor stops restarting the server, as it should.
crasher() {
  local crashes=0 pid
  while [ "$(date +%s)" -lt "$deadline" ]; do
    sleep 62
    pid=$(cat "$dir/bfvietnam.pid" 2>/dev/null)
    if [ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null; then crashes=$((crashes + 1)); fi
  done
  echo "$crashes" >"$work/crash.result"
}

pids=()
for n in $(seq "$workers"); do worker "$n" & pids+=($!); done
rude & pids+=($!)
crasher & pids+=($!)
for p in "${pids[@]}"; do wait "$p"; done
sleep 10  # the last restart settles

alive=yes
kill -0 "$keldor" 2>/dev/null || alive=no
end_fds=$(fds) end_rss=$(rss)
requests=0 unanswered=0 wrong=0
for n in $(seq "$workers"); do
  read -r r u w <"$work/worker$n.result"
  requests=$((requests + r)) unanswered=$((unanswered + u)) wrong=$((wrong + w))
done
# Files that must be whole: the accounts still let the administrator in, the
# settings still load (Keldor reads them at the next start), no temporary
# file of a replacement is left behind.
ctl ping >/dev/null 2>&1 || wrong=$((wrong + 1))
# Timed bans go once their end has passed, at the next policing pass.
unexpired=-1
for _ in $(seq 30); do
  if ctl get bans "$work/bans.end" >/dev/null 2>&1; then
    unexpired=$(grep -c 'expiring-' "$work/bans.end" || true)
    [ "$unexpired" -eq 0 ] && break
  fi
  sleep 2
done
leftovers=$(find "$dir" -name '*.con.??????' | wc -l)
restarts=$(grep -c 'restart\|Restart' "$work/keldor.out" 2>/dev/null || true)
sanitizer=$(grep -c 'ERROR: AddressSanitizer\|runtime error:\|ERROR: LeakSanitizer' "$work/keldor.err" || true)

kill -TERM "$keldor" 2>/dev/null
wait "$keldor" 2>/dev/null
status=$?
sleep 1
pid=$(cat "$dir/bfvietnam.pid" 2>/dev/null)
[ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null

crashed=0
[ "$alive" = yes ] || crashed=1
cat <<REPORT
soak: ${seconds}s, $workers client loops, build $(basename "$build")
  Keldor crashes:               $crashed (exit status at the end $status)
  sanitizer reports:            $sanitizer
  game server crashes:          $(cat "$work/crash.result") (restart lines in the log: $restarts)
  client requests:              $requests ($unanswered with no answer)
  rude connections:             $(cat "$work/rude.result")
  files not whole or not as put: $((wrong + leftovers)) (leftover temporaries: $leftovers)
  timed bans kept past their end: $unexpired
  descriptors start/end:        $start_fds / $end_fds
  memory (RSS) start/end:       $start_rss / $end_rss
  log and output:               $work
REPORT
[ "$crashed" -eq 0 ] && [ "$sanitizer" -eq 0 ] && [ "$unanswered" -eq 0 ] &&
  [ $((wrong + leftovers)) -eq 0 ] && [ "$unexpired" -eq 0 ]
