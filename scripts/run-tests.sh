#!/usr/bin/env bash
# Builds ORVEX with its test suite and runs every test through CTest, then the fuzz targets
# for a bounded number of inputs (scripts/run-fuzz.sh).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

scripts/build.sh --tests
ctest --test-dir build --output-on-failure -j2

# The state restore and the preset loader under libFuzzer with the sanitizers, briefly.
scripts/run-fuzz.sh
