#pragma once
// The simulated beam of a chassis and the acquisition of every RAF board
// that samples it. One model per chassis holds the beam (position,
// intensity, noise, switching pattern); each RAF board turns it, through
// its own front end (the scenario's fixed errors per step, then the board's
// RafFrontEnd: input power, attenuator, errors of the switch position each
// step selects and the signal conditioning's taps), into consistent data at
// the chassis' real rates, with the decimations of the board's clock
// information:
//   - DDC (I/Q) and TDP atoms, one per turn, in the board's history memory
//     ("/dev/.../history0": ADC first quarter, TDP second quarter, DDC second
//     half), computed when a reader reads them;
//   - ADC samples, one section per trigger, of the duration that the
//     board's timing state machine gives, also computed when read;
//   - SA and FA atoms on the board's stream devices, while a reader has the
//     device open, with positions computed by the board's FA block, in
//     whole groups of the reader's;
//   - the board's interlock and post-mortem trigger logic, which looks at
//     the beam at every feed (sim/raf_interlock_model.h).
// Bit 0 of channel A (TDP Va, DDC Ia, SA/FA Va) is the switch marker: set in
// the turns of the pattern step whose switch position the board's DSC
// configuration marks (RafFrontEnd::MarkedStep). TBT, SA and FA stop at the board's
// stop request, and when its clock takes a synchronised LMT, and restart at
// the start LMT of its start request.
//
// Changes of the beam apply to every atom made from then on; history data
// are made when read, so a read of older turns after a change shows the new
// beam too.

#include "sim/beam_options.h"
#include "sim/gdx_models.h"
#include "sim/history_memory.h"
#include "sim/raf_interlock_model.h"

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <vector>

namespace sim {

class Board;
class StreamDevice;
using EventRecord = std::array<uint64_t, 4>;

// One SA or FA atom as the FPGA writes it (64 bytes): Va, Vb, Vc, Vd, Sum,
// Q, X, Y, LMT low and high halves, five reserved words, status.
struct FaRecord {
    int32_t va, vb, vc, vd;
    int32_t sum, q, x, y;
    int32_t lmtLow, lmtHigh;
    int32_t reserved[5];
    int32_t status;
};
static_assert(sizeof(FaRecord) == 64, "an SA/FA atom is 16 words");

class RafAcquisition;

class Beam {
public:
    // Size of a RAF board's history memory (its DMA buffer).
    static constexpr size_t c_historyBytes = 64u << 20;
    // The stream devices are fed when a whole group of their reader is due
    // (SA atoms come about every 105 ms, FA groups of the server's readers
    // every 107 ms); every feed is a look of the protection logic at the
    // beam, which looks at least this often.
    static constexpr std::chrono::milliseconds c_feedPeriod{150};

    // The acquisitions of the RAF boards among boards; the boards must
    // outlive the beam.
    Beam(const BeamOptions& options, const std::vector<Board*>& boards);
    ~Beam();
    Beam(const Beam&) = delete;
    Beam& operator=(const Beam&) = delete;

    // The feeding thread of the stream devices.
    void Start();
    void Stop();

    BeamOptions Options() const;
    // Grows after every change of the options.
    uint64_t Changes() const { return m_changes.load(); }
    void SetOptions(const BeamOptions& options);
    void SetPosition(double xNm, double yNm);
    void SetIntensity(double intensity);
    void SetNoise(double noise);
    // The front end of the RAF board of that name; false without one.
    bool SetFrontEnd(const std::string& board, const FrontEndOptions& frontEnd);

    // Chassis events: a trigger taken by a board at LMT lmt, a request
    // record written to a board's event device.
    void OnTrigger(Board& board, uint64_t lmt);
    // A trigger on its way to the boards (Chassis::Broadcast): BeginTrigger
    // takes its time, now, and EndTrigger ends it once every board has it
    // with its ADC section. TriggersFrom is the earliest time of a trigger
    // whose sections may still come: that of the oldest one on its way, else
    // now.
    std::chrono::steady_clock::time_point BeginTrigger();
    void EndTrigger(std::chrono::steady_clock::time_point t);
    std::chrono::steady_clock::time_point TriggersFrom() const;
    void OnRequest(Board& board, const EventRecord& record);
    // The board's clock is about to take a synchronised LMT: its TBT, SA and
    // FA acquisitions stop, as at a stop request (Board::SetClockSetHandler).
    void OnClockSet(Board& board);

    // The FA atom that the RAF board in slot acquires at lmt (the atom's own
    // LMT; FA atoms lie one TBT x FA decimation apart). False when no RAF
    // board sits in that slot. For the GDX board's FA history.
    bool FaAtomAt(unsigned slot, uint64_t lmt, FaRecord& atom) const;
    // LMT distance of two FA atoms of the RAF board in slot; 0 without one.
    uint64_t FaStep(unsigned slot) const;
    // LMT of one FA atom on the FA grid of the first RAF board (its FA
    // atoms lie whole FA steps from it); none without RAF boards.
    std::optional<uint64_t> FaGrid() const;
    // FaAtomAt as the GDX board's FA history asks for it; null without RAF
    // boards. Valid while the beam lives.
    std::shared_ptr<const FaProducer> GetFaProducer() const { return m_faProducer; }

    // The acquisition of a RAF board, or null.
    RafAcquisition* Find(const Board& board) const;

    // Feeds made by the feeding thread, each of every RAF board.
    uint64_t Feeds() const { return m_feeds.load(); }

private:
    void FeedThread();

    mutable std::mutex m_mutex;
    BeamOptions m_options;
    std::atomic<uint64_t> m_changes{0};
    std::vector<std::unique_ptr<RafAcquisition>> m_rafs;
    std::shared_ptr<const FaProducer> m_faProducer;

    mutable std::mutex m_triggerMutex; // takes no other lock
    std::multiset<std::chrono::steady_clock::time_point> m_triggersOnTheirWay;

    std::mutex m_runMutex;
    std::condition_variable m_wake;
    bool m_running = false;
    std::atomic<uint64_t> m_feeds{0};
    std::thread m_thread;

    friend class RafAcquisition;
};

// The acquisition of one RAF board.
class RafAcquisition {
public:
    RafAcquisition(Beam& beam, Board& board);
    ~RafAcquisition();
    RafAcquisition(const RafAcquisition&) = delete;
    RafAcquisition& operator=(const RafAcquisition&) = delete;

    Board& GetBoard() const { return m_board; }
    unsigned Slot() const { return m_slot; }
    uint64_t TbtStep() const { return m_tbt; }
    uint64_t FaStep() const { return m_faStep; }
    uint64_t SaStep() const { return m_saStep; }
    // LMT of one FA atom of the current acquisition (the FA atoms lie whole
    // FA steps from it).
    uint64_t FaGrid() const;
    const std::shared_ptr<HistoryMemory>& Memory() const { return m_memory; }

    void SetFrontEnd(const FrontEndOptions& frontEnd);
    FrontEndOptions GetFrontEnd() const;

    // TBT, SA and FA stop; start at lmt.
    void Stop();
    void StartAt(uint64_t lmt);
    // One ADC section for a trigger at lmt, of the duration and offset that
    // the timing state machine has then. The ADC history is started once and
    // goes on through synchronisations: the first trigger after the board's
    // clock was set (the one that took a synchronised LMT) begins a new time
    // line of the history with its section (the LMTs of the sections before
    // it are of another clock).
    void OnTrigger(uint64_t lmt);
    // The LMT from which on the ADC history may still get atoms: the earliest
    // that the section of a trigger still to come can start at (the clock at
    // Beam::TriggersFrom, less the acquisition offset of the last trigger or
    // the one written since, whichever is larger). Takes no lock but the
    // beam's trigger lock, which is held only to note a trigger: it waits
    // for nothing.
    uint64_t AdcSettled() const;
    // Feeds the open stream devices with the atoms due by now.
    void Feed();
    // When the next whole group of an open stream device comes due;
    // time_point::max() without one.
    std::chrono::steady_clock::time_point NextFeed() const;

    // Atoms of one kind (computed with the current beam and front end).
    void MakeTdp(int32_t* atoms, size_t count, uint64_t firstLmt, uint64_t step) const;
    void MakeDdc(int32_t* atoms, size_t count, uint64_t firstLmt, uint64_t step) const;
    void MakeAdc(int16_t* atoms, size_t count, uint64_t firstLmt, uint64_t step) const;
    // The SA or FA atom at lmt spanning turns turns (averaged over them).
    FaRecord MakeFa(uint64_t lmt, uint64_t turns) const;
    // count such atoms, the first at firstLmt, each next one step later, all
    // of one look at the beam, the front end and the FA block: the same
    // atoms as one MakeFa each, for a fraction of the cost.
    void MakeFa(FaRecord* atoms, size_t count, uint64_t firstLmt, uint64_t step, uint64_t turns) const;

private:
    struct Model;
    // The beam and front end as amplitudes per pattern step and channel.
    Model Snapshot() const;
    Model MakeModel() const;
    template <typename F> void EachAtom(const Model& m, size_t count, uint64_t firstLmt, uint64_t step, F make) const;
    FaRecord MakeFa(const Model& m, uint64_t lmt, uint64_t turns) const;
    void MakeFa(const Model& m, FaRecord* atoms, size_t count, uint64_t firstLmt, uint64_t step, uint64_t turns) const;
    void MakeAdc(const Model& m, int16_t* atoms, size_t count, uint64_t firstLmt, uint64_t step) const;
    struct Stream;
    void FeedStream(Stream& stream, uint64_t now, const Model& m);
    // Atoms of a group of the stream's reader (1 without groups).
    static uint64_t GroupOf(const Stream& stream);
    // The groups lie on a grid from atom 0, as a DMA engine fills its blocks
    // from the start of the acquisition: the boards started together are
    // fed together, however their readers came. index rounded up to it.
    static uint64_t OnGroupGrid(uint64_t index, uint64_t group);
    // The beam as the board's protection logic sees it at lmt: the positions
    // of the FA atom acquired then and the largest ADC sample of one turn.
    BeamSample SampleBeam(const Model& m, uint64_t lmt) const;

    Beam& m_beam;
    Board& m_board;
    unsigned m_slot = 0;
    uint64_t m_seed;
    uint64_t m_tbt;     // ADC periods per turn
    uint64_t m_switch;  // turns per step of the switching pattern
    uint64_t m_faTurns; // turns per FA atom
    uint64_t m_saTurns; // turns per SA atom
    uint64_t m_faStep;
    uint64_t m_saStep;
    uint64_t m_harmonic;

    mutable std::mutex m_mutex; // front end and the streams' positions
    FrontEndOptions m_frontEnd;
    std::atomic<uint64_t> m_frontEndChanges{0};
    // The model of the last look and the change counts it was made at
    // (beam, front end, analogue front end).
    mutable std::mutex m_modelMutex;
    mutable std::shared_ptr<const Model> m_model;
    mutable std::array<uint64_t, 3> m_modelMadeAt{};

    std::shared_ptr<HistoryMemory> m_memory;
    std::string m_memoryDevice;
    std::shared_ptr<HistoryMemory::Track> m_adc;
    std::shared_ptr<HistoryMemory::Track> m_tdp;
    std::shared_ptr<HistoryMemory::Track> m_ddc;
    // What the board's clock read at a fixed instant, as of the last trigger:
    // another reading tells that the clock was set since.
    const std::chrono::steady_clock::time_point m_clockProbe;
    std::atomic<uint64_t> m_clockAtProbe{0};
    std::atomic<uint64_t> m_adcOffset{0}; // of the last trigger

    struct Stream {
        std::shared_ptr<StreamDevice> device;
        std::string path;
        uint64_t turns = 0;
        uint64_t step = 0;
        bool running = true;
        uint64_t start = 0; // LMT of atom 0
        uint64_t next = 0;  // index of the next atom to feed
        // The reader fed last (the device's count of opens, 0: none since
        // the stream started) and the clock's reading at the probe then.
        uint64_t fedOpens = 0;
        uint64_t fedReading = 0;
        uint64_t lost = 0; // atoms that reader lost, not told the device yet
    };
    Stream m_sa;
    Stream m_fa;
};

} // namespace sim
