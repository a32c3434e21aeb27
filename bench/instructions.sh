#!/usr/bin/env bash
# Counts the instructions vxupgrade-cli executes (valgrind's callgrind) for a whole upgrade of
# the small release (600 files of 1-64 KiB, 15.7 MB, as bench/upgrade.sh makes it) against
# vx500-sim on both channels on loopback, once per option set. Unlike CPU time the count does
# not depend on the machine's load, so two builds compare on a shared machine. System calls
# are not counted: compare their numbers with strace -c.
#   bench/instructions.sh [--cli PROGRAM] [--keep DIR] [OPTIONS ...]
# Each OPTIONS is one argument holding the vxupgrade-cli options of one run, FILE standing for
# a file in the work folder; by default four runs: none, "--report FILE", "--trace FILE" and
# both. PROGRAM defaults to the Release build in build-bench/; --keep DIR keeps the callgrind
# output files (for callgrind_annotate) in DIR.
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$top/build-bench"
cli=""
keep=""
while [ $# -gt 0 ]; do
  case "$1" in
    --cli) cli="$2"; shift 2 ;;
    --keep) keep="$2"; shift 2 ;;
    *) break ;;
  esac
done
if [ $# -eq 0 ]; then set -- "" "--report FILE.json" "--trace FILE.trace" \
  "--report FILE.json --trace FILE.trace"; fi

"$top/bench/setup.sh"
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVX_BUILD_BENCH=ON \
  -DVX_BUILD_TESTS=ON >/dev/null
cmake --build "$build" -j 2 --target vxupgrade-cli vx500-sim >/dev/null
cli="${cli:-$build/app/cli/vxupgrade-cli}"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
python3 -c 'import sys; sys.path.insert(0, sys.argv[1]); import upgrade_bench as u; u.generate(sys.argv[2], 1)' \
  "$top/bench" "$work/releases"
if [ "$(id -u)" -eq 0 ]; then unshare=(unshare --net); else
  unshare=(unshare --user --map-root-user --net); fi

# One run in a network namespace of its own: the simulator on ports 5000 and 21 over a fresh
# instrument folder, then the program under callgrind. Prints the instruction count.
one_run() {
  local options="$1" out="$2"
  "${unshare[@]}" bash -s -- "$build/sim/vx500-sim" "$top/sim/scenarios/healthy-v3.0.json" \
    "$cli" "$work" "$out" "$options" <<'RUN'
set -euo pipefail
sim="$1" scenario="$2" cli="$3" work="$4" out="$5" options="${6//FILE/$4/record}"
ip link set lo up
root="$(mktemp -d "$work/root.XXXXXX")"
mkdir -p "$root/F0:/SYSTEM" "$root/N0:"
"$sim" --root "$root" --scenario "$scenario" --command-port 5000 --ftp-port 21 \
  >/dev/null 2>&1 &
sim_pid=$!
trap 'kill "$sim_pid" 2>/dev/null; wait "$sim_pid" 2>/dev/null || true' EXIT
for _ in $(seq 200); do
  if (exec 3<>/dev/tcp/127.0.0.1/21) 2>/dev/null && (exec 3<>/dev/tcp/127.0.0.1/5000) 2>/dev/null
  then break; fi
  sleep 0.05
done
# shellcheck disable=SC2086  # the options are split into words on purpose
valgrind --tool=callgrind --callgrind-out-file="$out" "$cli" --ip 127.0.0.1 \
  --package "$work/releases/small" $options >"$work/cli.log" 2>"$work/valgrind.log" ||
  { echo "vxupgrade-cli failed:" >&2; tail -5 "$work/cli.log" "$work/valgrind.log" >&2; exit 1; }
test "$(find "$root/F0:" -type f | wc -l)" -eq 601  # 600 files and a NAME file
sed -n 's/.*Collected : \([0-9]*\).*/\1/p' "$work/valgrind.log"
RUN
}

printf '%-40s %15s\n' "options" "instructions"
index=0
for options in "$@"; do
  index=$((index + 1))
  out="$work/callgrind.$index"
  count="$(one_run "$options" "$out")"
  printf '%-40s %15s\n' "${options:-(none)}" "$count"
  if [ -n "$keep" ]; then mkdir -p "$keep" && cp "$out" "$keep/callgrind.$index"; fi
done
