#!/usr/bin/env bash
# Installs the Debian packages Keldor needs to build and test, when any is missing.
# Non-interactive; run as root (or through sudo when it is there).
set -euo pipefail

# scdoc renders the manual pages, dpkg-dev finds the package's library
# dependencies, nlohmann-json3-dev is keldorctl's JSON output; clang and its
# runtimes build the fuzz targets (scripts/fuzz.sh); libboost-dev is keldor-web's
# HTTP and WebSocket (Boost.Beast, header-only); chromium, chromium-driver and
# python3-selenium run its browser test. libpq-dev is the fleet's database
# client; postgresql-15 (with postgresql-common and its client) runs the
# throwaway clusters of the fleet's tests, benchmarks and demo. libcurl4-openssl-dev
# delivers the alerts to webhooks (ca-certificates: the system's certificates for
# https targets); openssl makes the throwaway certificate of the alerts' https
# test, and python3 (with python3-prometheus-client, the metrics test's parser)
# runs the tests' webhook receiver.
packages=(g++ cmake make pkg-config libgtest-dev liblzo2-dev libexpat1-dev libproc2-dev
  nlohmann-json3-dev scdoc dpkg-dev clang libclang-rt-14-dev libboost-dev
  chromium chromium-driver python3-selenium libpq-dev postgresql-15 postgresql-common
  postgresql-client-15 libcurl4-openssl-dev ca-certificates openssl python3
  python3-prometheus-client)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
