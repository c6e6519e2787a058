#!/usr/bin/env bash
# Builds Tessaline and runs an exchange end to end against the simulated
# device: a fax-password query through the access lock and the device channel.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -G Ninja
cmake --build build -j "$(nproc)"
ctest --test-dir build -R 'PasswordSetQueryRunsEndToEnd' --output-on-failure -V | grep -E 'RUN|OK|FAILED|Passed|tests passed'
