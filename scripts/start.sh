#!/usr/bin/env bash
# Installs what is missing, builds the program and starts it on a virtual line
# of demo devices. Without a display it shows lim07ctl polling the demo line.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
build=build/release
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DLIM07_TESTS=OFF -DLIM07_BENCH=OFF >/dev/null
cmake --build "$build"
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ -x "$build/src/app/lim07" ]; then
  exec "$build/src/app/lim07" --demo
fi
echo "No display found: here is the demo line polled from the terminal."
if [ -x "$build/cli/lim07ctl" ]; then
  "$build/cli/lim07ctl" --demo poll --cycles 5 || true
  echo "(the command line: $build/cli/lim07ctl --help)"
elif [ -x "$build/sim/lim07-sim" ]; then
  "$build/sim/lim07-sim" --demo & pid=$!
  sleep 3; kill "$pid"
fi
cat <<'MSG'

To see the window, run this command again in a desktop session, or on this
machine with a virtual display:  xvfb-run -a build/release/src/app/lim07 --demo
(or over ssh with X forwarding: ssh -X host, then build/release/src/app/lim07 --demo).
MSG
