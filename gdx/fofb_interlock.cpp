#include "gdx/fofb_interlock.h"

#include "gdx/table_range.h"

#include "mci/factory.h"
#include "mci/node_flags.h"
#include "platform/qapp/zemtra_board.h"
#include "platform/qreg/reg_exec_node.h"
#include "platform/qstd/log.h"
#include "platform/qstd/trace.h"
#include "qreg/expr.h"
#include "qreg/reg_fnc_node.h"

namespace {

qapp::ZemtraBoard& BoardOf(qapp::ZemtraFpgaObject& parent)
{
    return parent.GetParentBoard();
}

} // namespace

FofbInterlock::FofbInterlock(qapp::ZemtraFpgaObject& parent, volatile FPGAMem_t* base, const std::string& name)
    : qapp::ZemtraFpgaObject(BoardOf(parent), base, name), m_base(base)
{
    QSTD_TRACE_FNC();
    qapp::RequireMapped(m_base);
    m_mask.fill(1);
    ApplyMask();
}

FofbInterlock::~FofbInterlock()
{
    QSTD_TRACE_FNC();
}

void FofbInterlock::OnRegistryAdd(mci::TreeNodePtr& node)
{
    QSTD_TRACE_FNC();
    using namespace mci::flags;
    mci::TreeNodePtr status =
        mci::factory::Create<qreg::RegFncNode<bool>>("status", this, 0, &FofbInterlock::GetStatus);
    node->Add(status);
    status->Add(mci::factory::Create<qreg::RegExecNode>("reset", this, &FofbInterlock::ResetStatus));
    node->Add(mci::factory::Create<qreg::RegFncNode<unsigned>>(
        qreg::Expr<qreg::expr::Range<unsigned, unsigned>>(0u, 1u), "mask", c_mask_size, this, &FofbInterlock::SetMask,
        &FofbInterlock::GetMask, c_setting));
}

bool FofbInterlock::GetStatus(bool& status)
{
    if (!m_latched.load() && (fpga::Read32(m_base, c_control) & c_flag) != 0) {
        m_latched.store(true);
    }
    status = m_latched.load();
    return true;
}

bool FofbInterlock::ResetStatus()
{
    QSTD_TRACE_FNC();
    m_latched.store(false);
    return true;
}

size_t FofbInterlock::GetMask(uint32_t* values, size_t pos, size_t count) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    GDX_CLIP_TO_TABLE(c_mask_size, pos, count, "end <= c_mask_size");
    for (size_t i = 0; i < count; ++i) {
        values[i] = m_mask[pos + i] & 1;
    }
    return count;
}

bool FofbInterlock::SetMask(const uint32_t* values, size_t pos, size_t count)
{
    QSTD_TRACE_FNC();
    std::lock_guard<std::mutex> lock(m_mutex);
    GDX_CLIP_TO_TABLE(c_mask_size, pos, count, "end <= c_mask_size");
    for (size_t i = 0; i < count; ++i) {
        m_mask[pos + i] = values[i] & 1;
    }
    LoadMask();
    return true;
}

void FofbInterlock::ApplyMask()
{
    QSTD_TRACE_FNC();
    std::lock_guard<std::mutex> lock(m_mutex);
    LoadMask();
}

void FofbInterlock::LoadMask()
{
    fpga::Write32(m_base, c_control, 1);
    for (uint32_t entry : m_mask) {
        fpga::Write32(m_base, c_mask_port, entry);
    }
}
