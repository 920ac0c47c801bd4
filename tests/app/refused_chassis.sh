#!/bin/sh
# Runs the server on chassis it must refuse and on the default chassis.
# Usage: refused_chassis.sh <zemtra-vuna> <scenario directory>
server="$1"
data="$2"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# expect_refusal <scenario> <message>...: exit status 1 and every message
# logged (a scenario of the data directory, or an absolute path).
expect_refusal() {
    scenario="$1"
    shift
    case "$scenario" in
    /*) ;;
    *) scenario="$data/$scenario" ;;
    esac
    "$server" --no-remote --root "$work/root" "$scenario" > "$work/out" 2>&1
    rc=$?
    if [ "$rc" -ne 1 ]; then
        echo "FAIL $scenario: exit status $rc, expected 1"
        failures=$((failures + 1))
    fi
    for message in "$@"; do
        if ! grep -q -F -- "$message" "$work/out"; then
            echo "FAIL $scenario: missing \"$message\""
            failures=$((failures + 1))
        fi
    done
}

expect_refusal two_timing_boards.xml "Vuna application expects exactly one timing board."
expect_refusal two_tim_boards.xml "Vuna application expects exactly one timing board."
expect_refusal no_raf_board.xml "No RAF board present. Vuna application needs at least one."
expect_refusal mixed_raf_settings.xml \
    "RAF board - raf4 application settings does not match with RAF board - raf3 settings." \
    "RAF board - raf5 application settings does not match with RAF board - raf3 settings." \
    "Mixed Raf board configuration."
expect_refusal adc_mismatch.xml \
    "RAF board ADC frequency - 100000000 does not match with TIM board ADC frequency - 117440043." \
    "RAF board ADC frequency does not match with TIM board."
expect_refusal no_timing_board.xml "Scenario $data/no_timing_board.xml has no timing board."
expect_refusal huge_fir_decimation.xml \
    "board \"raf3\": FIR decimation 4294967295 (register 0x110) is above 1024"
# A FIFO for a scenario is refused at once, not waited on.
mkfifo "$work/fifo.xml"
expect_refusal "$work/fifo.xml" "Chassis scenario file $work/fifo.xml is not a regular file"
expect_refusal gdx_sfp_unlocked.xml "Resetting Grouping SFPs failed, try once more..." \
    "Application failure: SFP PLLs not locked. Cannot continue without GDX reference & user clocks."

# The default chassis starts, runs until SIGINT and ends cleanly.
"$server" --no-remote --root "$work/root" > "$work/out" 2>&1 &
pid=$!
i=0
while [ $i -lt 100 ] && ! grep -q -F "zemtra-vuna running." "$work/out"; do
    sleep 0.1
    i=$((i + 1))
done
kill -INT $pid
wait $pid
rc=$?
if [ "$rc" -ne 0 ]; then
    echo "FAIL default chassis: exit status $rc, expected 0"
    failures=$((failures + 1))
fi
for message in "Synchronize LMT for all application boards to - 0." "zemtra-vuna running." "zemtra-vuna ended."; do
    if ! grep -q -F -- "$message" "$work/out"; then
        echo "FAIL default chassis: missing \"$message\""
        failures=$((failures + 1))
    fi
done

[ $failures -eq 0 ] && echo "all chassis behaved"
exit $failures
