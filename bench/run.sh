#!/usr/bin/env bash
# Benchmarks the FTP client's uploads against ncftpput, lftp and curl, all to one vsftpd on a
# loopback port, each round in a fresh network namespace. Installs vsftpd, ncftp, lftp and curl
# itself (never scripts/setup.sh: vsftpd's daemon would take port 21) and keeps vsftpd's system
# service stopped. Usage: bench/run.sh [--rounds N] [--rtt-ms X] [--big-mib N]
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
missing=()
for p in vsftpd ncftp lftp curl iproute2 util-linux python3; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "bench: installing ${missing[*]}"
  # Keep the packages' daemons from starting while they are installed.
  policy_made=""
  if [ ! -e /usr/sbin/policy-rc.d ]; then
    printf '#!/bin/sh\nexit 101\n' | $SUDO tee /usr/sbin/policy-rc.d >/dev/null
    $SUDO chmod 755 /usr/sbin/policy-rc.d
    policy_made=1
  fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
  if [ -n "$policy_made" ]; then $SUDO rm -f /usr/sbin/policy-rc.d; fi
fi
# The benchmark runs its own vsftpd in the foreground; the system one must not hold port 21.
if command -v systemctl >/dev/null 2>&1 && [ -d /run/systemd/system ]; then
  $SUDO systemctl disable --now vsftpd >/dev/null 2>&1 || true
elif [ -x /etc/init.d/vsftpd ]; then
  $SUDO /etc/init.d/vsftpd stop >/dev/null 2>&1 || true
fi

build="$top/build-bench"
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVX_BUILD_BENCH=ON \
  -DVX_BUILD_TESTS=ON >/dev/null
cmake --build "$build" -j 2 --target vx_ftp_bench vx_delay_proxy sim_ftp_standalone
exec python3 "$top/bench/bench.py" --build "$build" "$@"
