#!/bin/sh
# Runs the server with the run command of scripts/dev.sh, as in a fresh
# clone: started, stopped with SIGINT, started and stopped twice more (the
# last time with SIGTERM); then the same with a configuration folder of its
# own (--conf-dir). Every start must load the FIR filter of every RAF board,
# log no ERROR and no WARNING line and end with 0, and no configuration file
# may be set aside. A configuration that an earlier run command kept in
# run/cfg is carried over by the first start.
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
# A port of its own; the next one when it is taken.
port=$((20000 + $$ % 20000))

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

# start <log> <signal> <extra arguments>...: one start and stop.
start() {
    log="$1"
    signal="$2"
    shift 2
    tries=0
    while :; do
        bash "$project/scripts/dev.sh" run "$@" --port "$port" >"$log" 2>&1 &
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
    grep -q -F "zemtra-vuna running." "$log" || fail "$log: the server did not start: $(tail -n 3 "$log")"
    kill -"$signal" $pid 2>/dev/null
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

mkdir -p "$project/run/cfg"
printf 'tim/pll/vcxo_offset\t0\t18\n' >"$project/run/cfg/zemtra-vuna.conf"
run=0
for signal in INT INT TERM; do
    run=$((run + 1))
    start "$work/default-$run.log" $signal
done
grep -q -x -F "$(printf 'tim/pll/vcxo_offset\t0\t18')" "$project/run/root/var/opt/zemtra/cfg/zemtra-vuna.conf" ||
    fail "the configuration in run/cfg was not carried over"
[ ! -e "$project/run/cfg/zemtra-vuna.conf" ] || fail "run/cfg/zemtra-vuna.conf left behind"
for signal in INT INT TERM; do
    run=$((run + 1))
    start "$work/conf-dir-$run.log" $signal --conf-dir cfg
done
[ -f "$project/cfg/zemtra-vuna.conf" ] || fail "--conf-dir: no configuration stored in cfg/"
damaged=$(find "$work" -name '*.damaged-*')
[ -z "$damaged" ] || fail "configuration set aside: $damaged"

[ $failures -eq 0 ] && echo "every start was clean"
exit $failures
