#pragma once
// The simulated chassis: the boards of a scenario in discovery order and the
// threads that bring them to life: the timing board's oscillator (one event
// id 16 every prescaler turns), the external trigger (while the timing
// board's trigger source is external), the answering of start requests at
// their LMT and the beam that the RAF boards acquire (sim/beam.h). Start()
// starts the threads; Stop() and the destructor stop and join them.

#include "sim/beam.h"
#include "sim/board.h"
#include "sim/gdx_models.h"
#include "sim/scenario.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <queue>
#include <string>
#include <thread>
#include <vector>

namespace sim {

class Chassis {
public:
    explicit Chassis(const Scenario& scenario);
    ~Chassis();
    Chassis(const Chassis&) = delete;
    Chassis& operator=(const Chassis&) = delete;

    // The chassis of a scenario file; throws qstd::Exception.
    static std::unique_ptr<Chassis> FromFile(const std::string& path);
    // The default chassis (Scenario::Default()).
    static std::unique_ptr<Chassis> Default();

    // Boards in discovery order.
    const std::vector<Board*>& Boards() const { return m_boardPtrs; }
    // The board of that name, or null.
    Board* Find(const std::string& name) const;
    // The first timing board, or null.
    TimingBoard* Timing() const { return m_timing; }

    // Writes the configuration files that the boards' instrument provides
    // unless they are there already: the attenuator tables into the
    // application's configuration directory confDir, the FIR coefficient
    // file into the instrument's configuration folder instrumentDir (both
    // ending in '/').
    void InstallConfiguration(const std::string& confDir, const std::string& instrumentDir) const;

    void Start();
    void Stop();
    bool Running() const;

    // Puts one trigger event on every board that sees triggers.
    void TriggerAll();

    // The beam of the chassis and the RAF boards' acquisition of it.
    Beam& GetBeam() { return *m_beam; }

    // Source of the RAF boards' FA samples that the GDX board records
    // (the simulated beam; ConstantFaProducer in a chassis without RAF
    // boards, or until another is plugged in).
    void SetFaProducer(std::shared_ptr<const FaProducer> producer);

private:
    struct Pending {
        std::chrono::steady_clock::time_point when;
        uint64_t seq;
        Board* board;
        EventRecord record;
        bool operator>(const Pending& o) const { return when != o.when ? when > o.when : seq > o.seq; }
    };

    // Delivers a trigger, now, to every board that sees triggers, each
    // taking its ADC section.
    void Broadcast();
    void Schedule(Board& board, const EventRecord& request);
    void OscillatorThread();
    void TriggerThread();
    void AnswerThread();

    std::vector<std::unique_ptr<Board>> m_boards;
    std::vector<Board*> m_boardPtrs;
    TimingBoard* m_timing = nullptr;
    // After the boards: goes before them.
    std::unique_ptr<Beam> m_beam;

    // Serialises trigger broadcasts, so that every board sees the triggers in
    // the same order (a board's sync callback must not trigger again).
    std::mutex m_broadcastMutex;
    mutable std::mutex m_mutex; // guards the run flag and the answer queue
    std::condition_variable m_wake;
    bool m_running = false;
    uint64_t m_seq = 0;
    std::priority_queue<Pending, std::vector<Pending>, std::greater<Pending>> m_answers;

    std::thread m_oscillator;
    std::thread m_trigger;
    std::thread m_answer;
};

} // namespace sim
