#!/usr/bin/env bash
# Installs what is missing, builds vellora-agent and runs it on 127.0.0.1:47474
# (VELLORA_AGENT_PORT changes the port). Arguments are passed to the agent.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/packages.sh
bash scripts/deps.sh "${BUILD_PACKAGES[@]}" "${TEX_PACKAGES[@]}"

cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELLORA_TESTS=OFF >/dev/null
cmake --build build-release --target vellora-agent
exec ./build-release/vellora-agent "$@"
