#!/usr/bin/env bash
# Runs the whole server, built with ThreadSanitizer, on the default simulated
# chassis as a user would: start on a free port with its own root, a reader
# of every signal kind (streams, on-demand signals, events), remote reads and
# writes with zemtra-tool (also under TSan), the Ethernet streamer sending.
# Then mixed traffic for a fixed time: readers of the FA, SA and TBT signals
# again and again, two watches, and writes and reads of every kind of
# persistent node in a loop (grouping size and time-out, custom connector,
# VCXO offset, average-sum count, MDIO registers, and bit fields of RAF
# register words that their owners read-modify-write: TBT debug NCO, spike
# removal and ADC mask, DSC switching source; and words that the chassis'
# trigger thread reads: second-maximum restart, timing state machine's
# window) while the configuration is stored after the changes. Then SIGTERM.
# Fails unless the server and every tool call exit as expected with no
# ThreadSanitizer report.
#   scripts/tsan_server.sh [--seconds N] [--traffic-tool TOOL] [BUILD_DIR]
#       N: seconds of mixed traffic (default 60); TOOL: the zemtra-tool of
#       the traffic's many short calls (default BUILD_DIR's; a build without
#       TSan costs far less CPU: every start of a TSan program maps its
#       shadow memory); BUILD_DIR: default build/tsan, whose zemtra-vuna and
#       zemtra-tool it then builds
set -euo pipefail
cd "$(dirname "$0")/.."

# Seconds of mixed traffic: time for the store's saves (500 ms after a
# change) to meet many writes and reads.
seconds=60
traffic_tool=
while [ $# -gt 1 ]; do
    case $1 in
    --seconds) seconds=$2 ;;
    --traffic-tool) traffic_tool=$2 ;;
    *) break ;;
    esac
    shift 2
done
build=${1:-build/tsan}
if [ $# -eq 0 ]; then
    cmake --preset tsan >/dev/null
    cmake --build --preset tsan -j "$(nproc)" --target zemtra-vuna zemtra-tool
fi
server="$build/app/zemtra-vuna"
tool="$build/tools/zemtra-tool/zemtra-tool"
traffic_tool=${traffic_tool:-$tool}

export TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1"
# TSan needs a fixed address space layout on some kernels.
norandom=(setarch "$(uname -m)" -R)

work=$(mktemp -d)
pid=""
# Clients in the background: the traffic loops and the watches.
clients=()
cleanup() {
    for client in "${clients[@]}"; do
        kill -KILL "$client" 2>/dev/null || true
    done
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
# Below the kernel's range of ephemeral ports (32768 and up), as the C++
# tests pick theirs (tests/common/free_port.h): any port of that range may be
# the local port of a client's connection.
free_port() {
    local port
    for _ in $(seq 50); do
        port=$((20000 + RANDOM % 12768))
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

# Mixed traffic until the deadline. Each loop stops early when the server is
# gone and leaves what went wrong in its .fail file.
deadline=$((SECONDS + seconds))
# repeat <name> <expected lines> ARGS...: one zemtra-tool read after another.
repeat_read() {
    local name=$1 lines=$2 rounds=0 rc
    shift 2
    while [ $SECONDS -lt $deadline ] && kill -0 "$pid" 2>/dev/null; do
        rc=0
        "${norandom[@]}" "$traffic_tool" --server "127.0.0.1:$port" read "$@" >"$work/$name.out" 2>&1 || rc=$?
        if [ "$rc" -ne 0 ] || [ "$(wc -l <"$work/$name.out")" -ne "$lines" ]; then
            { echo "zemtra-tool read $* exited $rc:"; tail -n 3 "$work/$name.out"; } >"$work/$name.fail"
            return
        fi
        rounds=$((rounds + 1))
    done
    echo "$rounds" >"$work/$name.rounds"
}
# The writes and reads: each value read back as written (the MDIO register
# reads the PHY's word, not the one written; the ADC mask reads all its bits).
set_and_get() {
    local path=$1 value=$2 expect=$3 rc=0
    "${norandom[@]}" "$traffic_tool" --server "127.0.0.1:$port" set "$path" "$value" >"$work/loop.out" 2>&1 || rc=$?
    [ "$rc" -eq 0 ] || {
        echo "zemtra-tool set $path $value exited $rc: $(cat "$work/loop.out")" >"$work/loop.fail"
        return 1
    }
    "${norandom[@]}" "$traffic_tool" --server "127.0.0.1:$port" get "$path" >"$work/loop.out" 2>&1 || rc=$?
    if [ "$rc" -ne 0 ] || { [ -n "$expect" ] && [ "$(cat "$work/loop.out")" != "$expect" ]; }; then
        echo "zemtra-tool get $path exited $rc: $(cat "$work/loop.out"), expected $expect" >"$work/loop.fail"
        return 1
    fi
}
write_loop() {
    local i=0 custom flag source restart
    while [ $SECONDS -lt $deadline ] && kill -0 "$pid" 2>/dev/null; do
        i=$((i + 1))
        custom=$([ $((i % 2)) -eq 0 ] && echo fa_clk || echo fofb_switch)
        flag=$([ $((i % 2)) -eq 0 ] && echo true || echo false)
        source=$([ $((i % 2)) -eq 0 ] && echo External || echo Internal)
        restart=$([ $((i % 2)) -eq 0 ] && echo OnTrigger || echo OnRead)
        set_and_get gdx.group_size $((i % 4 + 1)) $((i % 4 + 1)) &&
            set_and_get gdx.grouping.timeout $((1000 + i % 100)) $((1000 + i % 100)) &&
            set_and_get custom "$custom" "$custom" &&
            set_and_get tim.pll.vcxo_offset $((i % 3 * 20 - 20)) $((i % 3 * 20 - 20)) &&
            set_and_get raf4.average_sum.trigger_count $((i % 5 + 1)) $((i % 5 + 1)) &&
            set_and_get gdx.gbe_orbit.mdio.addr $((i % 2)) $((i % 2)) &&
            set_and_get gdx.gbe_orbit.mdio.reg $((i % 32)) "" &&
            set_and_get raf3.tbt.dbg_enable "$flag" "$flag" &&
            set_and_get raf3.tbt.dbg_frequency $((1000 + i % 100)) $((1000 + i % 100)) &&
            set_and_get raf3.tbt.spike_removal.window $((i % 128)) $((i % 128)) &&
            set_and_get raf3.tbt.adc_mask $((i % 2)) "" &&
            set_and_get raf3.conf.switching_source "$source" "$source" &&
            set_and_get raf3.conf.second_max_reset "$restart" "$restart" &&
            set_and_get raf3.tsm.offset $((i % 100)) $((i % 100)) &&
            set_and_get raf3.tsm.duration $((4096 + i % 2 * 4096)) $((4096 + i % 2 * 4096)) || return
    done
    echo "$i" >"$work/loop.rounds"
}
repeat_read fa 3001 raf3.signals.fa --count 3000 &
clients+=("$!")
repeat_read sa 3 raf4.signals.sa --count 2 &
clients+=("$!")
repeat_read tbt 501 raf5.signals.tdp_synthetic --count 500 &
clients+=("$!")
# Watches of values that the writes change, each for some values, one
# after the other (under TSan too); at the end the one still watching is
# interrupted.
repeat_watch() {
    local name=$1 path=$2 rounds=0 rc wpid
    while [ $SECONDS -lt $deadline ] && kill -0 "$pid" 2>/dev/null; do
        "${norandom[@]}" "$tool" --server "127.0.0.1:$port" watch "$path" --count 20 >"$work/$name.out" 2>&1 &
        wpid=$!
        echo "$wpid" >"$work/$name.pid"
        rc=0
        wait "$wpid" || rc=$?
        # Interrupted at the end (exit 0 or 130 with what came so far).
        if [ $SECONDS -ge $deadline ] && { [ "$rc" -eq 0 ] || [ "$rc" -eq 130 ]; }; then
            break
        fi
        if [ "$rc" -ne 0 ] || [ "$(wc -l <"$work/$name.out")" -ne 20 ]; then
            { echo "zemtra-tool watch $path exited $rc:"; tail -n 3 "$work/$name.out"; } >"$work/$name.fail"
            return
        fi
        rounds=$((rounds + 1))
    done
    echo "$rounds" >"$work/$name.rounds"
}
write_loop &
clients+=("$!")
loops=("${clients[@]}")
repeat_watch watch-size gdx.group_size &
clients+=("$!")
watches=("$!:watch-size")
repeat_watch watch-custom custom &
clients+=("$!")
watches+=("$!:watch-custom")

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
for loop in "${loops[@]}"; do
    wait "$loop" || true
done
# A watch still waiting for values ends with Ctrl-C.
for watch in "${watches[@]}"; do
    wloop=${watch%%:*}
    while kill -0 "$wloop" 2>/dev/null; do
        kill -INT "$(cat "$work/${watch#*:}.pid")" 2>/dev/null || true
        sleep 0.2
    done
    wait "$wloop" || true
done
for name in fa sa tbt loop watch-size watch-custom; do
    [ ! -f "$work/$name.fail" ] || fail "$(cat "$work/$name.fail")"
    [ -f "$work/$name.rounds" ] || fail "the $name loop did not end"
done
echo "mixed traffic for $seconds s: $(cat "$work/fa.rounds") FA, $(cat "$work/sa.rounds") SA and" \
    "$(cat "$work/tbt.rounds") TBT reads, $(cat "$work/loop.rounds") rounds of writes," \
    "$(($(cat "$work/watch-size.rounds") + $(cat "$work/watch-custom.rounds"))) watches of 20 values"
grep -q -F "Configuration stored to" "$work/server.log" || fail "no configuration stored during the traffic"
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
