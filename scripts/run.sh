#!/usr/bin/env bash
# Builds kelvane if needed, starts the simulated meter and the utility
# connected to it:
#   bash scripts/run.sh          over Modbus/TCP, the meter on 127.0.0.1:1502
#                                (KELVANE_DEMO_PORT names another TCP port)
#   bash scripts/run.sh --rtu    over Modbus RTU at 19200 baud, the meter on a
#                                pseudo-terminal reached through the link
#                                build/demo/kelvane-meter
# KELVANE_DEMO_MODE=rtu (or tcp) chooses the transport as the switches do.
# The demo keeps its settings, meter list and log in build/demo, so it never
# touches a user's own files. The simulator stops when the utility closes.
set -euo pipefail
cd "$(dirname "$0")/.."

mode="${KELVANE_DEMO_MODE:-tcp}"
for arg in "$@"; do
  case "$arg" in
    --rtu) mode=rtu ;;
    --tcp) mode=tcp ;;
    *) echo "run.sh: unknown switch $arg (use --rtu or --tcp)" >&2; exit 2 ;;
  esac
done
case "$mode" in
  tcp | rtu) ;;
  *) echo "run.sh: KELVANE_DEMO_MODE must be tcp or rtu, not \"$mode\"" >&2; exit 2 ;;
esac

bash scripts/setup.sh

if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  echo "No display found: kelvane needs a desktop session (set DISPLAY)." >&2
  exit 1
fi

port="${KELVANE_DEMO_PORT:-1502}"
baud=19200
demo="$PWD/build/demo"
link="$demo/kelvane-meter"
mkdir -p "$demo"
for f in data/*.ini; do
  [ -e "$demo/$(basename "$f")" ] || cp "$f" "$demo/"
done

# The simulator says on its standard output when it serves: the TCP address
# it listens on, or the link it made to its pseudo-terminal.
simlog="$demo/kelvane-sim.out"
if [ "$mode" = rtu ]; then
  build/sim/kelvane-sim --rtu --link "$link" --baud "$baud" >"$simlog" &
  ready="kelvane-sim linked "
else
  build/sim/kelvane-sim --port "$port" >"$simlog" &
  ready="kelvane-sim listening on "
fi
sim=$!
trap 'kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null || true' EXIT

deadline=$((SECONDS + 20))
until grep -q "$ready" "$simlog"; do
  if ! kill -0 "$sim" 2>/dev/null; then
    echo "The simulated meter could not start (see its message above)." >&2
    exit 1
  fi
  if [ "$SECONDS" -ge "$deadline" ]; then
    echo "The simulated meter did not report ready within 20 s." >&2
    exit 1
  fi
  sleep 0.1
done
cat "$simlog"

if [ "$mode" = rtu ]; then
  KELVANE_HOME="$demo" build/app/kelvane /MODE=RTU "/PORT=$link" "/BAUD=$baud"
else
  KELVANE_HOME="$demo" build/app/kelvane /MODE=TCP /IP=127.0.0.1 "/TCPPORT=$port"
fi
