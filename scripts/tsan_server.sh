#!/usr/bin/env bash
# Runs the whole server, built with ThreadSanitizer, on the default simulated
# chassis as a user would: start on a free port with its own root, a reader
# of every signal kind (streams, on-demand signals, events), remote reads and
# writes with zemtra-tool (also under TSan), the Ethernet streamer sending.
# Then mixed traffic for a fixed time: readers of the FA, SA and TBT signals
# again and again, two watches, and rounds of writes and reads of every kind
# of persistent node (grouping size and time-out, custom connector, VCXO
# offset, average-sum count, MDIO registers, and bit fields of RAF register
# words that their owners read-modify-write: TBT debug NCO, spike removal and
# ADC mask, DSC switching source; and words that the chassis' trigger thread
# reads: second-maximum restart, timing state machine's window) while the
# configuration is stored after the changes. Meanwhile the tree is listed
# (zemtra-tool ls, node by node) and between the rounds every node that a
# client may write is written the value it holds (commands run), while
# loops read every value node and every signal, pass after pass: no node's
# write is kept from ThreadSanitizer's view beside the chassis' threads and
# other clients' reads. The traffic goes on past the fixed time until every
# node was written once and read once. None is left out: the writes
# that restart something (the LMT synchronisation, the SFP and PHY resets)
# or make a file (the compensation tables' store, in the run's own folder)
# leave the server serving the rest of the traffic. Then SIGTERM.
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
# traffic ARGS...: one call of the traffic's zemtra-tool.
traffic() {
    "${norandom[@]}" "$traffic_tool" --server "127.0.0.1:$port" "$@"
}
# The writes of round i of the loop, "PATH VALUE CHECK": each value read back
# as written ("="; "-": not compared, as the MDIO register reads the PHY's
# word, not the one written, and the ADC mask reads all its bits).
round_writes() {
    local i=$1 even=$(($1 % 2 == 0))
    echo "gdx.group_size $((i % 4 + 1)) ="
    echo "gdx.grouping.timeout $((1000 + i % 100)) ="
    echo "custom $([ $even -eq 1 ] && echo fa_clk || echo fofb_switch) ="
    echo "tim.pll.vcxo_offset $((i % 3 * 20 - 20)) ="
    echo "raf4.average_sum.trigger_count $((i % 5 + 1)) ="
    echo "gdx.gbe_orbit.mdio.addr $((i % 2)) ="
    echo "gdx.gbe_orbit.mdio.reg $((i % 32)) -"
    echo "raf3.tbt.dbg_enable $([ $even -eq 1 ] && echo true || echo false) ="
    echo "raf3.tbt.dbg_frequency $((1000 + i % 100)) ="
    echo "raf3.tbt.spike_removal.window $((i % 128)) ="
    echo "raf3.tbt.adc_mask $((i % 2)) -"
    echo "raf3.conf.switching_source $([ $even -eq 1 ] && echo External || echo Internal) ="
    echo "raf3.conf.second_max_reset $([ $even -eq 1 ] && echo OnTrigger || echo OnRead) ="
    echo "raf3.tsm.offset $((i % 100)) ="
    echo "raf3.tsm.duration $((4096 + i % 2 * 4096)) ="
}
set_and_get() {
    local path=$1 value=$2 expect="" rc=0
    [ "$3" != "=" ] || expect=$value
    traffic set "$path" "$value" >"$work/loop.out" 2>&1 || rc=$?
    [ "$rc" -eq 0 ] || {
        echo "zemtra-tool set $path $value exited $rc: $(cat "$work/loop.out")" >"$work/loop.fail"
        return 1
    }
    traffic get "$path" >"$work/loop.out" 2>&1 || rc=$?
    if [ "$rc" -ne 0 ] || { [ -n "$expect" ] && [ "$(cat "$work/loop.out")" != "$expect" ]; }; then
        echo "zemtra-tool get $path exited $rc: $(cat "$work/loop.out"), expected $expect" >"$work/loop.fail"
        return 1
    fi
}

# Every node of the tree, listed at run time (never a list that goes stale),
# one line a node: "PATH TYPE SIZE FLAGS". Every path is asked for its
# children once (a value may have some, as a status value its reset command;
# a branch and a signal may share a path, as tim.pll does, and the path lists
# the branch's children); the listing of a node without children is the node
# itself.
list_tree() {
    local queue=("") next=0 path out name type size flags
    local -A line=()
    while [ "$next" -lt ${#queue[@]} ]; do
        path=${queue[$next]}
        next=$((next + 1))
        out=$(traffic ls "$path") || return 1
        if [ -n "$path" ] && [ "$(wc -l <<<"$out")" -eq 1 ]; then
            read -r name type size flags <<<"$out"
            [ "$name $type $size $flags" != "${path##*.} ${line[$path]}" ] || continue
        fi
        while read -r name type size flags; do
            [ -n "$name" ] || continue
            echo "${path:+$path.}$name $type $size $flags"
            [ -z "${line[${path:+$path.}$name]+queued}" ] || continue
            line[${path:+$path.}$name]="$type $size $flags"
            queue+=("${path:+$path.}$name")
        done <<<"$out"
    done
}
# The lists of the sweeps below, from the tree: "PATH TYPE" of every node a
# client may write (flag 0x4; commands last, a "store" before the "load" of
# its branch, and without the nodes the loop's rounds write), "PATH" of every
# value a client may read (flag 0x2), and every signal, dealt to the signal
# readers in turn.
signal_readers=4
sweep_lists() {
    local path type size flags n=0
    list_tree >"$work/tree" || {
        echo "zemtra-tool ls failed while listing the tree" >"$work/tree.fail"
        return
    }
    round_writes 0 | cut -d' ' -f1 >"$work/round.paths"
    while read -r path type size flags; do
        case $type in
        branch) ;; # no value, whatever its flags
        signal)
            echo "$path" >>"$work/signals$((n % signal_readers + 1)).list"
            n=$((n + 1))
            ;;
        *)
            if [ $((flags & 4)) -ne 0 ] && ! grep -q -x -F "$path" "$work/round.paths"; then
                echo "$path $type" >>"$work/writes.list"
            fi
            if [ "$type" != command ] && [ $((flags & 2)) -ne 0 ]; then
                echo "$path" >>"$work/values.list"
            fi
            ;;
        esac
    done <"$work/tree"
    {
        grep -v " command$" "$work/writes.list"
        grep " command$" "$work/writes.list" | grep "\.store " || true
        grep " command$" "$work/writes.list" | grep -v "\.store " || true
    } >"$work/writes"
    touch "$work/lists.done"
}
# A value in the validator's words of a refusal: the nearest bound of a range
# "[min, max]", below a limit "<limit", the first of a set "{v1,v2,...}".
allowed_value() {
    local value=$1 refusal=$2
    if [[ $refusal =~ validator\ \[([^,]+),\ ([^]]+)\] ]]; then
        awk -v v="$value" -v lo="${BASH_REMATCH[1]}" -v hi="${BASH_REMATCH[2]}" \
            'BEGIN { print (v + 0 < lo + 0) ? lo : (v + 0 > hi + 0) ? hi : v }'
    elif [[ $refusal =~ validator\ \<(-?[0-9]+)$ ]]; then
        echo $((BASH_REMATCH[1] - 1))
    elif [[ $refusal =~ validator\ \{([^,}]+) ]]; then
        echo "${BASH_REMATCH[1]}"
    else
        return 1
    fi
}
# Writes a node a value that it takes: the one it holds (an enum's name, each
# element of an array; a value that its validator refuses, as a start value
# beyond what clients may set, moved into the validator's bounds); a command
# is run.
write_node() {
    local path=$1 type=$2 value out values=() v i
    if [ "$type" = command ]; then
        out=$(traffic exec "$path" 2>&1) || {
            echo "zemtra-tool exec $path: $out" >"$work/loop.fail"
            return 1
        }
        return 0
    fi
    value=$(traffic get "$path" 2>&1) || {
        echo "zemtra-tool get $path: $value" >"$work/loop.fail"
        return 1
    }
    if [ "$type" = string ]; then
        values=("$value")
    else
        read -r -a values <<<"$value"
    fi
    out=$(traffic set "$path" "${values[@]}" 2>&1) && return 0
    for i in "${!values[@]}"; do
        v=$(allowed_value "${values[$i]}" "$out") || break
        values[i]=$v
    done
    out=$(traffic set "$path" "${values[@]}" 2>&1) || {
        echo "zemtra-tool set $path ${values[*]:0:4}: $out" >"$work/loop.fail"
        return 1
    }
}
# Rounds of the writes above, each followed by the next nodes of the sweep
# over every writable node, once the tree is listed: until the deadline, and
# on until every node was written once.
write_loop() {
    local i=0 passes=0 next=0 n nodes=() path type value expect
    while { [ $SECONDS -lt $deadline ] || [ "$passes" -eq 0 ]; } && kill -0 "$pid" 2>/dev/null; do
        i=$((i + 1))
        while read -r path value expect; do
            set_and_get "$path" "$value" "$expect" || return
        done < <(round_writes "$i")
        [ ! -f "$work/tree.fail" ] || return
        if [ ${#nodes[@]} -eq 0 ]; then
            [ -f "$work/lists.done" ] || continue
            mapfile -t nodes <"$work/writes"
        fi
        for ((n = 0; n < 60; n++)); do
            read -r path type <<<"${nodes[$next]}"
            write_node "$path" "$type" || return
            next=$((next + 1))
            if [ "$next" -eq ${#nodes[@]} ]; then
                next=0
                passes=$((passes + 1))
                [ "$passes" -gt 1 ] || echo $((SECONDS - start)) >"$work/writes.first"
                break
            fi
        done
    done
    echo "$i $passes" >"$work/loop.rounds"
}
# Reads every node of its list, values (gets) or signals (a few atoms each,
# in the default access mode; one that is refused or brings no atoms in time
# ends with 1, as the coefficient streams while nothing is adjusted and the
# post-mortem signals before a capture), pass after pass while the loop
# writes, and on until one pass is whole.
read_sweep() {
    local name=$1 passes=0 rc path
    while [ ! -f "$work/lists.done" ]; do
        [ ! -f "$work/tree.fail" ] && kill -0 "$pid" 2>/dev/null || return
        sleep 0.2
    done
    while kill -0 "$pid" 2>/dev/null; do
        while read -r path; do
            rc=0
            if [ "$name" = values ]; then
                traffic get "$path" >"$work/$name.out" 2>&1 || rc=$?
            else
                traffic read "$path" --count 4 --timeout 0.5 >"$work/$name.out" 2>&1 || rc=$?
            fi
            if [ "$rc" -ne 0 ] && { [ "$name" = values ] || [ "$rc" -ne 1 ]; }; then
                { echo "zemtra-tool (reading $path) exited $rc:"; tail -n 3 "$work/$name.out"; } >"$work/$name.fail"
                return
            fi
            # Once the writes have ended, with one pass whole.
            if [ -f "$work/loop.fail" ] || { [ "$passes" -gt 0 ] && [ -f "$work/loop.rounds" ]; }; then
                break 2
            fi
        done <"$work/$name.list"
        passes=$((passes + 1))
    done
    echo "$passes" >"$work/$name.rounds"
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
start=$SECONDS
sweep_lists &
clients+=("$!")
write_loop &
clients+=("$!")
read_sweep values &
clients+=("$!")
for n in $(seq "$signal_readers"); do
    read_sweep "signals$n" &
    clients+=("$!")
done
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
[ ! -f "$work/tree.fail" ] || fail "$(cat "$work/tree.fail")"
for name in fa sa tbt loop values $(seq -f "signals%g" "$signal_readers") watch-size watch-custom; do
    [ ! -f "$work/$name.fail" ] || fail "$(cat "$work/$name.fail")"
    [ -f "$work/$name.rounds" ] || fail "the $name loop did not end"
done
read -r rounds passes <"$work/loop.rounds"
echo "mixed traffic for $seconds s: $(cat "$work/fa.rounds") FA, $(cat "$work/sa.rounds") SA and" \
    "$(cat "$work/tbt.rounds") TBT reads, $rounds rounds of writes," \
    "$(($(cat "$work/watch-size.rounds") + $(cat "$work/watch-custom.rounds"))) watches of 20 values"
echo "every node: $(wc -l <"$work/tree") listed; $(wc -l <"$work/writes") writable ones beside the rounds'" \
    "$(wc -l <"$work/round.paths") written in $passes passes (the first whole after $(cat "$work/writes.first") s)," \
    "meanwhile $(wc -l <"$work/values.list") values read in $(cat "$work/values.rounds") passes and" \
    "$(cat "$work"/signals*.list | wc -l) signals in $(cat "$work"/signals*.rounds | sort -n | head -1) or more;" \
    "traffic ended after $((SECONDS - start)) s"
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
