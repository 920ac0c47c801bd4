#!/usr/bin/env bash
# scripts/cpu_burn.sh: its busy loops run while the command runs, it exits
# with the command's status, and no loop outlives it, whether the command
# fails, the script is stopped with SIGTERM (which ends the command) or
# killed with SIGKILL.
# Usage: cpu_burn_test.sh <source tree>
set -u
burn="$1/scripts/cpu_burn.sh"
work=$(mktemp -d)
# Whatever a failing script left running ends with the test.
cleanup() {
    for f in "$work"/loops "$work"/killed "$work"/killed.command "$work"/stopped "$work"/stopped.command; do
        # shellcheck disable=SC2013 # one pid a word
        [ -f "$f" ] && for p in $(cut -c1-8 "$f"); do kill -KILL "$p" 2>/dev/null; done
    done
    rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() {
    echo "FAIL $*"
    failures=$((failures + 1))
}

# Whether every process given has ended within 3 s.
ended() {
    for _ in $(seq 30); do
        local running=0
        for p in "$@"; do
            kill -0 "$p" 2>/dev/null && running=1
        done
        [ "$running" -eq 0 ] && return 0
        sleep 0.1
    done
    return 1
}

# The command lists its siblings (the loops) with their state, and fails.
# shellcheck disable=SC2016 # expanded by the command's shell
list='ps -o pid= -o stat= --ppid $PPID | awk -v me=$$ '\''$1 != me'\'' >"$0"'
rc=0
"$burn" -j 2 -- sh -c "sleep 0.5; $list; exit 3" "$work/loops" || rc=$?
[ "$rc" -eq 3 ] || fail "exit status $rc, expected the command's 3"
[ "$(grep -c ' R' "$work/loops")" -eq 2 ] || fail "not 2 loops running beside the command: $(cat "$work/loops")"
# shellcheck disable=SC2046 # one pid a word
ended $(cut -c1-8 "$work/loops") || fail "loops outlived the script: $(cat "$work/loops")"

# Starts the script with one loop and a command that lists it, then sleeps
# (its pid in FILE.command); script is the script's pid.
start_sleeper() {
    "$burn" -j 1 -- sh -c "$list; echo \$\$ >\"\$0.command\"; exec sleep 60" "$1" &
    script=$!
    for _ in $(seq 50); do
        [ -s "$1.command" ] && break
        sleep 0.1
    done
}

# The script killed with SIGKILL while the command runs.
start_sleeper "$work/killed"
kill -KILL "$script"
wait "$script" 2>/dev/null
[ "$(wc -l <"$work/killed")" -eq 1 ] || fail "not 1 loop beside the command: $(cat "$work/killed")"
# shellcheck disable=SC2046 # one pid a word
ended $(cut -c1-8 "$work/killed") || fail "a loop outlived the script killed with SIGKILL"
kill -KILL "$(cat "$work/killed.command")" 2>/dev/null

# SIGTERM to the script ends the command at once, then the script with the
# command's status.
start_sleeper "$work/stopped"
start=$(date +%s)
kill -TERM "$script"
rc=0
wait "$script" || rc=$?
[ "$rc" -eq 143 ] || fail "SIGTERM: exit status $rc, expected 143 (the command's, ended by SIGTERM)"
[ $(($(date +%s) - start)) -le 5 ] || fail "SIGTERM: the script took $(($(date +%s) - start)) s to end"
# shellcheck disable=SC2046 # one pid a word
ended $(cut -c1-8 "$work/stopped") || fail "a loop outlived the script stopped with SIGTERM"

[ "$failures" -eq 0 ] && echo "cpu_burn.sh: passed"
[ "$failures" -eq 0 ]
