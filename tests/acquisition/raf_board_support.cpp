// RAF boards of the acquisition tests, built over a simulated board of their own.
#include "app/board_fixture.h"

#include "app/raf_board.h"

namespace apptest {
template <> RafBoard* BoardFixture<RafBoard>::MakeBoard()
{
    return new RafBoard(*m_app, m_bmc.get());
}
} // namespace apptest
