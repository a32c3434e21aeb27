#!/usr/bin/env bash
# Benchmarks a whole upgrade by vxupgrade-cli against ncftpput -R -E uploading the same two
# trees, on an emulated lab link (0.5 ms each way, 100 Mbit/s, on every connection) between two
# network namespaces of its own, with vx500-sim and vsftpd serving one instrument folder.
# Needs root. Installs its tools (bench/setup.sh), builds into build-bench/, and removes every
# namespace, process and file it made when it ends.
#   bench/upgrade.sh [--rounds N] [--datasets small,big] [--delay-us U] [--rate-mbit R]
#                    [--timeline [--timeline-file NAME] [--keep-pcap PREFIX]]
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
if [ "$(id -u)" -ne 0 ]; then
  echo "bench/upgrade.sh: needs root (network namespaces, TUN devices, vsftpd's log-in)" >&2
  exit 1
fi

"$top/bench/setup.sh"

build="$top/build-bench"
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVX_BUILD_BENCH=ON \
  -DVX_BUILD_TESTS=ON >/dev/null
cmake --build "$build" -j 2 --target vxupgrade-cli vx500-sim vx_link_relay

# vsftpd logs the instrument's fixed user in through a PAM service of the bench's own that
# takes any password; it exists while the bench runs.
pam_service="vxbench-$$"
pam_file="/etc/pam.d/$pam_service"
bench_pid=""
running=""
cleanup() {
  if [ -n "$running" ]; then
    kill -TERM "$bench_pid" 2>/dev/null || true
    wait "$bench_pid" 2>/dev/null || true
  fi
  rm -f "$pam_file"
  # Namespaces (and what runs in them) that a killed driver left behind.
  if [ -n "$bench_pid" ]; then
    for ns in $(ip netns list | awk '{print $1}' | grep "^vxlab-$bench_pid-" || true); do
      for pid in $(ip netns pids "$ns"); do kill -KILL "$pid" 2>/dev/null || true; done
      ip netns delete "$ns" || true
    done
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM
printf 'auth required pam_permit.so\naccount required pam_permit.so\nsession required pam_permit.so\n' \
  >"$pam_file"

python3 "$top/bench/upgrade_bench.py" --build "$build" --top "$top" \
  --pam-service "$pam_service" "$@" &
bench_pid=$!
running=1
status=0
wait "$bench_pid" || status=$?
running=""
exit "$status"
