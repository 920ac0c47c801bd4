#include "acquisition/fast_acquisition.h"

#include "acquisition/fir_file.h"
#include "app/raf_board.h"
#include "mci/factory.h"
#include "mci/node_flags.h"
#include "platform/fpga/fpga_access.h"
#include "platform/qapp/instrument_path.h"
#include "platform/qapp/zemtra_board.h"
#include "platform/qstd/exception.h"
#include "platform/qstd/log.h"
#include "platform/qstd/trace.h"
#include "platform/qstd/util.h"
#include "qreg/expr.h"
#include "qreg/reg_fnc_node.h"
#include "qreg/reg_reference_bit_node.h"
#include "qreg/reg_reference_node.h"

#include <cerrno>
#include <cstring>
#include <sstream>

namespace {

// Register defaults written by the constructor, in this order (64-bit words).
struct Default {
    size_t offset;
    uint32_t value;
};
constexpr Default c_defaults64[] = {
    {FastAcquisition::c_fir_load, 1},
    {0x80, 0x1FFFF},
    {0x88, 0},
    {0x90, 0},
    {0x98, 0},
    {0xA0, 0},
    {0xA8, 0x1DA12},
    {0xB0, 0x1CF48},
    {0xB8, 0x1DA12},
    {0xC0, 0x1CF48},
    {0xC8, 0x1B424},
    {FastAcquisition::c_calc_mode, 0},
};
constexpr Default c_defaults32[] = {
    {FastAcquisition::c_kx, 0x989680}, {FastAcquisition::c_ky, 0x989680}, {FastAcquisition::c_ks, 0x4000000},
    {FastAcquisition::c_off_x, 0},     {FastAcquisition::c_off_y, 0},     {FastAcquisition::c_off_q, 0},
    {FastAcquisition::c_off_s, 0},
};

// Bounds of the coefficient and offset validators: 2^29 - 1 and -2^29.
constexpr unsigned c_coefficient_max = 536870911u;
constexpr int c_offset_min = -536870912;
constexpr int c_offset_max = 536870911;
// Slots of the RAF boards.
constexpr unsigned c_first_slot = 3;
constexpr unsigned c_last_slot = 6;

using fpga::Word32;
using fpga::Word64;

volatile int& SignedWord32(volatile FPGAMem_t* base, size_t offset)
{
    return *reinterpret_cast<volatile int*>(base + offset);
}

unsigned UniqueId(const qapp::ZemtraBoard& board)
{
    std::istringstream in(board.Uri().GetId());
    unsigned slot = 0;
    if (!(in >> slot)) {
        throw qstd::Exception("Error converting bmc::board slot string to integer.", true);
    }
    if (slot < c_first_slot || slot > c_last_slot) {
        throw qstd::Exception("Cannot determine unique ID, based on slot number " + std::to_string(slot), true);
    }
    return slot - c_first_slot;
}

// "fir": its value names the coefficient file. A stored path whose file is
// missing at start (on a mount not made yet) is kept by the configuration
// step, and the block keeps the filter it has.
class FirPathNode : public qreg::RegFncNode<std::string> {
public:
    using qreg::RegFncNode<std::string>::RegFncNode;
    bool NamesMissingFile(const std::string& text) const override { return qapp::InstrumentFileMissing(text); }
};

} // namespace

FastAcquisition::FastAcquisition(qapp::ZemtraBoard& board, volatile FPGAMem_t* base, const std::string& name)
    : qapp::ZemtraFpgaObject(board, base, name), m_base(base)
{
    QSTD_TRACE_FNC();
    for (const Default& d : c_defaults64) {
        WriteWord64(d.offset, d.value);
    }
    for (const Default& d : c_defaults32) {
        WriteWord32(d.offset, d.value);
    }
    WriteWord32(c_unique_id, UniqueId(board));
}

FastAcquisition::~FastAcquisition()
{
    QSTD_TRACE_FNC();
}

void FastAcquisition::WriteWord64(size_t offset, uint64_t value)
{
    fpga::Write64(m_base, offset, value);
}

void FastAcquisition::WriteWord32(size_t offset, uint32_t value)
{
    fpga::Write32(m_base, offset, value);
}

void FastAcquisition::SetDefault()
{
    QSTD_TRACE_FNC();
}

void FastAcquisition::OnRegistryAdd(mci::TreeNodePtr& node)
{
    QSTD_TRACE_FNC();
    using namespace mci::flags;
    using UBits64 = qreg::RegReferenceBitNode<unsigned int, volatile uint64_t>;
    using UWord = qreg::RegReferenceNode<unsigned int, volatile unsigned int>;
    using SWord = qreg::RegReferenceNode<int, volatile int>;
    using qreg::expr::Range;

    mci::TreeNodePtr coefs = mci::factory::Create<qreg::RegNode>("filter_coefs", c_auxWritable);
    mci::TreeNodePtr fir = mci::factory::Create<FirPathNode>("fir", this, &FastAcquisition::_SetFIRTelling,
                                                             &FastAcquisition::_GetFIR, c_setting);
    coefs->Add(fir);
    m_fir_node = mci::Node(fir, mci::c_noRelPath);
    // The default is the value of "fir" even when its file cannot be loaded;
    // a failed default load is only logged.
    {
        std::lock_guard<std::mutex> lock(m_fir_mutex);
        m_fir_path = c_default_fir_file;
    }
    _SetFIR(c_default_fir_file);

    static const char* const c_notch_names[5] = {"numerator_0", "numerator_1", "numerator_2", "denominator_0",
                                                 "denominator_1"};
    const size_t notchBase[2] = {c_notch_0, c_notch_1};
    for (int filter = 0; filter < 2; ++filter) {
        mci::TreeNodePtr notch = mci::factory::Create<qreg::RegNode>(filter == 0 ? "notch_0" : "notch_1", c_branch);
        for (int i = 0; i < 5; ++i) {
            mci::TreeNodePtr coefficient = mci::factory::Create<mci::LocalNodeStructure, UBits64>(
                std::string(c_notch_names[i]), Word64(m_base, notchBase[filter] + 8 * i), 0ll, 18ll, c_setting);
            notch->Add(coefficient);
            m_notch_nodes[5 * filter + i] = mci::Node(coefficient, mci::c_noRelPath);
        }
        coefs->Add(notch);
    }
    node->Add(coefs);

    auto coefficientRange = [] { return qreg::Expr<Range<unsigned, unsigned>>(1u, c_coefficient_max); };
    auto offsetRange = [] { return qreg::Expr<Range<int, int>>(c_offset_min, c_offset_max); };
    mci::TreeNodePtr position = mci::factory::Create<qreg::RegNode>("position", c_branch);
    mci::TreeNodePtr calcMode =
        position->Add(mci::factory::Create<UBits64>("calc_mode", Word64(m_base, c_calc_mode), 0ll, 4ll, c_auxSetting));
    m_calc_mode_node = mci::Node(calcMode, mci::c_noRelPath);
    m_kx = position->Add(mci::factory::Create<UWord>(coefficientRange(), "Kx", Word32(m_base, c_kx), c_setting));
    m_ky = position->Add(mci::factory::Create<UWord>(coefficientRange(), "Ky", Word32(m_base, c_ky), c_setting));
    m_ks = position->Add(mci::factory::Create<UWord>(coefficientRange(), "Ks", Word32(m_base, c_ks), c_setting));
    m_off_x =
        position->Add(mci::factory::Create<SWord>(offsetRange(), "off_x", SignedWord32(m_base, c_off_x), c_setting));
    m_off_y =
        position->Add(mci::factory::Create<SWord>(offsetRange(), "off_y", SignedWord32(m_base, c_off_y), c_setting));
    m_off_q =
        position->Add(mci::factory::Create<SWord>(offsetRange(), "off_q", SignedWord32(m_base, c_off_q), c_setting));
    m_off_s =
        position->Add(mci::factory::Create<SWord>(offsetRange(), "off_s", SignedWord32(m_base, c_off_s), c_setting));

    m_pll_status = node->Add(mci::factory::Create<UWord>("pll_status", Word32(m_base, c_pll_status), c_auxWritable));
    m_locked = m_pll_status->Add(mci::factory::Create<qreg::RegReferenceBitNode<bool, volatile unsigned int>>(
        "locked", Word32(m_base, c_pll_status), 0ll, 1ll, c_auxWritable));

    node->Add(mci::factory::Create<UWord>(qreg::Expr<Range<unsigned, unsigned>>(0u, 255u), "id",
                                          Word32(m_base, c_unique_id), c_setting));
    node->Add(position);
}

bool FastAcquisition::_GetFIR(std::string& path) const
{
    std::lock_guard<std::mutex> lock(m_fir_mutex);
    path = m_fir_path;
    return true;
}

bool FastAcquisition::_SetFIR(const std::string& path)
{
    std::string refusal;
    return LoadFIR(path, refusal);
}

bool FastAcquisition::_SetFIRTelling(const std::string& path)
{
    std::string refusal;
    if (!LoadFIR(path, refusal)) {
        // The client learns what the log says.
        throw qstd::Exception("qreg: Can't set value: setter function failed: fir: " + refusal, true);
    }
    return true;
}

bool FastAcquisition::LoadFIR(const std::string& path, std::string& refusal)
{
    QSTD_TRACE_FNC();
    const auto refuse = [&refusal](const std::string& message) {
        qstd::LogError(message);
        refusal = message;
        return false;
    };
    // A path no file can have is refused before it reaches a message whole.
    if (path.size() > qapp::c_maxInstrumentPath) {
        return refuse("Error opening FIR coefficient file - path of " + std::to_string(path.size()) +
                      " characters, longer than " + std::to_string(qapp::c_maxInstrumentPath) + ".");
    }
    // The client's text goes into messages with its control characters
    // escaped, so that it cannot forge a log line.
    const std::string shown = qstd::EscapeControls(path);
    std::lock_guard<std::mutex> lock(m_fir_mutex);
    QSTD_TRACE(1, "Reading FIR filter coefficients from file - " << shown << ".");
    // The path comes from a client: it is resolved inside the instrument's
    // root, and a FIFO, a device or a huge file must not hold the load (and
    // this mutex) for ever.
    std::string text;
    std::string failure;
    if (const int error = qapp::ReadInstrumentFile(path, c_max_fir_file_bytes, text, failure)) {
        return refuse("Error opening FIR coefficient file - " + shown + "." + " Error: " + std::to_string(error) +
                      " - " + failure);
    }
    std::istringstream file(text);
    const FirCoefficients fir = ReadFirCoefficients(file);
    // The file's contents stay out of the log: the line and the reason only.
    std::string badLine;
    if (fir.bad_line != 0) {
        badLine = "Error processing FIR coefficient file - " + shown + "." + " at line - " +
                  std::to_string(fir.bad_line) + "." + " - Not a number FIR coefficient.";
        qstd::LogError(badLine);
    }
    auto* raf = dynamic_cast<RafBoard*>(&GetParentBoard());
    const unsigned decimation = raf ? raf->GetFIRDecimation() : 0;
    const uint64_t required = static_cast<uint64_t>(c_taps_per_decimation) * decimation;
    if (fir.values.size() != required) {
        refuse("Number of applied FIR coefficients - " + std::to_string(fir.values.size()) + " from file - " + shown +
               " does not match required FPGA FIR decimation - 5*" + std::to_string(decimation));
        refusal = badLine.empty() ? refusal : badLine + " " + refusal;
        return false;
    }
    if (fir.bad_line != 0) {
        refusal = badLine;
        return false;
    }
    // Only a whole, valid file reaches the filter, and only its path becomes
    // the value of "fir" (and is stored with the configuration).
    WriteWord64(c_fir_load, 1);
    for (uint32_t value : fir.values) {
        WriteWord64(c_fir_port, value);
    }
    m_fir_path = path;
    qstd::LogInfo("Successfully applied FIR filter coefficients - " + shown + ".");
    return true;
}

bool FastAcquisition::SetPllStatusLocked(const bool& locked)
{
    QSTD_TRACE_FNC();
    auto* reg = dynamic_cast<qreg::RegNode*>(m_locked.get());
    auto* status = dynamic_cast<qreg::RegNode*>(m_pll_status.get());
    if (!reg || !status) {
        return false;
    }
    try {
        reg->Set(locked, 0, mci::c_noRelPath);
    } catch (const std::exception&) {
        QSTD_TRACE(1, "Exception while setting PLL status on raf board " << GetParentBoard().GetName());
        return false;
    }
    status->Emit();
    return true;
}

mci::Node FastAcquisition::NodeKx() const
{
    return mci::Node(m_kx, mci::c_noRelPath);
}

mci::Node FastAcquisition::NodeKy() const
{
    return mci::Node(m_ky, mci::c_noRelPath);
}

mci::Node FastAcquisition::NodeOfsX() const
{
    return mci::Node(m_off_x, mci::c_noRelPath);
}

mci::Node FastAcquisition::NodeOfsY() const
{
    return mci::Node(m_off_y, mci::c_noRelPath);
}

mci::Node FastAcquisition::NodeOfsQ() const
{
    return mci::Node(m_off_q, mci::c_noRelPath);
}
