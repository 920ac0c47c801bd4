#include "gdx/fofb.h"

#include "gdx/table_range.h"

#include "app/gdx_board.h"
#include "app/vuna_application.h"
#include "mci/factory.h"
#include "mci/node_flags.h"
#include "platform/fpga/fpga_access.h"
#include "platform/qboard/tim_board.h"
#include "platform/qfeature/tim_trigger_generation.h"
#include "platform/qreg/reg_exec_node.h"
#include "platform/qstd/enum_map.h"
#include "platform/qstd/log.h"
#include "platform/qstd/trace.h"
#include "qreg/expr.h"
#include "qreg/reg_fnc_enum_node.h"
#include "qreg/reg_reference_bit_node.h"
#include "qreg/reg_reference_node.h"

#include <algorithm>

template <>
qstd::BiMap<FoFbControl_e> qstd::EnumMap<FoFbControl_e>::items = {
    {eFofbOn, "on"},
    {eFofbOff, "off"},
    {eFofbHw, "hw"},
};

template <>
qstd::BiMap<FoFbAxis_e> qstd::EnumMap<FoFbAxis_e>::items = {
    {eFofbAxisX, "x"},
    {eFofbAxisY, "y"},
};

namespace {

// Value ranges of the FPGA's fields: 21-bit signed golden orbit, 18-bit
// signed matrix elements, 18-bit unsigned gains, 7-bit magnet ids.
constexpr int c_orbit_min = -(1 << 20);
constexpr int c_orbit_max = (1 << 20) - 1;
constexpr int c_matrix_min = -(1 << 17);
constexpr int c_matrix_max = (1 << 17) - 1;
constexpr unsigned c_gain_max = (1u << 18) - 1;
constexpr unsigned c_id_max = 0x7F;

constexpr uint32_t c_orbit_sign = 1u << 20;
constexpr uint32_t c_orbit_extension = ~((1u << 21) - 1);

} // namespace

FOFB::FOFB(qapp::ZemtraBoard& board, volatile FPGAMem_t* base, const std::string& name, eGDXUserblockType_e userblock)
    : qapp::ZemtraFpgaObject(board, base, name), m_base(base), m_board(dynamic_cast<GdxBoard*>(&board)),
      m_userblock(userblock), m_fofb_eigenmodes(userblock == eUbBeta ? c_dim_beta : c_dim_other),
      m_fofb_magnets(m_fofb_eigenmodes), m_su_row_dim(m_fofb_eigenmodes), m_su_col_dim(c_bpms),
      m_v_row_dim(m_fofb_magnets), m_v_col_dim(m_fofb_eigenmodes)
{
    QSTD_TRACE_FNC();
    fpga::Write32(m_base, c_switch, 0);
    fpga::Write32(m_base, c_sw_control, 1);
    fpga::Write32(m_base, c_fa_clk_duration, c_fa_clk_def_duration);

    m_GoldenOrbit.assign(c_bpms, 0);
    m_SuMatrix.assign(static_cast<std::size_t>(m_su_row_dim) * m_su_col_dim, 0);
    m_VMatrix.assign(static_cast<std::size_t>(m_v_row_dim) * m_v_col_dim, 0);
    m_MagnetMask.assign(m_fofb_magnets, false);
    m_magnet_id.resize(m_fofb_magnets);
    for (unsigned m = 0; m < m_fofb_magnets; ++m) {
        m_magnet_id[m] = m;
    }
    m_p_gain.assign(m_fofb_eigenmodes, 0);
    m_i_gain.assign(m_fofb_eigenmodes, 0);

    UpdateMagnetIds();
    UpdateFpgaGoldenOrbit();
    {
        std::lock_guard<std::mutex> lock(m_upload_mutex);
        ApplyGain(c_p_gain, m_p_gain);
        ApplyGain(c_i_gain, m_i_gain);
    }
    Reset();
}

FOFB::~FOFB()
{
    QSTD_TRACE_FNC();
}

void FOFB::OnRegistryAdd(mci::TreeNodePtr& node)
{
    QSTD_TRACE_FNC();
    using namespace mci::flags;
    using UNode = qreg::RegFncNode<unsigned>;
    using INode = qreg::RegFncNode<int>;
    using URange = qreg::expr::Range<unsigned, unsigned>;
    using IRange = qreg::expr::Range<int, int>;
    using UWord = qreg::RegReferenceNode<unsigned, volatile unsigned>;
    using UMember = qreg::RegReferenceNode<unsigned, unsigned>;
    const bool delta = m_userblock == eUbDelta;

    node->Add(mci::factory::Create<qreg::RegFncEnumNode<FoFbControl_e>>("switch", this, &FOFB::SetFoFbControl,
                                                                        &FOFB::GetFoFbControl, c_setting));
    node->Add(mci::factory::Create<qreg::RegFncEnumNode<FoFbAxis_e>>("axis", this, &FOFB::SetAxis, &FOFB::GetAxis,
                                                                     c_setting));
    node->Add(mci::factory::Create<qreg::RegExecNode>("reconnect", this, &FOFB::MagnetReconnect));

    mci::TreeNodePtr dim = mci::factory::Create<qreg::RegNode>("dim", c_branch);
    node->Add(dim);
    dim->Add(mci::factory::Create<UWord>(qreg::Expr<URange>(0u, m_fofb_eigenmodes), "eigenmodes",
                                         fpga::Word32(m_base, c_num_eigenmodes), c_setting));
    dim->Add(mci::factory::Create<UWord>(qreg::Expr<URange>(0u, static_cast<unsigned>(c_bpms)), "bpms",
                                         fpga::Word32(m_base, c_num_bpms), c_setting));
    dim->Add(mci::factory::Create<UNode>(qreg::Expr<qreg::expr::Set<unsigned, unsigned>>(0u, 1u), "magnets",
                                         m_fofb_magnets, this, &FOFB::SetMagnetMask, &FOFB::GetMagnetMask, c_setting));

    mci::TreeNodePtr golden =
        mci::factory::Create<INode>(qreg::Expr<IRange>(c_orbit_min, c_orbit_max), "golden_orbit", c_bpms, this,
                                    &FOFB::SetGoldenOrbit, &FOFB::GetGoldenOrbit, c_setting);
    node->Add(golden);
    if (delta) {
        mci::TreeNodePtr actual = mci::factory::Create<INode>("actual", c_bpms, this, 0, &FOFB::GetActualGoldenOrbit);
        golden->Add(actual);
        m_actual_golden_orbit = mci::Node(actual, mci::c_noRelPath);
    }

    mci::TreeNodePtr su =
        mci::factory::Create<INode>(qreg::Expr<IRange>(c_matrix_min, c_matrix_max), "su", m_SuMatrix.size(), this,
                                    &FOFB::SetSuMatrix, &FOFB::GetSuMatrix, c_setting);
    node->Add(su);
    su->Add(mci::factory::Create<UMember>("row_dim", m_su_row_dim, c_auxReadOnly));
    su->Add(mci::factory::Create<UMember>("col_dim", m_su_col_dim, c_auxReadOnly));

    mci::TreeNodePtr pi = mci::factory::Create<qreg::RegNode>("pi", c_branch);
    node->Add(pi);
    mci::TreeNodePtr kp = mci::factory::Create<UNode>(qreg::Expr<URange>(0u, c_gain_max), "kp", m_fofb_eigenmodes, this,
                                                      &FOFB::SetPgain, &FOFB::GetPgain, c_setting);
    pi->Add(kp);
    mci::TreeNodePtr ki = mci::factory::Create<UNode>(qreg::Expr<URange>(0u, c_gain_max), "ki", m_fofb_eigenmodes, this,
                                                      &FOFB::SetIgain, &FOFB::GetIgain, c_setting);
    pi->Add(ki);
    if (delta) {
        mci::TreeNodePtr kpActual =
            mci::factory::Create<UNode>("actual", m_fofb_eigenmodes, this, 0, &FOFB::GetActualPgain);
        kp->Add(kpActual);
        m_actual_p_gain = mci::Node(kpActual, mci::c_noRelPath);
        mci::TreeNodePtr kiActual =
            mci::factory::Create<UNode>("actual", m_fofb_eigenmodes, this, 0, &FOFB::GetActualIgain);
        ki->Add(kiActual);
        m_actual_i_gain = mci::Node(kiActual, mci::c_noRelPath);
    }
    pi->Add(mci::factory::Create<qreg::RegExecNode>("reset", this, &FOFB::PiReset));

    mci::TreeNodePtr v =
        mci::factory::Create<INode>(qreg::Expr<IRange>(c_matrix_min, c_matrix_max), "v", m_VMatrix.size(), this,
                                    &FOFB::SetVMatrix, &FOFB::GetVMatrix, c_setting);
    node->Add(v);
    v->Add(mci::factory::Create<UMember>("row_dim", m_v_row_dim, c_auxReadOnly));
    v->Add(mci::factory::Create<UMember>("col_dim", m_v_col_dim, c_auxReadOnly));

    node->Add(mci::factory::Create<UNode>(qreg::Expr<URange>(0u, c_id_max), "magnet_id", m_fofb_magnets, this,
                                          &FOFB::SetMagnetId, &FOFB::GetMagnetId, c_setting));

    mci::TreeNodePtr saturation =
        mci::factory::Create<UNode>("saturation", c_saturation_length, this, 0, &FOFB::GetSaturation, c_readOnly);
    node->Add(saturation);
    saturation->Add(mci::factory::Create<qreg::RegExecNode>("reset", this, &FOFB::ResetSaturation));

    node->Add(mci::factory::Create<qreg::RegReferenceBitNode<unsigned, volatile unsigned>>(
        "fa_clk_duration", fpga::Word32(m_base, c_fa_clk_duration), 0ll, 16ll, c_auxWritable));
}

void FOFB::OnPostConfig()
{
    QSTD_TRACE_FNC();
    if (m_userblock != eUbDelta) {
        return;
    }
    auto* app = dynamic_cast<VunaApplication*>(&GetParentBoard().GetApplication());
    qfeature::TimTriggerGeneration* trigger = app && app->GetTim() ? app->GetTim()->GetTriggerGeneration() : nullptr;
    if (trigger == nullptr) {
        QSTD_TRACE(1, "FOFB: no trigger generation of the timing board; trigger 0 left as it is.");
        return;
    }
    ProgramTrigger(*trigger);
}

void FOFB::OnShutdown()
{
    QSTD_TRACE_FNC();
    if (m_userblock != eUbDelta) {
        return;
    }
    std::lock_guard<std::mutex> lock(m_upload_mutex);
    std::vector<int> orbit;
    ReadBackGoldenOrbit(orbit);
    m_GoldenOrbit.assign(orbit.begin(), orbit.end());
    for (unsigned i = 0; i < m_fofb_eigenmodes; ++i) {
        m_i_gain[i] = fpga::Read32(m_base, c_i_gain + c_stride * i);
        m_p_gain[i] = fpga::Read32(m_base, c_p_gain + c_stride * i);
    }
}

bool FOFB::GetFoFbControl(FoFbControl_e& value) const
{
    if ((fpga::Read32(m_base, c_sw_control) & 1) == 0) {
        value = eFofbHw;
    } else {
        value = (fpga::Read32(m_base, c_switch) & 1) ? eFofbOn : eFofbOff;
    }
    return true;
}

bool FOFB::SetFoFbControl(const FoFbControl_e& value)
{
    QSTD_TRACE_FNC();
    switch (value) {
    case eFofbOff:
    case eFofbOn:
        fpga::Write32(m_base, c_switch, value == eFofbOn ? 1 : 0);
        fpga::Write32(m_base, c_sw_control, 1);
        break;
    case eFofbHw:
        fpga::Write32(m_base, c_sw_control, 0);
        break;
    }
    return true;
}

bool FOFB::GetAxis(FoFbAxis_e& value) const
{
    value = (fpga::Read32(m_base, c_axis) & 1) ? eFofbAxisY : eFofbAxisX;
    return true;
}

bool FOFB::SetAxis(const FoFbAxis_e& value)
{
    QSTD_TRACE_FNC();
    std::lock_guard<std::mutex> lock(m_magnet_id_mutex);
    fpga::Write32(m_base, c_axis, static_cast<uint32_t>(value));
    UpdateMagnetIds();
    return true;
}

template <typename T>
size_t FOFB::CopyOut(const std::vector<T>& table, T* values, size_t pos, size_t count, const char* bound,
                     const char* function)
{
    // A start past the table leaves nothing to copy (and no iterator to form).
    if (!gdx::ClipToTable(table.size(), pos, count, bound, __FILE__, __LINE__, function) && count == 0) {
        return 0;
    }
    std::copy_n(table.begin() + static_cast<std::ptrdiff_t>(pos), count, values);
    return count;
}

template <typename T>
void FOFB::CopyIn(std::vector<T>& table, const T* values, size_t pos, size_t count, const char* bound,
                  const char* function)
{
    if (!gdx::ClipToTable(table.size(), pos, count, bound, __FILE__, __LINE__, function) && count == 0) {
        return;
    }
    std::copy_n(values, count, table.begin() + static_cast<std::ptrdiff_t>(pos));
}

size_t FOFB::GetSuMatrix(int32_t* values, size_t pos, size_t count) const
{
    std::lock_guard<std::mutex> lock(m_upload_mutex);
    return CopyOut(m_SuMatrix, values, pos, count, "end <= m_SuMatrix.size()", __PRETTY_FUNCTION__);
}

bool FOFB::SetSuMatrix(const int32_t* values, size_t pos, size_t count)
{
    QSTD_TRACE_FNC();
    std::lock_guard<std::mutex> lock(m_upload_mutex);
    CopyIn(m_SuMatrix, values, pos, count, "end <= m_SuMatrix.size()", __PRETTY_FUNCTION__);
    UpdateFpgaSuMatrix();
    return true;
}

size_t FOFB::GetVMatrix(int32_t* values, size_t pos, size_t count) const
{
    std::lock_guard<std::mutex> lock(m_upload_mutex);
    return CopyOut(m_VMatrix, values, pos, count, "end <= m_VMatrix.size()", __PRETTY_FUNCTION__);
}

bool FOFB::SetVMatrix(const int32_t* values, size_t pos, size_t count)
{
    QSTD_TRACE_FNC();
    std::lock_guard<std::mutex> lock(m_upload_mutex);
    CopyIn(m_VMatrix, values, pos, count, "end <= m_VMatrix.size()", __PRETTY_FUNCTION__);
    UpdateFpgaVMatrix();
    return true;
}

size_t FOFB::GetGoldenOrbit(int32_t* values, size_t pos, size_t count) const
{
    std::lock_guard<std::mutex> lock(m_upload_mutex);
    return CopyOut(m_GoldenOrbit, values, pos, count, "end <= m_GoldenOrbit.size()", __PRETTY_FUNCTION__);
}

bool FOFB::SetGoldenOrbit(const int32_t* values, size_t pos, size_t count)
{
    QSTD_TRACE_FNC();
    std::lock_guard<std::mutex> lock(m_upload_mutex);
    CopyIn(m_GoldenOrbit, values, pos, count, "end <= m_GoldenOrbit.size()", __PRETTY_FUNCTION__);
    UploadGoldenOrbit();
    return true;
}

size_t FOFB::GetActualGoldenOrbit(int32_t* values, size_t pos, size_t count) const
{
    std::vector<int> orbit;
    RetrieveActualGoldenOrbit(orbit);
    // Served only within the orbit.
    const size_t n = pos < orbit.size() ? std::min(count, orbit.size() - pos) : 0;
    for (size_t i = 0; i < n; ++i) {
        values[i] = orbit[pos + i];
        QSTD_TRACE(3, "Golden orbit read[" << (pos + i) << "]: 0x" << std::hex << static_cast<uint32_t>(values[i]));
    }
    return n;
}

size_t FOFB::GetPgain(uint32_t* values, size_t pos, size_t count) const
{
    std::lock_guard<std::mutex> lock(m_upload_mutex);
    return CopyOut(m_p_gain, values, pos, count, "end <= m_fofb_eigenmodes", __PRETTY_FUNCTION__);
}

bool FOFB::SetPgain(const uint32_t* values, size_t pos, size_t count)
{
    QSTD_TRACE_FNC();
    std::lock_guard<std::mutex> lock(m_upload_mutex);
    CopyIn(m_p_gain, values, pos, count, "end <= m_fofb_eigenmodes", __PRETTY_FUNCTION__);
    ApplyGain(c_p_gain, m_p_gain);
    return true;
}

size_t FOFB::GetIgain(uint32_t* values, size_t pos, size_t count) const
{
    std::lock_guard<std::mutex> lock(m_upload_mutex);
    return CopyOut(m_i_gain, values, pos, count, "end <= m_fofb_eigenmodes", __PRETTY_FUNCTION__);
}

bool FOFB::SetIgain(const uint32_t* values, size_t pos, size_t count)
{
    QSTD_TRACE_FNC();
    std::lock_guard<std::mutex> lock(m_upload_mutex);
    CopyIn(m_i_gain, values, pos, count, "end <= m_fofb_eigenmodes", __PRETTY_FUNCTION__);
    ApplyGain(c_i_gain, m_i_gain);
    return true;
}

size_t FOFB::GetActualPgain(uint32_t* values, size_t pos, size_t count) const
{
    // The gains are written under the upload mutex.
    std::lock_guard<std::mutex> lock(m_upload_mutex);
    GDX_CLIP_TO_TABLE(m_fofb_eigenmodes, pos, count, "end <= m_fofb_eigenmodes");
    for (size_t i = 0; i < count; ++i) {
        values[i] = fpga::Read32(m_base, c_p_gain + c_stride * (pos + i));
    }
    return count;
}

size_t FOFB::GetActualIgain(uint32_t* values, size_t pos, size_t count) const
{
    // The gains are written under the upload mutex.
    std::lock_guard<std::mutex> lock(m_upload_mutex);
    GDX_CLIP_TO_TABLE(m_fofb_eigenmodes, pos, count, "end <= m_fofb_eigenmodes");
    for (size_t i = 0; i < count; ++i) {
        values[i] = fpga::Read32(m_base, c_i_gain + c_stride * (pos + i));
    }
    return count;
}

size_t FOFB::GetMagnetMask(uint32_t* values, size_t pos, size_t count) const
{
    std::lock_guard<std::mutex> lock(m_upload_mutex);
    GDX_CLIP_TO_TABLE(m_MagnetMask.size(), pos, count, "end <= m_MagnetMask.size()");
    for (size_t i = 0; i < count; ++i) {
        values[i] = m_MagnetMask[pos + i] ? 1 : 0;
    }
    return count;
}

bool FOFB::SetMagnetMask(const uint32_t* values, size_t pos, size_t count)
{
    QSTD_TRACE_FNC();
    std::lock_guard<std::mutex> lock(m_upload_mutex);
    GDX_CLIP_TO_TABLE(m_MagnetMask.size(), pos, count, "end <= m_MagnetMask.size()");
    for (size_t i = 0; i < count; ++i) {
        m_MagnetMask[pos + i] = values[i] != 0;
    }
    uint32_t first = 0;
    bool found = false;
    uint64_t low = 0;
    uint64_t high = 0;
    unsigned enabled = 0;
    for (size_t k = 0; k < m_MagnetMask.size(); ++k) {
        if (!m_MagnetMask[k]) {
            continue;
        }
        if (!found) {
            first = static_cast<uint32_t>(k);
            found = true;
        }
        if (k < 64) {
            low |= uint64_t(1) << k;
        } else {
            high |= uint64_t(1) << (k - 64);
        }
        ++enabled;
    }
    QSTD_TRACE(3, "Setting new magnet masks: "
                      << "high: 0x" << std::hex << high << " low: 0x" << low << " FirstMagnetID: " << std::dec
                      << first);
    fpga::Write32(m_base, c_first_magnet, 0);
    fpga::Write64(m_base, c_mask_low, low);
    fpga::Write64(m_base, c_mask_high, high);
    fpga::Write32(m_base, c_first_magnet, first);
    if (m_board) {
        m_board->SetGbeMagnets(enabled);
    }
    return true;
}

size_t FOFB::GetMagnetId(uint32_t* values, size_t pos, size_t count) const
{
    std::lock_guard<std::mutex> lock(m_magnet_id_mutex);
    return CopyOut(m_magnet_id, values, pos, count, "end <= m_fofb_magnets", __PRETTY_FUNCTION__);
}

bool FOFB::SetMagnetId(const uint32_t* values, size_t pos, size_t count)
{
    QSTD_TRACE_FNC();
    std::lock_guard<std::mutex> lock(m_magnet_id_mutex);
    CopyIn(m_magnet_id, values, pos, count, "end <= m_fofb_magnets", __PRETTY_FUNCTION__);
    UpdateMagnetIds();
    return true;
}

size_t FOFB::GetSaturation(uint32_t* values, size_t pos, size_t count) const
{
    GDX_CLIP_TO_TABLE(c_saturation_length, pos, count, "end <= c_saturation_length");
    const uint32_t flags = fpga::Read32(m_base, c_saturation);
    for (size_t i = 0; i < count; ++i) {
        values[i] = (flags >> (pos + i)) & 1;
    }
    return count;
}

bool FOFB::ResetSaturation()
{
    fpga::Write32(m_base, c_saturation, 0);
    return true;
}

bool FOFB::PiReset()
{
    QSTD_TRACE_FNC();
    // Under the upload mutex, so that the read-modify-write cannot bring back
    // a data-port reset that a transfer has just released.
    std::lock_guard<std::mutex> lock(m_upload_mutex);
    const uint32_t control = fpga::Read32(m_base, c_control);
    fpga::Write32(m_base, c_control, control | c_pi_reset);
    fpga::Write32(m_base, c_control, control & ~c_pi_reset);
    return true;
}

bool FOFB::MagnetReconnect()
{
    QSTD_TRACE_FNC();
    return m_board != nullptr && m_board->ResetMagnetSfp();
}

void FOFB::AnnounceResetMagnetCounter()
{
    QSTD_TRACE_FNC();
    fpga::Write32(m_base, c_reset_magnet_counter, 1);
}

void FOFB::Reset()
{
    QSTD_TRACE_FNC();
    constexpr uint32_t all = c_block_reset | c_pi_reset | c_port_reset;
    std::lock_guard<std::mutex> lock(m_upload_mutex);
    const uint32_t control = fpga::Read32(m_base, c_control);
    fpga::Write32(m_base, c_control, control | all);
    fpga::Write32(m_base, c_control, control & ~all);
}

void FOFB::OnDoubleBufferEvent()
{
    QSTD_TRACE_FNC();
    for (const mci::Node* actual : {&m_actual_p_gain, &m_actual_i_gain, &m_actual_golden_orbit}) {
        if (*actual) {
            actual->Emit();
        }
    }
    UpdateFpgaGoldenOrbit();
}

void FOFB::ApplyGain(std::size_t offset, const std::vector<uint32_t>& gains)
{
    for (std::size_t i = 0; i < gains.size(); ++i) {
        fpga::Write32(m_base, offset + c_stride * i, gains[i]);
    }
}

void FOFB::UpdateFpgaGoldenOrbit()
{
    std::lock_guard<std::mutex> lock(m_upload_mutex);
    UploadGoldenOrbit();
}

void FOFB::PulsePortReset() const
{
    const uint32_t control = fpga::Read32(m_base, c_control);
    fpga::Write32(m_base, c_control, control | c_port_reset);
    fpga::Write32(m_base, c_control, control & ~c_port_reset);
}

void FOFB::UpdateFpgaSuMatrix()
{
    PulsePortReset();
    for (unsigned j = 0; j < m_su_row_dim; ++j) {
        const int32_t* row = &m_SuMatrix[static_cast<std::size_t>(j) * m_su_col_dim];
        QSTD_TRACE(3, "SU Matrix write(" << j << ", 0): 0x" << std::hex << static_cast<uint32_t>(row[0]));
        for (unsigned c = 0; c < m_su_col_dim; ++c) {
            fpga::Write32(m_base, c_su_port + c_stride * j, static_cast<uint32_t>(row[c]));
        }
    }
}

void FOFB::UpdateFpgaVMatrix()
{
    PulsePortReset();
    for (unsigned m = 0; m < m_v_row_dim; ++m) {
        const int32_t* row = &m_VMatrix[static_cast<std::size_t>(m) * m_fofb_eigenmodes];
        QSTD_TRACE(3, "V Matrix write(" << m << ", 0): 0x" << std::hex << static_cast<uint32_t>(row[0]));
        for (unsigned e = 0; e < m_v_col_dim; ++e) {
            fpga::Write32(m_base, c_v_port + c_stride * m, static_cast<uint32_t>(row[e]));
        }
    }
}

void FOFB::UploadGoldenOrbit()
{
    PulsePortReset();
    for (int32_t value : m_GoldenOrbit) {
        QSTD_TRACE(3, "Golden orbit write: 0x" << std::hex << static_cast<uint32_t>(value));
        fpga::Write32(m_base, c_golden_port, static_cast<uint32_t>(value));
    }
}

void FOFB::RetrieveActualGoldenOrbit(std::vector<int>& orbit) const
{
    std::lock_guard<std::mutex> lock(m_upload_mutex);
    ReadBackGoldenOrbit(orbit);
}

void FOFB::ReadBackGoldenOrbit(std::vector<int>& orbit) const
{
    orbit.resize(c_bpms);
    PulsePortReset();
    for (std::size_t i = 0; i < c_bpms; ++i) {
        uint32_t value = fpga::Read32(m_base, c_golden_port);
        if (value & c_orbit_sign) {
            value |= c_orbit_extension;
        }
        orbit[i] = static_cast<int32_t>(value);
        QSTD_TRACE(3, "Golden orbit read: 0x" << std::hex << value);
    }
}

void FOFB::UpdateMagnetIds()
{
    const uint32_t axis = (fpga::Read32(m_base, c_axis) << 7) & 0xFF;
    for (unsigned m = 0; m < m_fofb_magnets; ++m) {
        const uint32_t entry = (m_magnet_id[m] & 0x7F) | axis;
        QSTD_TRACE(3, "MagnetId(" << m << "): 0x" << std::hex << entry);
        fpga::Write32(m_base, c_magnet_id + c_stride * m, entry);
    }
}
