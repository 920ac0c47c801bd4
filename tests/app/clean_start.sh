#!/bin/sh
# Runs the server with the run command of scripts/dev.sh, as in a fresh
# clone: started, stopped with SIGINT, started and stopped twice more (the
# last time with SIGTERM); then the same with a configuration folder of its
# own (--conf-dir). Then the server itself without --root (the instrument's
# paths from "/"), in a mount namespace of its own whose /var/opt is a
# folder of the test: with --conf-dir, started and started again, and
# without options. Every start must load the FIR filter of every RAF board,
# log no ERROR and no WARNING line (but a late synchronisation on a busy
# machine, below) and end with 0, and no configuration file
# may be set aside. Where /var/opt cannot be written, the start without
# --root is refused with one line that says to pass --root. A configuration
# that an earlier run command kept in run/cfg is carried over by the first
# start.
# Usage: clean_start.sh <zemtra-vuna> <scripts/dev.sh>
server="$1"
devsh="$2"
case "$server" in
/*) ;;
*) server="$(pwd)/$server" ;;
esac
work=$(mktemp -d)
pid=
trap '[ -n "$pid" ] && kill -KILL $pid 2>/dev/null; rm -rf "$work"' EXIT
failures=0
# A port of its own, another one when it is taken: at random below the
# kernel's range of ephemeral ports (32768 and up), as the C++ tests pick
# theirs (tests/common/free_port.h), since any of those may be the local port
# of a client's connection.
pick_port() {
    port=$((20000 + $(od -A n -N 2 -t u2 /dev/urandom) % 12768))
}
pick_port

# A project folder with the run command and the built server; the build and
# the package check that the run command makes first are done already.
project="$work/project"
mkdir -p "$project/scripts" "$project/build/default/app" "$work/bin"
cp "$devsh" "$project/scripts/dev.sh"
ln -s "$server" "$project/build/default/app/zemtra-vuna"
printf '#!/bin/sh\n' >"$work/bin/cmake"
printf '#!/bin/sh\necho "install ok installed"\n' >"$work/bin/dpkg-query"
chmod +x "$work/bin/cmake" "$work/bin/dpkg-query"
PATH="$work/bin:$PATH"
export PATH

fail() {
    echo "FAIL $*"
    failures=$((failures + 1))
}

# The first synchronisation at start restarts every board's streams (the
# GDX board's FA chain after the RAF boards' ones run, about 0.75 s on an
# idle machine) within the server's wait of 1 s for it. On a busy machine
# the wait may end first: the server warns and goes on, and the boards
# restart a little later. That warning is allowed when every board that
# stopped its streams for the synchronisation started them again.
late="Not all boards get synchronized in expected timeout"
restarted() {
    raf=$(grep -c -F "TBT, FA, SA signals stopped." "$1")
    gdx=$(grep -c -F "GDX-FA signal stopped." "$1")
    [ "$raf" -gt 0 ] && [ "$gdx" -gt 0 ] &&
        [ "$(grep -c -F "TBT, FA, SA signals started at LMT=" "$1")" -eq "$raf" ] &&
        [ "$(grep -c -F "GDX-FA signal started at LMT=" "$1")" -eq "$gdx" ]
}

# start <log> <signal> <command>...: one start and stop of the command (the
# port is added).
start() {
    log="$1"
    signal="$2"
    shift 2
    tries=0
    while :; do
        "$@" --port "$port" >"$log" 2>&1 &
        pid=$!
        i=0
        while [ $i -lt 600 ] && kill -0 $pid 2>/dev/null && ! grep -q -s -F "zemtra-vuna running." "$log"; do
            sleep 0.1
            i=$((i + 1))
        done
        if grep -q -F "Address already in use" "$log" && [ $tries -lt 20 ]; then
            wait $pid
            pick_port
            tries=$((tries + 1))
            continue
        fi
        break
    done
    grep -q -F "zemtra-vuna running." "$log" || fail "$log: the server did not start: $(tail -n 3 "$log")"
    # A late synchronisation: its boards' restarts may still be on their way.
    i=0
    while [ $i -lt 200 ] && grep -q -F "$late" "$log" && ! restarted "$log"; do
        sleep 0.1
        i=$((i + 1))
    done
    kill -"$signal" $pid 2>/dev/null
    wait $pid
    rc=$?
    pid=
    [ $rc -eq 0 ] || fail "$log: exit status $rc, expected 0"
    loaded=$(grep -c -F "Successfully applied FIR filter coefficients - /var/opt/zemtra/cfg/fircoef_sr.conf." "$log")
    [ "$loaded" -ge 4 ] || fail "$log: $loaded FIR filters loaded, expected at least 4"
    warnings=$(grep -E " (ERROR|WARNING) " "$log")
    if restarted "$log"; then
        warnings=$(printf '%s\n' "$warnings" | grep -v -F "$late")
    fi
    if [ -n "$warnings" ]; then
        printf '%s\n' "$warnings"
        fail "$log: errors or warnings logged"
    fi
}

mkdir -p "$project/run/cfg"
printf 'tim/pll/vcxo_offset\t0\t18\n' >"$project/run/cfg/zemtra-vuna.conf"
run=0
for signal in INT INT TERM; do
    run=$((run + 1))
    start "$work/default-$run.log" $signal bash "$project/scripts/dev.sh" run
done
grep -q -x -F "$(printf 'tim/pll/vcxo_offset\t0\t18')" "$project/run/root/var/opt/zemtra/cfg/zemtra-vuna.conf" ||
    fail "the configuration in run/cfg was not carried over"
[ ! -e "$project/run/cfg/zemtra-vuna.conf" ] || fail "run/cfg/zemtra-vuna.conf left behind"
for signal in INT INT TERM; do
    run=$((run + 1))
    start "$work/conf-dir-$run.log" $signal bash "$project/scripts/dev.sh" run --conf-dir cfg
done
[ -f "$project/cfg/zemtra-vuna.conf" ] || fail "--conf-dir: no configuration stored in cfg/"

# The server without --root, its /var/opt a folder of the test (or, with
# ro, an empty one that cannot be written): a mount namespace of its own,
# as the user's root where user namespaces serve, else as root.
# Usage: isolated <folder>|ro <command>...
isolated() {
    source="$1"
    shift
    if [ "$source" = ro ]; then
        mount="mount -t tmpfs -o ro tmpfs /var/opt"
    else
        mount="mount --bind $source /var/opt"
    fi
    # shellcheck disable=SC2016 # expanded by the inner shell
    exec $namespace sh -c "$mount"' && exec "$0" "$@"' "$@"
}
namespace=
for candidate in "unshare -m -r" "unshare -m"; do
    if $candidate sh -c 'mount -t tmpfs tmpfs /var/opt' 2>/dev/null; then
        namespace=$candidate
        break
    fi
done
if [ -z "$namespace" ]; then
    echo "note: no mount namespace here; the start without --root is not checked"
else
    mkdir -p "$work/var-opt"
    start "$work/no-root-1.log" INT isolated "$work/var-opt" "$server" --conf-dir "$project/cfg-no-root"
    start "$work/no-root-2.log" TERM isolated "$work/var-opt" "$server" --conf-dir "$project/cfg-no-root"
    [ -f "$project/cfg-no-root/zemtra-vuna.conf" ] || fail "no --root: no configuration stored in cfg-no-root/"
    start "$work/no-root-3.log" INT isolated "$work/var-opt" "$server"
    [ -f "$work/var-opt/zemtra/cfg/zemtra-vuna.conf" ] || fail "no options: no configuration stored"
    # Refused: one line, which names --root.
    log="$work/no-root-refused.log"
    isolated ro "$server" --conf-dir "$project/cfg-refused" --port "$port" >"$log" 2>&1 &
    pid=$!
    i=0
    while [ $i -lt 100 ] && kill -0 $pid 2>/dev/null; do
        sleep 0.1
        i=$((i + 1))
    done
    kill -TERM $pid 2>/dev/null && fail "$log: a start that cannot provide the FIR file was not refused"
    wait $pid
    rc=$?
    pid=
    [ $rc -ne 0 ] || fail "$log: a start that cannot provide the FIR file ended with 0"
    if [ "$(grep -c -E " (ERROR|WARNING) " "$log")" -ne 1 ] || ! grep -q -E " ERROR .*--root" "$log"; then
        fail "$log: not refused with one line naming --root: $(cat "$log")"
    fi
fi
damaged=$(find "$work" -name '*.damaged-*')
[ -z "$damaged" ] || fail "configuration set aside: $damaged"

[ $failures -eq 0 ] && echo "every start was clean"
exit $failures
