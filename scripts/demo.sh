#!/usr/bin/env bash
# Installs what is missing, builds the programs and the instrument simulator, lays out a sample
# release in build/release, starts vx500-sim over an instrument folder in build/demo-instrument
# and upgrades it from the release:
# - with a display, the upgrade window opens on the release, with the simulator on 127.0.0.1
#   (command port 5000, FTP port 21); the simulator stops when the window closes, and the script
#   exits with the window program's exit code;
# - without one, vxupgrade-cli runs the same upgrade against the simulator and the script exits
#   with its exit code, a refusal's 1 included.
#
#   scripts/demo.sh [SCENARIO]    e.g. scripts/demo.sh sim/scenarios/firmware-v2.0.json
#
# The simulator and the window (or vxupgrade-cli) always run in a network namespace of their
# own (unshare --net as root, otherwise a user namespace as well), where the loopback interface
# is theirs alone: the instrument's ports 5000 and 21 are taken there, never on the host, so a
# host that runs an FTP server or anything on 5000 does not matter. Where no namespace can be
# made, the window is not started; the command line then runs against the simulator on free
# ports of the host's 127.0.0.1.
#
# VX_DEMO_BIN=DIR uses the programs already built in the build tree DIR (nothing is installed
# or built); VX_DEMO_OUT=DIR puts the release, the instrument folder and the logs in DIR
# instead of build/.
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${VX_DEMO_BIN:-$top/build}"
out="${VX_DEMO_OUT:-$top/build}"
release="$out/release"
instrument="$out/demo-instrument"
sim_out="$out/demo-sim.out"
sim_log="$out/demo-sim.log"

# Starts vx500-sim on 127.0.0.1 with the given command and FTP ports (0 for free ones) and
# waits until both servers listen (10 s at most); it is stopped when the script exits.
start_simulator() {
  local scenario="$1" command_port="$2" ftp_port="$3"
  local args=(--root "$instrument" --bind 127.0.0.1 --command-port "$command_port"
    --ftp-port "$ftp_port")
  if [ -n "$scenario" ]; then args+=(--scenario "$scenario"); fi
  "$build/sim/vx500-sim" "${args[@]}" >"$sim_out" 2>"$sim_log" &
  sim_pid=$!
  trap 'kill "$sim_pid" 2>/dev/null || true; wait "$sim_pid" 2>/dev/null || true' EXIT

  local tries=0
  until grep -q '^ftp ' "$sim_out" 2>/dev/null; do
    if ! kill -0 "$sim_pid" 2>/dev/null || [ "$tries" -ge 100 ]; then
      echo "demo: the simulator did not come up on 127.0.0.1:$command_port and :$ftp_port:" >&2
      cat "$sim_log" >&2
      exit 1
    fi
    tries=$((tries + 1))
    sleep 0.1
  done
}

# The port a server of the simulator listens on, from its start-up line ("ftp 127.0.0.1:PORT").
simulator_port() {
  sed -n "s/^$1 127\.0\.0\.1://p" "$sim_out"
}

# Without a display: the command-line front end against the simulator on the given ports
# (0 for free ones).
run_headless() {
  local scenario="$1" where="$2"
  start_simulator "$scenario" "$3" "$4"
  local command_port ftp_port
  command_port="$(simulator_port command)"
  ftp_port="$(simulator_port ftp)"
  echo "demo: no display, so vxupgrade-cli runs the upgrade instead of the window"
  echo "demo: simulated VX500 on 127.0.0.1 (commands $command_port, FTP $ftp_port) $where${scenario:+, scenario $scenario}"
  echo "demo: its drives are in $instrument, its log in $sim_log"
  local status=0
  "$release/vxupgrade-cli" --ip 127.0.0.1 --command-port "$command_port" \
    --ftp-port "$ftp_port" || status=$?
  echo "demo: vxupgrade-cli exited with $status (see vxupgrade-cli --help for the codes)"
  exit "$status"
}

# The window and the simulator, on ports 5000 and 21 of the namespace's 127.0.0.1.
run_demo() {
  local scenario="$1"
  start_simulator "$scenario" 5000 21

  echo "demo: simulated VX500 on 127.0.0.1 (commands 5000, FTP 21) in a network namespace of its own${scenario:+, scenario $scenario}"
  echo "demo: its drives are in $instrument, its log in $sim_log"
  echo "demo: type 127.0.0.1 into the IP Address field and press Copy"
  local status=0
  (cd "$release" && QT_QPA_PLATFORM=xcb ./vxupgrade) || status=$?
  echo "demo: the window exited with $status"
  exit "$status"
}

# Runs this script again in a network namespace of its own, in MODE ("window" or "headless");
# returns only when no namespace can be made here.
enter_namespace() {
  local mode="$1" scenario="$2"
  local ways=()
  if [ "$(id -u)" -eq 0 ]; then ways+=("unshare --net"); fi
  ways+=("unshare --user --map-root-user --net")
  local way
  for way in "${ways[@]}"; do
    # shellcheck disable=SC2086 # the words of the command
    if $way true 2>/dev/null; then
      exec $way "$BASH" "$top/scripts/demo.sh" --in-namespace "$mode" "$scenario"
    fi
  done
}

if [ "${1:-}" = "--in-namespace" ]; then
  ip link set lo up
  if [ "$2" = "window" ]; then
    run_demo "${3:-}"
  fi
  run_headless "${3:-}" "in a network namespace of its own" 5000 21
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

if [ -z "${VX_DEMO_BIN:-}" ]; then
  "$top/scripts/setup.sh"
  cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$build" -j "$(nproc)" --target vxupgrade vxupgrade-cli vx500-sim
fi
mkdir -p "$out"
"$top/scripts/make_release.sh" "$release" "$build/app/vxupgrade" "$build/app/cli/vxupgrade-cli"

# A fresh instrument: the flash drive holds its system folder, nothing else.
rm -rf -- "$instrument"
mkdir -p "$instrument/F0:/SYSTEM" "$instrument/N0:"
if [[ "$scenario" == *with-nqrm5* ]]; then mkdir -p "$instrument/F0:/NQRM5"; fi

# The window needs an X display (Qt's X11 platform is forced because a Wayland session
# ignores a window's own position and fixed size); without one the command line runs.
if [ -z "${DISPLAY:-}" ]; then
  if [ -n "${WAYLAND_DISPLAY:-}" ]; then
    echo "demo: this Wayland session has no X display (DISPLAY is not set); enable XWayland to see the window" >&2
  fi
  enter_namespace headless "$scenario"
  echo "demo: no network namespace can be made here (unshare), so the simulator takes free ports of the host's 127.0.0.1"
  run_headless "$scenario" "on the host" 0 0
fi

# A display reached over TCP (DISPLAY=host:N) is out of reach from a network namespace; a
# local one (DISPLAY=:N) is reached through its socket file.
if [[ "$DISPLAY" != :* ]]; then
  echo "demo: warning: DISPLAY=$DISPLAY is not a local display; the window may not open" >&2
fi
enter_namespace window "$scenario"
echo "demo: no network namespace can be made here (unshare --net, or unshare --user --map-root-user --net):" >&2
echo "demo: the window needs one, to give the simulator ports 5000 and 21 without taking the host's" >&2
exit 1
