#pragma once
// A RAF board object over a simulated board of its own (no chassis), and
// files in a temporary directory for the FIR loads.

#include "app/board_fixture.h"
#include "app/raf_board.h"

#include <string>

namespace apptest {
template <> RafBoard* BoardFixture<RafBoard>::MakeBoard();
} // namespace apptest

namespace acqtest {

using RafFixture = apptest::BoardFixture<RafBoard>;

// A temporary directory, removed with its files.
class Files {
public:
    Files();
    ~Files();
    Files(const Files&) = delete;
    Files& operator=(const Files&) = delete;

    // Writes a file of that name with the text; returns its path.
    std::string Write(const std::string& name, const std::string& text) const;
    std::string Path(const std::string& name) const { return m_dir + "/" + name; }

private:
    std::string m_dir;
};

} // namespace acqtest
