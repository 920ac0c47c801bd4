#!/usr/bin/env bash
# Runs the soak of the remote export (tests/soak/remote_soak.cpp) again and
# again, several at once, while every core is kept busy (scripts/cpu_burn.sh),
# and stops at the first failed soak: a server that died, a sanitizer's
# report or leak (the ASan build runs with leak checking), growth past the
# soak's bounds, a client that crashed. No new soak starts then; those
# running end. Core dumps are enabled: a soak whose server died prints the
# stack of each of its threads and the end of its log, and keeps its folder
# (the server's log, and its core where the core pattern puts it there).
#   scripts/stress_soak.sh [--runs N] [--seconds S] [--parallel P]
#                          [--build default|asan|both] [--out DIR] [--no-burn]
#       N soaks in all (default 100; with both, the builds take turns) of S
#       seconds each (default 60), P at once (default 4); the builds'
#       remote_soak must be built (cmake --build --preset PRESET). Each
#       soak's output goes to DIR (default build/stress_soak), one file a run.
#       --no-burn: without the busy loops.
# Exits 0 when every soak passed, 1 at the first failure (saying where its
# output and files are), 2 on bad usage.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
    echo "usage: $0 [--runs N] [--seconds S] [--parallel P] [--build default|asan|both] [--out DIR] [--no-burn]" >&2
    exit 2
}
runs=100
seconds=60
parallel=4
build=default
out=build/stress_soak
burn=true
args=("$@")
while [ $# -gt 0 ]; do
    case $1 in
    --runs | --seconds | --parallel | --build | --out)
        [ $# -ge 2 ] || usage
        case $1 in
        --runs) runs=$2 ;;
        --seconds) seconds=$2 ;;
        --parallel) parallel=$2 ;;
        --build) build=$2 ;;
        --out) out=$2 ;;
        esac
        shift 2
        ;;
    --no-burn)
        burn=false
        shift
        ;;
    *) usage ;;
    esac
done
for number in "$runs" "$seconds" "$parallel"; do
    [[ $number =~ ^[1-9][0-9]*$ ]] || usage
done
case $build in
default | asan) builds=("$build") ;;
both) builds=(default asan) ;;
*) usage ;;
esac
for b in "${builds[@]}"; do
    [ -x "build/$b/tests/remote_soak" ] || {
        echo "no build/$b/tests/remote_soak: cmake --preset $b && cmake --build --preset $b" >&2
        exit 2
    }
done
if $burn; then
    ZV_STRESS_BURNING=1 exec scripts/cpu_burn.sh -- "$0" --no-burn "${args[@]}"
fi

# Core dumps where the hard limit lets them be.
ulimit -c unlimited 2>/dev/null || ulimit -c "$(ulimit -H -c)"
mkdir -p "$out"
echo "stress_soak: $runs soaks of $seconds s, $parallel at once, build ${builds[*]}," \
    "$([ -n "${ZV_STRESS_BURNING-}" ] && echo "every core kept busy" || echo "no busy loops");" \
    "core size limit $(ulimit -c), core pattern $(cat /proc/sys/kernel/core_pattern); output in $out"

# Each soak runs in a process group of its own (with its server and clients),
# so that an interrupted stress run stops them all.
set -m
declare -A running=() # pid -> output file
stop() {
    for pid in "${!running[@]}"; do
        kill -TERM -- "-$pid" 2>/dev/null || true
    done
    echo "stress_soak: interrupted after $started soaks ($passed passed); the soaks running were stopped"
    exit 130
}
trap stop INT TERM

started=0
passed=0
failed=
begin=$SECONDS
while :; do
    while [ -z "$failed" ] && [ "$started" -lt "$runs" ] && [ "${#running[@]}" -lt "$parallel" ]; do
        b=${builds[$((started % ${#builds[@]}))]}
        started=$((started + 1))
        file="$out/run-$started-$b.out"
        ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
            "build/$b/tests/remote_soak" --seconds "$seconds" --period 10 >"$file" 2>&1 &
        running[$!]=$file
    done
    [ "${#running[@]}" -gt 0 ] || break
    rc=0
    wait -n -p finished "${!running[@]}" || rc=$?
    file=${running[$finished]}
    unset "running[$finished]"
    if [ "$rc" -eq 0 ]; then
        passed=$((passed + 1))
        echo "$(date +%T) passed: $file ($passed of $runs)"
    else
        echo "$(date +%T) FAILED (status $rc): $file"
        grep -E "FAILED|its core|its log|files are kept|Sanitizer" "$file" | sed 's/^/    /' || true
        failed=${failed:+$failed }$file
    fi
done

if [ -n "$failed" ]; then
    echo "stress_soak: FAILED after $started soaks ($passed passed) in $((SECONDS - begin)) s; see $failed"
    exit 1
fi
echo "stress_soak: $passed soaks of $seconds s passed in $((SECONDS - begin)) s"
