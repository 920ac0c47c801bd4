#pragma once
// The simulated GDX board beyond its plain register memory:
//   - SFP control: the PLLs of grouping SFPs 3 and 4 lose their lock while
//     their reset is held and lock again c_sfpLockDelay after it is released
//     (never with the fault switch "sfp_pll_unlocked");
//   - grouping: the latency word is read-only and reports a latency while
//     grouping runs; the feedback state word (read only) is the feedback
//     models' (sim/gdx_fofb.h);
//   - FA filter: the LVDS serializer selector decides which RAF boards' FA
//     samples reach the board;
//   - the FA history that the board's DDR memory records: one GDX FA atom
//     (the FA samples of the RAF boards in slots 3 to 6, zero for a slot
//     that is empty or filtered out) per FA period, from the first FA sample
//     at or after the LMT at which the board's FA chain starts until it
//     stops. The samples are those the RAF boards send, on their FA grid,
//     so that a GDX atom and the RAF boards' "fa" atoms of one period carry
//     one LMT. The chain records only when the history buffer was armed
//     (control word 4) before the start.
//
// The FA history stores nothing: its atoms are made from the FA producer
// where a reader reads them, and what has been recorded follows from the
// board's clock (one atom per FA period from the start until the stop). The
// selector, the RAF boards present and the producer act when an atom is
// acquired, so a recorded atom never changes: each change of them is kept
// with the LMT from which it acts, for as long as the history holds atoms
// made before it (while nothing records, for a second: the streamers make
// the atoms of now). The chassis connects the RAF boards (their slots and the
// FA period of their clock information) and may plug in another producer.

#include "sim/history_memory.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <vector>

namespace sim {

class Board;

// One FA sample of a RAF board as it reaches the GDX board over LVDS: sixteen
// 32-bit words in the order of the SA/FA atom (Va, Vb, Vc, Vd, Sum, Q, X, Y,
// LMT low half, LMT high half, five reserved words, status).
using FaSample = std::array<int32_t, 16>;

// Source of the RAF boards' FA samples. Called on readers' threads, any
// number at once; it must not call back into the chassis.
class FaProducer {
public:
    virtual ~FaProducer() = default;
    // The FA sample of the RAF board in slot (3 to 6) for the FA period that
    // begins at lmt.
    virtual FaSample FaAt(unsigned slot, uint64_t lmt) const = 0;
    // LMT of one FA sample on the RAF boards' FA grid: their samples lie a
    // whole number of FA periods from it. None when any LMT will do.
    virtual std::optional<uint64_t> FaGrid() const { return std::nullopt; }
};

// A beam in the centre of every RAF board: all four amplitudes
// c_amplitude + 1000 x slot, their sum, Q, X and Y 0, the LMT, status 0.
class ConstantFaProducer : public FaProducer {
public:
    static constexpr int32_t c_amplitude = 250000;
    FaSample FaAt(unsigned slot, uint64_t lmt) const override;
};

class GdxModels {
public:
    // Board offsets of the modelled blocks and words.
    static constexpr size_t c_filterBlock = 0xF00000;
    static constexpr size_t c_groupingBlock = 0xF08000;
    static constexpr size_t c_sfpControlBlock = 0xF10000;
    static constexpr size_t c_historyControl = 0x4000A0;
    // History-buffer control word that arms the buffer for the next start.
    static constexpr uint32_t c_historyArmed = 4;
    // First RAF slot of the FA atom and the number of slots it holds.
    static constexpr unsigned c_firstSlot = 3;
    static constexpr unsigned c_slots = 4;
    static constexpr size_t c_faAtomBytes = c_slots * sizeof(FaSample);
    // Size of the simulated DDR memory. The module reports 2048 MiB; the
    // simulation holds 16 MiB (65536 FA atoms, about 7 s at the default FA
    // rate), which the instrument's 32-bit process can afford; its atoms are
    // made when read, so it takes no memory of its own.
    static constexpr size_t c_historyBytes = 16u << 20;
    // Time the grouping SFPs' PLLs need to lock after their reset.
    static constexpr std::chrono::milliseconds c_sfpLockDelay{3};
    // Latency the grouping block reports while it runs: this base plus the
    // group size (the unit is the FPGA's).
    static constexpr uint32_t c_groupingLatencyBase = 8;

    // Plugs the register models into the board and, when the board has
    // history memory, registers the memory under the board's history device.
    explicit GdxModels(Board& board);
    ~GdxModels();
    GdxModels(const GdxModels&) = delete;
    GdxModels& operator=(const GdxModels&) = delete;

    // The RAF boards of the chassis: their slots, and the FA period (TBT x
    // FIR x CIC decimation of the first one's clock information).
    void ConnectRafBoards(const std::vector<Board*>& boards);
    // The producer of the atoms acquired from now on.
    void SetFaProducer(std::shared_ptr<const FaProducer> producer);
    // Every atom, also one recorded already, is made by a ConstantFaProducer
    // from now on; returns once no read uses a producer set earlier, whose
    // source may then go (the chassis's beam).
    void ReleaseFaProducers();
    // The GDX FA atom of the FA period at lmt (c_faAtomBytes at atom, which
    // must arrive zeroed), as the history records it; the Ethernet
    // streamers group it into their payload.
    void FaAtomAt(uint64_t lmt, void* atom) const;
    // LMT of the FA period that holds lmt: the newest FA sample at or before
    // it on the RAF boards' grid, or a multiple of the FA period when the
    // producer has no grid.
    uint64_t FaPeriodAt(uint64_t lmt) const;
    // Source of the feedback state word of the grouping block (byte 0x20),
    // which the feedback models keep; reads 0 without one. Set while the
    // board is built, before anything reads it.
    void SetFeedbackStateWord(std::function<uint32_t()> word);
    // FA chain requests of the board's event device; the board stops the
    // chain also when its clock takes a synchronised LMT.
    void OnFaStart(uint64_t lmt);
    void OnFaStop();

    // The DDR memory (empty without history memory), its FA track and
    // whether the chain records now.
    const std::shared_ptr<HistoryMemory>& FaMemory() const { return m_memory; }
    const std::shared_ptr<HistoryMemory::Track>& FaTrack() const { return m_track; }
    bool FaRecording() const;
    uint64_t FaPeriod() const;

private:
    class FilterModel;
    class FaGenerator;

    // What acquires the atoms from LMT `from` on.
    struct FaSettings {
        uint64_t from = 0;
        uint32_t selector = 0;
        std::array<bool, c_slots> present{};
        std::shared_ptr<const FaProducer> producer;
    };

    // count atoms (c_faAtomBytes each, zeroed first) of the FA periods at
    // firstLmt and each next step later, with the settings in force when
    // each was acquired.
    void MakeFaAtoms(void* atoms, size_t count, uint64_t firstLmt, uint64_t step) const;
    // Applies edit to the settings of the atoms not acquired yet (m_faMutex held).
    void ChangeSettings(const std::function<void(FaSettings&)>& edit);
    // A write of the filter's serializer selector.
    void OnSelector(uint32_t selector);
    // lmt moved back (or ahead) to the FA grid (m_faMutex held).
    uint64_t OnGrid(uint64_t lmt, bool ahead) const;

    Board& m_board;
    std::shared_ptr<std::function<uint32_t()>> m_stateWord = std::make_shared<std::function<uint32_t()>>();
    FilterModel* m_filter = nullptr; // owned by the board
    std::shared_ptr<HistoryMemory> m_memory;
    std::shared_ptr<HistoryMemory::Track> m_track;

    mutable std::mutex m_faMutex; // taken before the track's locks, never inside them
    // Held shared while atoms are made, exclusively by ReleaseFaProducers.
    // Taken before m_faMutex, never after.
    mutable std::shared_mutex m_producerUse;
    // By LMT; never empty, the first from LMT 0.
    std::deque<FaSettings> m_settings;
    uint64_t m_faPeriod = 0;
    bool m_recording = false;
};

} // namespace sim
