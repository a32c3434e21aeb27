#!/usr/bin/env bash
# Installs the benchmarks' own tools with apt-get when missing (vsftpd, ncftp, lftp, curl,
# valgrind, and what the namespaces need) and keeps vsftpd's system service stopped: the benchmarks start
# their own vsftpd in the foreground. Never part of scripts/setup.sh: vsftpd's daemon would take
# port 21 from the demo.
set -euo pipefail

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
missing=()
for p in vsftpd ncftp lftp curl valgrind iproute2 util-linux python3; do
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
  $SUDO apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}"
  if [ -n "$policy_made" ]; then $SUDO rm -f /usr/sbin/policy-rc.d; fi
fi
# The benchmarks run their own vsftpd in the foreground; the system one must not hold port 21.
if command -v systemctl >/dev/null 2>&1 && [ -d /run/systemd/system ]; then
  $SUDO systemctl disable --now vsftpd >/dev/null 2>&1 || true
elif [ -x /etc/init.d/vsftpd ]; then
  $SUDO /etc/init.d/vsftpd stop >/dev/null 2>&1 || true
fi
