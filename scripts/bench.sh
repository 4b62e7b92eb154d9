#!/usr/bin/env bash
# Builds in Release and runs the benchmarks, each ratio printed next to its aim: upload throughput
# and memory, compile overhead and parallel compiles, incremental materialization, and the routes
# under their largest requests (prepare memory, diagnostics time, SyncTeX memory), and recompiles
# from a preamble's format against latexmk alone.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
bash scripts/deps.sh "${BUILD_PACKAGES[@]}" "${TEX_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-bench --target upload_bench compile_bench materialize_bench routes_bench preamble_bench \
  vellora-agent
./build-bench/bench/upload_bench
./build-bench/bench/compile_bench
./build-bench/bench/materialize_bench
./build-bench/bench/routes_bench
./build-bench/bench/preamble_bench
# A real browser's upload against a plain sink, where Chromium and Node.js are installed.
if command -v chromium >/dev/null && command -v node >/dev/null; then
  bash bench/browser/run.sh build-bench/vellora-agent
fi
