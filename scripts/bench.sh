#!/usr/bin/env bash
# Builds in Release and runs the benchmarks, each ratio printed next to its aim: upload throughput
# and memory (curl and a real browser), compile overhead, the first compile after start-up and
# parallel compiles, incremental materialization, the routes under their largest requests
# (prepare memory, diagnostics time, SyncTeX memory), and recompiles from a preamble's format
# against latexmk alone.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
bash scripts/deps.sh "${BUILD_PACKAGES[@]}" "${TEX_PACKAGES[@]}" "${TEST_PACKAGES[@]}" "${BENCH_PACKAGES[@]}"
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build-bench --target upload_bench compile_bench materialize_bench routes_bench preamble_bench \
  vellora-agent
./build-bench/bench/upload_bench
./build-bench/bench/compile_bench
./build-bench/bench/materialize_bench
./build-bench/bench/routes_bench
./build-bench/bench/preamble_bench
# A real browser's upload, as the editor sends it, against a plain sink.
bash bench/browser/run.sh build-bench/vellora-agent
