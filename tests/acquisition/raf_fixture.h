#pragma once
// A RAF board object over a simulated board of its own (no chassis), and
// files in a temporary directory for the FIR loads.

#include "app/board_fixture.h"
#include "app/raf_board.h"
#include "tests/common/temp_dir.h"

#include <string>

namespace apptest {
template <> RafBoard* BoardFixture<RafBoard>::MakeBoard();
} // namespace apptest

namespace acqtest {

using RafFixture = apptest::BoardFixture<RafBoard>;

using Files = zvtest::TempDir;

} // namespace acqtest
