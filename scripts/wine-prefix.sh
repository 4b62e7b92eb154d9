#!/usr/bin/env bash
# Makes the wine prefix the Windows tests run in: <build-dir>/wine, created once.
# Its z: drive (the whole Linux file system) is removed, so that Linux programs such as TeX Live
# in /usr/bin never appear as Windows programs; the build directory is drive v: instead.
# Usage: scripts/wine-prefix.sh <build-dir>
set -euo pipefail
build=$(cd "$1" && pwd)
export WINEPREFIX="$build/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export DISPLAY=  # no display: wine must never try to show a window

if [ ! -f "$WINEPREFIX/.vellora-ready" ]; then
  rm -rf "$WINEPREFIX"
  mkdir -p "$WINEPREFIX"
  wineboot -i >/dev/null 2>&1
  wineserver -w
  touch "$WINEPREFIX/.vellora-ready"
fi
# Wine's display-less driver: windows exist (the tray's hidden window, which the tests drive by its
# messages) without any screen.
wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
# Wine's own processes started before the setting (its desktop among them) would keep the driver
# they started with: end them, so that every later one starts with the display-less driver.
wineserver -k 2>/dev/null || true
wineserver -w
rm -f "$WINEPREFIX/dosdevices/z:"
ln -sfn "$build" "$WINEPREFIX/dosdevices/v:"
# Start wine's services once, so that the first test does not pay for it.
wine cmd /c exit >/dev/null 2>&1
