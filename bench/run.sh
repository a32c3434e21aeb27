#!/usr/bin/env bash
# Benchmarks the FTP client's uploads against ncftpput, lftp and curl, all to one vsftpd on a
# loopback port, each round in a fresh network namespace. Installs vsftpd, ncftp, lftp and curl
# itself (bench/setup.sh, never scripts/setup.sh: vsftpd's daemon would take port 21).
# Usage: bench/run.sh [--rounds N] [--rtt-ms X] [--big-mib N]
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

"$top/bench/setup.sh"

build="$top/build-bench"
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVX_BUILD_BENCH=ON \
  -DVX_BUILD_TESTS=ON >/dev/null
cmake --build "$build" -j 2 --target vx_ftp_bench vx_delay_proxy sim_ftp_standalone
exec python3 "$top/bench/bench.py" --build "$build" "$@"
