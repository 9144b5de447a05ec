#!/usr/bin/env bash
# Installs what is needed, builds Keldor and its tools, lays out a demo game
# installation in ./demo with the simulated game server installed as its
# bfv_linded, and runs Keldor on it in the foreground: Keldor starts the game
# server, supervises it and restarts it after a crash. Policing is on: a player
# on a bad line (gamesim's lagger) is warned three times and kicked for high
# ping, and one who calls another a "noob" in chat (the word in mkinstall's
# bannedwords.con) is kicked, which `keldorctl watch` and keldor.log show.
# Announcements go out every 30 seconds, and a schedule waits to be read and
# edited. The web console (keldor-web) serves a page for the same accounts once
# Keldor listens (KELDOR_WEB_PORT, default 15680). Ctrl-C stops Keldor and the
# web console; the game server keeps running until the next start adopts it or
# -stop ends it.
#
# scripts/demo.sh --fleet shows the fleet instead: a throwaway PostgreSQL
# cluster and two fresh demo installations, a and b, in one temporary directory,
# each with its game server and its Keldor joined to the fleet, and the web
# console on a. Both games draw their players from the same seed, so the same
# players are on both: a ban made on one kicks the player from the other.
# Ctrl-C ends the Keldors (which stop their game servers), the web console and
# the cluster, and removes the directory.
set -euo pipefail
cd "$(dirname "$0")/.."

# Ends what the fleet demo started, by pid, and removes its directory.
fleet_cleanup() {
  trap - EXIT INT TERM
  for pid in "${fleet_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${fleet_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  (cd "$fleet_dir" && "${as_postgres[@]}" "$pg_bin/pg_ctl" -D "$fleet_dir/pg/data" -m fast -w stop) \
    >/dev/null 2>&1 || true
  rm -rf "$fleet_dir"
}

fleet_demo() {
  fleet_dir=$(mktemp -d /tmp/keldor-fleet-XXXXXX)
  fleet_pids=()
  as_postgres=()
  pg_bin=$(find /usr/lib/postgresql -maxdepth 2 -name bin | sort -V | tail -n 1)
  trap fleet_cleanup EXIT
  trap 'exit 130' INT TERM
  # The server refuses to run as root: under root the cluster belongs to postgres.
  mkdir -m 700 "$fleet_dir/pg"
  if [ "$(id -u)" -eq 0 ]; then
    chmod 755 "$fleet_dir"
    chown postgres: "$fleet_dir/pg"
    as_postgres=(runuser -u postgres --)
  fi
  local db_port="${KELDOR_FLEET_DB_PORT:-15669}"
  local conninfo="host=127.0.0.1 port=$db_port dbname=keldor user=keldor"
  (
    cd "$fleet_dir/pg"
    "${as_postgres[@]}" "$pg_bin/initdb" -D "$fleet_dir/pg/data" -A trust -U keldor -E UTF8 \
      --no-sync >/dev/null
    "${as_postgres[@]}" "$pg_bin/pg_ctl" -D "$fleet_dir/pg/data" -w -l "$fleet_dir/pg/log" \
      -o "-p $db_port -k $fleet_dir/pg -c listen_addresses=127.0.0.1" start >/dev/null
  )
  psql -X -q "host=127.0.0.1 port=$db_port dbname=postgres user=keldor" \
    -c 'CREATE DATABASE keldor'

  local port="${KELDOR_PORT:-15667}" name user
  declare -A ports passwords
  for name in a b; do
    ports[$name]=$port
    build/mkinstall --server-binary build/gamesim --listen-port "$port" "$fleet_dir/$name" \
      >"$fleet_dir/$name.txt"
    user=$(sed -n 's/^admin-user: //p' "$fleet_dir/$name.txt")
    passwords[$name]=$(sed -n 's/^admin-password: //p' "$fleet_dir/$name.txt")
    printf 'manager.monitorTimerPeriod 10\n' \
      >>"$fleet_dir/$name/mods/bfvietnam/settings/servermanager.con"
    build/keldor -path "$fleet_dir/$name" -port "$port" -start -restart -exit -nodelay \
      -fleet "$conninfo" -fleetname "$name" +simPlayers 6 +simBots 2 "$@" \
      >"$fleet_dir/$name.out" 2>&1 &
    fleet_pids+=($!)
    port=$((port + 1))
  done
  for name in a b; do
    for _ in $(seq 150); do
      grep -q "Joined the fleet as $name\." "$fleet_dir/$name/keldor.log" 2>/dev/null && continue 2
      sleep 0.2
    done
    echo "Keldor $name did not join the fleet:" >&2
    tail -n 20 "$fleet_dir/$name/keldor.log" "$fleet_dir/$name.out" >&2 || true
    exit 1
  done

  local web_port="${KELDOR_WEB_PORT:-15680}"
  local web=(--listen "127.0.0.1:$web_port" --keldor "127.0.0.1:${ports[a]}")
  # The fleet page, and its console buttons for both Keldors (their rows name this host).
  if build/keldor-web --help 2>&1 | grep -q -- --fleet-hosts; then
    web+=(--fleet "$conninfo" --fleet-hosts "$(hostname)")
  fi
  build/keldor-web "${web[@]}" >"$fleet_dir/web.out" 2>&1 &
  fleet_pids+=($!)

  cat <<NEXT

The fleet is up: Keldor a on port ${ports[a]} and Keldor b on port ${ports[b]} share the database
    $conninfo
(its cluster, both installations and their logs are in $fleet_dir until Ctrl-C).
Try next, from a second terminal in $PWD:
    export KELDOR_USER=$user
    alias ctl-a='build/keldorctl --port ${ports[a]} --password ${passwords[a]}'
    alias ctl-b='build/keldorctl --port ${ports[b]} --password ${passwords[b]}'
    ctl-a players                # the same players are on b (ctl-b players)
    ctl-a ban ID NAME 0 cheating # with an id and name from the list: b kicks the player too
    ctl-b bans                   # a's ban is in b's list
    ctl-a unban NAME             # the lift reaches b as well
    build/keldorctl fleet --db '$conninfo'
or open http://127.0.0.1:$web_port/ and log in with Keldor a's account: its Fleet panel shows
both servers, the bans and the admin actions. Both Keldors' logs follow.

NEXT
  tail -n 0 -F "$fleet_dir/a/keldor.log" "$fleet_dir/b/keldor.log"
}

fleet=0
if [ "${1:-}" = "--fleet" ]; then
  fleet=1
  shift
fi
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
if [ "$fleet" -eq 1 ]; then
  fleet_demo "$@"
  exit
fi
port="${KELDOR_PORT:-15667}"
if [ ! -f demo/installation.txt ]; then
  facts=$(build/mkinstall --server-binary build/gamesim --listen-port "$port" demo)
  printf '%s\n' "$facts" > demo/installation.txt
  # Announcements every 30 seconds, and a schedule to read and edit with
  # `keldorctl get schedule` / `put schedule`: a daily restart at 04:00 and a
  # stop that waits for the end of the round, disabled.
  settings=demo/mods/bfvietnam/settings
  printf 'manager.autoAnnounce 1\nmanager.autoAnnouncePeriod 30\n' >> "$settings/servermanager.con"
  printf '%s\n' "Welcome to the Keldor demo server!" "" \
    "Be fair: no team killing, no spawn camping." > "$settings/announcements.con"
  printf '%s,start,daily,*,*,1\n%s,stop wait,weekends,*,*,0\n' \
    "$(date -d 'today 04:00' +%s)" "$(date -d 'today 23:00' +%s)" > "$settings/serverschedule.con"
  # Policing passes every 10 seconds; a ping of 500 or more is warned about and,
  # in the fourth pass in a row, kicked.
  cat >> "$settings/servermanager.con" <<'SETTINGS'
manager.monitorTimerPeriod 10
manager.autoKickPing 1
manager.autoKickPingValue 500
manager.highPingWarnings 1
SETTINGS
else
  cp build/gamesim demo/bfv_linded.new && mv demo/bfv_linded.new demo/bfv_linded
  echo "Using the existing demo installation (remove ./demo for a fresh one)."
fi
cat demo/installation.txt
# The web console starts once this Keldor logs that it listens, and ends with the demo.
web_port="${KELDOR_WEB_PORT:-15680}"
# A fresh demo has no log yet: only the lines this Keldor adds are looked at.
log_lines=0
if [ -f demo/keldor.log ]; then log_lines=$(wc -l <demo/keldor.log); fi
admin_user=$(sed -n 's/^admin-user: //p' demo/installation.txt)
admin_password=$(sed -n 's/^admin-password: //p' demo/installation.txt)
(
  for _ in $(seq 100); do
    tail -n +"$((log_lines + 1))" demo/keldor.log 2>/dev/null | grep -q 'Listening on' && break
    sleep 0.2
  done
  cat <<NEXT

Keldor is up. Try next, from a second terminal in $PWD:
    export KELDOR_PORT=$port KELDOR_USER=$admin_user KELDOR_PASSWORD=$admin_password
    build/keldorctl status     # the game server's status
    build/keldorctl watch      # every notification as it arrives (Ctrl-C ends it)
or open http://127.0.0.1:$web_port/ in a browser and log in with the same account.

NEXT
  exec build/keldor-web --listen "127.0.0.1:$web_port" --keldor "127.0.0.1:$port"
) &
web_pid=$!
trap 'kill "$web_pid" 2>/dev/null || true' EXIT
build/keldor -path "$PWD/demo" -port "$port" -start -restart +simPlayers 6 +simBots 4 +simLaggers 1 +simTick 5 "$@"
