#!/usr/bin/env bash
# Builds the libFuzzer targets (tests/fuzz, clang) and runs each one, on a
# copy of its seed corpus, for a fixed time or a fixed number of executions,
# as many at a time as there are processors:
#   scripts/fuzz.sh [--preset P] [SECONDS]   each target for SECONDS (default 25)
#   scripts/fuzz.sh [--preset P] --runs N    each target for N executions
# The targets come from the "fuzz" preset (fuzz targets only) unless --preset
# names another that builds them ("asan": the sanitizer build of the tests,
# which CI builds anyway). A crash, leak or sanitizer report fails the run;
# the reproducer is left in build/<preset>/artifacts/. Inputs are at most 4096
# bytes, unless the target's tests/fuzz/<name>.max_len holds another length
# (a file format longer than that).
set -euo pipefail
cd "$(dirname "$0")/.."

preset=fuzz
if [ "${1:-}" = "--preset" ]; then
    preset=${2:?preset name}
    shift 2
fi
limit="-max_total_time=${1:-25}"
if [ "${1:-}" = "--runs" ]; then
    limit="-runs=${2:?number of executions}"
fi

cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)" --target fuzzers
build="build/$preset"

artifacts="$build/artifacts"
mkdir -p "$artifacts"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# Runs one target; its output goes to $scratch/<name>.log, its status to
# $scratch/<name>.status.
fuzz_one() {
    local target=$1 name=$2 max_len=4096 status=0
    if [ -f "tests/fuzz/$name.max_len" ]; then
        max_len=$(cat "tests/fuzz/$name.max_len")
    fi
    # New inputs go to the scratch corpus; the seeds in the tree stay as they are.
    mkdir -p "$scratch/$name"
    "$target" "$limit" -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$artifacts/${name}-" "$scratch/$name" "tests/fuzz/corpus/$name" \
        >"$scratch/$name.log" 2>&1 || status=$?
    echo "$status" >"$scratch/$name.status"
}

names=()
for target in "$build"/tests/fuzz/fuzz_*; do
    [ -x "$target" ] || continue
    name=${target##*/fuzz_}
    names+=("$name")
    # At most one target per processor at a time.
    while [ "$(jobs -rp | wc -l)" -ge "$(nproc)" ]; do
        wait -n || true
    done
    fuzz_one "$target" "$name" &
done
wait

failed=0
for name in "${names[@]}"; do
    status=$(cat "$scratch/$name.status")
    echo "== fuzz $name ($limit)"
    grep -E '^(Done|stat::number_of_executed_units|stat::average_exec_per_sec|==[0-9]+==ERROR|SUMMARY)' \
        "$scratch/$name.log" || true
    if [ "$status" -ne 0 ]; then
        tail -n 40 "$scratch/$name.log" >&2
        echo "fuzz $name failed (status $status)" >&2
        failed=1
    fi
done
if [ ${#names[@]} -eq 0 ]; then
    echo "no fuzz targets in $build" >&2
    exit 1
fi
exit "$failed"
