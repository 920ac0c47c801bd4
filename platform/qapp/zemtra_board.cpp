#include "platform/qapp/zemtra_board.h"

#include "platform/qapp/zemtra_application.h"
#include "sim/board.h"

#include <atomic>

namespace qapp {

namespace {
const bmc::Uri c_noUri;
}

ZemtraBoard::ZemtraBoard(ZemtraApplication& application, const bmc::Board* board)
    : ZemtraObject(&application, board ? board->GetName() : std::string("board")), m_application(application),
      m_board(board)
{
}

ZemtraBoard::~ZemtraBoard() = default;

volatile FPGAMem_t* ZemtraBoard::MapRegisters(int offset, int length)
{
    if (m_board == nullptr || m_board->SimBoard() == nullptr || offset < 0 || length <= 0) {
        return nullptr;
    }
    volatile FPGAMem_t* block =
        m_board->SimBoard()->MapRegion(static_cast<size_t>(offset), static_cast<size_t>(length));
    QSTD_TRACE(4, GetName() << ": mapped 0x" << std::hex << offset << " length 0x" << length << std::dec
                            << (block ? "" : " failed"));
    return block;
}

void ZemtraBoard::FlushRegisters(volatile void*)
{
    // The simulated FPGA is memory of this process: a sequentially consistent
    // read-modify-write orders every earlier write before everything after
    // the call (a full barrier on every target, and one the race detector
    // understands).
    m_flushes.fetch_add(1, std::memory_order_seq_cst);
}

const bmc::Uri& ZemtraBoard::Uri() const
{
    return m_board ? m_board->GetUri() : c_noUri;
}

bmc::BoardType_e ZemtraBoard::GetType() const
{
    return m_board ? m_board->GetType() : bmc::eBoardUnknown;
}

void ZemtraBoard::OnAnnounceSync() {}
void ZemtraBoard::OnAdjustedTimestamp(long long, unsigned long long) {}

bool ZemtraBoard::MapDevice(bmc::DeviceMapping_t&) const
{
    return true;
}

bool ZemtraBoard::UnmapDevice(bmc::DeviceMapping_t&) const
{
    return true;
}

} // namespace qapp
