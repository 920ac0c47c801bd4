#!/usr/bin/env bash
# The server stopped by SIGTERM after a time of client churn: clients that
# send requests with bytes after their arguments (and long ones whose rest
# never comes or that no object serves, reset midway) and clients that send
# one-shot reads and reset the connection before, while or after the server
# answers, each request on a connection of its own (the soak's "trailing"
# and "readreset" clients). The clients are killed, and the signal comes a
# second later (with WHEN "during": while they still run). Fails unless the
# server ends with status 0 and logs its end, with no sanitizer report; the
# server's log is kept next to the server on a failure.
#   stop_after_churn.sh SERVER SOAK [SECONDS] [CLIENTS OF EACH KIND] [WHEN]
set -euo pipefail
server=$(realpath "$1")
soak=$(realpath "$2")
seconds=${3:-60}
clients=${4:-2}
when=${5:-after}

export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1} exitcode=66"
# TSan needs a fixed address space layout on some kernels.
norandom=(setarch "$(uname -m)" -R)

work=$(mktemp -d)
pid=""
pids=()
cleanup() {
    for p in "${pids[@]}"; do
        kill -KILL "$p" 2>/dev/null || true
    done
    if [ -n "$pid" ]; then
        kill -KILL "$pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

log="$(dirname "$server")/stop_after_churn.$$.log"
fail() {
    echo "FAIL: $*"
    if [ -f "$work/server.log" ]; then
        cp "$work/server.log" "$log"
        echo "---- server log: $log; its end:"
        tail -n 60 "$log"
    fi
    exit 1
}

# A port below the kernel's ephemeral range; another one when it is taken.
started=0
for attempt in 1 2 3 4 5; do
    port=$((20000 + (RANDOM * 32768 + RANDOM + $$) % 12768))
    mkdir -p "$work/root" "$work/cfg"
    "${norandom[@]}" "$server" --root "$work/root" --conf-dir "$work/cfg" --port "$port" >"$work/server.log" 2>&1 &
    pid=$!
    for _ in $(seq 1800); do
        if grep -q -F "zemtra-vuna running." "$work/server.log" || ! kill -0 "$pid" 2>/dev/null; then
            break
        fi
        sleep 0.1
    done
    if grep -q -F "Serving remote clients at" "$work/server.log" && kill -0 "$pid" 2>/dev/null; then
        started=1
        break
    fi
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    pid=""
    grep -q "Sanitizer" "$work/server.log" && fail "sanitizer report during start-up (attempt $attempt)"
done
[ "$started" -eq 1 ] || fail "the server did not start serving"

for kind in trailing readreset; do
    for _ in $(seq "$clients"); do
        "$soak" --client "$kind" --server "127.0.0.1:$port" --for $((seconds + 60)) >>"$work/clients.log" 2>&1 &
        pids+=("$!")
        disown "$!" # killed at the end without a word from the shell
    done
done
for _ in $(seq "$seconds"); do
    sleep 1
    kill -0 "$pid" 2>/dev/null || fail "the server died during the churn"
done
if [ "$when" != during ]; then
    for p in "${pids[@]}"; do
        kill -KILL "$p" 2>/dev/null || true
    done
    pids=()
    sleep 1
fi

kill -TERM "$pid"
rc=0
for _ in $(seq 1200); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
done
if kill -0 "$pid" 2>/dev/null; then
    fail "the server did not end within 120 s of SIGTERM"
fi
wait "$pid" || rc=$?
pid=""
grep -q "Sanitizer" "$work/server.log" && fail "sanitizer report"
[ "$rc" -eq 0 ] || fail "the server ended with status $rc after SIGTERM"
grep -q -F "zemtra-vuna ended." "$work/server.log" || fail "no clean end logged"
echo "stopped cleanly after $seconds s of churn by $((2 * clients)) clients"
