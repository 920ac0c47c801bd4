#pragma once
// Simulated fast-orbit-feedback blocks of a GDX board with a feedback
// userblock: the feedback block with its data ports (golden orbit, SU and V
// rows), the feedback interlock (mask port and interlock flag) and the
// feedback state word that the FPGA keeps in the grouping block (served by
// the grouping block's model, sim/gdx_models.h).
//
// The feedback state follows the feedback switch: software control with the
// switch on is "on" (2), with the switch off "off" (1), hardware control
// "standby" (4); a raised interlock forces "off". Every change of the state
// is reported on the board's event device as event 0 with a code (chosen
// here: 1 off, 2 on, 3 standby, 5 off by interlock), and raising the
// interlock also as event 3. A buffer swap of the FPGA is reported as event 0
// with code 4 (SwapBuffers).
//
// All words of these blocks are held by the models (atomically), so that
// client threads, the state relay and the simulation never race on them.

#include "platform/fpga/fpga_access.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace sim {

class Board;

// Offsets in the GDX board's FPGA space.
constexpr size_t c_gdxFofbOffset = 0xF28000;
constexpr size_t c_gdxFofbSize = 0x8010;
constexpr size_t c_gdxInterlockOffset = 0xF40000;
constexpr size_t c_gdxInterlockSize = 0x10;

// What the models share: the state word, the interlock flag, and the
// board whose event device hears of changes.
class FeedbackState {
public:
    enum State_e : uint32_t { c_off = 1, c_on = 2, c_standby = 4 };
    enum Code_e : uint64_t { c_codeOff = 1, c_codeOn = 2, c_codeStandby = 3, c_codeSwap = 4, c_codeInterlock = 5 };

    explicit FeedbackState(Board& board) : m_board(board) {}

    uint32_t Word() const { return m_word.load(); }
    bool Interlock() const { return m_interlock.load(); }
    // Raises or clears the interlock of the feedback FPGA.
    void SetInterlock(bool raised);
    // The switch registers changed: software control and switch on.
    void SetSwitch(bool software, bool on);
    // Event 0 with code 4.
    void SwapBuffers();

private:
    void Update();
    void Feed(uint64_t id, uint64_t code);

    Board& m_board;
    std::mutex m_mutex; // orders updates and their events
    std::atomic<uint32_t> m_word{c_off};
    std::atomic<bool> m_interlock{false};
    bool m_software = true;
    bool m_on = false;
    uint64_t m_events = 0;
};

// The feedback block: data ports and the switch.
class FofbModel : public fpga::RegisterModel {
public:
    static constexpr size_t c_bpms = 256;
    static constexpr size_t c_maxDim = 128;

    explicit FofbModel(std::shared_ptr<FeedbackState> state);

    bool Read32(size_t offset, uint32_t& value) override;
    bool Write32(size_t offset, uint32_t value) override;

    // What the ports hold: the golden orbit as loaded (all 32 bits), row j of
    // SU (256 elements), row m of V (128 elements, the first n used).
    std::vector<uint32_t> GoldenOrbit() const;
    std::vector<uint32_t> SuRow(size_t j) const;
    std::vector<uint32_t> VRow(size_t m) const;
    // Port writes since construction, and pulses of the data-port reset.
    uint64_t PortWrites() const { return m_portWrites.load(); }
    uint64_t PortResets() const { return m_portResets.load(); }
    // A register word as last written.
    uint32_t Word(size_t offset) const { return m_words[offset / 4].load(); }
    FeedbackState& State() const { return *m_state; }

private:
    std::shared_ptr<FeedbackState> m_state;
    std::vector<std::atomic<uint32_t>> m_words;
    mutable std::mutex m_portMutex;
    std::array<uint32_t, c_bpms> m_golden{};
    size_t m_goldenWrite = 0;
    size_t m_goldenRead = 0;
    std::vector<uint32_t> m_su;
    std::vector<uint32_t> m_v;
    std::array<size_t, c_maxDim> m_suPtr{};
    std::array<size_t, c_maxDim> m_vPtr{};
    std::atomic<uint64_t> m_portWrites{0};
    std::atomic<uint64_t> m_portResets{0};
};

// The feedback interlock: start word, mask port, interlock flag (bit 30).
class FofbInterlockModel : public fpga::RegisterModel {
public:
    static constexpr size_t c_maskSize = 256;

    explicit FofbInterlockModel(std::shared_ptr<FeedbackState> state);

    bool Read32(size_t offset, uint32_t& value) override;
    bool Write32(size_t offset, uint32_t value) override;

    std::vector<uint32_t> Mask() const;
    // Start writes (0x00) and mask-port writes since construction.
    uint64_t Loads() const { return m_loads.load(); }
    uint64_t PortWrites() const { return m_portWrites.load(); }

private:
    std::shared_ptr<FeedbackState> m_state;
    mutable std::mutex m_mutex;
    std::array<uint32_t, c_maskSize> m_mask{};
    size_t m_ptr = 0;
    std::atomic<uint64_t> m_loads{0};
    std::atomic<uint64_t> m_portWrites{0};
};

// Plugs the feedback models into a GDX board of userblock 2 (feedback block
// only) or 4 (with the interlock, and the state word handed to the board's
// grouping model); other userblocks get none. Returns the shared state, or
// null.
std::shared_ptr<FeedbackState> InstallFeedbackModels(Board& board, unsigned userblock);

} // namespace sim
