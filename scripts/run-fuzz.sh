#!/usr/bin/env bash
# Builds the fuzz targets over the state restore, the preset loader and the model loader (clang with
# AddressSanitizer and UndefinedBehaviorSanitizer, -O1 -g, NDEBUG) in build-fuzz/ and runs
# each through CTest for a bounded number of inputs. Longer runs, e.g.:
#   ORVEX_FUZZ_RUNS=1000000 ORVEX_FUZZ_SECONDS=3600 scripts/run-fuzz.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

runs=${ORVEX_FUZZ_RUNS:-20000}
seconds=${ORVEX_FUZZ_SECONDS:-60}
flags="-O1 -g -DNDEBUG"

scripts/install-deps.sh --tests

cmake -S . -B build-fuzz -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_C_FLAGS_RELWITHDEBINFO="$flags" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$flags" \
  -DORVEX_BUILD_FUZZERS=ON -DORVEX_BUILD_TESTS=OFF -DORVEX_BUILD_BENCHMARKS=OFF \
  -DORVEX_FUZZ_RUNS="$runs" -DORVEX_FUZZ_SECONDS="$seconds" > /dev/null
cmake --build build-fuzz --target orvex-fuzz-state-block orvex-fuzz-preset-file orvex-fuzz-model-file
ctest --test-dir build-fuzz -L fuzz --output-on-failure
