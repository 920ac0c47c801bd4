#!/usr/bin/env bash
# .ci/check-includes on a small tree of its own: each case is one include of
# app/main.cpp (app may include platform/qstd, not sim), whichever form it
# takes, and whether the check passes.
# Usage: check_includes_test.sh <source tree>
set -u
source=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# include text | 0: allowed, 1: refused
cases=(
    '"platform/qstd/log.h"|0'
    '<platform/qstd/log.h>|0'
    '<string>|0'
    '"sim/board.h"|1'
    '<sim/board.h>|1'
    '"platform/qstd/../../sim/board.h"|1'
    '<platform/qstd/../../sim/board.h>|1'
    '"../app/../sim/board.h"|1'
    '"sim/../platform/qstd/log.h"|0'
    '"../../outside.h"|1'
)
for c in "${cases[@]}"; do
    include=${c%|*}
    expect=${c##*|}
    tree="$work/tree"
    rm -rf "$tree"
    mkdir -p "$tree/.ci" "$tree/app" "$tree/sim" "$tree/platform/qstd"
    cp "$source/.ci/check-includes" "$source/.ci/include-rules.txt" "$tree/.ci/"
    touch "$tree/sim/board.h" "$tree/platform/qstd/log.h" "$work/outside.h"
    printf '#include "platform/qstd/log.h"\n' >"$tree/app/other.cpp"
    printf '#include %s\n' "$include" >"$tree/app/main.cpp"
    rc=0
    bash "$tree/.ci/check-includes" >"$work/out" 2>&1 || rc=$?
    if [ "$rc" -ne "$expect" ]; then
        echo "FAIL #include $include: exit $rc, expected $expect: $(cat "$work/out")"
        failures=$((failures + 1))
    fi
done
echo "$((${#cases[@]} - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
