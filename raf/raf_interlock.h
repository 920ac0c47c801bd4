#pragma once
// Machine-protection interlock of a RAF board ("interlock"). The FPGA block
// holds the position window with its filter, the ADC overflow and underflow
// thresholds with durations and filters, the overflow detection mode and the
// gain-dependent threshold with its enable; it reports six interlock causes
// as a live and a latched status word and raises interlock events (id 3) on
// the board's event stream.
//
// The event reader thread (started in OnPostConfig, after its client has
// been opened, so that it never reaches for a board being taken down and
// misses no event that follows the start) re-arms the FPGA's status
// latching before every wait, takes a snapshot of the latched status and its
// timestamp at the first event after a client armed it, and keeps the OR of
// the latched status of every event since the last reset with the timestamps
// of the first and the latest of them.
//
// Locking: register 0x00 is read-modify-written by the setters, by the
// "gain_dependent/enabled" bit node and by the event reader; all of them take
// the register word lock of that word (qreg::RegisterWordLock), a leaf lock,
// and so do its readers (the getters and the threshold's unit).
// m_threshold_mutex keeps the overflow threshold in the unit of the detection
// mode; m_status_mutex guards the latched and cumulative state, whose nodes
// are emitted only after it is released.

#include "platform/mci/tree_node.h"
#include "platform/qapp/zemtra_fpga_object.h"
#include "platform/qsig/zemtra_event_stream.h"
#include "raf/position_limits.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

class RafBoard;

enum OverflowDetectionMode_e : int {
    eOverflowAdc = 0, // "adc": threshold in the converted unit of the ADC counts
    eOverflowTbt = 1, // "tbt": threshold in ADC counts
};

class RafInterlock : public qapp::ZemtraFpgaObject {
public:
    static constexpr int c_blockSize = 0x240;

    // Registers (64-bit, byte offsets in the block).
    static constexpr size_t c_control = 0x00;
    static constexpr size_t c_status_current = 0x08;
    static constexpr size_t c_status_latched = 0x10;
    static constexpr size_t c_filter_overflow = 0x100;
    static constexpr size_t c_filter_position = 0x108;
    static constexpr size_t c_filter_underflow = 0x110;
    static constexpr size_t c_gain_threshold = 0x118;
    static constexpr size_t c_x_min = 0x200;
    static constexpr size_t c_x_max = 0x208;
    static constexpr size_t c_y_min = 0x210;
    static constexpr size_t c_y_max = 0x218;
    static constexpr position_limits::Offsets c_position_window{c_x_min, c_x_max, c_y_min, c_y_max};
    static constexpr size_t c_overflow_threshold = 0x220;
    static constexpr size_t c_overflow_duration = 0x228;
    static constexpr size_t c_underflow_threshold = 0x230;
    static constexpr size_t c_underflow_duration = 0x238;

    // Bits of the control register 0x00.
    static constexpr uint64_t c_enable_bit = 1u << 0;
    static constexpr uint64_t c_gain_enable_bit = 1u << 1;
    static constexpr uint64_t c_latch_bit = 1u << 2;
    static constexpr uint64_t c_mode_bit = 1u << 4;

    // Status bits (registers 0x08 and 0x10 and the kept status words).
    static constexpr unsigned c_status_bits = 6;
    static const char* const c_status_names[c_status_bits];

    // Defaults.
    static constexpr uint64_t c_default_position_filter = 255;
    static constexpr uint64_t c_default_duration = 5;
    static constexpr unsigned c_default_overflow_threshold = 30000;
    static constexpr int c_default_gain_threshold = -32;

    // Name of the event reader's client.
    static const char* const c_client_name;

    RafInterlock(qapp::ZemtraBoard& board, volatile FPGAMem_t* base, const std::string& name);
    ~RafInterlock() override;

    void OnRegistryAdd(mci::TreeNodePtr& node) override;
    // Thresholds in the units of the current mode; gain-dependent threshold
    // -32 dBm.
    void OnPostInit() override;
    // Applies the cached enable, opens the event reader's client on the
    // board's event stream and starts the reader on it.
    void OnPostConfig() override;
    virtual void SetDefault();

    // Accessors bound to the register nodes.
    bool GetEnabled(bool& value) const;
    // Running (state 4): applied at once; states 1 to 3: cached for
    // OnPostConfig; otherwise refused.
    bool SetEnabled(const bool& value);
    bool GetOverflowThreshold(unsigned int& value) const;
    bool SetOverflowThreshold(const unsigned int& value);
    bool GetOverflowDetectionMode(OverflowDetectionMode_e& value) const;
    bool SetOverflowDetectionMode(const OverflowDetectionMode_e& value);
    bool GetUnderflowThreshold(unsigned int& value) const;
    bool SetUnderflowThreshold(const unsigned int& value);
    bool GetGainDependentThreshold(int& value) const;
    // Converts the power level through the gain controller's attenuator
    // table (its exception for a level outside the table passes); false,
    // with nothing changed, when the board has no table to convert with.
    bool SetGainDependentThreshold(const int& value);

    unsigned GetTbtDecimation() const;
    // Sets or clears the interlock enable bit.
    void ApplyInterlockState(const bool& enabled);
    // Lets the FPGA latch the next interlock into register 0x10.
    void EnableInterlockStatusLatching();
    // Clears the cumulative status and both timestamps; true.
    bool ResetCumulativeStatus();
    // Replaces the cumulative status and the last timestamp; the first
    // timestamp follows (0 clears it, the first non-zero one after that
    // stays). Emits the changed cumulative nodes.
    void ApplyCumulativeStatus(uint64_t status, uint64_t timestamp);
    void EventReaderThreadFnc();

    // The kept state, for tests and diagnostics.
    uint64_t GetLatchedStatus() const { return m_latched_status.load(); }
    uint64_t GetLatchedTimestamp() const { return m_latched_timestamp.load(); }
    uint64_t GetCumulativeStatus() const { return m_cumulative_status.load(); }
    uint64_t GetFirstTimestamp() const { return m_first_timestamp.load(); }
    uint64_t GetLastTimestamp() const { return m_last_timestamp.load(); }

private:
    using Word = volatile unsigned long long;
    using StatusWord = std::atomic<unsigned long long>;

    RafBoard& Board() const;
    Word& At(size_t offset) const;
    uint64_t ReadRegister(size_t offset) const;
    void WriteRegister(size_t offset, uint64_t value);
    // Read-modify-write of the control register under its word lock.
    void ModifyControl(uint64_t mask, uint64_t bits);
    // Writes the overflow threshold register in the unit of the mode read
    // from the control register; the caller holds m_threshold_mutex.
    void WriteOverflowThreshold(unsigned int count);
    // Cumulative update under m_status_mutex: or_with true ORs status into
    // the kept status (so a concurrent reset is never undone by an event
    // read before it). Returns the index of the first cumulative node to
    // emit.
    size_t UpdateCumulative(uint64_t status, uint64_t timestamp, bool orWith);
    void EmitCumulative(size_t from);

    volatile FPGAMem_t* m_base;
    StatusWord m_latched_status{0};
    std::atomic<bool> m_latching_armed{true};
    StatusWord m_latched_timestamp{0};
    std::array<mci::Node, 8> m_latched_nodes;
    StatusWord m_cumulative_status{0};
    StatusWord m_last_timestamp{0};
    StatusWord m_first_timestamp{0};
    std::array<mci::Node, 9> m_cumulative_nodes;
    std::atomic<bool> m_enabled{false};
    std::unique_ptr<qsig::ZemtraEventStream::Client> m_client;
    std::thread m_event_reader;
    std::atomic<int> m_gain_dependent_threshold{c_default_gain_threshold};
    std::atomic<unsigned int> m_overflow_threshold{c_default_overflow_threshold};
    std::atomic<unsigned int> m_underflow_threshold{0};

    std::mutex m_threshold_mutex;
    std::mutex m_status_mutex;
};
