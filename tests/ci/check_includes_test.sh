#!/usr/bin/env bash
# .ci/check-includes on a small tree of its own: each case is one include
# line in a file of app/ (app may include platform/qstd, not sim; app/table.def
# is named only by an include of app/other.cpp) or of tests/ (which may
# include anything), whichever form it takes, and whether the check passes.
# Usage: check_includes_test.sh <source tree>
set -u
source=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# file | include line | 0: allowed, 1: refused
cases=(
    'app/main.cpp|#include "platform/qstd/log.h"|0'
    'app/main.cpp|#include <platform/qstd/log.h>|0'
    'app/main.cpp|#include <string>|0'
    'app/main.cpp|#include "sim/board.h"|1'
    'app/main.cpp|#include <sim/board.h>|1'
    'app/main.cpp|#include "platform/qstd/../../sim/board.h"|1'
    'app/main.cpp|#include <platform/qstd/../../sim/board.h>|1'
    'app/main.cpp|#include "../app/../sim/board.h"|1'
    'app/main.cpp|#include "sim/../platform/qstd/log.h"|0'
    'app/main.cpp|#include "../../outside.h"|1'
    # Headers and sources of every kind, and a file that only an include names.
    'app/inline.inl|#include "sim/board.h"|1'
    'app/template.ipp|#include <sim/board.h>|1'
    'app/types.hh|#include "sim/board.h"|1'
    'app/types.hh|#include "platform/qstd/log.h"|0'
    'app/source.cxx|#include "sim/board.h"|1'
    'app/table.def|#include "sim/board.h"|1'
    'app/table.def|#include "platform/qstd/log.h"|0'
    # Through a macro, or hidden behind a comment or include_next.
    'app/main.cpp|#include SIM_BOARD|1'
    'app/main.cpp|#define LOG "platform/qstd/log.h"\n#include LOG|1'
    'app/types.hh|#  include BOARD(sim)|1'
    'app/main.cpp|#include /* the board */ "sim/board.h"|1'
    'app/main.cpp|#include_next "sim/board.h"|1'
    'tests/x_test.cpp|#include SIM_BOARD|0'
)
for c in "${cases[@]}"; do
    file=${c%%|*}
    rest=${c#*|}
    line=${rest%|*}
    expect=${rest##*|}
    tree="$work/tree"
    rm -rf "$tree"
    mkdir -p "$tree/.ci" "$tree/app" "$tree/sim" "$tree/platform/qstd" "$tree/tests"
    cp "$source/.ci/check-includes" "$source/.ci/include-rules.txt" "$tree/.ci/"
    touch "$tree/sim/board.h" "$tree/platform/qstd/log.h" "$tree/app/table.def" "$work/outside.h"
    printf '#include "platform/qstd/log.h"\n#include "app/table.def"\n' >"$tree/app/other.cpp"
    printf '%b\n' "$line" >>"$tree/$file"
    rc=0
    bash "$tree/.ci/check-includes" >"$work/out" 2>&1 || rc=$?
    if [ "$rc" -ne "$expect" ]; then
        echo "FAIL $file: $line: exit $rc, expected $expect: $(cat "$work/out")"
        failures=$((failures + 1))
    fi
done
echo "$((${#cases[@]} - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
