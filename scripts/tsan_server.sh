#!/usr/bin/env bash
# Runs the whole server, built with ThreadSanitizer, on the default simulated
# chassis as a user would: start on a free port with its own root, a reader
# of every signal kind (streams, on-demand signals, events), remote reads and
# writes with zemtra-tool (also under TSan), the Ethernet streamer sending,
# then SIGTERM. Fails unless the server and every tool call exit as expected
# with no ThreadSanitizer report.
#   scripts/tsan_server.sh [BUILD_DIR]    (default build/tsan; builds its
#                                          zemtra-vuna and zemtra-tool)
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build/tsan}
if [ $# -eq 0 ]; then
    cmake --preset tsan >/dev/null
    cmake --build --preset tsan -j "$(nproc)" --target zemtra-vuna zemtra-tool
fi
server="$build/app/zemtra-vuna"
tool="$build/tools/zemtra-tool/zemtra-tool"

export TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1"
# TSan needs a fixed address space layout on some kernels.
norandom=(setarch "$(uname -m)" -R)

work=$(mktemp -d)
pid=""
cleanup() {
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
        kill -KILL "$pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# The server's log stays next to the build for a look after a failure.
log="$build/tsan_server.log"
fail() {
    echo "FAIL: $*"
    if [ -f "$work/server.log" ]; then
        cp "$work/server.log" "$log"
        echo "---- server log: $log; its reports:"
        sed -n '/WARNING: ThreadSanitizer/,/^SUMMARY: ThreadSanitizer/p' "$log"
    fi
    exit 1
}

# A port that nothing listens on; the server's own bind decides in the end.
free_port() {
    local port
    for _ in $(seq 50); do
        port=$((20000 + RANDOM % 40000))
        if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
            echo "$port"
            return
        fi
    done
    return 1
}

started=0
for attempt in 1 2 3; do
    port=$(free_port) || fail "no free port"
    mkdir -p "$work/root"
    "${norandom[@]}" "$server" --root "$work/root" --port "$port" >"$work/server.log" 2>&1 &
    pid=$!
    # Start-up under TSan takes a while: wait for it, or for the end.
    for _ in $(seq 1200); do
        if grep -q -F "zemtra-vuna running." "$work/server.log" || ! kill -0 "$pid" 2>/dev/null; then
            break
        fi
        sleep 0.1
    done
    if grep -q -F "Serving remote clients at" "$work/server.log"; then
        started=1
        break
    fi
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
    pid=""
    grep -q "ThreadSanitizer" "$work/server.log" && fail "ThreadSanitizer report during start-up (attempt $attempt)"
done
[ "$started" -eq 1 ] || fail "the server did not start serving"

# run_tool <expected status> <output file> ARGS...
run_tool() {
    local expect=$1 out=$2 rc=0
    shift 2
    "${norandom[@]}" "$tool" --server "127.0.0.1:$port" "$@" >"$out" 2>&1 || rc=$?
    if [ "$rc" -ne "$expect" ]; then
        cat "$out"
        fail "zemtra-tool $* exited $rc, expected $expect"
    fi
}

# Readers at once: streams (FA, SA, the synthetic PLL stream), on-demand
# signals (history DDC and its derived amplitudes, the GDX FA history in
# mode 13) and events.
readers=()
n=0
for args in "raf3.signals.fa --count 3000" "raf4.signals.sa --count 2" "tim.pll --count 3" \
    "raf5.signals.ddc_raw --count 500" "raf6.signals.tdp_synthetic --count 500" \
    "gdx.signals.fa --count 2000" "raf3.signals.event --count 3" "gdx.signals.event --count 1"; do
    n=$((n + 1))
    # shellcheck disable=SC2086
    "${norandom[@]}" "$tool" --server "127.0.0.1:$port" read $args >"$work/read$n" 2>&1 &
    readers+=("$!:$args")
done

# Remote reads and writes meanwhile, one of them refused; the orbit
# streamer sends to loopback.
run_tool 0 "$work/get" get raf3.clock_info.adc_frequency
grep -q -x "117440043" "$work/get" || fail "adc_frequency reads $(cat "$work/get")"
run_tool 0 "$work/set" set custom fa_clk
run_tool 0 "$work/get" get custom
grep -q -x "fa_clk" "$work/get" || fail "custom reads $(cat "$work/get")"
run_tool 1 "$work/set" set tim.pll.vcxo_offset 30000
run_tool 0 "$work/set" set tim.pll.vcxo_offset 100
run_tool 0 "$work/set" set raf4.average_sum.trigger_count 2
run_tool 0 "$work/set" set gdx.gbe_orbit.dest.ip 127.0.0.1
run_tool 0 "$work/set" set gdx.gbe_orbit.dest.port "$(free_port)"
run_tool 0 "$work/set" set gdx.gbe_orbit.enable true
run_tool 0 "$work/ls" ls raf3

n=0
for reader in "${readers[@]}"; do
    n=$((n + 1))
    rpid=${reader%%:*}
    args=${reader#*:}
    rc=0
    wait "$rpid" || rc=$?
    [ "$rc" -eq 0 ] || { cat "$work/read$n"; fail "zemtra-tool read $args exited $rc"; }
    # A header line, then one line an atom.
    lines=$(wc -l <"$work/read$n")
    [ "$lines" -eq $((${args##* } + 1)) ] || fail "zemtra-tool read $args gave $lines lines"
done
run_tool 0 "$work/set" set gdx.gbe_orbit.enable false

kill -TERM "$pid"
rc=0
wait "$pid" || rc=$?
pid=""
if grep -q "ThreadSanitizer" "$work/server.log"; then
    fail "ThreadSanitizer report"
fi
[ "$rc" -eq 0 ] || fail "the server exited $rc after SIGTERM"
grep -q -F "zemtra-vuna ended." "$work/server.log" || fail "no clean end"
echo "TSan run of the whole server: no report"
