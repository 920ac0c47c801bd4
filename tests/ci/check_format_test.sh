#!/usr/bin/env bash
# .ci/check-format on a small git tree of its own (one formatted file
# tracked): each case adds one file, formatted or not, of some extension,
# tracked by git, not yet tracked, ignored by git (a build folder), or in a
# tree that is no git work tree, and whether the check passes.
# Usage: check_format_test.sh <source tree>
set -u
source=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# shellcheck source=tests/ci/check_tree.sh
. "$(dirname "$0")/check_tree.sh"

bad='int  x ;'
good='int x;'
# file | contents (a dangling link: "->TARGET"; "crlf:TEXT": its lines ended by
# CR LF, as clang-format keeps them) | tracked, untracked, ignored or nogit |
# 0: passes, 1: fails
cases=(
    "app/a.h|$bad|tracked|1"
    "app/a.cpp|$good|untracked|0"
    "app/a.cpp|$bad|untracked|1"
    "app/a.hpp|$bad|tracked|1"
    "app/a.cc|$bad|tracked|1"
    "app/a.hh|$bad|untracked|1"
    "app/a.cxx|$bad|tracked|1"
    "app/a.ipp|$bad|tracked|1"
    "app/a.tcc|$bad|tracked|1"
    "app/a.inl|$bad|tracked|1"
    "app/a.H|$bad|tracked|1"
    "cmake/stamp.cpp.in|$bad|tracked|1"
    "app/a.hpp|$good|tracked|0"
    "app/crlf.cpp|crlf:$good|tracked|1"
    "app/crlf.h|crlf:$good|nogit|1"
    "app/a.txt|$bad|tracked|0"
    "app/gone.h|->nowhere.h|untracked|1"
    "build/idl/a.hh|$bad|ignored|0"
    "app/a.cpp|$good|nogit|0"
    "app/a.hh|$bad|nogit|1"
    "build/idl/a.hh|$bad|nogit|0"
)
for c in "${cases[@]}"; do
    IFS='|' read -r file contents state expect <<<"$c"
    new_tree check-format sources.sh
    mkdir -p "$(dirname "$tree/$file")"
    cp "$source/.clang-format" "$tree/"
    printf '%s\n' "$good" >"$tree/app/main.cpp"
    printf 'build/\n' >"$tree/.gitignore"
    if [[ $contents == "->"* ]]; then
        ln -s "${contents#->}" "$tree/$file"
    elif [[ $contents == crlf:* ]]; then
        printf '%s\r\n' "${contents#crlf:}" "${contents#crlf:}" >"$tree/$file"
    else
        printf '%s\n' "$contents" >"$tree/$file"
    fi
    if [ "$state" != nogit ]; then
        git -C "$tree" init -q
        git -C "$tree" add app/main.cpp
        [ "$state" != tracked ] || git -C "$tree" add "$file"
    fi
    run_check check-format "$expect" "$file ($state): $contents"
done
echo "$((${#cases[@]} - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
