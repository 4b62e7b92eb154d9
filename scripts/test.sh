#!/usr/bin/env bash
# Installs what is missing, builds everything, cross-builds the Windows executable and runs every
# test. With --sanitize the tests run under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
bash scripts/deps.sh "${BUILD_PACKAGES[@]}" "${TEX_PACKAGES[@]}" "${TEST_PACKAGES[@]}"

build=build
flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
if [ "${1:-}" = "--sanitize" ]; then
  build=build-asan
  flags=(-DCMAKE_BUILD_TYPE=Debug -DVELLORA_SANITIZE=ON)
fi

# The Windows executable must compile and link; Boost's headers reach the cross compiler through
# a directory that holds nothing else.
mkdir -p build-win/boost-include
ln -sfn /usr/include/boost build-win/boost-include/boost
cmake -S . -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release \
  -DVELLORA_TESTS=OFF -DVELLORA_BOOST_INCLUDE="$PWD/build-win/boost-include" >/dev/null
cmake --build build-win --target vellora-agent
echo "Windows build: build-win/vellora-agent.exe"

cmake -S . -B "$build" -G Ninja "${flags[@]}" >/dev/null
cmake --build "$build"
cd "$build"
ctest --output-on-failure -j2
