#!/usr/bin/env bash
# Stops the server with SIGTERM in the middle of mixed traffic, round after
# round: each round starts the server (as built, by default the ASan build,
# with leak checking) on a free port with a fresh --root, lets the clients
# of the soak (tests/soak/remote_soak.cpp, client mode) run for S seconds,
# sends SIGTERM while they still run, and checks that the server ends with
# status 0, logs its end and that its output holds no sanitizer report. The
# clients: getset x3, watch, stream, ondemand, read, trailing x2,
# readreset x2, stuck, flood, pipeline x2 (requests sent without reading a
# reply) and messages (Reply, LocateReply, CloseConnection and
# CancelRequest messages between requests). Builds nothing.
#   scripts/stop_under_traffic.sh [--rounds N] [--seconds S] [--server PATH]
#                                 [--soak PATH] [--out DIR]
#       N rounds (default 50) of S seconds of traffic (default 15); PATH of
#       the server (default build/asan/app/zemtra-vuna) and of the soak
#       program that runs the clients (default build/default/tests/remote_soak
#       when built, else the one beside the server's build); a failed
#       round's server log is kept in DIR (default build/stop_under_traffic).
# Prints a line a round and a summary; exits 0 when every round passed, 1
# when any failed, 2 on bad usage.
set -euo pipefail
cd "$(dirname "$0")/.."

usage() {
    echo "usage: $0 [--rounds N] [--seconds S] [--server PATH] [--soak PATH] [--out DIR]" >&2
    exit 2
}
rounds=50
seconds=15
server=build/asan/app/zemtra-vuna
soak=
out=build/stop_under_traffic
while [ $# -gt 0 ]; do
    [ $# -ge 2 ] || usage
    case $1 in
    --rounds) rounds=$2 ;;
    --seconds) seconds=$2 ;;
    --server) server=$2 ;;
    --soak) soak=$2 ;;
    --out) out=$2 ;;
    *) usage ;;
    esac
    shift 2
done
for number in "$rounds" "$seconds"; do
    [[ $number =~ ^[1-9][0-9]*$ ]] || usage
done
if [ -z "$soak" ]; then
    soak=build/default/tests/remote_soak
    [ -x "$soak" ] || soak="$(dirname "$server")/../tests/remote_soak"
fi
for program in "$server" "$soak"; do
    [ -x "$program" ] || {
        echo "no program $program (build it first)" >&2
        exit 2
    }
done
server=$(realpath "$server")
soak=$(realpath "$soak")
mkdir -p "$out"

# The clients: soak client kind and how many of it.
clients=(getset:3 watch:1 stream:1 ondemand:1 read:1 trailing:2 readreset:2 stuck:1 flood:1 pipeline:2 messages:1)
# Time the server may take to start (ASan's start is slow on a busy
# machine) and to end after SIGTERM.
start_deadline=1800 # tenths of a second
stop_deadline=1200

work=$(mktemp -d)
pid=""
pids=()
stop_clients() {
    for p in "${pids[@]}"; do
        kill -KILL "$p" 2>/dev/null || true
    done
    for p in "${pids[@]}"; do
        wait "$p" 2>/dev/null || true
    done
    pids=()
}
cleanup() {
    stop_clients
    if [ -n "$pid" ]; then
        kill -KILL "$pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# A port below the kernel's range of ephemeral ports that nothing listens
# on; the server's own bind decides in the end.
free_port() {
    local port
    for _ in $(seq 50); do
        port=$((20000 + (RANDOM * 32768 + RANDOM) % 12768))
        if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
            echo "$port"
            return
        fi
    done
    return 1
}

# Starts the server in $work/round (port in $port, pid in $pid); false when
# it does not come to serve.
start_server() {
    local attempt
    for attempt in 1 2 3; do
        rm -rf "$work/round"
        mkdir -p "$work/round/root" "$work/round/cfg"
        port=$(free_port) || return 1
        ASAN_OPTIONS="detect_leaks=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}" \
            UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}" \
            "$server" --root "$work/round/root" --conf-dir "$work/round/cfg" --port "$port" \
            >"$work/round/server.log" 2>&1 &
        pid=$!
        for _ in $(seq $start_deadline); do
            if grep -q -F "Serving remote clients at" "$work/round/server.log" || ! kill -0 "$pid" 2>/dev/null; then
                break
            fi
            sleep 0.1
        done
        if grep -q -F "Serving remote clients at" "$work/round/server.log" && kill -0 "$pid" 2>/dev/null; then
            return 0
        fi
        kill -KILL "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
        pid=""
        # A sanitizer's report at start-up is a failure of its own.
        grep -q -E "Sanitizer|runtime error" "$work/round/server.log" && return 1
    done
    return 1
}

# One round; prints its line and returns 1 when it failed.
round() {
    local n=$1 why="" rc=0 entry kind count begin stopped
    if ! start_server; then
        why="the server did not start serving"
    else
        for entry in "${clients[@]}"; do
            kind=${entry%%:*}
            count=${entry#*:}
            for _ in $(seq "$count"); do
                "$soak" --client "$kind" --server "127.0.0.1:$port" --count "$([ "$kind" = stuck ] && echo 50 || echo 200)" \
                    --for $((seconds + 120)) >>"$work/round/clients.log" 2>&1 &
                pids+=("$!")
            done
        done
        for _ in $(seq "$seconds"); do
            sleep 1
            kill -0 "$pid" 2>/dev/null || break
        done
        if ! kill -0 "$pid" 2>/dev/null; then
            why="the server died during the traffic"
        else
            begin=$SECONDS
            kill -TERM "$pid"
            for _ in $(seq $stop_deadline); do
                kill -0 "$pid" 2>/dev/null || break
                sleep 0.1
            done
            stopped=$((SECONDS - begin))
            if kill -0 "$pid" 2>/dev/null; then
                why="the server did not end within $((stop_deadline / 10)) s of SIGTERM"
                kill -KILL "$pid" 2>/dev/null || true
            fi
        fi
        wait "$pid" || rc=$?
        pid=""
        stop_clients
        if [ -z "$why" ]; then
            if grep -q -E "Sanitizer|runtime error" "$work/round/server.log"; then
                why="sanitizer report (status $rc): $(grep -m 1 -E "SUMMARY|ERROR" "$work/round/server.log" || true)"
            elif [ "$rc" -ne 0 ]; then
                why="the server ended with status $rc"
            elif ! grep -q -F "zemtra-vuna ended." "$work/round/server.log"; then
                why="no clean end logged"
            fi
        fi
    fi
    if [ -n "$why" ]; then
        cp "$work/round/server.log" "$out/round-$n.server.log" 2>/dev/null || true
        echo "round $n: FAILED: $why (its server log: $out/round-$n.server.log)"
        return 1
    fi
    echo "round $n: passed (ended ${stopped} s after SIGTERM)"
}

echo "stop_under_traffic: $rounds rounds of $seconds s; server $server, clients of $soak"
failures=0
begin_all=$SECONDS
for n in $(seq "$rounds"); do
    round "$n" || failures=$((failures + 1))
done
echo "stop_under_traffic: $rounds rounds, $failures failed, $((rounds - failures)) passed in $((SECONDS - begin_all)) s"
[ "$failures" -eq 0 ]
