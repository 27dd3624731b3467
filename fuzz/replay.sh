#!/usr/bin/env bash
# Runs every input once through the fuzz target: the committed corpus, the regression files, the
# seeds and the corpus that fuzzing keeps outside git (when there is one). Fails on any crash, hang,
# leak or undefined behaviour.
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
target="$(bash "$repo/fuzz/build.sh")"
seeds="$repo/build/fuzz-seeds"
mkdir -p "$seeds" "$repo/fuzz/corpus" "$repo/fuzz/regressions"
python3 "$repo/fuzz/make_seeds.py" "$seeds"
directories=("$repo/fuzz/corpus" "$repo/fuzz/regressions" "$seeds")
corpus="${KORVEX_FUZZ_CORPUS:-$repo/build/fuzz-corpus}"
if [ -d "$corpus" ]; then
    directories+=("$corpus")
fi
files=()
while IFS= read -r -d '' file; do
    files+=("$file")
done < <(find "${directories[@]}" -type f ! -name '.*' -print0)
artifacts="$repo/build/fuzz-artifacts"
mkdir -p "$artifacts"
echo "replaying ${#files[@]} inputs" >&2
# Given files (not directories), libFuzzer runs each once, in full, and stops at the first failure.
log="$(mktemp)"
trap 'rm -f "$log"' EXIT
status=0
printf '%s\0' "${files[@]}" | xargs -0 -n 500 "$target" -rss_limit_mb=2048 -malloc_limit_mb=1024 -timeout=10 \
    -artifact_prefix="$artifacts/" >"$log" 2>&1 || status=$?
if [ "$status" -ne 0 ]; then
    grep -v '^Running: \|^Executed ' "$log" >&2
    echo "replay failed (status $status); the failing input is in $artifacts" >&2
    exit 1
fi
echo "replayed $(grep -c '^Executed ' "$log") inputs: no failure" >&2
