#!/bin/sh
# Runs the server with an ORB library that tells another version than the
# one it was built with (a library preloaded ahead of it): the start of the
# remote export refuses it in one line that names both versions, and the
# server exits 1 without serving.
# Usage: other_orb_version.sh <zemtra-vuna> <library that tells 4.3.0>
server="$1"
library="$2"
work=$(mktemp -d)
pid=
trap '[ -n "$pid" ] && kill -KILL $pid 2>/dev/null; rm -rf "$work"' EXIT
failures=0
fail() {
    echo "FAIL $*"
    failures=$((failures + 1))
}

# Any port below the kernel's ephemeral range: the refusal comes before the
# server binds it.
port=$((20000 + $(od -A n -N 2 -t u2 /dev/urandom) % 12768))
LD_PRELOAD="$library" "$server" --root "$work/root" --port "$port" >"$work/out" 2>&1 &
pid=$!
# Ended within a minute (a server that serves is stopped).
i=0
while [ $i -lt 600 ] && kill -0 $pid 2>/dev/null && ! grep -q -F "zemtra-vuna running." "$work/out"; do
    sleep 0.1
    i=$((i + 1))
done
if kill -0 $pid 2>/dev/null; then
    fail "the server did not end: $(tail -n 3 "$work/out")"
    kill -INT $pid
fi
wait $pid
rc=$?
pid=
[ $rc -eq 1 ] || fail "exit status $rc, expected 1"
refusal="the ORB library is omniORB 4.3.0, but this server was built and verified with omniORB "
lines=$(grep -c -F "$refusal" "$work/out")
[ "$lines" -eq 1 ] || fail "$lines lines of the refusal, expected 1"
grep -F "$refusal" "$work/out" | grep -q -E "omniORB 4\.3\.0, .* omniORB [0-9]+\.[0-9]+ \([0-9.]+\) and runs with [0-9]+\.[0-9]+\.x only\.$" ||
    fail "the refusal names not both versions: $(grep -F "omniORB 4.3.0" "$work/out")"
grep -q -F "Remote export serving on" "$work/out" && fail "the remote export served"
# Refused first: no board built, no configuration file made.
sed -n "/$refusal/q;p" "$work/out" | grep -q -F -e "FIR filter" -e "Detected" -e "onfiguration" &&
    fail "the chassis was built before the refusal: $(head -n 5 "$work/out")"
[ -e "$work/root/var/opt/zemtra/cfg/fircoef_sr.conf" ] && fail "the instrument's files were made before the refusal"
if [ $failures -ne 0 ]; then
    cat "$work/out"
    exit 1
fi
echo "refused: $(grep -F "$refusal" "$work/out")"
