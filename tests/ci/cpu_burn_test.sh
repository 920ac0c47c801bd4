#!/usr/bin/env bash
# scripts/cpu_burn.sh: its busy loops run while the command runs, it exits
# with the command's status, and no loop outlives it, whether the command
# fails, the script is stopped with SIGTERM (which ends the command) or
# killed with SIGKILL. Every wait is for an event, with a deadline that a
# machine whose every core is busy keeps.
# Usage: cpu_burn_test.sh <source tree>
set -u
burn="$1/scripts/cpu_burn.sh"
work=$(mktemp -d)
# The processes of the test, "PID:START" (START: the start time the kernel
# gives, so that a pid taken again by another process is not mistaken for
# one of them).
identified=()
# Whatever a failing script left running ends with the test.
cleanup() {
    for id in "${identified[@]}"; do
        ! running "$id" || kill -KILL "${id%:*}" 2>/dev/null
    done
    rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() {
    echo "FAIL $*"
    failures=$((failures + 1))
}

# Sets state and started to the state and start time of a process; false
# when there is none.
stat_of() {
    local stat
    stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
    # The fields after the name (which may hold blanks): the state is field
    # 3, the start time field 22.
    # shellcheck disable=SC2086 # one field a word
    set -- ${stat##*) }
    state=$1
    started=${20}
}

# Prints PID:START for each pid given, of the processes that run (a zombie
# has ended: whoever adopted it may reap it late, or never).
identify() {
    local p
    for p in "$@"; do
        if stat_of "$p" && [ "$state" != Z ]; then
            echo "$p:$started"
        fi
    done
}

# Whether the process PID:START runs.
running() {
    stat_of "${1%:*}" && [ "$state" != Z ] && [ "$started" = "${1#*:}" ]
}

# Whether every process given (PID:START) has ended within 30 s.
ended() {
    for _ in $(seq 300); do
        local id left=0
        for id in "$@"; do
            ! running "$id" || left=1
        done
        [ "$left" -eq 0 ] && return 0
        sleep 0.1
    done
    return 1
}

# The command lists its siblings (the loops) with their state, and fails.
# shellcheck disable=SC2016 # expanded by the command's shell
list='ps -o pid= -o stat= --ppid $PPID | awk -v me=$$ '\''$1 != me'\'' >"$0"'
# The loops that the command listed (they have ended when the script has:
# it reaps them).
rc=0
"$burn" -j 2 -- sh -c "sleep 0.5; $list; exit 3" "$work/loops" || rc=$?
[ "$rc" -eq 3 ] || fail "exit status $rc, expected the command's 3"
[ "$(grep -c ' R' "$work/loops")" -eq 2 ] || fail "not 2 loops running beside the command: $(cat "$work/loops")"
# shellcheck disable=SC2046 # one pid a word
[ -z "$(identify $(cut -c1-8 "$work/loops"))" ] || fail "loops outlived the script: $(cat "$work/loops")"

# Starts the script with one loop and a command that lists it, then sleeps
# (its pid in FILE.command), and waits until it sleeps; script is the
# script's pid, loops the loops that run (PID:START).
start_sleeper() {
    "$burn" -j 1 -- sh -c "$list; echo \$\$ >\"\$0.command\"; exec sleep 60" "$1" &
    script=$!
    identified+=("$(identify "$script")")
    for _ in $(seq 600); do
        [ -s "$1.command" ] && break
        sleep 0.1
    done
    # shellcheck disable=SC2046 # one pid a word
    loops=$(identify $(cut -c1-8 "$1" 2>/dev/null))
    command=$(identify "$(cat "$1.command" 2>/dev/null)")
    # shellcheck disable=SC2206 # one process a word
    identified+=($loops $command)
    [ -s "$1.command" ] || fail "$1: the command did not start within 60 s"
}

# The script killed with SIGKILL while the command runs.
start_sleeper "$work/killed"
kill -KILL "$script"
wait "$script" 2>/dev/null
[ "$(echo "$loops" | wc -w)" -eq 1 ] || fail "not 1 loop running beside the command: $(cat "$work/killed")"
# shellcheck disable=SC2086 # one process a word
ended $loops || fail "a loop outlived the script killed with SIGKILL by 30 s"
kill -KILL "$(cat "$work/killed.command")" 2>/dev/null

# SIGTERM to the script ends the command at once (not after its 60 s), then
# the script with the command's status.
start_sleeper "$work/stopped"
start=$(date +%s)
kill -TERM "$script"
rc=0
wait "$script" || rc=$?
[ "$rc" -eq 143 ] || fail "SIGTERM: exit status $rc, expected 143 (the command's, ended by SIGTERM)"
[ $(($(date +%s) - start)) -le 30 ] || fail "SIGTERM: the script took $(($(date +%s) - start)) s to end"
# shellcheck disable=SC2086 # one process a word
ended $loops || fail "a loop outlived the script stopped with SIGTERM by 30 s"

[ "$failures" -eq 0 ] && echo "cpu_burn.sh: passed"
[ "$failures" -eq 0 ]
