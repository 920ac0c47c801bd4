#!/usr/bin/env bash
# Builds the libFuzzer targets (tests/fuzz, "fuzz" preset, clang) and runs
# each one, on a copy of its seed corpus, for a fixed time or a fixed number
# of executions:
#   scripts/fuzz.sh [SECONDS]        each target for SECONDS (default 25)
#   scripts/fuzz.sh --runs N         each target for N executions
# A crash, leak or sanitizer report fails the run; the reproducer is left in
# build/fuzz/artifacts/. Inputs are at most 4096 bytes, unless the target's
# tests/fuzz/<name>.max_len holds another length (a file format longer than
# that).
set -euo pipefail
cd "$(dirname "$0")/.."

limit="-max_total_time=${1:-25}"
if [ "${1:-}" = "--runs" ]; then
    limit="-runs=${2:?number of executions}"
fi

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$(nproc)"

mkdir -p build/fuzz/artifacts
for target in build/fuzz/tests/fuzz/fuzz_*; do
    [ -x "$target" ] || continue
    name=${target##*/fuzz_}
    max_len=4096
    if [ -f "tests/fuzz/$name.max_len" ]; then
        max_len=$(cat "tests/fuzz/$name.max_len")
    fi
    work=$(mktemp -d)
    echo "== fuzz $name ($limit)"
    # New inputs go to the scratch corpus; the seeds in the tree stay as they are.
    status=0
    "$target" "$limit" -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="build/fuzz/artifacts/${name}-" "$work" "tests/fuzz/corpus/$name" \
        >"$work.log" 2>&1 || status=$?
    grep -E '^(Done|stat::number_of_executed_units|stat::average_exec_per_sec|==[0-9]+==ERROR|SUMMARY)' \
        "$work.log" || true
    if [ "$status" -ne 0 ]; then
        tail -n 40 "$work.log" >&2
    fi
    rm -f "$work.log"
    rm -rf "$work"
    if [ "$status" -ne 0 ]; then
        echo "fuzz $name failed (status $status)" >&2
        exit 1
    fi
done
