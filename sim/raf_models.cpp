#include "sim/raf_models.h"

#include "platform/fpga/fpga_access.h"
#include "sim/board.h"
#include "sim/raf_front_end.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

namespace {

using Clock = std::chrono::steady_clock;

// Block offsets on the RAF board.
constexpr size_t c_clockInfo = 0x100;
constexpr size_t c_dscDetectors = 0x800000;
constexpr size_t c_tbtDebugRam = 0x900010; // capture register 0x10, data port 0x18
constexpr size_t c_synthControl = 0xC00000;
constexpr size_t c_synthTable = 0xC02000;
constexpr size_t c_synthTableState = 0xC03018;
constexpr size_t c_adcSpi = 0x300100;
constexpr size_t c_mux = 0x300118;
constexpr size_t c_tsSpi = 0x300180;
constexpr size_t c_tsm = 0x500000;
constexpr size_t c_tsmSize = 0x18;

constexpr size_t c_debugRamAtoms = 2048;
constexpr unsigned c_synthEntries = 1024;
constexpr uint32_t c_synthOn = 15;

// SPI controller register set (see platform/bmc/spi_bus_controller_fpga_amba.h).
constexpr size_t c_spiControl = 0x00;
constexpr size_t c_spiStatus = 0x04;
constexpr size_t c_spiRx = 0x10;
constexpr size_t c_spiSize = 0x20;
// The AD7787's controller has one chip select; its register set ends before
// the multiplexer's word.
constexpr size_t c_adcSpiSize = 0x14;
constexpr uint32_t c_spiStart = 0x100;
constexpr uint32_t c_spiBusy = 0x1;
constexpr uint32_t c_spiError = 0x2;

constexpr double c_twoPi = 6.283185307179586;
constexpr double c_channelAmplitude[4] = {8000.0, 7800.0, 8200.0, 7900.0};
constexpr double c_channelPhase[4] = {0.0, 0.5, 1.0, 1.5};

// The board's memory behind the models, a whole word at a time: the server
// writes it meanwhile (the synthetic generator's table and control word).
uint32_t Load32(Board& board, size_t offset)
{
    return fpga::MemoryRead32(board.Memory(), offset);
}

void Store32(Board& board, size_t offset, uint32_t value)
{
    fpga::MemoryWrite32(board.Memory(), offset, value);
}

uint64_t PackAtom(const int16_t (&s)[4])
{
    uint64_t atom = 0;
    for (unsigned c = 0; c < 4; ++c) {
        atom |= static_cast<uint64_t>(static_cast<uint16_t>(s[c])) << (16 * c);
    }
    return atom;
}

// Second-maximum detectors A (register 0x00) and B (0x08). The model keeps
// its own copy of their 32-bit words, updated by every write (which also
// reaches the memory, where the upper halves are read), so that the trigger
// thread reads a detector's restart mode without touching the memory that
// the server writes.
class SecondMaxDetectors : public fpga::RegisterModel {
public:
    explicit SecondMaxDetectors(Board& board) : m_board(board)
    {
        for (size_t w = 0; w < c_words; ++w) {
            m_words[w].store(Load32(board, c_dscDetectors + 4 * w));
        }
    }

    bool Read32(size_t offset, uint32_t& value) override
    {
        if (offset != 0 && offset != 8) {
            return false;
        }
        const size_t i = offset / 8;
        const uint32_t generation = OnRead(i) ? m_generation[i].fetch_add(1) : m_generation[i].load();
        // The level follows the input power at the front end's attenuation.
        const RafFrontEnd* frontEnd = m_board.FrontEnd();
        const uint32_t level = std::min<uint32_t>((frontEnd ? frontEnd->SecondMax() : 0) + generation % 64, 0xFFFFu);
        value = (m_words[offset / 4].load() & ~0xFFFFu) | level;
        return true;
    }
    bool Write32(size_t offset, uint32_t value) override
    {
        if (offset % 4 == 0 && offset / 4 < c_words) {
            m_words[offset / 4].store(value);
        }
        return false;
    }

    void OnTrigger()
    {
        for (size_t i = 0; i < 2; ++i) {
            if (!OnRead(i)) {
                m_generation[i].fetch_add(1);
            }
        }
    }

private:
    static constexpr size_t c_words = 4;

    // Bit 32 of the detector's register: restart after each read.
    bool OnRead(size_t i) const { return (m_words[2 * i + 1].load() & 1u) != 0; }

    Board& m_board;
    std::atomic<uint32_t> m_words[c_words];
    std::atomic<uint32_t> m_generation[2] = {{0}, {0}};
};

// The timing state machine's words: held by the model (writes also reach
// the memory), so that the trigger thread reads the acquisition window's
// offset and duration while clients write them.
class TimingStateMachine : public fpga::RegisterModel {
public:
    explicit TimingStateMachine(Board& board)
    {
        for (size_t w = 0; w < c_words; ++w) {
            m_words[w].store(Load32(board, c_tsm + 4 * w));
        }
    }
    bool Read32(size_t offset, uint32_t& value) override
    {
        if (offset % 4 != 0 || offset / 4 >= c_words) {
            return false;
        }
        value = m_words[offset / 4].load();
        return true;
    }
    bool Write32(size_t offset, uint32_t value) override
    {
        if (offset % 4 == 0 && offset / 4 < c_words) {
            m_words[offset / 4].store(value);
        }
        return false;
    }

private:
    static constexpr size_t c_words = c_tsmSize / 4;
    std::atomic<uint32_t> m_words[c_words];
};

class DebugRam;

// The debug RAM model of each board, for DebugRamFrames.
std::mutex g_debugRamsMutex;
std::map<const Board*, DebugRam*> g_debugRams;

// Capture register and data port of the TBT debug RAM.
class DebugRam : public fpga::RegisterModel {
public:
    DebugRam(Board& board, bool stuck) : m_board(board), m_stuck(stuck), m_frame(c_debugRamAtoms, 0)
    {
        std::lock_guard<std::mutex> lock(g_debugRamsMutex);
        g_debugRams[&board] = this;
    }
    ~DebugRam() override
    {
        std::lock_guard<std::mutex> lock(g_debugRamsMutex);
        g_debugRams.erase(&m_board);
    }

    void Frames(uint64_t& captures, uint64_t& lastStart)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        captures = m_captures;
        lastStart = m_lastStart;
    }

    bool Read32(size_t offset, uint32_t& value) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        switch (offset) {
        case 0:
            if (m_pending && !m_stuck && Clock::now() >= m_readyAt) {
                Capture();
                m_pending = false;
            }
            value = (Load32(m_board, c_tbtDebugRam) & ~1u) | (m_pending ? 1u : 0u);
            return true;
        case 8:
            value = m_next < c_debugRamAtoms ? static_cast<uint32_t>(m_frame[m_next]) : 0;
            return true;
        case 12:
            value = m_next < c_debugRamAtoms ? static_cast<uint32_t>(m_frame[m_next] >> 32) : 0;
            m_next = std::min(m_next + 1, c_debugRamAtoms);
            return true;
        default:
            return false;
        }
    }

    bool Write32(size_t offset, uint32_t value) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        switch (offset) {
        case 0:
            if ((value & 1u) != 0 && !m_pending) {
                m_pending = true;
                m_readyAt = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                                               static_cast<double>(c_debugRamAtoms) / m_board.Clock().Frequency()));
            }
            Store32(m_board, c_tbtDebugRam, value);
            return true;
        case 8:
            if ((value & 1u) != 0) {
                m_next = 0;
            }
            return true;
        case 12:
            return true;
        default:
            return false;
        }
    }

private:
    void Capture()
    {
        const uint64_t n0 = m_board.Clock().Now();
        if (Load32(m_board, c_synthControl) == c_synthOn && Load32(m_board, c_synthTableState) == 1) {
            for (size_t k = 0; k < c_debugRamAtoms; ++k) {
                const uint32_t entry = Load32(m_board, c_synthTable + 4 * ((n0 + k) % c_synthEntries));
                const auto a1 = static_cast<int16_t>(entry & 0xFFFFu);
                const auto a2 = static_cast<int16_t>(entry >> 16);
                const int16_t s[4] = {a1, a1, a2, a2};
                m_frame[k] = PackAtom(s);
            }
        } else {
            const uint32_t tbt = Load32(m_board, c_clockInfo + 0x08);
            const uint32_t harmonic = Load32(m_board, c_clockInfo + 0x28);
            for (size_t k = 0; k < c_debugRamAtoms; ++k) {
                m_frame[k] = RfFrameAtom(n0, static_cast<unsigned>(k), tbt, harmonic);
            }
        }
        m_next = 0;
        m_lastStart = n0;
        ++m_captures;
    }

    Board& m_board;
    const bool m_stuck;
    uint64_t m_captures = 0;
    uint64_t m_lastStart = 0;
    std::mutex m_mutex;
    bool m_pending = false;
    Clock::time_point m_readyAt;
    std::vector<uint64_t> m_frame;
    size_t m_next = c_debugRamAtoms;
};

// The multiplexer in front of the AD7787 and the sensors behind both buses.
struct TemperatureDevices {
    explicit TemperatureDevices(const std::vector<std::string>& failed) : failed(failed) {}

    bool Failed(const std::string& sensor) const
    {
        return std::find(failed.begin(), failed.end(), sensor) != failed.end();
    }
    // The input the ADC sees at t (the one before a switch that has not
    // settled yet); under mutex.
    unsigned SettledInput(Clock::time_point t) const { return t >= switched + c_muxSettle ? input : previous; }

    const std::vector<std::string> failed;
    std::mutex mutex;
    unsigned input = 0;
    unsigned previous = 0;
    Clock::time_point switched{};
};

class AnalogMux : public fpga::RegisterModel {
public:
    AnalogMux(Board& board, std::shared_ptr<TemperatureDevices> devices) : m_board(board), m_devices(std::move(devices))
    {
    }
    bool Read32(size_t, uint32_t&) override { return false; }
    bool Write32(size_t offset, uint32_t value) override
    {
        if (offset != 0) {
            return false;
        }
        std::lock_guard<std::mutex> lock(m_devices->mutex);
        const unsigned input = value & 0x3u;
        if (input != m_devices->input) {
            const auto now = Clock::now();
            m_devices->previous = m_devices->SettledInput(now);
            m_devices->input = input;
            m_devices->switched = now;
        }
        Store32(m_board, c_mux, value);
        return true;
    }

private:
    Board& m_board;
    std::shared_ptr<TemperatureDevices> m_devices;
};

class SpiBus : public fpga::RegisterModel {
public:
    // platinum: the AD7787's bus (one chip select, behind the multiplexer);
    // else the four ADT7301s'.
    SpiBus(Board& board, size_t base, bool platinum, std::shared_ptr<TemperatureDevices> devices)
        : m_board(board), m_base(base), m_platinum(platinum), m_devices(std::move(devices))
    {
    }

    bool Read32(size_t offset, uint32_t& value) override
    {
        if (offset != c_spiStatus) {
            return false;
        }
        std::lock_guard<std::mutex> lock(m_devices->mutex);
        const auto now = Clock::now();
        if (m_active) {
            if (now < m_readyAt) {
                value = c_spiBusy;
                return true;
            }
            Complete(now);
        }
        value = m_error ? c_spiError : 0;
        return true;
    }

    bool Write32(size_t offset, uint32_t value) override
    {
        if (offset != c_spiControl) {
            return false;
        }
        std::lock_guard<std::mutex> lock(m_devices->mutex);
        if ((value & c_spiStart) != 0) {
            m_active = true;
            m_error = false;
            m_cs = value & 0xFu;
            const auto now = Clock::now();
            m_readyAt = m_platinum ? std::max(now, m_devices->switched + c_muxSettle) : now;
        }
        Store32(m_board, m_base + c_spiControl, value);
        return true;
    }

private:
    void Complete(Clock::time_point now)
    {
        m_active = false;
        uint32_t raw = 0;
        if (m_platinum) {
            const unsigned input = m_devices->SettledInput(now);
            m_error = m_cs != 0 || m_devices->Failed("pt" + std::to_string(input + 1));
            raw = static_cast<uint32_t>(std::lround((c_ptTemperature[input] + 50.0) / 200.0 * 16777216.0)) & 0xFFFFFFu;
        } else {
            m_error = m_cs > 3 || m_devices->Failed("ts" + std::to_string(m_cs + 1));
            raw = m_cs > 3 ? 0 : static_cast<uint32_t>(std::lround(c_tsTemperature[m_cs] * 32.0)) & 0x3FFFu;
        }
        if (!m_error) {
            Store32(m_board, m_base + c_spiRx + 4 * m_cs, raw);
        }
    }

    Board& m_board;
    const size_t m_base;
    const bool m_platinum;
    std::shared_ptr<TemperatureDevices> m_devices;
    bool m_active = false;
    bool m_error = false;
    unsigned m_cs = 0;
    Clock::time_point m_readyAt;
};

} // namespace

uint64_t RfFrameAtom(uint64_t n0, unsigned k, uint32_t tbt, uint32_t harmonic)
{
    if (tbt == 0) {
        return 0;
    }
    // The carrier advances (harmonic mod TBT decimation) / TBT decimation of a
    // cycle per ADC period; the phase is formed in integers so that it stays
    // exact at any LMT.
    const uint64_t step = harmonic % tbt;
    const uint64_t index = ((n0 + k) % tbt) * step % tbt;
    const double angle = c_twoPi * static_cast<double>(index) / static_cast<double>(tbt);
    int16_t s[4];
    for (unsigned c = 0; c < 4; ++c) {
        s[c] = static_cast<int16_t>(std::lround(c_channelAmplitude[c] * std::sin(angle + c_channelPhase[c])));
    }
    return PackAtom(s);
}

bool DebugRamFrames(const Board& board, uint64_t& captures, uint64_t& lastStart)
{
    std::lock_guard<std::mutex> lock(g_debugRamsMutex);
    const auto it = g_debugRams.find(&board);
    if (it == g_debugRams.end()) {
        return false;
    }
    it->second->Frames(captures, lastStart);
    return true;
}

void InstallRafModels(Board& board)
{
    auto detectors = std::make_unique<SecondMaxDetectors>(board);
    SecondMaxDetectors* raw = detectors.get();
    board.PlugRegisters(c_dscDetectors, 0x10, std::move(detectors));
    board.AddTriggerHook([raw] { raw->OnTrigger(); });

    board.PlugRegisters(c_tsm, c_tsmSize, std::make_unique<TimingStateMachine>(board));
    board.PlugRegisters(c_tbtDebugRam, 0x10, std::make_unique<DebugRam>(board, board.Desc().faults.debugRamStuck));

    auto devices = std::make_shared<TemperatureDevices>(board.Desc().faults.failedSensors);
    board.PlugRegisters(c_adcSpi, c_adcSpiSize, std::make_unique<SpiBus>(board, c_adcSpi, true, devices));
    board.PlugRegisters(c_mux, 4, std::make_unique<AnalogMux>(board, devices));
    board.PlugRegisters(c_tsSpi, c_spiSize, std::make_unique<SpiBus>(board, c_tsSpi, false, devices));
}

} // namespace sim
