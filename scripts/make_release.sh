#!/usr/bin/env bash
# Lays out a sample release folder and copies the program into it:
#   scripts/make_release.sh OUT_DIR PROGRAM [CLI_PROGRAM]
# OUT_DIR gets MainFrame/ (system files, with subfolders), Target/ with the module folders
# PNB5, PCWX5, RKS5, SCWH5 and NQRM5 (signal sets in SIGNAL/, configuration images in FLEX/),
# the manifest vxUpgrade.ini, a copy of PROGRAM named vxupgrade and, when given, a copy of
# CLI_PROGRAM named vxupgrade-cli. The programs find their release by their own real path, so
# they are copied, never linked.
set -euo pipefail

if [ $# -lt 2 ] || [ $# -gt 3 ]; then
  echo "usage: $0 OUT_DIR PROGRAM [CLI_PROGRAM]" >&2
  exit 2
fi
out="$1"
program="$2"
cli_program="${3:-}"
marker=".vx-sample-release"

for p in "$program" ${cli_program:+"$cli_program"}; do
  if [ ! -f "$p" ]; then
    echo "make_release: no program file at $p" >&2
    exit 1
  fi
done
# Only ever replace an earlier sample release, never some other folder.
if [ -e "$out" ]; then
  if [ -f "$out/$marker" ]; then
    rm -rf -- "$out"
  elif [ -d "$out" ] && [ -z "$(ls -A -- "$out")" ]; then
    rmdir -- "$out"
  else
    echo "make_release: $out exists and is not a sample release; choose another folder" >&2
    exit 1
  fi
fi

# fill FILE SIZE TEXT: writes SIZE bytes of TEXT repeated (each line TEXT and a line end).
fill() {
  mkdir -p "$(dirname "$1")"
  { yes "$3" || true; } | head -c "$2" >"$1"
}

mkdir -p "$out"
touch "$out/$marker"

fill "$out/MainFrame/vx500.bin" 65536 "VX500 mainframe firmware 2.1"
fill "$out/MainFrame/boot.cfg" 200 "boot=F0:/SYSTEM/vx500.bin"
fill "$out/MainFrame/LOGO/logo.bmp" 4096 "logo"
fill "$out/MainFrame/FONTS/fixed12.fnt" 3000 "font"

fill "$out/Target/PNB5/pnb5.bin" 20000 "PNB5 firmware"
fill "$out/Target/PNB5/SIGNAL/colorbar.sig" 8192 "PNB5 colour bars"
fill "$out/Target/PNB5/SIGNAL/ramp.sig" 8192 "PNB5 ramp"

fill "$out/Target/PCWX5/pcwx5.bin" 20000 "PCWX5 firmware"
fill "$out/Target/PCWX5/SIGNAL/multiburst.sig" 8192 "PCWX5 multiburst"
fill "$out/Target/PCWX5/FLEX/pcwx5_0.rpd" 16384 "PCWX5 configuration image 0"
fill "$out/Target/PCWX5/FLEX/pcwx5_1.rpd" 16384 "PCWX5 configuration image 1"

fill "$out/Target/RKS5/rks5.bin" 20000 "RKS5 firmware"
fill "$out/Target/RKS5/FLEX/rks5.rpd" 16384 "RKS5 configuration image"

fill "$out/Target/SCWH5/scwh5.bin" 20000 "SCWH5 firmware"
fill "$out/Target/SCWH5/SIGNAL/pluge.sig" 8192 "SCWH5 pluge"
fill "$out/Target/SCWH5/SIGNAL/HD/window.sig" 8192 "SCWH5 window"

fill "$out/Target/NQRM5/nqrm5.bin" 20000 "NQRM5 firmware"
fill "$out/Target/NQRM5/SIGNAL/noise.sig" 8192 "NQRM5 noise"

# The manifest as the releases' Windows tools write it: CR LF line ends.
manifest=(
  "; Sample VX500 release"
  "[ENTRY 1]" "id=1" "name=PNB5" "hasSignal=0"
  "[ENTRY 2]" "id=2" "name=PCWX5" "hasSignal=0" "rpdFile1=pcwx5_0.rpd" "rpdFile2=pcwx5_1.rpd"
  "[ENTRY 3]" "id=3" "name=RKS5" "hasSignal=0" "rpdFile1=rks5.rpd"
  "[ENTRY 4]" "id=4" "name=SCWH5" "hasSignal=0"
  "[ENTRY 5]" "id=5" "name=NQRM5" "hasSignal=1"
)
printf '%s\r\n' "${manifest[@]}" >"$out/vxUpgrade.ini"

cp -- "$program" "$out/vxupgrade"
chmod +x "$out/vxupgrade"
if [ -n "$cli_program" ]; then
  cp -- "$cli_program" "$out/vxupgrade-cli"
  chmod +x "$out/vxupgrade-cli"
fi
echo "make_release: sample release in $out"
