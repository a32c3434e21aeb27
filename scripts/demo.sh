#!/usr/bin/env bash
# Installs what is missing, builds the program, lays out a sample release in build/release
# with the program copied into it, and opens the upgrade window on that release.
set -euo pipefail
top="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$top/build"
release="$build/release"

"$top/scripts/setup.sh"
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target vxupgrade
"$top/scripts/make_release.sh" "$release" "$build/app/vxupgrade"

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

start_window() {
  cd "$release"
  QT_QPA_PLATFORM=xcb ./vxupgrade
}

start_window
