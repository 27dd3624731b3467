#!/usr/bin/env bash
# Fuzzes the parsing core for SECONDS (default 60) on one core.
#
# New inputs that reach new code go to build/fuzz-corpus (or KORVEX_FUZZ_CORPUS), outside git; the
# run starts from them, the seeds (written afresh, see make_seeds.py), the committed corpus and the
# regression files. An input that crashes, hangs, leaks or shows undefined behaviour is written to
# build/fuzz-artifacts and ends the run with a failure.
set -euo pipefail
seconds="${1:-60}"
repo="$(cd "$(dirname "$0")/.." && pwd)"
target="$(bash "$repo/fuzz/build.sh")"
corpus="${KORVEX_FUZZ_CORPUS:-$repo/build/fuzz-corpus}"
seeds="$repo/build/fuzz-seeds"
artifacts="$repo/build/fuzz-artifacts"
mkdir -p "$corpus" "$seeds" "$artifacts" "$repo/fuzz/corpus" "$repo/fuzz/regressions"
python3 "$repo/fuzz/make_seeds.py" "$seeds"

# One process, so one core. Inputs are kept under 64 KB by default (longer seeds are cut there), which keeps
# runs fast; the replay reads every file whole.
exec "$target" -max_total_time="$seconds" -rss_limit_mb=2048 -malloc_limit_mb=1024 \
    -timeout=10 -max_len="${KORVEX_FUZZ_MAX_LEN:-65536}" -use_value_profile=1 -dict="$repo/fuzz/opus.dict" -print_final_stats=1 \
    -artifact_prefix="$artifacts/" \
    "$corpus" "$seeds" "$repo/fuzz/corpus" "$repo/fuzz/regressions"
