#!/usr/bin/env bash
# Builds kelvane if needed, starts the simulated meter on 127.0.0.1:1502 and
# the utility connected to it. The demo keeps its settings, meter list and
# log in build/demo, so it never touches a user's own files. The simulator
# stops when the utility closes.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

port="${KELVANE_DEMO_PORT:-1502}"
demo="$PWD/build/demo"
mkdir -p "$demo"
for f in data/*.ini; do
  [ -e "$demo/$(basename "$f")" ] || cp "$f" "$demo/"
done

build/sim/kelvane-sim --port "$port" &
sim=$!
trap 'kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null || true' EXIT
sleep 0.5
kill -0 "$sim" 2>/dev/null || { echo "The simulated meter could not start on port $port." >&2; exit 1; }

if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  echo "No display found: kelvane needs a desktop session (set DISPLAY)." >&2
  exit 1
fi
KELVANE_HOME="$demo" build/app/kelvane /MODE=TCP /IP=127.0.0.1 "/TCPPORT=$port"
