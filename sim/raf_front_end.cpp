#include "sim/raf_front_end.h"

#include "sim/board.h"

#include <algorithm>
#include <cmath>
#include <sstream>

namespace sim {

namespace {

constexpr double c_pi = 3.14159265358979323846;
constexpr double c_unitTap = 65536.0;

// Layout of the conditioning block (bank b, channel c).
constexpr size_t c_bankControl = 0x00;
constexpr uint32_t c_bankInUseBit = 0x100;
constexpr size_t c_attWords = 0x10;
constexpr size_t c_swWords = 0x1000;
constexpr size_t c_swBankStride = 0x400;
constexpr size_t c_coefPairs = 0x9000;
constexpr size_t c_coefBankStride = 0x200;
constexpr size_t c_coefChannelStride = 0x80;

// Clock identification words of the board.
constexpr size_t c_tbtDecimation = 0x108;
constexpr size_t c_harmonicNumber = 0x128;

// The bank a byte offset of the block belongs to, or -1 for the words that
// are not switched by bank.
int BankOf(size_t offset)
{
    if (offset >= c_attWords && offset < c_attWords + 16) {
        return static_cast<int>((offset - c_attWords) / 8);
    }
    if (offset >= c_swWords && offset < c_swWords + 2 * c_swBankStride) {
        return static_cast<int>((offset - c_swWords) / c_swBankStride);
    }
    if (offset >= c_coefPairs && offset < c_coefPairs + 2 * c_coefBankStride) {
        return static_cast<int>((offset - c_coefPairs) / c_coefBankStride);
    }
    return -1;
}

uint32_t Word(const volatile FPGAMem_t* memory, size_t offset)
{
    return fpga::MemoryRead32(memory, offset);
}

} // namespace

// The conditioning block: the bank in use reads in bit 8 of the bank
// control; every write is shadowed. Writes also reach the memory.
class RafFrontEnd::BankModel : public fpga::RegisterModel {
public:
    explicit BankModel(RafFrontEnd& frontEnd) : m_frontEnd(frontEnd) {}
    bool Read32(size_t offset, uint32_t& value) override
    {
        if (offset != c_bankControl) {
            return false;
        }
        value = (m_frontEnd.Shadow(c_bankControl) & ~c_bankInUseBit) |
                (m_frontEnd.m_active.load() != 0 ? c_bankInUseBit : 0u);
        return true;
    }
    bool Write32(size_t offset, uint32_t value) override
    {
        m_frontEnd.OnWrite(offset, value);
        return false;
    }

private:
    RafFrontEnd& m_frontEnd;
};

// The switch mark word of the DSC configuration: its position bits are
// shadowed; reads and writes go to the memory.
class RafFrontEnd::MarkModel : public fpga::RegisterModel {
public:
    explicit MarkModel(RafFrontEnd& frontEnd) : m_frontEnd(frontEnd) {}
    bool Read32(size_t, uint32_t&) override { return false; }
    bool Write32(size_t offset, uint32_t value) override
    {
        if (offset == 0) {
            m_frontEnd.m_mark.store(value & 0xFu);
            m_frontEnd.m_changes.fetch_add(1);
        }
        return false;
    }

private:
    RafFrontEnd& m_frontEnd;
};

RafFrontEnd::RafFrontEnd(Board& board) : m_shadow(new std::atomic<uint32_t>[c_dscLength / 4])
{
    volatile FPGAMem_t* memory = board.Memory();
    for (size_t i = 0; i < c_dscLength / 4; ++i) {
        m_shadow[i].store(Word(memory, c_dscOffset + 4 * i));
    }
    for (unsigned i = 0; i < c_switchPositions * c_channels; ++i) {
        m_gainError[i].store(1.0);
        m_phaseError[i].store(0.0);
    }
    // The RF signal aliases to harmonic mod TBT decimation turns of the ADC
    // clock per TBT period: the IF angle per sample.
    const uint32_t tbt = Word(memory, c_tbtDecimation);
    const uint32_t harmonic = Word(memory, c_harmonicNumber);
    m_theta.store(tbt == 0 ? 0.0 : 2.0 * c_pi * static_cast<double>(harmonic % tbt) / static_cast<double>(tbt));

    board.PlugRegisters(c_dscOffset, c_dscLength, std::make_unique<BankModel>(*this));
    m_mark.store(Word(memory, c_markOffset) & 0xFu);
    board.PlugRegisters(c_markOffset, 8, std::make_unique<MarkModel>(*this));
}

RafFrontEnd::~RafFrontEnd() = default;

void RafFrontEnd::OnWrite(size_t offset, uint32_t value)
{
    if (offset >= c_dscLength) {
        return;
    }
    m_shadow[offset / 4].store(value);
    m_programmed.store(true);
    if (offset == c_bankControl) {
        m_active.store(static_cast<int>(value & 1u));
        m_changes.fetch_add(1);
        m_switches.fetch_add(1);
        std::function<void(unsigned)> hook;
        {
            std::lock_guard<std::mutex> lock(m_hookMutex);
            hook = m_bankSwitchHook;
        }
        if (hook) {
            hook(value & 1u);
        }
        return;
    }
    m_changes.fetch_add(1);
    if (BankOf(offset) == m_active.load()) {
        m_activeWrites.fetch_add(1);
    }
}

uint32_t RafFrontEnd::Shadow(size_t offset) const
{
    return m_shadow[offset / 4].load();
}

void RafFrontEnd::ResetCounters()
{
    m_switches.store(0);
    m_activeWrites.store(0);
}

void RafFrontEnd::SetBankSwitchHook(std::function<void(unsigned bank)> hook)
{
    std::lock_guard<std::mutex> lock(m_hookMutex);
    m_bankSwitchHook = std::move(hook);
}

void RafFrontEnd::SetChannelError(unsigned s, unsigned c, double gain, double phase)
{
    if (s < c_switchPositions && c < c_channels) {
        m_gainError[s * c_channels + c].store(gain);
        m_phaseError[s * c_channels + c].store(phase);
        m_changes.fetch_add(1);
    }
}

std::complex<double> RafFrontEnd::ChannelError(unsigned s, unsigned c) const
{
    if (s >= c_switchPositions || c >= c_channels) {
        return 1.0;
    }
    return std::polar(m_gainError[s * c_channels + c].load(), m_phaseError[s * c_channels + c].load());
}

double RafFrontEnd::Attenuation() const
{
    if (!m_programmed.load()) {
        return c_startAttenuation;
    }
    // Each byte of the word holds twice the attenuation in dB.
    const uint32_t word = Shadow(c_attWords + 8 * ActiveBank());
    return static_cast<double>(word & 0x3Fu) / 2.0;
}

unsigned RafFrontEnd::SwitchPosition(unsigned k) const
{
    const size_t base = c_swWords + c_swBankStride * ActiveBank();
    const uint32_t half = Shadow(base + (k >= 8 ? 4 : 0));
    return (half >> (4 * (k % 8))) & 0xFu;
}

int RafFrontEnd::MarkedStep() const
{
    const unsigned mark = MarkPosition();
    for (unsigned k = 0; k < 4; ++k) {
        if (SwitchPosition(k) == mark) {
            return static_cast<int>(k);
        }
    }
    return -1;
}

int32_t RafFrontEnd::Fir0(unsigned s, unsigned c) const
{
    if (!m_programmed.load()) {
        return static_cast<int32_t>(c_unitTap);
    }
    const size_t pair = c_coefPairs + c_coefBankStride * ActiveBank() + c_coefChannelStride * c + 8 * s;
    return static_cast<int32_t>(Shadow(pair));
}

int32_t RafFrontEnd::Fir1(unsigned s, unsigned c) const
{
    if (!m_programmed.load()) {
        return 0;
    }
    const size_t pair = c_coefPairs + c_coefBankStride * ActiveBank() + c_coefChannelStride * c + 8 * s;
    return static_cast<int32_t>(Shadow(pair + 4));
}

uint32_t RafFrontEnd::SecondMax() const
{
    const double reading = c_secondMaxAt0dB * std::pow(10.0, (InputPower() - Attenuation()) / 20.0);
    if (!(reading > 0.0)) {
        return 0;
    }
    return static_cast<uint32_t>(std::min(std::round(reading), 65535.0));
}

std::complex<double> RafFrontEnd::InputFactor(unsigned s, unsigned c) const
{
    const double level = std::pow(10.0, (InputPower() - Attenuation() - c_nominalLevel) / 20.0);
    return level * ChannelError(s, c);
}

std::complex<double> RafFrontEnd::ChannelFactor(unsigned s, unsigned c) const
{
    const double theta = m_theta.load();
    if (!m_programmed.load()) {
        return InputFactor(s, c);
    }
    // The unit compensation's fir0 (65536 sin theta, rounded), the response
    // that counts as unity.
    const double unity = std::fabs(std::sin(theta)) > 1e-9 ? std::round(c_unitTap * std::sin(theta)) : c_unitTap;
    const std::complex<double> taps =
        (static_cast<double>(Fir0(s, c)) + static_cast<double>(Fir1(s, c)) * std::polar(1.0, -theta)) / unity;
    return InputFactor(s, c) * std::conj(taps);
}

std::string RafFrontEnd::AttenuatorTable()
{
    std::ostringstream os;
    os << "# Attenuator per input power of the simulated front end: the ADC\n"
          "# level stays at the operating point from -20 to 11 dBm.\n"
          "# power[dBm] attenuator[dB] hysteresis[dB]\n";
    for (int power = -100; power <= 30; ++power) {
        const int att = std::min(std::max(power - static_cast<int>(c_nominalLevel), 0), 31);
        os << power << " " << att << " 0.5\n";
    }
    return os.str();
}

} // namespace sim
