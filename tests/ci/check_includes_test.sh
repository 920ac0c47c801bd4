#!/usr/bin/env bash
# .ci/check-includes on a small tree of its own: each case is one include
# line in a file of app/ (app may include platform/qstd, not sim; app/table.def
# is named only by an include of app/other.cpp), of tests/ (which may
# include anything) or of the platform, whichever form it takes, and whether
# the check passes; some make a symbolic link or a file in the tree first.
# Usage: check_includes_test.sh <source tree>
set -u
source=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# shellcheck source=tests/ci/check_tree.sh
. "$(dirname "$0")/check_tree.sh"

# file | include line | 0: allowed, 1: refused | command run in the tree first
cases=(
    'app/main.cpp|#include "platform/qstd/log.h"|0'
    'app/main.cpp|#include <platform/qstd/log.h>|0'
    'app/main.cpp|#include <string>|0'
    'app/main.cpp|#include "sim/board.h"|1'
    'app/main.cpp|#include <sim/board.h>|1'
    'app/main.cpp|#include "platform/qstd/../../sim/board.h"|1'
    'app/main.cpp|#include <platform/qstd/../../sim/board.h>|1'
    'app/main.cpp|#include "../app/../sim/board.h"|1'
    'app/main.cpp|#include "sim/../platform/qstd/log.h"|0'
    'app/main.cpp|#include "../../outside.h"|1'
    # Headers and sources of every kind, and a file that only an include names.
    'app/inline.inl|#include "sim/board.h"|1'
    'app/template.ipp|#include <sim/board.h>|1'
    'app/types.hh|#include "sim/board.h"|1'
    'app/types.hh|#include "platform/qstd/log.h"|0'
    'app/source.cxx|#include "sim/board.h"|1'
    'app/table.def|#include "sim/board.h"|1'
    'app/table.def|#include "platform/qstd/log.h"|0'
    # Through a macro, or hidden behind a comment or include_next.
    'app/main.cpp|#include SIM_BOARD|1'
    'app/main.cpp|#define LOG "platform/qstd/log.h"\n#include LOG|1'
    'app/types.hh|#  include BOARD(sim)|1'
    'app/main.cpp|#include /* the board */ "sim/board.h"|1'
    'app/main.cpp|#include_next "sim/board.h"|1'
    'tests/x_test.cpp|#include SIM_BOARD|0'
    # Spelt as the preprocessor reads it too: a digraph, #import, comments
    # before the directive and inside it over lines, lines joined by a
    # backslash (blanks after it too), lines ended by CR, a byte order mark.
    'app/main.cpp|%:include "sim/board.h"|1'
    'app/main.cpp|%: include <sim/board.h>|1'
    'app/main.cpp|#import "sim/board.h"|1'
    'app/main.cpp|/* the board */ #include "sim/board.h"|1'
    'app/main.cpp|/* the\nboard */ #include "sim/board.h"|1'
    'app/main.cpp|#/* the\nboard */include "sim/board.h"|1'
    'app/main.cpp|#include /* the\nboard */ "platform/qstd/log.h"|0'
    'app/main.cpp|#inc\\\nlude "sim/board.h"|1'
    'app/main.cpp|%\\  \n:include "sim/board.h"|1'
    'app/main.cpp|#include "platform/qstd/log.h"\r#include "sim/board.h"|1'
    'app/main.cpp|\xef\xbb\xbf#include "sim/board.h"|1'
    'app/main.cpp|#include "platform/qstd/log.h"\r\n#include "platform/qstd/log.h"|0'
    # Symbolic links, to a header or a folder, whether it leads to a folder
    # that may be included or not; a header that is a link.
    'app/main.cpp|#include "app/board.h"|1|ln -s ../sim/board.h app/board.h'
    'app/main.cpp|#include "board.h"|1|ln -s ../sim/board.h app/board.h'
    'app/main.cpp|#include "app/log.h"|1|ln -s ../platform/qstd/log.h app/log.h'
    'app/main.cpp|#include "app/sim/board.h"|1|ln -s ../sim app/sim'
    'app/main.cpp|#include <app/qstd/log.h>|1|ln -s ../platform/qstd app/qstd'
    'app/main.cpp|#include "platform/qstd/log.h"|1|ln -s ../../sim/board.h platform/qstd/board.h'
    # The register tree does not know the remote service; the application does.
    'platform/mci/node.cpp|#include "platform/remote/export.h"|1|mkdir -p platform/remote && touch platform/remote/export.h'
    'platform/qapp/app.cpp|#include "platform/remote/export.h"|0|mkdir -p platform/remote && touch platform/remote/export.h'
    # The ORB's internal headers and its transport interface, in any form,
    # by the gate's transport, the ORB adapter and tests alone.
    'platform/remote/gate.cpp|#include <omniORB4/internal/giopStream.h>|1'
    'platform/remote/gate.cpp|#include <omniORB4/./internal/../internal/giopStream.h>|1'
    'app/main.cpp|#include <omniORB4/giopEndpoint.h>|1'
    'platform/remote/gate.cpp|#include "giopEndpoint.h"|1'
    'platform/remote/gate.cpp|#include "giopEndpoint.h"|1|touch platform/remote/giopEndpoint.h'
    'platform/remote/orb_adapter.cpp|#include <omniORB4/internal/giopStream.h>|0'
    'platform/remote/orb_transport.cpp|#include <omniORB4/giopEndpoint.h>|0'
    # The ORB's connection classes, which include its internal headers by
    # bare name, likewise.
    'platform/remote/gate.cpp|#include <omniORB4/tcpConnection.h>|1'
    'app/main.cpp|#include <omniORB4/unixConnection.h>|1'
    'platform/remote/gate.cpp|#include <sslConnection.h>|1'
    'platform/remote/orb_adapter.cpp|#include <omniORB4/tcpConnection.h>|0'
    'platform/remote/orb_adapter.cpp|#include <omniORB4/unixConnection.h>|0'
    'tests/x_test.cpp|#include <omniORB4/internal/giopStream.h>|0'
)
for c in "${cases[@]}"; do
    IFS='|' read -r file line expect setup <<<"$c"
    new_tree check-includes include-rules.txt sources.sh
    mkdir -p "$tree/sim" "$tree/platform/qstd" "$tree/tests" "$tree/${file%/*}"
    touch "$tree/sim/board.h" "$tree/platform/qstd/log.h" "$tree/app/table.def" "$work/outside.h"
    printf '#include "platform/qstd/log.h"\n#include "app/table.def"\n' >"$tree/app/other.cpp"
    printf '%b\n' "$line" >>"$tree/$file"
    [ -z "$setup" ] || (cd "$tree" && eval "$setup")
    run_check check-includes "$expect" "$file: $line"
done
echo "$((${#cases[@]} - failures)) passed, $failures failed"
[ "$failures" -eq 0 ]
