#pragma once
// One simulated board: its description, its FPGA address space as one memory
// region (blocks that overlap alias each other), the registers whose reads
// differ from writes (modelled behind the FPGA accessor layer), its machine
// clock and its event device. The timing board adds the DAC, the trigger
// source, the machine-clock PLL and the oscillator model.

#include "platform/fpga/fpga_access.h"
#include "sim/event_device.h"
#include "sim/fa_block_model.h"
#include "sim/machine_clock.h"
#include "sim/raf_interlock_model.h"
#include "sim/scenario.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

class TimingBoard;
class GdxModels;
class RafFrontEnd;

// Event ids the chassis produces.
enum EventId_e : uint64_t {
    c_eventTrigger = 2,
    c_eventPll = 16,
    c_eventGdxStart = 32,
    c_eventRafStart = 34,
};

// Request codes in bytes 4-7 of a request record written to an event device.
enum RequestCode_e : uint32_t {
    c_requestGdxStart = 1,
    c_requestGdxStop = 2,
    c_requestRafStart = 0x554,
    c_requestRafStop = 0xAA8,
};

class Board {
public:
    // Size of a board's FPGA address space.
    static constexpr size_t c_memorySize = 16u << 20;

    Board(const BoardDesc& desc, double adcFrequency);
    virtual ~Board();
    Board(const Board&) = delete;
    Board& operator=(const Board&) = delete;

    const BoardDesc& Desc() const { return m_desc; }
    unsigned Type() const { return m_desc.type; }
    const std::string& Name() const { return m_desc.name; }
    // The slot as decimal text (the id of the board's URI).
    const std::string& Slot() const { return m_desc.slot; }
    // "zemtra://<slot>/<name>".
    std::string Uri() const;
    // Device file name of a data stream of the board: access type 2 is the
    // event device (registered under this name), 0 the history memory,
    // others data streams.
    std::string DeviceName(int accessType, int index) const;
    // A free-form option of the scenario, or null.
    const std::string* Option(const std::string& name) const;

    // The block [offset, offset + length) of the FPGA space, or null when it
    // lies outside the space or a fault switch makes it unmappable.
    volatile FPGAMem_t* MapRegion(size_t offset, size_t length);
    // The whole FPGA space (for tests and register models).
    volatile FPGAMem_t* Memory() { return m_memory.get(); }

    // Plugs a model for [offset, offset + size) of the FPGA space into the
    // accessor layer; the board owns it and unplugs it at destruction.
    void PlugRegisters(size_t offset, size_t size, std::unique_ptr<fpga::RegisterModel> model);
    // The model plugged at offset, or null.
    fpga::RegisterModel* ModelAt(size_t offset) const;

    // Runs hook at every trigger the board sees (register models; only while
    // the board is built).
    void AddTriggerHook(std::function<void()> hook) { m_triggerHooks.push_back(std::move(hook)); }

    // The FA block of a RAF board (null on other boards).
    FaBlockModel* FaBlock() const { return m_faBlock; }

    MachineClock& Clock() { return m_clock; }
    const MachineClock& Clock() const { return m_clock; }
    EventDevice& Events() { return *m_events; }

    // Local timing: the board takes lmt at its next trigger (its machine
    // clock reads lmt at the trigger's instant and the trigger event carries
    // it). A later call replaces a pending value.
    void SetLmtAtNextTrigger(uint64_t lmt);
    void CancelPendingLmt();
    bool LmtPending() const;
    // The count (as its event carries it) of the trigger at which the board
    // took the LMT set last; 0 while that LMT is pending, after a cancel and
    // before any. The board latches it as it takes the LMT: the events of
    // the triggers before it, however many announcements back, may still be
    // on their way to a reader that lags behind.
    uint64_t TriggerThatTookLmt() const;
    // Called after a pending LMT was applied, on the thread that delivered the
    // trigger, with the LMT taken; empty to remove. It must not create
    // triggers itself.
    void SetSyncCallback(std::function<void(uint64_t lmt)> callback);
    // Called on the thread that delivers the trigger that applies a pending
    // LMT, with the board's lock held, just before the clock takes it: the
    // chassis stops the board's acquisitions there (the beam's of a RAF
    // board; the board stops its GDX FA history itself), as a stop request
    // would. Their atoms from then on would carry the new clock's LMTs on
    // the grid of a start on the old one; the restart that follows every
    // synchronisation starts them on the new clock. Empty to remove; it must
    // not call back into the board.
    void SetClockSetHandler(std::function<void()> handler);

    // Puts one trigger event (id 2) on the event device, taken at time point
    // t; applies a pending LMT first. Returns false when the board never sees
    // triggers (fault switch).
    bool DeliverTrigger(std::chrono::steady_clock::time_point t);
    uint64_t TriggerCount() const { return m_triggers.load(); }

    // Puts one event on the board's event device.
    void Feed(uint64_t id, uint64_t count, uint64_t lmt, uint64_t code = 0);

    // Request records written to the event device, answered by the chassis:
    // a start record is answered with event 34 (RAF) or 32 (GDX) when the
    // machine clock reaches the requested LMT. Returns the steady-clock time
    // at which the answer is due, or nothing when the record needs no answer.
    struct Answer {
        bool due = false;
        std::chrono::steady_clock::time_point when;
        EventRecord record{};
    };
    Answer OnRequest(const EventRecord& record);
    // Counts of stop and start requests received (for tests and diagnostics).
    uint64_t StopRequests() const { return m_stops.load(); }
    uint64_t StartRequests() const { return m_starts.load(); }

    virtual TimingBoard* AsTiming() { return nullptr; }
    // The models of a GDX board (SFP lock, grouping, FA filter and FA
    // history); null for other boards.
    GdxModels* Gdx() { return m_gdx.get(); }

    // The interlock and post-mortem trigger region of a RAF board; null on
    // other boards.
    RafInterlockModel* Interlock() { return m_interlock; }

    // The analogue front end and conditioning banks of a RAF board, else null.
    RafFrontEnd* FrontEnd() const { return m_frontEnd.get(); }

    // A file that the instrument's configuration provides for the board:
    // its name, its contents, and whether it lies in the instrument's own
    // configuration folder (where the FA block reads its FIR file) rather
    // than in the application's configuration directory (attenuator tables).
    struct ConfigurationFile {
        std::string name;
        std::string contents;
        bool instrumentFolder;
    };
    std::vector<ConfigurationFile> ConfigurationFiles() const;
    // Writes the files that their folder (ending in '/') lacks:
    // confDir is the application's configuration directory, instrumentDir
    // the instrument's configuration folder ("/var/opt/zemtra/cfg/" under
    // the run's root). The one-folder form puts every file in directory.
    void InstallConfiguration(const std::string& confDir, const std::string& instrumentDir) const;
    void InstallConfiguration(const std::string& directory) const;

    // Installs the handler that receives request records (the chassis
    // schedules the answers).
    void SetRequestHandler(std::function<void(const EventRecord&)> handler);

private:
    struct FreeDeleter {
        void operator()(FPGAMem_t* p) const;
    };
    void InstallModels();

    BoardDesc m_desc;
    std::unique_ptr<FPGAMem_t, FreeDeleter> m_memory;
    MachineClock m_clock;
    std::unique_ptr<EventDevice> m_events;
    std::vector<std::unique_ptr<fpga::RegisterModel>> m_models;
    std::vector<volatile void*> m_plugged;
    std::unique_ptr<RafFrontEnd> m_frontEnd;
    std::vector<std::function<void()>> m_triggerHooks;
    RafInterlockModel* m_interlock = nullptr;
    FaBlockModel* m_faBlock = nullptr;
    std::unique_ptr<GdxModels> m_gdx;

    mutable std::mutex m_syncMutex; // also numbers the triggers
    bool m_lmtPending = false;
    uint64_t m_pendingLmt = 0;
    uint64_t m_lmtTakenAt = 0;
    std::function<void(uint64_t)> m_syncCallback;
    std::function<void()> m_clockSetHandler;
    std::function<void(const EventRecord&)> m_requestHandler;

    std::atomic<uint64_t> m_triggers{0};
    std::atomic<uint64_t> m_stops{0};
    std::atomic<uint64_t> m_starts{0};
};

class TimingBoard : public Board {
public:
    enum TrigSource_e { c_trigOff = 0, c_trigExternal = 1 };

    TimingBoard(const BoardDesc& desc);

    TimingBoard* AsTiming() override { return this; }

    // ADC frequency the board reports (its identification registers).
    uint32_t AdcFrequency() const { return m_adcFrequency; }

    // Channel A of the DAC that tunes the oscillator.
    void SetDac(uint32_t code);
    uint32_t Dac() const { return m_dac.load(); }

    // One trigger event now: every board of the chassis sees event id 2.
    void CreateTrigEvent();
    void SetTrigSourceOff() { m_trigSource.store(c_trigOff); }
    void SetTrigSourceExt() { m_trigSource.store(c_trigExternal); }
    TrigSource_e TrigSource() const { return static_cast<TrigSource_e>(m_trigSource.load()); }
    // External triggers per second while the source is external.
    void SetExtTriggerRate(double perSecond);
    double ExtTriggerRate() const;

    // Trigger generation: absent with the fault switch "no_trigger_generation".
    bool HasTriggerGeneration() const { return m_hasTriggerGeneration; }

    // Machine-clock PLL: absent with the fault switch "no_mc_pll".
    bool HasMcPll() const { return m_hasMcPll; }
    bool McPllLocked() const { return m_mcLocked.load(); }
    void SetMcPllLocked(bool locked) { m_mcLocked.store(locked); }
    void SetMcPrescaler(uint32_t turns);
    uint32_t McPrescaler() const { return m_prescaler.load(); }

    // Oscillator model.
    double OscillatorFrequency() const; // Hz at the current DAC code
    double EventSpacing() const;        // ADC periods between id-16 events at the current code
    double NominalEventSpacing() const; // the same at the nominal code, without offset
    void SetOscillatorSilent(bool silent) { m_silent.store(silent); }
    bool OscillatorSilent() const { return m_silent.load(); }
    void SetOscillatorOffset(double hz);
    void SetOscillatorJitter(uint32_t periods) { m_jitter.store(periods); }
    uint64_t OscillatorEvents() const { return m_oscEvents.load(); } // events fed

    // One event period of the oscillator: advances its time stamp by one
    // spacing at the current DAC code and, unless the oscillator is silent,
    // feeds an id-16 event carrying the stamp (plus jitter). The first tick
    // takes the board's current LMT. Returns the stamp. The oscillator thread
    // calls it once per nominal period; tests may step the model by hand.
    uint64_t OscillatorTick();

    // Set by the chassis: delivers a trigger, now, to every board.
    void SetTriggerBroadcast(std::function<void()> broadcast);

private:
    const uint32_t m_adcFrequency;
    const bool m_hasMcPll;
    const bool m_hasTriggerGeneration;
    const OscillatorOptions m_osc;
    std::atomic<uint32_t> m_dac;
    std::atomic<int> m_trigSource{c_trigOff};
    std::atomic<double> m_triggerRate;
    std::atomic<bool> m_mcLocked;
    std::atomic<uint32_t> m_prescaler;
    std::atomic<bool> m_silent;
    std::atomic<uint32_t> m_jitter;
    std::atomic<double> m_offset;

    std::mutex m_oscMutex; // guards the time stamp accumulator and the random state
    bool m_oscStarted = false;
    double m_oscStamp = 0.0;
    uint64_t m_rng = 0x9E3779B97F4A7C15ull;
    std::atomic<uint64_t> m_oscEvents{0};

    std::mutex m_broadcastMutex;
    std::function<void()> m_broadcast;
};

} // namespace sim
