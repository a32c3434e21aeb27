#!/usr/bin/env bash
# Installs what is missing, builds the program and the instrument simulator, lays out a sample
# release in build/release, starts vx500-sim on 127.0.0.1 (command port 5000, FTP port 21) over
# an instrument folder in build/demo-instrument, and opens the upgrade window on the release.
# The simulator stops when the window closes.
#
#   scripts/demo.sh [SCENARIO]    e.g. scripts/demo.sh sim/scenarios/firmware-v2.0.json
#
# Port 21 needs privileges: as root the simulator binds 127.0.0.1 directly; otherwise the
# simulator and the window run in a user and network namespace of their own (unshare), where
# the loopback interface is theirs alone.
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$top/build"
release="$build/release"
instrument="$build/demo-instrument"
sim_out="$build/demo-sim.out"
sim_log="$build/demo-sim.log"

# The window and the simulator, on ports 5000 and 21 of 127.0.0.1. Runs as root (for real or
# inside the namespace).
run_demo() {
  local scenario="$1"
  local args=(--root "$instrument" --bind 127.0.0.1 --command-port 5000 --ftp-port 21)
  if [ -n "$scenario" ]; then args+=(--scenario "$scenario"); fi
  "$build/sim/vx500-sim" "${args[@]}" >"$sim_out" 2>"$sim_log" &
  sim_pid=$!
  trap 'kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true' EXIT

  # Both servers are listening once the simulator has printed its "ftp" line (10 s at most).
  local tries=0
  until grep -q '^ftp ' "$sim_out" 2>/dev/null; do
    if ! kill -0 "$sim_pid" 2>/dev/null || [ "$tries" -ge 100 ]; then
      echo "demo: the simulator did not come up on 127.0.0.1:5000 and :21:" >&2
      cat "$sim_log" >&2
      exit 1
    fi
    tries=$((tries + 1))
    sleep 0.1
  done

  echo "demo: simulated VX500 on 127.0.0.1 (commands 5000, FTP 21)${scenario:+, scenario $scenario}"
  echo "demo: its drives are in $instrument, its log in $sim_log"
  echo "demo: type 127.0.0.1 into the IP Address field and press Copy"
  (cd "$release" && QT_QPA_PLATFORM=xcb ./vxupgrade)
}

if [ "${1:-}" = "--in-namespace" ]; then
  ip link set lo up
  run_demo "${2:-}"
  exit 0
fi

scenario=""
if [ $# -gt 1 ]; then
  echo "usage: $0 [SCENARIO]" >&2
  exit 2
fi
if [ $# -eq 1 ]; then
  if [ ! -f "$1" ]; then
    echo "demo: no scenario file at $1 (see sim/scenarios/)" >&2
    exit 2
  fi
  scenario="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
fi

"$top/scripts/setup.sh"
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target vxupgrade vx500-sim
"$top/scripts/make_release.sh" "$release" "$build/app/vxupgrade"

# A fresh instrument: the flash drive holds its system folder, nothing else.
rm -rf -- "$instrument"
mkdir -p "$instrument/F0:/SYSTEM" "$instrument/N0:"
if [[ "$scenario" == *with-nqrm5* ]]; then mkdir -p "$instrument/F0:/NQRM5"; fi

# The window needs an X display; Qt's X11 platform is forced because a Wayland session
# ignores a window's own position and fixed size.
if [ -z "${DISPLAY:-}" ]; then
  if [ -n "${WAYLAND_DISPLAY:-}" ]; then
    echo "demo: this Wayland session has no X display (DISPLAY is not set); enable XWayland" >&2
  else
    echo "demo: no display (neither DISPLAY nor WAYLAND_DISPLAY is set), so the window cannot open." >&2
  fi
  echo "demo: the release is ready in $release; start $release/vxupgrade in a desktop session." >&2
  exit 1
fi

if [ "$(id -u)" -eq 0 ]; then
  run_demo "$scenario"
else
  # A display reached over TCP (DISPLAY=host:N) is out of reach from a network namespace; a
  # local one (DISPLAY=:N) is reached through its socket file.
  if [[ "$DISPLAY" != :* ]]; then
    echo "demo: warning: DISPLAY=$DISPLAY is not a local display; the window may not open" >&2
  fi
  exec unshare --user --map-root-user --net "$0" --in-namespace "$scenario"
fi
