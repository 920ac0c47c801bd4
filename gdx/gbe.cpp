#include "gdx/gbe.h"

#include "gdx/gdx_house_keeping.h"
#include "mci/factory.h"
#include "mci/node_flags.h"
#include "platform/fpga/fpga_access.h"
#include "platform/qapp/zemtra_i2c_device.h"
#include "platform/qreg/reg_exec_node.h"
#include "platform/qstd/enum_map.h"
#include "platform/qstd/exception.h"
#include "platform/qstd/log.h"
#include "platform/qstd/trace.h"
#include "qreg/expr.h"
#include "qreg/reg_fnc_node.h"
#include "qreg/reg_reference_bit_node.h"
#include "qreg/reg_reference_enum_bit_node.h"
#include "qreg/reg_reference_node.h"

#include <chrono>
#include <sstream>
#include <thread>

template <>
qstd::BiMap<ethSpeed_e> qstd::EnumMap<ethSpeed_e>::items = {
    {eEthSpeed10M, "10M"},
    {eEthSpeed100M, "100M"},
    {eEthSpeed1G, "1G"},
    {eEthSpeedUnknown, "unknown"},
};

template <>
qstd::BiMap<ethDuplex_e> qstd::EnumMap<ethDuplex_e>::items = {
    {eEthHalf, "Half"},
    {eEthFull, "Full"},
};

namespace {

// Largest frame end in the header RAM: the payload node admits
// c_payload_limit - header start bytes.
constexpr unsigned c_payload_limit = 4053;
constexpr unsigned c_mdio_addr_max = 15;
constexpr unsigned c_mdio_value_max = 0xFFFF;
constexpr unsigned c_port_min = 1024;
constexpr unsigned c_port_max = 65535;
constexpr const char* c_no_sfp = "none";

// PHY set-up: control register 0 written 0x0540 (isolate, full duplex,
// 1000 Mb/s), 0x0140 (full duplex, 1000 Mb/s), 0x1340 (auto-negotiation
// enabled and restarted), 0x0140; 10 ms after each of the first two.
constexpr unsigned c_phy_control = 0;
struct PhyStep {
    uint16_t value;
    unsigned pause_ms;
};
constexpr PhyStep c_phy_setup[] = {{0x0540, 10}, {0x0140, 10}, {0x1340, 0}, {0x0140, 0}};

// Status registers of the PHY: SGMII status (1) and the medium's link
// partner ability (5).
constexpr unsigned c_sgmii_status = 1;
constexpr unsigned c_media_status = 5;
constexpr uint16_t c_an_complete = 1u << 5;
constexpr uint16_t c_link_up = 1u << 2;

void SleepMs(unsigned ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// The lines of a status word without auto-negotiation complete or link up.
std::string AnAndLink(uint16_t status, const std::string& what)
{
    std::string message;
    if ((status & c_an_complete) == 0) {
        message += what + " AN NOT complete!\n";
    }
    if ((status & c_link_up) == 0) {
        message += what + " link DOWN!\n";
    }
    return message;
}

void ThrowIfAny(const std::string& text)
{
    if (!text.empty()) {
        throw qstd::Exception(text, true);
    }
}

} // namespace

GBE::GBE(qapp::ZemtraBoard& board, volatile FPGAMem_t* base, const std::string& name, qapp::SFP_EEPROM* eeprom,
         qapp::SFP_PHY* phy, GdxHouseKeeping* houseKeeping, SfpSlot_e slot)
    : qapp::ZemtraFpgaObject(board, base, name), m_base(base), m_sfp_eeprom(eeprom), m_sfp_phy(phy),
      m_house_keeping(houseKeeping), m_slot(slot), m_sfp(c_no_sfp)
{
    QSTD_TRACE_FNC();
    m_settings.src_ip = IpAddress2Uint32(c_default_src_ip);
    m_settings.dest_ip = IpAddress2Uint32(c_default_dest_ip);
    fpga::Write32(m_base, c_control, 0);
}

GBE::~GBE()
{
    QSTD_TRACE_FNC();
}

void GBE::OnRegistryAdd(mci::TreeNodePtr& node)
{
    QSTD_TRACE_FNC();
    using namespace mci::flags;
    using URange = qreg::expr::Range<unsigned, unsigned>;
    using Word = volatile unsigned;
    using Bit = qreg::RegReferenceBitNode<bool, Word>;
    using Field = qreg::RegReferenceBitNode<unsigned, Word>;

    node->Add(
        mci::factory::Create<qreg::RegFncNode<bool>>("enable", this, &GBE::SetEnable, &GBE::GetEnable, c_setting));
    mci::TreeNodePtr payload = mci::factory::Create<qreg::RegFncNode<unsigned>>(
        qreg::Expr<URange>(0u, c_payload_limit - m_settings.hdr_start), "payload", this, &GBE::_SetPayloadSize,
        &GBE::GetPayloadSize, c_auxWritable);
    node->Add(payload);
    m_payload_node = mci::Node(payload, mci::c_noRelPath);
    node->Add(mci::factory::Create<Field>("status", fpga::Word32(m_base, c_status), 0ll, 3ll, c_readOnly));

    Word& core = fpga::Word32(m_base, c_core_status);
    mci::TreeNodePtr status =
        mci::factory::Create<qreg::RegReferenceNode<unsigned, Word>>("eth_core_status", core, c_auxReadOnly);
    node->Add(status);
    status->Add(mci::factory::Create<Bit>("link_status", core, 0ll, 1ll, c_readOnly));
    status->Add(mci::factory::Create<Bit>("link_synchronization", core, 1ll, 1ll, c_readOnly));
    mci::TreeNodePtr rudi = mci::factory::Create<qreg::RegNode>("RUDI", c_branch);
    status->Add(rudi);
    rudi->Add(mci::factory::Create<Bit>("conf_sequences", core, 2ll, 1ll, c_readOnly));
    rudi->Add(mci::factory::Create<Bit>("idles", core, 3ll, 1ll, c_readOnly));
    rudi->Add(mci::factory::Create<Bit>("invalid", core, 4ll, 1ll, c_readOnly));
    status->Add(mci::factory::Create<Bit>("disparity_error", core, 5ll, 1ll, c_readOnly));
    status->Add(mci::factory::Create<Bit>("RX_not_in_table", core, 6ll, 1ll, c_readOnly));
    status->Add(mci::factory::Create<Bit>("PHY_link_status", core, 7ll, 1ll, c_readOnly));
    status->Add(mci::factory::Create<Field>("remote_fault_encoding", core, 8ll, 2ll, c_readOnly));
    status->Add(
        mci::factory::Create<qreg::RegReferenceEnumBitNode<ethSpeed_e, Word>>("speed", core, 10ll, 2ll, c_readOnly));
    status->Add(
        mci::factory::Create<qreg::RegReferenceEnumBitNode<ethDuplex_e, Word>>("duplex", core, 12ll, 1ll, c_readOnly));
    status->Add(mci::factory::Create<Bit>("remote_fault", core, 13ll, 1ll, c_readOnly));

    node->Add(mci::factory::Create<qreg::RegExecNode>("reconnect", this, &GBE::PhyReconnect));
    node->Add(mci::factory::Create<qreg::RegExecNode>("force_tx", this, &GBE::ForceTX, c_aux));
    node->Add(mci::factory::Create<qreg::RegReferenceNode<std::string, std::string>>("sfp", m_sfp, c_auxReadOnly));

    using SNode = qreg::RegFncNode<std::string>;
    using UNode = qreg::RegFncNode<unsigned>;
    mci::TreeNodePtr src = mci::factory::Create<qreg::RegNode>("src", c_branch);
    node->Add(src);
    src->Add(mci::factory::Create<SNode>("mac", this, &GBE::SetSrcMac, &GBE::GetSrcMac, c_setting));
    src->Add(mci::factory::Create<SNode>("ip", this, &GBE::SetSrcIP, &GBE::GetSrcIP, c_setting));
    src->Add(mci::factory::Create<UNode>(qreg::Expr<URange>(c_port_min, c_port_max), "port", this, &GBE::SetSrcPort,
                                         &GBE::GetSrcPort, c_setting));
    mci::TreeNodePtr dest = mci::factory::Create<qreg::RegNode>("dest", c_branch);
    node->Add(dest);
    dest->Add(mci::factory::Create<SNode>("mac", this, &GBE::SetDestMac, &GBE::GetDestMac, c_setting));
    dest->Add(mci::factory::Create<SNode>("ip", this, &GBE::SetDestIP, &GBE::GetDestIP, c_setting));
    dest->Add(mci::factory::Create<UNode>(qreg::Expr<URange>(c_port_min, c_port_max), "port", this, &GBE::SetDestPort,
                                          &GBE::GetDestPort, c_setting));

    mci::TreeNodePtr mdio = mci::factory::Create<qreg::RegNode>("mdio", c_aux);
    node->Add(mdio);
    mdio->Add(mci::factory::Create<qreg::RegReferenceNode<unsigned, std::atomic<unsigned>>>(
        qreg::Expr<URange>(0u, c_mdio_addr_max), "addr", m_mdio_addr, c_writable));
    // A PHY register holds 16 bits: a wider value is refused, not cut.
    mdio->Add(mci::factory::Create<UNode>(qreg::Expr<URange>(0u, c_mdio_value_max), "reg", this, &GBE::SetMdioReg,
                                          &GBE::GetMdioReg, c_writable));
}

void GBE::OnShutdown()
{
    QSTD_TRACE_FNC();
    std::lock_guard<std::mutex> lock(m_mutex);
    fpga::Write32(m_base, c_control, 0);
}

void GBE::Init()
{
    QSTD_TRACE(2, "Initializing GbE...");
    try {
        PhyReconnect();
    } catch (const std::exception& e) {
        QSTD_TRACE(1, "GbE: " << e.what());
    }
    // The header is rebuilt under the streamer's mutex, as every client
    // change of it is.
    std::lock_guard<std::mutex> lock(m_mutex);
    m_initialized.store(true);
    UpdateHeaderUDP();
}

bool GBE::PhyReconnect()
{
    std::lock_guard<std::mutex> mdio(m_mdio_mutex);
    QSTD_TRACE(2, "GbE PHY reconnect.");
    const bool present = m_house_keeping == nullptr || m_house_keeping->IsSfpPresent(m_slot);
    // No module is ever described: the text reads "none" from construction on.
    // It is set to "none" again when the cage is empty or the text is empty,
    // but never assigned while it already reads "none", since clients read it
    // without a lock.
    if (!present || m_sfp.empty()) {
        if (m_sfp != c_no_sfp) {
            m_sfp = c_no_sfp;
        }
    }
    if (!present) {
        throw qstd::Exception("SFP not present.", true);
    }
    ResetCore();
    for (const PhyStep& step : c_phy_setup) {
        MdioTransaction(c_mdio_write | (c_phy_control << c_mdio_reg_shift) | step.value, "write", nullptr);
        if (step.pause_ms) {
            SleepMs(step.pause_ms);
        }
    }

    unsigned run = 0;
    unsigned longest = 0;
    unsigned t = 0;
    bool up = false;
    while (t < c_link_wait_ms) {
        if (LinkGood()) {
            if (run >= c_link_runs) {
                up = true;
                break;
            }
            ++run;
        } else {
            longest = std::max(longest, run);
            run = 0;
        }
        SleepMs(c_link_poll_ms);
        t += c_link_poll_ms;
    }
    if (up) {
        QSTD_TRACE(1, "GbE: Link-up after " << t << " ms.");
    } else {
        QSTD_TRACE(1, "GbE: Link-down. Max up-time " << (c_link_poll_ms * longest) << " ms.");
    }
    CheckGbeCoreStatus(up);
    return true;
}

void GBE::Reset()
{
    std::lock_guard<std::mutex> mdio(m_mdio_mutex);
    ResetCore();
}

void GBE::ResetCore()
{
    QSTD_TRACE(2, "GbE reset.");
    fpga::Write32(m_base, c_reset, 1);
    fpga::Write32(m_base, c_reset, 0);
    SleepMs(1);
}

void GBE::Start()
{
    QSTD_TRACE_FNC();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_started = true;
    Enable(m_enable);
}

bool GBE::SetEnable(const bool& enable)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_enable = enable;
    Enable(m_enable);
    return true;
}

bool GBE::GetEnable(bool& enable) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    enable = m_enable;
    return true;
}

void GBE::Enable(const bool& enable)
{
    if (!m_started) {
        return;
    }
    uint32_t control = fpga::Read32(m_base, c_control);
    control = enable ? (control | c_enable_bit) : (control & ~c_enable_bit);
    fpga::Write32(m_base, c_control, control);
    QSTD_TRACE(2, "GbE::Enable(): 0x" << std::hex << control);
}

bool GBE::SetPayloadSize(const unsigned& size)
{
    QSTD_TRACE_FNC();
    return m_payload_node.SetValue(size, 0);
}

bool GBE::_SetPayloadSize(const unsigned& size)
{
    return ChangeHeader([&] { m_settings.payload = size; });
}

bool GBE::GetPayloadSize(unsigned int& size) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    size = m_settings.payload;
    return true;
}

bool GBE::ForceTX()
{
    fpga::Write32(m_base, c_force_tx, 1);
    return true;
}

void GBE::MdioTransaction(uint32_t command, const char* what, uint16_t* result) const
{
    QSTD_TRACE(2, "MDIO " << what << ": 0x" << std::hex << command);
    fpga::Write32(m_base, c_mdio, command);
    uint32_t value = fpga::Read32(m_base, c_mdio);
    for (unsigned poll = 0; poll < c_mdio_polls && (value & c_mdio_done) == 0; ++poll) {
        std::this_thread::sleep_for(std::chrono::microseconds(c_mdio_poll_us));
        value = fpga::Read32(m_base, c_mdio);
    }
    if ((value & c_mdio_done) == 0) {
        throw qstd::Exception(std::string("Timeout while waiting for MDIO ") + what + " to complete!", true);
    }
    if (result) {
        *result = static_cast<uint16_t>(value & 0xFFFF);
    }
}

namespace {

void CheckMdioAddress(uint32_t a_addr)
{
    if (a_addr >= GBE::c_mdio_regs) {
        qstd::LoggedAssert(__FILE__, __LINE__, __PRETTY_FUNCTION__, "a_addr < (1<<5)");
        throw qstd::Exception("Invalid MDIO register address: " + std::to_string(a_addr), true);
    }
}

} // namespace

void GBE::MdioWrite(uint32_t a_addr, const uint16_t& value)
{
    CheckMdioAddress(a_addr);
    std::lock_guard<std::mutex> lock(m_mdio_mutex);
    MdioTransaction(c_mdio_write | (a_addr << c_mdio_reg_shift) | value, "write", nullptr);
}

void GBE::MdioRead(uint32_t a_addr, uint16_t& value) const
{
    CheckMdioAddress(a_addr);
    std::lock_guard<std::mutex> lock(m_mdio_mutex);
    MdioTransaction(c_mdio_read | (a_addr << c_mdio_reg_shift), "read", &value);
}

bool GBE::SetMdioReg(unsigned int const& value)
{
    MdioWrite(m_mdio_addr.load(), static_cast<uint16_t>(value));
    return true;
}

bool GBE::GetMdioReg(unsigned int& value) const
{
    uint16_t read = 0;
    MdioRead(m_mdio_addr.load(), read);
    value = read;
    return true;
}

void GBE::CheckGbeCoreStatus(const bool& link_up)
{
    std::string message = link_up ? "" : "Link down.";
    switch ((fpga::Read32(m_base, c_core_status) >> 10) & 3) {
    case eEthSpeed10M:
        message += " Speed 10Mbps not supported.";
        break;
    case eEthSpeed100M:
        message += " Speed 100Mbps not supported.";
        break;
    case eEthSpeedUnknown:
        message += " Reserved speed not supported.";
        break;
    default:
        break;
    }
    ThrowIfAny(message);
}

void GBE::CheckSfpStatus()
{
    unsigned short status = 0;
    if (m_sfp_phy) {
        m_sfp_phy->GetStatus(status);
    }
    ThrowIfAny(AnAndLink(status, "SFP"));
}

void GBE::CheckSgmiiStatus()
{
    // The link bit latches a loss until read: the second read tells the state.
    uint16_t status = 0;
    MdioRead(c_sgmii_status, status);
    MdioRead(c_sgmii_status, status);
    ThrowIfAny(AnAndLink(status, "SGMII"));
}

void GBE::CheckMediaStatus()
{
    uint16_t status = 0;
    MdioRead(c_media_status, status);
    std::string message;
    if ((status & 0x8000) == 0) {
        message += "Medium Link DOWN!\n";
    }
    if ((status & 0x1000) == 0) {
        message += "Half duplex not supported!\n";
    }
    switch ((status >> 10) & 3) {
    case 3:
        message += "Reserved speed not supported!\n";
        break;
    case 1:
        message += "Speed 100Mbps not supported!\n";
        break;
    case 0:
        message += "Speed 10Mbps not supported!\n";
        break;
    default:
        break;
    }
    ThrowIfAny(message);
}

bool GBE::LinkGood() const
{
    return (fpga::Read32(m_base, c_core_status) & c_link_good) == c_link_good;
}

bool GBE::GetLinkState()
{
    return LinkGood();
}
