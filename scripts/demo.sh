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
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
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
