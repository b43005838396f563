#!/usr/bin/env bash
# Builds ORVEX with its test suite and runs every test through CTest.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

scripts/build.sh --tests
ctest --test-dir build --output-on-failure -j2
