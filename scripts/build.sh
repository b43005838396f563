#!/usr/bin/env bash
# Configures and builds ORVEX (Release) into build/. Pass --tests to build the test suite and
# benchmarks as well. Installs missing Debian packages first.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

with_tests=OFF
deps_flag=()
if [[ "${1:-}" == "--tests" ]]; then with_tests=ON; deps_flag=(--tests); fi

scripts/install-deps.sh "${deps_flag[@]}"

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DORVEX_BUILD_TESTS=$with_tests -DORVEX_BUILD_BENCHMARKS=$with_tests > /dev/null
cmake --build build
