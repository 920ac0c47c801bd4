# shellcheck shell=bash
# shellcheck disable=SC2154 # source and work: set by the test
# What the tests of the checks of .ci/ share (sourced by them): a small tree
# of their own for each case, in which a check runs. Needs source (the
# source tree) and work (a folder of the test's) set; counts failures.
failures=0

# new_tree FILE...: makes "$work/tree" anew (tree) with the files of .ci/
# named and an app/ folder.
new_tree() {
    local name
    tree="$work/tree"
    rm -rf "$tree"
    mkdir -p "$tree/.ci" "$tree/app"
    for name in "$@"; do
        cp "$source/.ci/$name" "$tree/.ci/"
    done
}

# run_check CHECK EXPECTED WHAT: runs .ci/CHECK in the tree; a failure when
# its exit status is not EXPECTED.
run_check() {
    local rc=0
    bash "$tree/.ci/$1" >"$work/out" 2>&1 || rc=$?
    if [ "$rc" -ne "$2" ]; then
        echo "FAIL $3: exit $rc, expected $2: $(cat "$work/out")"
        failures=$((failures + 1))
    fi
}
