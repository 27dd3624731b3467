#!/usr/bin/env bash
# Builds the fuzz target (clang, libFuzzer, ASan and UBSan) into build/fuzz and prints its path.
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
build="${KORVEX_FUZZ_BUILD:-$repo/build/fuzz}"
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-1}"
# Warnings are errors when KORVEX_WERROR is ON, as CI sets it.
CXX="${CXX:-clang++}" cmake -S "$repo" -B "$build" -DKORVEX_FUZZ=ON -DKORVEX_WERROR="${KORVEX_WERROR:-OFF}" \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target korvex_fuzz_core >&2
echo "$build/korvex_fuzz_core"
