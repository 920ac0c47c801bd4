#include "gdx/gdx_history_buffer.h"

#include "platform/qstd/trace.h"

#include <cmath>

namespace {

std::vector<qfeature::HistoryBuffer::tControl> Controls(volatile tGdxHB* block)
{
    return {{qapp::RequireMapped(block)->bytes + tGdxHB::c_control, qfeature::HistoryBuffer::eStartOnEvent}};
}

} // namespace

GdxHistoryBuffer::GdxHistoryBuffer(qapp::ZemtraBoard& board, volatile tGdxHB* block, const std::string& name)
    : qfeature::HistoryBuffer(board, name, Controls(block)), m_block(block)
{
    QSTD_TRACE_FNC();
    m_enabled = DetectIsEnabled();
    RamInfoInit();
}

bool GdxHistoryBuffer::DetectIsEnabled() const
{
    return fpga::Read64(Base(), tGdxHB::c_ram_info) != 0 && fpga::Read64(Base(), tGdxHB::c_ram_info1) != 0 &&
           fpga::Read64(Base(), tGdxHB::c_ram_info2) != 0;
}

unsigned GdxHistoryBuffer::RamInfoInit()
{
    const uint64_t info = fpga::Read64(Base(), tGdxHB::c_ram_info);
    m_col_width = static_cast<unsigned>(info & 0xF);
    m_row_width = static_cast<unsigned>((info >> 4) & 0xF);
    m_bank_width = static_cast<unsigned>((info >> 8) & 0x3);
    m_rank_width = static_cast<unsigned>((info >> 10) & 0x3);
    m_width_factor = static_cast<unsigned>((info >> 12) & 0x3);
    const double bytes = std::pow(2.0, static_cast<double>(m_bank_width + m_row_width + m_col_width)) * 8.0 *
                         static_cast<double>(m_width_factor) * static_cast<double>(m_rank_width);
    m_capacity = static_cast<unsigned>(bytes / 1048576.0);
    return m_capacity;
}

bool GdxHistoryBuffer::RamParMatchingCheck(const qapp::tRamCtrlPar& par) const
{
    if (!m_enabled) {
        return true;
    }
    bool match = true;
    const auto compare = [&match](const char* what, unsigned own, unsigned spd) {
        if (own != spd) {
            QSTD_TRACE(1, "Memory ctrl. par. mismatch: " << what << " " << own << "!=" << spd);
            match = false;
        }
    };
    compare("Capacity", m_capacity, par.capacity);
    compare("RankWidth", m_rank_width, par.rankWidth);
    compare("BankWidth", m_bank_width, par.bankWidth);
    compare("RowWidth", m_row_width, par.rowWidth);
    compare("ColumnWidth", m_col_width, par.colWidth);
    return match;
}

void GdxHistoryBuffer::StartDodOnEvent()
{
    QSTD_TRACE_FNC();
    if (!m_enabled) {
        return;
    }
    fpga::Write64(Base(), tGdxHB::c_control, c_stop);
    fpga::Write64(Base(), tGdxHB::c_control, c_start_on_event);
}
