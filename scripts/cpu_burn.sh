#!/usr/bin/env bash
# Runs a command while every core of the machine is kept busy, as on a
# machine whose other users load it: one busy loop per core (at the normal
# priority), then the command. The loops end with the command whatever
# happens: they are killed when this script ends (the command's end or
# failure; SIGTERM or Ctrl-C, which the script passes on to the command),
# and each one ends by itself within a moment once the script is gone
# (killed with SIGKILL).
#   scripts/cpu_burn.sh [-j N] -- COMMAND [ARGS...]
#       N: busy loops (default: the number of cores)
# Exits with the command's status.
# Example: scripts/cpu_burn.sh -- ctest --preset default -R X --repeat until-fail:50
set -euo pipefail

usage() {
    echo "usage: $0 [-j N] -- COMMAND [ARGS...]" >&2
    exit 2
}
loops=$(nproc)
while [ $# -gt 0 ]; do
    case $1 in
    -j)
        [ $# -ge 2 ] || usage
        loops=$2
        shift 2
        ;;
    --)
        shift
        break
        ;;
    *) usage ;;
    esac
done
[ $# -gt 0 ] || usage
[[ $loops =~ ^[0-9]+$ ]] || usage

script=$$
burners=()
# shellcheck disable=SC2317 # called by the trap
stop() {
    for burner in "${burners[@]}"; do
        kill -KILL "$burner" 2>/dev/null || true
    done
    for burner in "${burners[@]}"; do
        wait "$burner" 2>/dev/null || true
    done
}
trap stop EXIT

for _ in $(seq "$loops"); do
    # Busy, with a look every 10,000 rounds (about 25 ms of a core) whether
    # the script still runs: a loop that the machine's load leaves a tenth
    # of a core still ends within a moment of the script's end.
    (
        trap - EXIT INT TERM
        while kill -0 "$script" 2>/dev/null; do
            for ((i = 0; i < 10000; i++)); do :; done
        done
    ) &
    burners+=("$!")
done

# The command runs as a child that this script waits for, so that SIGTERM
# or SIGINT sent to the script reaches it at once (a foreground command
# would first have to end); its signals as if it ran in the foreground.
(
    trap - INT QUIT
    exec "$@"
) <&0 &
command=$!
trap 'kill -TERM "$command" 2>/dev/null || true' TERM
trap 'kill -INT "$command" 2>/dev/null || true' INT
while :; do
    rc=0
    wait "$command" || rc=$?
    # A signal that came to the script ended the wait, not the command.
    if [ "$rc" -gt 128 ] && kill -0 "$command" 2>/dev/null; then
        continue
    fi
    break
done
exit "$rc"
