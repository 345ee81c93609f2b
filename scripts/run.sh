#!/usr/bin/env bash
# Builds kelvane if needed and starts the meter simulator on 127.0.0.1:1502,
# so that a technician without a meter at hand can try the utility.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

port="${KELVANE_DEMO_PORT:-1502}"
echo "Starting the simulated meter on 127.0.0.1:${port} (Ctrl+C stops it)."
echo "Read it with mbpoll from another terminal, for example:"
echo "  mbpoll -m tcp -p ${port} -a 1 -r 134 -c 1 -1 127.0.0.1      # register 133 reads 12345"
echo "  mbpoll -m tcp -p ${port} -a 1 -r 769 -c 20 -t 4:float -B -1 127.0.0.1   # the first ten floats"
exec build/sim/kelvane-sim --port "${port}"
