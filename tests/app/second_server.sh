#!/bin/sh
# One server per configuration: while a server runs, a second one on the
# same configuration file (the same --root, or another root whose
# configuration file is a symbolic link to the same file) is refused at
# start with one ERROR line that names its configuration file and the
# running server's pid, before it serves; a server on a configuration of its
# own runs beside it. Once the running server is killed with SIGKILL, the
# next start on its root runs and ends cleanly.
# Usage: second_server.sh <zemtra-vuna>
server="$1"
work=$(mktemp -d)
# The servers that may run (emptied once one has been waited for).
first=
pid=
trap '[ -z "$first" ] || kill -KILL "$first" 2>/dev/null; [ -z "$pid" ] || kill -KILL "$pid" 2>/dev/null; rm -rf "$work"' EXIT
failures=0
fail() {
    echo "FAIL $*"
    failures=$((failures + 1))
}

# start <log> <args>...: starts the server on a port of its own (another one
# when it is taken: at random below the kernel's ephemeral ports, as the
# other tests pick theirs) and waits until it runs or has ended; pid is its
# pid, and it runs when "zemtra-vuna running." is logged.
start() {
    log="$1"
    shift
    tries=0
    while :; do
        port=$((20000 + $(od -A n -N 2 -t u2 /dev/urandom) % 12768))
        "$server" --port "$port" "$@" >"$log" 2>&1 &
        pid=$!
        i=0
        while [ $i -lt 600 ] && kill -0 $pid 2>/dev/null && ! grep -q -F "zemtra-vuna running." "$log"; do
            sleep 0.1
            i=$((i + 1))
        done
        if grep -q -F "Address already in use" "$log" && [ $tries -lt 20 ]; then
            wait "$pid"
            tries=$((tries + 1))
            continue
        fi
        return
    done
}

# stop <log>: SIGINT to the server started last, which must end with 0 and
# log no ERROR.
stop() {
    kill -INT "$pid"
    wait "$pid"
    rc=$?
    pid=
    [ $rc -eq 0 ] || fail "$1: exit status $rc, expected 0"
    ! grep -q " ERROR " "$1" || fail "$1: $(grep " ERROR " "$1")"
}

# The running server: its configuration file a link to a file kept apart.
mkdir -p "$work/kept" "$work/one/var/opt/zemtra/cfg" "$work/two/var/opt/zemtra/cfg"
printf 'tim/pll/vcxo_offset\t0\t18\n' >"$work/kept/stored.conf"
ln -s "$work/kept/stored.conf" "$work/one/var/opt/zemtra/cfg/zemtra-vuna.conf"
ln -s "$work/kept/stored.conf" "$work/two/var/opt/zemtra/cfg/zemtra-vuna.conf"
start "$work/first.log" --root "$work/one"
first=$pid
pid=
if ! grep -q -F "zemtra-vuna running." "$work/first.log"; then
    fail "the first server did not start: $(tail -n 3 "$work/first.log")"
    exit 1
fi

# root | refused (1) or runs (0)
for case in one:1 two:1 three:0; do
    root="$work/${case%:*}"
    log="$work/${case%:*}.log"
    start "$log" --root "$root"
    if [ "${case#*:}" -eq 0 ]; then
        if grep -q -F "zemtra-vuna running." "$log"; then
            stop "$log"
        else
            fail "$root: a server on a configuration of its own did not start: $(tail -n 3 "$log")"
        fi
        continue
    fi
    if kill -0 "$pid" 2>/dev/null; then
        kill -INT "$pid"
        fail "$root: a second server on the configuration of process $first runs"
    fi
    wait "$pid"
    rc=$?
    pid=
    [ $rc -ne 0 ] || fail "$root: the refused server ended with 0"
    expected="Configuration file $root/var/opt/zemtra/cfg/zemtra-vuna.conf is in use by process $first,"
    if [ "$(grep -c -E " (ERROR|WARNING) " "$log")" -ne 1 ] || ! grep " ERROR " "$log" | grep -q -F "$expected"; then
        fail "$root: not refused with one line naming the file and process $first: $(tail -n 5 "$log")"
    fi
    ! grep -q -F "Serving remote clients" "$log" || fail "$root: the refused server served remote clients"
done

# Killed, the first server leaves its configuration free.
kill -KILL "$first"
wait "$first" 2>/dev/null
first=
start "$work/after-kill.log" --root "$work/one"
if grep -q -F "zemtra-vuna running." "$work/after-kill.log"; then
    stop "$work/after-kill.log"
else
    fail "after SIGKILL: the next start did not run: $(tail -n 3 "$work/after-kill.log")"
fi
[ -L "$work/one/var/opt/zemtra/cfg/zemtra-vuna.conf" ] || fail "the configuration file is no longer a link"

[ $failures -eq 0 ] && echo "one server per configuration"
exit $failures
