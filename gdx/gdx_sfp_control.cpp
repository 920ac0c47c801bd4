#include "gdx/gdx_sfp_control.h"

#include "platform/fpga/fpga_access.h"
#include "platform/qstd/exception.h"
#include "platform/qstd/log.h"
#include "platform/qstd/trace.h"

#include <thread>

GdxSfpControl::GdxSfpControl(qapp::ZemtraBoard& board, volatile FPGAMem_t* block, const std::string& name)
    : qapp::ZemtraFpgaObject(board, block, name), m_block(block)
{
    QSTD_TRACE_FNC();
}

GdxSfpControl::~GdxSfpControl()
{
    QSTD_TRACE_FNC();
}

uint32_t GdxSfpControl::GetSfpStatus3() const
{
    return fpga::Read32(m_block, c_status3);
}

uint32_t GdxSfpControl::GetSfpStatus4() const
{
    return fpga::Read32(m_block, c_status4);
}

bool GdxSfpControl::GetSfp3PllLocked() const
{
    return (GetSfpStatus3() & c_plls_locked) == c_plls_locked;
}

bool GdxSfpControl::GetSfp4PllLocked() const
{
    return (GetSfpStatus4() & c_plls_locked) == c_plls_locked;
}

void GdxSfpControl::ChangeControl(uint32_t bits, bool set)
{
    std::lock_guard<std::mutex> lock(m_control_mutex);
    const uint32_t word = fpga::Read32(m_block, c_control);
    fpga::Write32(m_block, c_control, set ? (word | bits) : (word & ~bits));
}

bool GdxSfpControl::ResetMagnetSfp()
{
    QSTD_TRACE(1, "Resetting Magnet AURORA SFP...");
    ChangeControl(c_magnet_reset, true);
    ChangeControl(c_magnet_reset, false);
    return true;
}

bool GdxSfpControl::ResetGroupingSfpOnce()
{
    QSTD_TRACE(1, "Resetting Grouping SFPs (user clk)...");
    ChangeControl(c_grouping_reset, true);
    ChangeControl(c_grouping_reset, false);
    // The polls keep to a 1 ms grid of the steady clock and end with it: a
    // late wake-up or a slow poll does not stretch the wait past 0.5 s.
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + c_lock_polls * c_lock_poll;
    for (unsigned poll = 1; poll <= c_lock_polls && !(GetSfp3PllLocked() && GetSfp4PllLocked()); ++poll) {
        if (std::chrono::steady_clock::now() >= end) {
            break;
        }
        std::this_thread::sleep_until(start + poll * c_lock_poll);
    }
    if (!GetSfp3PllLocked()) {
        qstd::LogWarning("SFP3 PLLs not locked.");
        return false;
    }
    QSTD_TRACE(1, "SFP3 PLLs locked.");
    if (!GetSfp4PllLocked()) {
        qstd::LogWarning("SFP4 PLLs not locked.");
        return false;
    }
    QSTD_TRACE(1, "SFP4 PLLs locked.");
    return true;
}

bool GdxSfpControl::ResetGroupingSfp()
{
    if (ResetGroupingSfpOnce()) {
        return true;
    }
    qstd::LogWarning("Resetting Grouping SFPs failed, try once more...");
    if (ResetGroupingSfpOnce()) {
        return true;
    }
    throw qstd::Exception("SFP PLLs not locked. Cannot continue without GDX reference & user clocks.", true);
}
