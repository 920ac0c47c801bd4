#include "raf/dsc.h"

#include "app/raf_board.h"
#include "mci/factory.h"
#include "mci/node_flags.h"
#include "platform/fpga/fpga_access.h"
#include "platform/qapp/zemtra_application.h"
#include "platform/qreg/signal_node.h"
#include "platform/qstd/trace.h"
#include "qreg/reg_fnc_node.h"

#include <cmath>
#include <limits>

namespace {

const bool c_coeff_names_filled =
    (ChannelCoeffTraits::names = {"gain_0", "gain_1", "gain_2", "gain_3", "phase_0", "phase_1", "phase_2", "phase_3"},
     true);

constexpr double c_pi = 3.14159265358979323846;
// 2^-32: the NCO word is the phase increment per ADC sample in 1/2^32 turns.
constexpr double c_nco_scale = 1.0 / 4294967296.0;
// |sin theta| below this counts as a multiple of pi: the taps would divide
// by (almost) zero.
constexpr double c_min_sin_theta = 1e-9;

uint64_t Pair(int32_t fir0, int32_t fir1)
{
    return static_cast<uint64_t>(static_cast<uint32_t>(fir0)) |
           (static_cast<uint64_t>(static_cast<uint32_t>(fir1)) << 32);
}

// Rounds half away from zero and clamps to the signed 32-bit range; false
// for a value that is not a number.
bool ToTap(double value, int32_t& tap)
{
    if (std::isnan(value)) {
        return false;
    }
    const double r = std::round(value);
    if (r >= 2147483647.0) {
        tap = std::numeric_limits<int32_t>::max();
    } else if (r <= -2147483648.0) {
        tap = std::numeric_limits<int32_t>::min();
    } else {
        tap = static_cast<int32_t>(r);
    }
    return true;
}

} // namespace

DigSigCond::DigSigCond(qapp::ZemtraBoard& board, volatile FPGAMem_t* base, const std::string& name)
    : qapp::ZemtraFpgaObject(board, base, name), m_reg(base), m_board(&dynamic_cast<RafBoard&>(board))
{
    QSTD_TRACE_FNC();
    (void)c_coeff_names_filled;
    _SetSwPattern0(0);
    _SetSwPattern1(9);
    _SetSwPattern2(6);
    _SetSwPattern3(15);
    InitCompensation(m_compensation);
    _SetAtt(c_att_max);
    _SetSw(m_sw);

    for (size_t table : {c_table_a, c_table_b}) {
        for (unsigned bank = 0; bank < 2; ++bank) {
            for (unsigned c = 0; c < c_dscChannels; ++c) {
                for (unsigned k = 0; k < c_table_words; ++k) {
                    fpga::Write64(m_reg, table + c_table_stride * (4 * bank + c) + 8 * k, c_table_value);
                }
            }
        }
    }
    for (unsigned bank = 0; bank < 2; ++bank) {
        for (unsigned c = 0; c < c_dscChannels; ++c) {
            for (unsigned s = 0; s < c_switch_positions; ++s) {
                fpga::Write64(m_reg, CoefPair(bank, c, s), Pair(c_unit_fir0, 0));
            }
        }
    }

    for (unsigned c = 0; c < c_dscChannels; ++c) {
        const std::string streamName = board.GetDecoratedName("channel_dsc_coefficient_" + std::to_string(c));
        m_streams[c] = std::make_shared<ChannelCoeffStream>(streamName, board.GetName(), 1, qsig::ePassive);
    }
}

DigSigCond::~DigSigCond()
{
    QSTD_TRACE_FNC();
    ReleaseStreams();
}

// --- getters ---------------------------------------------------------------

bool DigSigCond::GetAtt(unsigned int& value) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    value = m_att;
    return true;
}

bool DigSigCond::GetSwitching(bool& value) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    value = m_switching;
    return true;
}

bool DigSigCond::GetSw(unsigned int& value) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    value = m_sw;
    return true;
}

void DigSigCond::GetSwPattern(unsigned int (&pattern)[c_dscPatternSize]) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (unsigned p = 0; p < c_dscPatternSize; ++p) {
        pattern[p] = m_pattern[p];
    }
}

bool DigSigCond::GetSwPattern0(unsigned int& value) const
{
    return m_sw_pattern_nodes[0].GetValue(value, 0);
}

bool DigSigCond::_GetSwPatternPos(unsigned int& value, unsigned int position) const
{
    if (position >= c_dscPatternSize) {
        QSTD_TRACE(1, "Internal error: switch pattern position id is out of range.");
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    value = m_pattern[position];
    return true;
}

bool DigSigCond::MeanOverPattern(bool gain, unsigned int channel, double& value) const
{
    if (channel >= c_dscChannels) {
        QSTD_TRACE(1, "Internal error: invalid channel number while retrieving " << (gain ? "gain" : "phase")
                                                                                 << " coefficient.");
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto& t = gain ? m_compensation.gain : m_compensation.phase;
    value = (0.0 + t[0][channel] + t[1][channel] + t[2][channel] + t[3][channel]) * 0.25;
    return true;
}

bool DigSigCond::_GetGainCoef(double& value, unsigned int channel) const
{
    return MeanOverPattern(true, channel, value);
}

bool DigSigCond::_GetPhaseCoef(double& value, unsigned int channel) const
{
    return MeanOverPattern(false, channel, value);
}

tCompensationEntry DigSigCond::GetCompensation() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_compensation;
}

double DigSigCond::GetIfDelta() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_if_delta;
}

double DigSigCond::GetScaleK() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_K;
}

std::shared_ptr<ChannelCoeffStream> DigSigCond::GetStream(unsigned channel) const
{
    std::lock_guard<std::mutex> lock(m_stream_mutex);
    return channel < c_dscChannels ? m_streams[channel] : nullptr;
}

// --- setters through the nodes --------------------------------------------

bool DigSigCond::SetAtt(const unsigned int& value)
{
    return m_att_node.SetValue(value, 0);
}

bool DigSigCond::SetSw(const unsigned int& value)
{
    return m_sw_node.SetValue(value, 0);
}

bool DigSigCond::SetSwPattern0(const unsigned int& value)
{
    return m_sw_pattern_nodes[0].SetValue(value, 0);
}

bool DigSigCond::SetSwPattern1(const unsigned int& value)
{
    return m_sw_pattern_nodes[1].SetValue(value, 0);
}

bool DigSigCond::SetSwPattern2(const unsigned int& value)
{
    return m_sw_pattern_nodes[2].SetValue(value, 0);
}

bool DigSigCond::SetSwPattern3(const unsigned int& value)
{
    return m_sw_pattern_nodes[3].SetValue(value, 0);
}

// --- node setters ----------------------------------------------------------

bool DigSigCond::Running() const
{
    return GetApplicationState() == qapp::ZemtraApplication::eStateRunning;
}

bool DigSigCond::ReadNco(uint32_t& nco) const
{
    unsigned int value = 0;
    if (!m_board->GetNCOFreq(value)) {
        return false;
    }
    nco = value;
    return true;
}

void DigSigCond::ApplyAttOrSw(bool running, uint32_t nco, bool ncoValid, bool att)
{
    if (running) {
        WriteFPGA(nco, ncoValid);
    } else if (att) {
        FillAtt(0);
        FillAtt(1);
    } else {
        FillSw(0);
        FillSw(1);
    }
}

bool DigSigCond::_SetAtt(const unsigned int& value)
{
    const bool running = Running();
    uint32_t nco = 0;
    const bool ncoValid = running && ReadNco(nco);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (value == m_att) {
            return true;
        }
        QSTD_TRACE(2, "ATT: " << value);
        if (value > c_att_max) {
            QSTD_TRACE(1, "Invalid ATT value " << value << ".");
            return false;
        }
        m_att = value;
        ApplyAttOrSw(running, nco, ncoValid, true);
    }
    if (running) {
        m_board->WakeUpSignalConditioning();
    }
    return true;
}

bool DigSigCond::_SetSwitching(const bool& value)
{
    const bool running = Running();
    uint32_t nco = 0;
    const bool ncoValid = running && ReadNco(nco);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_switching = value;
    ApplyAttOrSw(running, nco, ncoValid, false);
    return true;
}

bool DigSigCond::_SetSw(const unsigned int& value)
{
    QSTD_TRACE(2, "SW: " << value);
    if (value > c_sw_max) {
        QSTD_TRACE(1, "Invalid SW value.");
        return false;
    }
    const bool running = Running();
    uint32_t nco = 0;
    const bool ncoValid = running && ReadNco(nco);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sw = value;
    ApplyAttOrSw(running, nco, ncoValid, false);
    return true;
}

bool DigSigCond::_SetSwPatternPos(unsigned int value, unsigned int position)
{
    if (position >= c_dscPatternSize) {
        QSTD_TRACE(1, "Internal error: switch pattern position id is out of range.");
        return false;
    }
    if (value > c_sw_max) {
        QSTD_TRACE(1, value << "is invalid switch position value ");
        return false;
    }
    unsigned int pattern[c_dscPatternSize];
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_pattern[position] = value;
        for (unsigned p = 0; p < c_dscPatternSize; ++p) {
            pattern[p] = m_pattern[p];
        }
    }
    m_board->UpdateMarkerPosition(pattern);
    return true;
}

// --- compensation ----------------------------------------------------------

bool DigSigCond::SetCompensation(const tCompensationEntry& entry, double ifDelta)
{
    QSTD_TRACE_FNC();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_compensation = entry;
        m_if_delta = ifDelta;
    }
    PublishAndWrite(entry, true);
    return true;
}

bool DigSigCond::SetUnitCompensation()
{
    QSTD_TRACE_FNC();
    tCompensationEntry unit;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_unit) {
            return true;
        }
        m_unit = true;
        InitCompensation(m_compensation);
        unit = m_compensation;
    }
    PublishAndWrite(unit, false);
    return true;
}

void DigSigCond::PublishAndWrite(const tCompensationEntry& entry, bool clearUnit)
{
    // Subscribers and stream clients see the new values before the FPGA.
    EmitNotifications();
    DispatchStreams(entry);
    uint32_t nco = 0;
    const bool ncoValid = ReadNco(nco);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (clearUnit) {
        m_unit = false;
    }
    WriteFPGA(nco, ncoValid);
}

double DigSigCond::TapAngle(uint32_t nco, double adcFreq, double ifFreq, double ifDelta)
{
    const double fNco = static_cast<double>(nco) * adcFreq * c_nco_scale;
    const double d = ifDelta - (fNco - ifFreq);
    return 2.0 * c_pi * (ifFreq - d) / adcFreq;
}

bool DigSigCond::ComputeTaps(double g, double phi, double theta, double k, int32_t& fir0, int32_t& fir1)
{
    fir0 = c_unit_fir0;
    fir1 = 0;
    const double t = std::tan(theta);
    const double u = std::sin(theta);
    if (!std::isfinite(theta) || std::fabs(u) < c_min_sin_theta || !std::isfinite(t)) {
        return false;
    }
    int32_t a = 0;
    int32_t b = 0;
    if (!ToTap((std::cos(phi) - std::sin(phi) / t) * g * k, a) || !ToTap(std::sin(phi) / u * g * k, b)) {
        return false;
    }
    fir0 = a;
    fir1 = b;
    return true;
}

// --- FPGA ------------------------------------------------------------------

void DigSigCond::FillAtt(unsigned bank)
{
    const uint32_t a = (m_att * 2) & c_att_mask;
    QSTD_TRACE(3, "ATT (user val): " << m_att << " mask: " << c_att_mask << " (fpga val): " << a);
    const uint64_t word = a | (a << 8) | (a << 16) | (static_cast<uint64_t>(a) << 24);
    fpga::Write64(m_reg, AttWord(bank), word);
}

uint64_t DigSigCond::SwitchWord() const
{
    uint64_t word = 0;
    for (unsigned k = 0; k < c_switch_positions; ++k) {
        const uint64_t field = m_switching ? (m_pattern[k % c_dscPatternSize] & 15u) : (m_sw & 15u);
        word |= field << (4 * k);
    }
    return word;
}

void DigSigCond::FillSw(unsigned bank)
{
    const uint64_t word = SwitchWord();
    for (unsigned i = 0; i < c_sw_word_count; ++i) {
        fpga::Write64(m_reg, SwWord(bank, i), word);
    }
}

void DigSigCond::WriteFPGA(uint32_t nco, bool ncoValid)
{
    const unsigned bank = (fpga::Read64(m_reg, c_bank_control) & c_bank_in_use_bit) != 0 ? 0 : 1;
    FillAtt(bank);
    FillSw(bank);

    const bool frequencies = m_adc_freq > 0.0 && std::isfinite(m_adc_freq) && std::isfinite(m_if_freq);
    const double theta = frequencies && ncoValid ? TapAngle(nco, m_adc_freq, m_if_freq, m_if_delta) : std::nan("");
    if (!m_unit && !(frequencies && ncoValid)) {
        QSTD_TRACE(1, "Compensation coefficients cannot be computed without the ADC, IF and NCO frequencies; "
                      "unit coefficients are written.");
    }

    for (unsigned s = 0; s < c_switch_positions; ++s) {
        unsigned p = c_dscPatternSize;
        for (unsigned i = 0; i < c_dscPatternSize; ++i) {
            if (m_pattern[i] == s) {
                p = i;
                break;
            }
        }
        for (unsigned c = 0; c < c_dscChannels; ++c) {
            int32_t fir0 = c_unit_fir0;
            int32_t fir1 = 0;
            if (p < c_dscPatternSize && !m_unit) {
                const double g = m_compensation.gain[p][c];
                const double phi = m_compensation.phase[p][c];
                if (!ComputeTaps(g, phi, theta, m_K, fir0, fir1) && frequencies && ncoValid) {
                    QSTD_TRACE(1, "Undefined compensation coefficients for channel " << c << " at switch position " << s
                                                                                     << "; unit pair written.");
                }
                QSTD_TRACE(4, " fir0: " << fir0 << " fir1: " << fir1 << " gain: " << g << " channel: " << c
                                        << " pattern_pos: " << p << " sw_pos: " << s);
                QSTD_TRACE(2, "Applying compensation coefficients for channel " << c << " "
                                                                                << "gain: " << g << " "
                                                                                << "phase: " << phi << " "
                                                                                << "fir0: " << fir0 << " "
                                                                                << "fir1: " << fir1);
            }
            fpga::Write64(m_reg, CoefPair(bank, c, s), Pair(fir0, fir1));
        }
    }
    fpga::Write64(m_reg, c_bank_control, bank);
    GetParentBoard().FlushRegisters(m_reg + c_bank_control);
}

// --- hooks -----------------------------------------------------------------

void DigSigCond::OnPostInit()
{
    QSTD_TRACE_FNC();
    const double ifFreq = m_board->GetIFFrequency();
    const double adcFreq = m_board->GetADCFrequency();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_if_freq = ifFreq;
    m_adc_freq = adcFreq;
    // Without an ADC frequency the taps stay undefined (unit pairs) and the
    // scale keeps its start value.
    if (m_adc_freq > 0.0) {
        m_K = std::sin(2.0 * c_pi * m_if_freq / m_adc_freq) * 65536.0;
    }
}

void DigSigCond::OnRegistryAdd(mci::TreeNodePtr& node)
{
    QSTD_TRACE_FNC();
    using namespace mci::flags;
    using DSC = DigSigCond;
    using UNode = qreg::RegFncNode<unsigned int>;
    using DNode = qreg::RegFncNode<double>;

    mci::TreeNodePtr switching = mci::factory::Create<qreg::RegFncNode<bool>>("switching", this, &DSC::_SetSwitching,
                                                                              &DSC::GetSwitching, c_setting);
    node->Add(switching);
    m_switching_node = mci::Node(switching, mci::c_noRelPath);

    mci::TreeNodePtr att = mci::factory::Create<UNode>("att", this, &DSC::_SetAtt, &DSC::GetAtt, c_setting);
    node->Add(att);
    m_att_node = mci::Node(att, mci::c_noRelPath);

    mci::TreeNodePtr sw = mci::factory::Create<UNode>("sw", this, &DSC::_SetSw, &DSC::GetSw, c_auxSetting);
    node->Add(sw);
    m_sw_node = mci::Node(sw, mci::c_noRelPath);

    using PatternSetter = bool (DSC::*)(const unsigned int&);
    using PatternGetter = bool (DSC::*)(unsigned int&) const;
    const PatternSetter setters[] = {&DSC::_SetSwPattern0, &DSC::_SetSwPattern1, &DSC::_SetSwPattern2,
                                     &DSC::_SetSwPattern3};
    const PatternGetter getters[] = {&DSC::_GetSwPattern0, &DSC::_GetSwPattern1, &DSC::_GetSwPattern2,
                                     &DSC::_GetSwPattern3};
    for (unsigned p = 0; p < c_dscPatternSize; ++p) {
        mci::TreeNodePtr pattern = mci::factory::Create<mci::LocalNodeStructure, UNode>(
            "sw_pattern_" + std::to_string(p), this, setters[p], getters[p], c_auxSetting);
        node->Add(pattern);
        m_sw_pattern_nodes[p] = mci::Node(pattern, mci::c_noRelPath);
    }

    // Coefficient nodes read the object's current values at every read.
    mci::TreeNodePtr coefficients = mci::factory::Create<qreg::RegNode>("coefficients");
    mci::TreeNodePtr channels[c_dscChannels];
    for (unsigned c = 0; c < c_dscChannels; ++c) {
        channels[c] = mci::factory::Create<mci::LocalNodeStructure, qreg::RegNode>("channel_" + std::to_string(c));
        std::shared_ptr<ChannelCoeffStream> stream = GetStream(c);
        if (stream) {
            mci::TreeNodePtr streamNode = mci::factory::Create<qreg::SignalNode>(
                "stream", static_cast<qsig::SignalSource*>(stream.get()), c_auxReadOnly);
            std::lock_guard<std::mutex> lock(m_stream_mutex);
            m_stream_nodes[c] = std::dynamic_pointer_cast<qreg::SignalNode>(streamNode);
            channels[c]->Add(streamNode);
        }
    }
    // Read-only double nodes of the current values (flags 2).
    const auto readOnly = [](const std::string& name, std::function<bool(double&)> get) {
        return mci::factory::Create<mci::LocalNodeStructure, DNode>(
            name, DNode::ScalarSetter(), DNode::ScalarGetter(std::move(get)), DNode::ArraySetter(),
            DNode::ArrayGetter(), size_t{1}, c_readOnly);
    };
    for (unsigned c = 0; c < c_dscChannels; ++c) {
        m_gain_nodes[c] = readOnly("gain", [this, c](double& v) { return _GetGainCoef(v, c); });
        channels[c]->Add(m_gain_nodes[c]);
    }
    for (unsigned c = 0; c < c_dscChannels; ++c) {
        m_phase_nodes[c] = readOnly("phase", [this, c](double& v) { return _GetPhaseCoef(v, c); });
        channels[c]->Add(m_phase_nodes[c]);
    }
    for (unsigned p = 0; p < c_dscPatternSize; ++p) {
        for (unsigned c = 0; c < c_dscChannels; ++c) {
            const std::string name = "pattern_" + std::to_string(p);
            m_gain_pattern_nodes[p][c] = readOnly(name, [this, p, c](double& v) {
                v = GetCompensation().gain[p][c];
                return true;
            });
            m_gain_nodes[c]->Add(m_gain_pattern_nodes[p][c]);
            m_phase_pattern_nodes[p][c] = readOnly(name, [this, p, c](double& v) {
                v = GetCompensation().phase[p][c];
                return true;
            });
            m_phase_nodes[c]->Add(m_phase_pattern_nodes[p][c]);
        }
    }
    m_if_delta_node = readOnly("if_delta", [this](double& v) {
        v = GetIfDelta();
        return true;
    });
    channels[0]->Add(m_if_delta_node);
    for (unsigned c = 0; c < c_dscChannels; ++c) {
        coefficients->Add(channels[c]);
    }
    node->Add(coefficients);
}

void DigSigCond::EmitNotifications()
{
    const auto emit = [](const mci::TreeNodePtr& n) {
        if (auto* reg = dynamic_cast<qreg::RegNode*>(n.get())) {
            reg->Emit();
        }
    };
    for (unsigned c = 0; c < c_dscChannels; ++c) {
        for (unsigned p = 0; p < c_dscPatternSize; ++p) {
            emit(m_gain_pattern_nodes[p][c]);
            emit(m_phase_pattern_nodes[p][c]);
        }
        emit(m_gain_nodes[c]);
        emit(m_phase_nodes[c]);
    }
    emit(m_if_delta_node);
}

void DigSigCond::DispatchStreams(const tCompensationEntry& entry)
{
    std::array<std::shared_ptr<ChannelCoeffStream>, c_dscChannels> streams;
    {
        std::lock_guard<std::mutex> lock(m_stream_mutex);
        streams = m_streams;
    }
    for (unsigned c = 0; c < c_dscChannels; ++c) {
        if (!streams[c]) {
            continue;
        }
        ChannelCoeffStream::Buffer buffer(streams[c]->GetTraits(), 1);
        ChannelCoeffSignalStruct& atom = buffer[0];
        for (unsigned p = 0; p < c_dscPatternSize; ++p) {
            atom.gain[p] = entry.gain[p][c];
            atom.phase[p] = entry.phase[p][c];
        }
        streams[c]->Dispatch(std::move(buffer), qsig::c_noMeta);
    }
}

void DigSigCond::ReleaseStreams()
{
    std::array<std::shared_ptr<ChannelCoeffStream>, c_dscChannels> streams;
    std::array<std::shared_ptr<qreg::SignalNode>, c_dscChannels> nodes;
    {
        std::lock_guard<std::mutex> lock(m_stream_mutex);
        streams.swap(m_streams);
        nodes.swap(m_stream_nodes);
    }
    for (unsigned c = 0; c < c_dscChannels; ++c) {
        // Clients reaching the node get an error from now on; those holding
        // the stream learn that it has been shut down.
        if (nodes[c]) {
            nodes[c]->DetachSource();
        }
        if (streams[c]) {
            streams[c]->ShutDown();
        }
    }
}

void DigSigCond::OnShutdown()
{
    QSTD_TRACE_FNC();
    ReleaseStreams();
}
