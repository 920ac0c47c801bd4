#pragma once
// A RAF board object over a simulated board of its own (no chassis), and
// files in a temporary directory of its instrument for the FIR loads.

#include "app/board_fixture.h"
#include "app/raf_board.h"

#include <string>

namespace apptest {
template <> RafBoard* BoardFixture<RafBoard>::MakeBoard();
} // namespace apptest

namespace acqtest {

using RafFixture = apptest::BoardFixture<RafBoard>;

// Made after the fixture, so that it lies under the fixture's root.
using Files = apptest::InstrumentTempDir;

} // namespace acqtest
