#!/usr/bin/env bash
# Set-up, build and run on a Debian 12 machine.
#   scripts/dev.sh run    install what is missing, build, run the server on the default simulated chassis
#   scripts/dev.sh test   install what is missing, build, run every test
#   scripts/dev.sh deps   only install what is missing
#   scripts/dev.sh tool ARGS...  build zemtra-tool, the remote client, alone, then run it with ARGS
# clang and its runtime libraries (libFuzzer) build the fuzz targets (scripts/fuzz.sh);
# clang-format-14 checks the format (.ci/check-format); gdb prints the stacks of a
# server that died in the soak (tests/soak/remote_soak.cpp).
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(build-essential cmake ninja-build pkg-config
          libgtest-dev libgmock-dev libbenchmark-dev
          libboost-dev libboost-program-options-dev
          libomniorb4-dev libomnithread4-dev omniidl
          libpugixml-dev tcl-combat
          clang libclang-rt-14-dev clang-format-14 gdb)

install_missing() {
    local missing=()
    for p in "${PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        local sudo=""
        [ "$(id -u)" -eq 0 ] || sudo="sudo"
        echo "Installing: ${missing[*]}"
        $sudo apt-get update -qq
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
    fi
}

# build PRESET [TARGET]: everything, or the one target and what it needs.
build() {
    local preset=$1
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$(nproc)" ${2:+--target "$2"}
}

case "${1:-}" in
    deps)
        install_missing
        ;;
    run)
        install_missing
        build default
        # The instrument's absolute paths stay inside the project: its
        # configuration folder is run/root/var/opt/zemtra/cfg/.
        cfg=run/root/var/opt/zemtra/cfg
        # The configuration that an earlier run command kept in run/cfg moves there once.
        if [ -f run/cfg/zemtra-vuna.conf ] && [ ! -e "$cfg/zemtra-vuna.conf" ]; then
            mkdir -p "$cfg"
            mv run/cfg/zemtra-vuna.conf "$cfg/"
            echo "Moved the configuration run/cfg/zemtra-vuna.conf to $cfg/." >&2
        fi
        # A --root (-r) of the caller's takes the place of run/root; the server
        # takes any leading part of a long option's name (--ro) as well.
        root=(--root run/root)
        for arg in "${@:2}"; do
            case "$arg" in
                -r | -r* | --r | --ro | --roo | --root | --r=* | --ro=* | --roo=* | --root=*) root=() ;;
            esac
        done
        exec ./build/default/app/zemtra-vuna "${root[@]}" "${@:2}"
        ;;
    test)
        install_missing
        build default
        ctest --preset default -j "$(nproc)"
        ;;
    tool)
        # Only the tool: the server is not relinked at every call. Build
        # output goes to standard error so that the tool's own output stays clean.
        build default zemtra-tool >&2
        exec ./build/default/tools/zemtra-tool/zemtra-tool "${@:2}"
        ;;
    *)
        echo "usage: $0 run|test|deps|tool" >&2
        exit 2
        ;;
esac
