#include "gdx/zemtra_grouping.h"

#include "app/gdx_board.h"
#include "gdx/gdx_sfp_control.h"
#include "mci/factory.h"
#include "mci/node_flags.h"
#include "platform/fpga/fpga_access.h"
#include "platform/qreg/reg_exec_node.h"
#include "platform/qstd/trace.h"
#include "qreg/expr.h"
#include "qreg/reg_fnc_node.h"
#include "qreg/reg_reference_bit_node.h"

ZemtraGrouping::ZemtraGrouping(qapp::ZemtraBoard& board, volatile FPGAMem_t* block, const std::string& name)
    : qapp::ZemtraFpgaObject(board, block, name), m_block(block)
{
    QSTD_TRACE_FNC();
    fpga::Write32(m_block, c_control, 0);
    fpga::Write32(m_block, c_timeout, c_timeout_init);
}

ZemtraGrouping::~ZemtraGrouping()
{
    QSTD_TRACE_FNC();
}

void ZemtraGrouping::Enable()
{
    QSTD_TRACE(2, "ZemtraGrouping::Enable()");
    std::lock_guard<std::mutex> lock(m_control_mutex);
    m_enabled.store(true);
    fpga::Write32(m_block, c_control, 1);
}

void ZemtraGrouping::Reset()
{
    std::lock_guard<std::mutex> lock(m_control_mutex);
    fpga::Write32(m_block, c_control, 0);
    if (m_enabled.load()) {
        fpga::Write32(m_block, c_control, 1);
    }
}

bool ZemtraGrouping::SetGroupSize(const unsigned& size)
{
    return m_size_node.SetValue(size, 0);
}

void ZemtraGrouping::WriteStopped(size_t offset, uint32_t value)
{
    std::lock_guard<std::mutex> lock(m_control_mutex);
    fpga::Write32(m_block, c_control, 0);
    fpga::Write32(m_block, offset, value);
    if (m_enabled.load()) {
        fpga::Write32(m_block, c_control, 1);
    }
}

bool ZemtraGrouping::SetTimeout(const unsigned& timeout)
{
    WriteStopped(c_timeout, timeout);
    return true;
}

bool ZemtraGrouping::GetTimeout(unsigned& timeout) const
{
    std::lock_guard<std::mutex> lock(m_control_mutex);
    timeout = fpga::Read32(m_block, c_timeout);
    return true;
}

bool ZemtraGrouping::_SetGroupSize(const unsigned& size)
{
    WriteStopped(c_size, size);
    return true;
}

bool ZemtraGrouping::GetGroupSize(unsigned& size) const
{
    std::lock_guard<std::mutex> lock(m_control_mutex);
    size = fpga::Read32(m_block, c_size);
    return true;
}

GdxSfpControl* ZemtraGrouping::SfpControl() const
{
    auto* board = dynamic_cast<GdxBoard*>(&GetParentBoard());
    return board ? board->GetSfpControl() : nullptr;
}

bool ZemtraGrouping::SfpStatus(uint32_t (GdxSfpControl::*word)() const, unsigned& status) const
{
    GdxSfpControl* sfp = SfpControl();
    if (!sfp) {
        return false;
    }
    status = (sfp->*word)() & c_sfp_status_bits;
    return true;
}

bool ZemtraGrouping::GetSfpStatus3(unsigned& status) const
{
    return SfpStatus(&GdxSfpControl::GetSfpStatus3, status);
}

bool ZemtraGrouping::GetSfpStatus4(unsigned& status) const
{
    return SfpStatus(&GdxSfpControl::GetSfpStatus4, status);
}

bool ZemtraGrouping::ResetSfp()
{
    GdxSfpControl* sfp = SfpControl();
    return sfp && sfp->ResetGroupingSfp();
}

void ZemtraGrouping::OnRegistryAdd(mci::TreeNodePtr& node)
{
    QSTD_TRACE_FNC();
    using namespace mci::flags;
    using UNode = qreg::RegFncNode<unsigned>;
    using BitNode = qreg::RegReferenceBitNode<unsigned int, volatile unsigned int>;
    using Self = ZemtraGrouping;
    node->Add(mci::factory::Create<UNode>(qreg::Expr<qreg::expr::Lt<unsigned, unsigned>>(c_timeout_limit), "timeout",
                                          this, &Self::SetTimeout, &Self::GetTimeout, c_setting));
    mci::TreeNodePtr size =
        mci::factory::Create<UNode>(qreg::Expr<qreg::expr::Range<unsigned, unsigned>>(0u, c_size_max), "size", this,
                                    &Self::_SetGroupSize, &Self::GetGroupSize, c_auxWritable);
    node->Add(size);
    m_size_node = mci::Node(size, mci::c_noRelPath);
    volatile unsigned& latency = *reinterpret_cast<volatile unsigned*>(m_block + c_latency);
    node->Add(mci::factory::Create<BitNode>("latency", latency, 0ll, 32ll, c_auxReadOnly));

    mci::TreeNodePtr sfp = mci::factory::Create<qreg::RegNode>("sfp", c_branch);
    sfp->Add(mci::factory::Create<qreg::RegExecNode>("reset", this, &Self::ResetSfp, c_aux));
    sfp->Add(mci::factory::Create<UNode>("status3", this, 0, &Self::GetSfpStatus3, c_readOnly));
    sfp->Add(mci::factory::Create<UNode>("status4", this, 0, &Self::GetSfpStatus4, c_readOnly));
    node->Add(sfp);
}

void ZemtraGrouping::OnShutdown()
{
    QSTD_TRACE_FNC();
    std::lock_guard<std::mutex> lock(m_control_mutex);
    fpga::Write32(m_block, c_control, 0);
}
