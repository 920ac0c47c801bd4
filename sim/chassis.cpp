#include "sim/chassis.h"

#include "platform/qstd/log.h"
#include "platform/qstd/trace.h"

#include <algorithm>

namespace sim {

namespace {

using Clock = std::chrono::steady_clock;

// Default ADC frequency of the boards when the chassis has no timing board.
constexpr uint32_t c_defaultAdcFrequency = 117440043;

Clock::duration Seconds(double s)
{
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

} // namespace

Chassis::Chassis(const Scenario& scenario)
{
    uint32_t adc = c_defaultAdcFrequency;
    for (const BoardDesc& d : scenario.boards) {
        if (d.IsTiming()) {
            adc = d.timing.adcFrequency;
            break;
        }
    }
    for (const BoardDesc& d : scenario.boards) {
        std::unique_ptr<Board> board;
        if (d.IsTiming()) {
            auto tim = std::make_unique<TimingBoard>(d);
            if (!m_timing) {
                m_timing = tim.get();
            }
            tim->SetTriggerBroadcast([this] { Broadcast(); });
            board = std::move(tim);
        } else {
            // All ADCs run on the clock the timing board distributes.
            board = std::make_unique<Board>(d, static_cast<double>(adc));
        }
        Board* raw = board.get();
        raw->SetRequestHandler([this, raw](const EventRecord& record) { Schedule(*raw, record); });
        m_boardPtrs.push_back(raw);
        m_boards.push_back(std::move(board));
    }
    for (Board* b : m_boardPtrs) {
        if (GdxModels* gdx = b->Gdx()) {
            gdx->ConnectRafBoards(m_boardPtrs);
        }
    }
    m_beam = std::make_unique<Beam>(scenario.beam, m_boardPtrs);
    for (Board* b : m_boardPtrs) {
        if (m_beam->Find(*b)) {
            b->SetClockSetHandler([this, b] { m_beam->OnClockSet(*b); });
        }
    }
    // The GDX board records the FA samples of the simulated beam.
    if (m_beam->GetFaProducer()) {
        SetFaProducer(m_beam->GetFaProducer());
    }
}

void Chassis::InstallConfiguration(const std::string& confDir, const std::string& instrumentDir) const
{
    for (const Board* board : m_boardPtrs) {
        board->InstallConfiguration(confDir, instrumentDir);
    }
}

Chassis::~Chassis()
{
    Stop();
    // The GDX board lets go of the beam, which goes before it, once the reads
    // that use the beam have ended.
    for (Board* b : m_boardPtrs) {
        if (GdxModels* gdx = b->Gdx()) {
            gdx->ReleaseFaProducers();
        }
    }
    for (auto& b : m_boards) {
        b->SetRequestHandler(nullptr);
        b->SetClockSetHandler(nullptr);
        if (TimingBoard* t = b->AsTiming()) {
            t->SetTriggerBroadcast(nullptr);
        }
    }
}

std::unique_ptr<Chassis> Chassis::FromFile(const std::string& path)
{
    return std::make_unique<Chassis>(Scenario::LoadFile(path));
}

std::unique_ptr<Chassis> Chassis::Default()
{
    return std::make_unique<Chassis>(Scenario::Default());
}

Board* Chassis::Find(const std::string& name) const
{
    for (Board* b : m_boardPtrs) {
        if (b->Name() == name) {
            return b;
        }
    }
    return nullptr;
}

void Chassis::Start()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_running) {
        return;
    }
    m_running = true;
    if (m_timing) {
        m_oscillator = std::thread(&Chassis::OscillatorThread, this);
        m_trigger = std::thread(&Chassis::TriggerThread, this);
    }
    m_answer = std::thread(&Chassis::AnswerThread, this);
    m_beam->Start();
}

void Chassis::Stop()
{
    m_beam->Stop();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_running = false;
    }
    m_wake.notify_all();
    for (std::thread* t : {&m_oscillator, &m_trigger, &m_answer}) {
        if (t->joinable()) {
            t->join();
        }
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_answers = decltype(m_answers)();
}

bool Chassis::Running() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_running;
}

void Chassis::TriggerAll()
{
    Broadcast();
}

void Chassis::SetFaProducer(std::shared_ptr<const FaProducer> producer)
{
    for (Board* b : m_boardPtrs) {
        if (GdxModels* gdx = b->Gdx()) {
            gdx->SetFaProducer(producer);
        }
    }
}

void Chassis::Broadcast()
{
    std::lock_guard<std::mutex> lock(m_broadcastMutex);
    // The trigger's time is taken as it goes out, in the order of the
    // broadcasts; the beam counts it as on its way until every board has it
    // with its ADC section.
    const Clock::time_point t = m_beam->BeginTrigger();
    struct OnItsWay {
        Beam& beam;
        Clock::time_point t;
        ~OnItsWay() { beam.EndTrigger(t); }
    } onItsWay{*m_beam, t};
    for (Board* b : m_boardPtrs) {
        if (b->DeliverTrigger(t)) {
            m_beam->OnTrigger(*b, b->Clock().At(t));
        }
    }
}

void Chassis::Schedule(Board& board, const EventRecord& request)
{
    m_beam->OnRequest(board, request);
    const Board::Answer answer = board.OnRequest(request);
    if (!answer.due) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_answers.push(Pending{answer.when, m_seq++, &board, answer.record});
    }
    m_wake.notify_all();
}

void Chassis::AnswerThread()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    while (m_running) {
        if (m_answers.empty()) {
            m_wake.wait(lock);
            continue;
        }
        const Pending top = m_answers.top();
        if (Clock::now() < top.when) {
            m_wake.wait_until(lock, top.when);
            continue;
        }
        m_answers.pop();
        lock.unlock();
        top.board->Feed(top.record[0], top.record[1], top.record[2], top.record[3]);
        lock.lock();
    }
}

void Chassis::OscillatorThread()
{
    // One id-16 event every prescaler turns of the machine: a fixed period of
    // nominal event spacing / nominal ADC frequency. The stamps do not depend
    // on when the thread wakes, only on the DAC code (see TimingBoard).
    TimingBoard& tim = *m_timing;
    Clock::time_point next = Clock::now();
    std::unique_lock<std::mutex> lock(m_mutex);
    while (m_running) {
        if (Clock::now() < next) {
            m_wake.wait_until(lock, next);
            continue;
        }
        lock.unlock();
        tim.OscillatorTick();
        const double period = tim.NominalEventSpacing() / static_cast<double>(tim.AdcFrequency());
        next += Seconds(period);
        // After a long stall, go on from now instead of emitting a burst.
        const auto now = Clock::now();
        if (next + Seconds(1.0) < now) {
            next = now;
        }
        lock.lock();
    }
}

void Chassis::TriggerThread()
{
    TimingBoard& tim = *m_timing;
    Clock::time_point next = Clock::now() + Seconds(1.0 / tim.ExtTriggerRate());
    std::unique_lock<std::mutex> lock(m_mutex);
    while (m_running) {
        if (Clock::now() < next) {
            m_wake.wait_until(lock, next);
            continue;
        }
        lock.unlock();
        if (tim.TrigSource() == TimingBoard::c_trigExternal) {
            Broadcast();
        }
        next += Seconds(1.0 / tim.ExtTriggerRate());
        const auto now = Clock::now();
        if (next + Seconds(1.0) < now) {
            next = now;
        }
        lock.lock();
    }
}

} // namespace sim
