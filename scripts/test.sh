#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test: the Linux suite natively, then
# the Windows suite (cross-built with mingw-w64) under wine.
#   --sanitize   the Linux suite under AddressSanitizer and UndefinedBehaviorSanitizer
#   --linux      only the Linux suite
#   --windows    only the Windows suite
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh

build=build
flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
linux=1
windows=1
for arg in "$@"; do
  case "$arg" in
    --sanitize) build=build-asan; flags=(-DCMAKE_BUILD_TYPE=Debug -DVELLORA_SANITIZE=ON) ;;
    --linux) windows=0 ;;
    --windows) linux=0 ;;
    *) echo "usage: $0 [--sanitize] [--linux|--windows]" >&2; exit 2 ;;
  esac
done

packages=("${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}")
[ $linux = 1 ] && packages+=("${TEX_PACKAGES[@]}")
[ $windows = 1 ] && packages+=("${WINDOWS_TEST_PACKAGES[@]}")
bash scripts/deps.sh "${packages[@]}"

if [ $linux = 1 ]; then
  cmake -S . -B "$build" -G Ninja "${flags[@]}" >/dev/null
  cmake --build "$build"
  (cd "$build" && ctest --output-on-failure -j2)
fi

if [ $windows = 1 ]; then
  # Boost's headers reach the cross compiler through a directory that holds nothing else.
  mkdir -p build-win/boost-include
  ln -sfn /usr/include/boost build-win/boost-include/boost
  cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
    -DCMAKE_BUILD_TYPE=Release -DVELLORA_BOOST_INCLUDE="$PWD/build-win/boost-include" >/dev/null
  cmake --build build-win
  echo "Windows build: build-win/vellora-agent.exe"
  scripts/wine-prefix.sh build-win
  status=0
  # What wine cannot stand in for is labelled (see tests/CMakeLists.txt) and left out.
  (cd build-win && ctest --output-on-failure -j2 -LE 'not-under-wine|needs-windows-tex') ||
    status=$?
  # Leave no wine process behind.
  WINEPREFIX="$PWD/build-win/wine" wineserver -k 2>/dev/null || true
  exit $status
fi
