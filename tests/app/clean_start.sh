#!/bin/sh
# Runs the server as `scripts/dev.sh run` does, from a fresh folder: started,
# stopped with SIGINT, started and stopped twice more; then the same with a
# configuration folder of its own (--conf-dir). Every start must load the
# FIR filter of every RAF board, log no ERROR and no WARNING line and end
# with 0, and no configuration file may be set aside.
# Usage: clean_start.sh <zemtra-vuna> <scripts/dev.sh>
server="$1"
devsh="$2"
# The server starts in folders of its own.
case "$server" in
/*) ;;
*) server="$(pwd)/$server" ;;
esac
work=$(mktemp -d)
pid=
trap '[ -n "$pid" ] && kill -KILL $pid 2>/dev/null; rm -rf "$work"' EXIT
failures=0
# A port of its own; the next one when it is taken.
port=$((20000 + $$ % 20000))

# The server's arguments in the run command of dev.sh.
args=$(sed -n 's|^ *exec \./build/default/app/zemtra-vuna \(.*\) "\${@:2}"$|\1|p' "$devsh")
if [ -z "$args" ]; then
    echo "FAIL: no run command of the server in $devsh"
    exit 1
fi

fail() {
    echo "FAIL $*"
    failures=$((failures + 1))
}

# start <folder> <log> <extra arguments>...: one start and stop in the folder.
start() {
    folder="$1"
    log="$2"
    shift 2
    tries=0
    while :; do
        # shellcheck disable=SC2086 # the arguments are words
        (cd "$folder" && exec "$server" $args "$@" --port "$port") >"$log" 2>&1 &
        pid=$!
        i=0
        while [ $i -lt 600 ] && kill -0 $pid 2>/dev/null && ! grep -q -F "zemtra-vuna running." "$log"; do
            sleep 0.1
            i=$((i + 1))
        done
        if grep -q -F "Address already in use" "$log" && [ $tries -lt 20 ]; then
            wait $pid
            port=$((port + 1))
            tries=$((tries + 1))
            continue
        fi
        break
    done
    grep -q -F "zemtra-vuna running." "$log" || fail "$log: the server did not start"
    kill -INT $pid 2>/dev/null
    wait $pid
    rc=$?
    pid=
    [ $rc -eq 0 ] || fail "$log: exit status $rc, expected 0"
    loaded=$(grep -c -F "Successfully applied FIR filter coefficients - /var/opt/zemtra/cfg/fircoef_sr.conf." "$log")
    [ "$loaded" -ge 4 ] || fail "$log: $loaded FIR filters loaded, expected at least 4"
    if grep -E " (ERROR|WARNING) " "$log"; then
        fail "$log: errors or warnings logged"
    fi
}

for run in 1 2 3; do
    mkdir -p "$work/clone"
    start "$work/clone" "$work/default-$run.log"
done
for run in 1 2 3; do
    mkdir -p "$work/own"
    start "$work/own" "$work/conf-dir-$run.log" --conf-dir cfg
done
[ -f "$work/own/cfg/zemtra-vuna.conf" ] || fail "--conf-dir: no configuration stored in cfg/"
damaged=$(find "$work" -name '*.damaged-*')
[ -z "$damaged" ] || fail "configuration set aside: $damaged"

[ $failures -eq 0 ] && echo "every start was clean"
exit $failures
