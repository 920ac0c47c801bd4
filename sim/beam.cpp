#include "sim/beam.h"

#include "platform/fpga/fpga_access.h"
#include "sim/board.h"
#include "sim/raf_front_end.h"
#include "sim/stream_device.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <complex>
#include <cstring>
#include <functional>

namespace sim {

namespace {

// Clock information of the RAF board (offsets in the board's FPGA space).
constexpr size_t c_tbtDecimation = 0x108;
constexpr size_t c_firDecimation = 0x110;
constexpr size_t c_cicDecimation = 0x114;
constexpr size_t c_saDecimation = 0x118;
constexpr size_t c_swDecimation = 0x120;
constexpr size_t c_harmonicNumber = 0x128;
// Timing state machine "tsm": acquisition offset and duration of the ADC
// history, in ADC periods.
constexpr size_t c_tsmOffset = 0x500008;
constexpr size_t c_tsmDuration = 0x50000C;

// Gain of the FPGA's DDC amplitude (CORDIC gain).
constexpr double c_ddcGain = 1.64676025805716;
// ADC counts per TDP count of a channel's amplitude: a beam of the default
// intensity swings the ADC to about +-8000.
constexpr double c_adcPerCount = 8000.0 / 1e6;
// Least time the feeding thread sleeps: a group due at once is fed after it.
constexpr std::chrono::milliseconds c_shortestWait{1};
// Atoms of one stream that a feed makes at most (4 MiB).
constexpr uint64_t c_mostFedAtoms = 1u << 16;
// Places in the switching pattern up to which a batch of noise-free FA
// atoms makes each place's atom once.
constexpr uint64_t c_cachedPlaces = 4096;
// Ks of the FA block is a fraction of 2^28 (2^26 gives S / 4).
constexpr int c_ksShift = 28;
constexpr double c_twoPi = 6.283185307179586;

uint64_t Mix(uint64_t z)
{
    // splitmix64: noise that depends only on the atom, so that data made
    // again for the same LMT are the same.
    z += 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

int32_t Low32(int64_t v)
{
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(v)));
}

// k x v modulo 2^64 (the FA block's coefficients keep it within range).
int64_t Product(int64_t k, int64_t v)
{
    return static_cast<int64_t>(static_cast<uint64_t>(k) * static_cast<uint64_t>(v));
}

int32_t Round32(double v)
{
    if (!(v > static_cast<double>(INT_MIN))) {
        return INT_MIN;
    }
    if (v >= static_cast<double>(INT_MAX)) {
        return INT_MAX;
    }
    return static_cast<int32_t>(std::lround(v));
}

int32_t WithMarker(int32_t value, bool marker)
{
    return static_cast<int32_t>((static_cast<uint32_t>(value) & ~1u) | (marker ? 1u : 0u));
}

uint32_t Register(Board& board, size_t offset)
{
    return fpga::Read32(board.Memory(), offset);
}

// Generates one history track of a RAF board.
class TrackGenerator : public HistoryMemory::Generator {
public:
    enum Kind_e { c_adc, c_tdp, c_ddc };
    TrackGenerator(const RafAcquisition& acquisition, Kind_e kind) : m_acquisition(acquisition), m_kind(kind) {}
    uint64_t Now() const override { return m_acquisition.GetBoard().Clock().Now(); }
    void Fill(void* atoms, size_t count, uint64_t firstLmt, uint64_t step) const override
    {
        switch (m_kind) {
        case c_adc:
            m_acquisition.MakeAdc(static_cast<int16_t*>(atoms), count, firstLmt, step);
            break;
        case c_tdp:
            m_acquisition.MakeTdp(static_cast<int32_t*>(atoms), count, firstLmt, step);
            break;
        case c_ddc:
            m_acquisition.MakeDdc(static_cast<int32_t*>(atoms), count, firstLmt, step);
            break;
        }
    }
    uint64_t Settled() const override { return m_kind == c_adc ? m_acquisition.AdcSettled() : 0; }

private:
    const RafAcquisition& m_acquisition;
    Kind_e m_kind;
};

// The beam's FA atoms for the GDX board's FA history.
class BeamFaProducer : public FaProducer {
public:
    explicit BeamFaProducer(const Beam& beam) : m_beam(beam) {}
    FaSample FaAt(unsigned slot, uint64_t lmt) const override
    {
        FaRecord atom{};
        FaSample sample{};
        if (m_beam.FaAtomAt(slot, lmt, atom)) {
            static_assert(sizeof(atom) == sizeof(sample), "an FA sample is one SA/FA atom");
            std::memcpy(sample.data(), &atom, sizeof(sample));
        }
        return sample;
    }
    std::optional<uint64_t> FaGrid() const override { return m_beam.FaGrid(); }

private:
    const Beam& m_beam;
};

} // namespace

// The beam and front end of one moment, as amplitudes per pattern step.
struct RafAcquisition::Model {
    double amp[4][4];      // channel amplitude [step][channel], TDP counts
    double sinPhase[4][4]; // sin and cos of the channel's phase, over the DDC gain
    double cosPhase[4][4];
    double phase[4][4]; // channel phase, rad
    // The same at the ADC, before the signal conditioning's taps.
    double adcAmp[4][4];
    double adcPhase[4][4];
    double halfWidth; // of the uniform noise of a turn's amplitude
    bool switching;
    int markedStep; // the step whose turns carry the switch marker, -1 none
    bool faBlock;   // the board has an FA block, whose coefficients follow
    FaBlockModel::Position position;
};

// ---------------------------------------------------------------------------

Beam::Beam(const BeamOptions& options, const std::vector<Board*>& boards) : m_options(options)
{
    for (Board* b : boards) {
        if (b->Type() == c_typeRaf) {
            m_rafs.push_back(std::make_unique<RafAcquisition>(*this, *b));
        }
    }
    if (!m_rafs.empty()) {
        m_faProducer = std::make_shared<BeamFaProducer>(*this);
    }
}

Beam::~Beam()
{
    Stop();
}

void Beam::Start()
{
    std::lock_guard<std::mutex> lock(m_runMutex);
    if (m_running || m_rafs.empty()) {
        return;
    }
    m_running = true;
    m_thread = std::thread(&Beam::FeedThread, this);
}

void Beam::Stop()
{
    {
        std::lock_guard<std::mutex> lock(m_runMutex);
        m_running = false;
    }
    m_wake.notify_all();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

void Beam::FeedThread()
{
    std::unique_lock<std::mutex> lock(m_runMutex);
    while (m_running) {
        lock.unlock();
        for (const auto& raf : m_rafs) {
            raf->Feed();
        }
        m_feeds.fetch_add(1);
        // Asleep until a reader's next group is due or the next look.
        const auto now = std::chrono::steady_clock::now();
        auto next = now + c_feedPeriod;
        for (const auto& raf : m_rafs) {
            next = std::min(next, raf->NextFeed());
        }
        next = std::max(next, now + c_shortestWait);
        lock.lock();
        m_wake.wait_until(lock, next, [this] { return !m_running; });
    }
}

BeamOptions Beam::Options() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_options;
}

void Beam::SetOptions(const BeamOptions& options)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_options = options;
    m_changes.fetch_add(1);
}

void Beam::SetPosition(double xNm, double yNm)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_options.x = xNm;
    m_options.y = yNm;
    m_changes.fetch_add(1);
}

void Beam::SetIntensity(double intensity)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_options.intensity = intensity;
    m_changes.fetch_add(1);
}

void Beam::SetNoise(double noise)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_options.noise = noise;
    m_changes.fetch_add(1);
}

bool Beam::SetFrontEnd(const std::string& board, const FrontEndOptions& frontEnd)
{
    for (const auto& raf : m_rafs) {
        if (raf->GetBoard().Name() == board) {
            raf->SetFrontEnd(frontEnd);
            return true;
        }
    }
    return false;
}

RafAcquisition* Beam::Find(const Board& board) const
{
    for (const auto& raf : m_rafs) {
        if (&raf->GetBoard() == &board) {
            return raf.get();
        }
    }
    return nullptr;
}

void Beam::OnTrigger(Board& board, uint64_t lmt)
{
    if (RafAcquisition* raf = Find(board)) {
        raf->OnTrigger(lmt);
    }
}

std::chrono::steady_clock::time_point Beam::BeginTrigger()
{
    // The time is taken under the lock: a look at TriggersFrom comes either
    // before it (and takes an earlier now) or after it (and finds it).
    std::lock_guard<std::mutex> lock(m_triggerMutex);
    const auto t = std::chrono::steady_clock::now();
    m_triggersOnTheirWay.insert(t);
    return t;
}

void Beam::EndTrigger(std::chrono::steady_clock::time_point t)
{
    std::lock_guard<std::mutex> lock(m_triggerMutex);
    const auto it = m_triggersOnTheirWay.find(t);
    if (it != m_triggersOnTheirWay.end()) {
        m_triggersOnTheirWay.erase(it);
    }
}

std::chrono::steady_clock::time_point Beam::TriggersFrom() const
{
    std::lock_guard<std::mutex> lock(m_triggerMutex);
    return m_triggersOnTheirWay.empty() ? std::chrono::steady_clock::now() : *m_triggersOnTheirWay.begin();
}

void Beam::OnRequest(Board& board, const EventRecord& record)
{
    RafAcquisition* raf = Find(board);
    if (!raf) {
        return;
    }
    const uint32_t request = static_cast<uint32_t>(record[0] >> 32);
    if (request == c_requestRafStop) {
        raf->Stop();
    } else if (request == c_requestRafStart) {
        raf->StartAt(record[2]);
    }
}

void Beam::OnClockSet(Board& board)
{
    if (RafAcquisition* raf = Find(board)) {
        raf->Stop();
    }
}

bool Beam::FaAtomAt(unsigned slot, uint64_t lmt, FaRecord& atom) const
{
    for (const auto& raf : m_rafs) {
        if (raf->Slot() == slot) {
            atom = raf->MakeFa(lmt, raf->FaStep() / raf->TbtStep());
            return true;
        }
    }
    return false;
}

std::optional<uint64_t> Beam::FaGrid() const
{
    if (m_rafs.empty()) {
        return std::nullopt;
    }
    return m_rafs.front()->FaGrid();
}

uint64_t Beam::FaStep(unsigned slot) const
{
    for (const auto& raf : m_rafs) {
        if (raf->Slot() == slot) {
            return raf->FaStep();
        }
    }
    return 0;
}

// ---------------------------------------------------------------------------

RafAcquisition::RafAcquisition(Beam& beam, Board& board)
    : m_beam(beam), m_board(board), m_seed(Mix(std::hash<std::string>()(board.Name()))),
      m_frontEnd(board.Desc().frontEnd), m_clockProbe(std::chrono::steady_clock::now())
{
    m_clockAtProbe.store(board.Clock().At(m_clockProbe));
    m_slot = static_cast<unsigned>(std::strtoul(board.Slot().c_str(), nullptr, 10));
    // Decimations of the board's clock information; a zero is taken as 1.
    auto decimation = [&](size_t offset) { return std::max<uint64_t>(Register(board, offset), 1); };
    m_tbt = decimation(c_tbtDecimation);
    m_switch = decimation(c_swDecimation);
    m_faTurns = decimation(c_firDecimation) * decimation(c_cicDecimation);
    m_saTurns = m_faTurns * decimation(c_saDecimation);
    m_faStep = m_faTurns * m_tbt;
    m_saStep = m_saTurns * m_tbt;
    m_harmonic = Register(board, c_harmonicNumber);
    m_adcOffset.store(Register(board, c_tsmOffset));

    // The DMA buffer: ADC in the first quarter, TDP in the second, DDC in
    // the second half.
    m_memory = std::make_shared<HistoryMemory>(Beam::c_historyBytes);
    m_memoryDevice = board.DeviceName(0, 0);
    HistoryMemory::Register(m_memoryDevice, m_memory);
    const size_t quarter = Beam::c_historyBytes / 4;
    m_adc = HistoryMemory::GetTrack(m_memory, 0, quarter / 8, 8);
    m_tdp = HistoryMemory::GetTrack(m_memory, quarter, quarter / 16, 16);
    m_ddc = HistoryMemory::GetTrack(m_memory, 2 * quarter, 2 * quarter / 32, 32);
    HistoryMemory::SetGenerator(m_adc, std::make_shared<TrackGenerator>(*this, TrackGenerator::c_adc));
    HistoryMemory::SetGenerator(m_tdp, std::make_shared<TrackGenerator>(*this, TrackGenerator::c_tdp));
    HistoryMemory::SetGenerator(m_ddc, std::make_shared<TrackGenerator>(*this, TrackGenerator::c_ddc));

    m_sa.path = board.DeviceName(1, 1);
    m_sa.device = StreamDevice::Create(m_sa.path);
    m_sa.turns = m_saTurns;
    m_sa.step = m_saStep;
    m_fa.path = board.DeviceName(1, 0);
    m_fa.device = StreamDevice::Create(m_fa.path);
    m_fa.turns = m_faTurns;
    m_fa.step = m_faStep;
    // The board acquires from LMT 0 on until its first restart.
    StartAt(0);
}

RafAcquisition::~RafAcquisition()
{
    for (const auto& track : {m_adc, m_tdp, m_ddc}) {
        HistoryMemory::SetGenerator(track, nullptr);
    }
    if (HistoryMemory::Find(m_memoryDevice) == m_memory) {
        HistoryMemory::Unregister(m_memoryDevice);
    }
    for (Stream* s : {&m_sa, &m_fa}) {
        if (StreamDevice::Find(s->path) == s->device) {
            StreamDevice::Remove(s->path);
        }
        s->device->Close();
    }
}

void RafAcquisition::SetFrontEnd(const FrontEndOptions& frontEnd)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_frontEnd = frontEnd;
    m_frontEndChanges.fetch_add(1);
}

FrontEndOptions RafAcquisition::GetFrontEnd() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_frontEnd;
}

uint64_t RafAcquisition::FaGrid() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_fa.start;
}

void RafAcquisition::Stop()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_sa.running = false;
        m_fa.running = false;
    }
    m_tdp->Halt();
    m_ddc->Halt();
}

void RafAcquisition::StartAt(uint64_t lmt)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (Stream* s : {&m_sa, &m_fa}) {
            s->running = true;
            s->start = lmt;
            s->next = 0;
            s->fedOpens = 0;
            s->lost = 0;
        }
    }
    m_tdp->Run(lmt, m_tbt);
    m_ddc->Run(lmt, m_tbt);
}

void RafAcquisition::OnTrigger(uint64_t lmt)
{
    const uint64_t duration = std::min<uint64_t>(Register(m_board, c_tsmDuration), m_adc->Atoms());
    const uint64_t offset = Register(m_board, c_tsmOffset);
    m_adcOffset.store(offset);
    const uint64_t first = lmt > offset ? lmt - offset : 0;
    // The clock's reading at a fixed instant changes only when it is set.
    // The history goes on: its earlier sections keep their LMTs, of the
    // clock before.
    const uint64_t reading = m_board.Clock().At(m_clockProbe);
    if (m_clockAtProbe.exchange(reading) != reading) {
        m_adc->NewTimeLine(first);
    }
    if (duration > 0) {
        m_adc->AppendGenerated(duration, first, 1);
    }
}

uint64_t RafAcquisition::AdcSettled() const
{
    // Every trigger before the oldest one on its way (else before now) has
    // its section; a later one's section starts its offset before it. The
    // offset register is read as memory, past the model's lock: a client may
    // have written it since the last trigger.
    const MachineClock& clock = m_board.Clock();
    const uint64_t from = clock.At(m_beam.TriggersFrom());
    if (from > clock.Now()) {
        return 0; // the clock was set back meanwhile
    }
    const uint64_t offset = std::max<uint64_t>(m_adcOffset.load(), fpga::MemoryRead32(m_board.Memory(), c_tsmOffset));
    return from > offset ? from - offset : 0;
}

void RafAcquisition::Feed()
{
    const uint64_t now = m_board.Clock().Now();
    // One look at the beam for all that the feed makes.
    const Model m = Snapshot();
    FeedStream(m_sa, now, m);
    FeedStream(m_fa, now, m);
    if (RafInterlockModel* interlock = m_board.Interlock()) {
        // The logic fires at the LMT read after the beam was sampled: a
        // change of the beam that the sample shows always precedes it.
        const BeamSample sample = SampleBeam(m, now);
        interlock->Evaluate(sample, std::max(now, m_board.Clock().Now()));
    }
}

uint64_t RafAcquisition::GroupOf(const Stream& stream)
{
    return std::max<uint64_t>(1, stream.device->GroupBytes() / sizeof(FaRecord));
}

uint64_t RafAcquisition::OnGroupGrid(uint64_t index, uint64_t group)
{
    return (index + group - 1) / group * group;
}

std::chrono::steady_clock::time_point RafAcquisition::NextFeed() const
{
    bool open = false;
    uint64_t lmt = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const Stream* s : {&m_sa, &m_fa}) {
            if (!s->running || !s->device->IsOpen()) {
                continue;
            }
            const uint64_t group = GroupOf(*s);
            // Due once the clock reads the LMT of the group's last atom.
            const uint64_t last = s->start + (OnGroupGrid(s->next, group) + group - 1) * s->step;
            lmt = open ? std::min(lmt, last) : last;
            open = true;
        }
    }
    if (!open) {
        return std::chrono::steady_clock::time_point::max();
    }
    // One tick later: the clock's conversion rounds.
    return m_board.Clock().WhenAt(lmt + 1);
}

BeamSample RafAcquisition::SampleBeam(const Model& m, uint64_t lmt) const
{
    BeamSample sample;
    const FaRecord fa = MakeFa(m, lmt, std::max<uint64_t>(m_faStep / m_tbt, 1));
    sample.x = fa.x;
    sample.y = fa.y;
    // A turn of ADC samples costs a sine each: it is made only when its peak
    // can decide a cause, which the largest amplitude plus noise bounds.
    double most = 0;
    for (const auto& step : m.adcAmp) {
        for (double a : step) {
            most = std::max(most, a);
        }
    }
    most = std::ceil((most + m.halfWidth) * c_adcPerCount) + 1;
    const RafInterlockModel* logic = m_board.Interlock();
    if (logic && !logic->AdcPeakMatters(static_cast<uint32_t>(std::min(most, 32768.0)))) {
        return sample;
    }
    std::vector<int16_t> adc(4 * m_tbt);
    MakeAdc(m, adc.data(), m_tbt, lmt, 1);
    for (int16_t v : adc) {
        sample.adcPeak = std::max<uint32_t>(sample.adcPeak, static_cast<uint32_t>(std::abs(static_cast<int>(v))));
    }
    return sample;
}

void RafAcquisition::FeedStream(Stream& stream, uint64_t now, const Model& m)
{
    uint64_t first = 0;
    uint64_t count = 0;
    uint64_t start = 0;
    uint64_t lost = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!stream.running || now < stream.start) {
            return;
        }
        const uint64_t due = (now - stream.start) / stream.step + 1;
        if (!stream.device->IsOpen()) {
            // Nobody reads: nothing is made, the next reader starts with new atoms.
            stream.next = std::max(stream.next, due);
            stream.fedOpens = 0;
            stream.lost = 0;
            return;
        }
        if (due <= stream.next) {
            return;
        }
        // Whole groups of the reader only, the rest waits for a later feed.
        const uint64_t group = GroupOf(stream);
        // A reader more than a second (or a group) behind loses the older
        // atoms, as the device's buffer would; a feed makes at most
        // c_mostFedAtoms of them, whatever the rate of a board's clock
        // information.
        const uint64_t most = std::max<uint64_t>(
            group, std::min(c_mostFedAtoms, static_cast<uint64_t>(m_board.Clock().Frequency()) / stream.step));
        first = OnGroupGrid(std::max(stream.next, due > most ? due - most : 0), group);
        count = first < due ? (due - first) / group * group : 0;
        start = stream.start;
        // The atoms passed over are lost to the reader fed before, on the
        // same clock, and the device tells it so; a new reader starts after
        // them, and after the clock was set they are of another time.
        const uint64_t opens = stream.device->Opens();
        const uint64_t reading = m_board.Clock().At(m_clockProbe);
        if (stream.fedOpens != opens || stream.fedReading != reading) {
            stream.lost = 0;
        } else if (first > stream.next) {
            stream.lost += first - stream.next;
        }
        stream.fedOpens = opens;
        stream.fedReading = reading;
        stream.next = first + count;
        if (count == 0) {
            return;
        }
        lost = stream.lost;
        stream.lost = 0;
    }
    // Made in the bytes that the device keeps.
    std::vector<uint8_t> bytes(static_cast<size_t>(count) * sizeof(FaRecord));
    MakeFa(m, reinterpret_cast<FaRecord*>(bytes.data()), static_cast<size_t>(count), start + first * stream.step,
           stream.step, stream.turns);
    stream.device->Feed(std::move(bytes), lost * sizeof(FaRecord));
}

RafAcquisition::Model RafAcquisition::Snapshot() const
{
    // The model costs trigonometry and powers per step and channel, and what
    // it is made of seldom changes: the last one stands while the change
    // counts, read before what they count, are those it was made at.
    const RafFrontEnd* analogue = m_board.FrontEnd();
    const std::array<uint64_t, 3> now{{m_beam.Changes(), m_frontEndChanges.load(), analogue ? analogue->Changes() : 0}};
    std::shared_ptr<const Model> last;
    {
        std::lock_guard<std::mutex> lock(m_modelMutex);
        if (m_model && m_modelMadeAt == now) {
            last = m_model;
        }
    }
    Model m = last ? *last : MakeModel();
    if (!last) {
        std::lock_guard<std::mutex> lock(m_modelMutex);
        m_model = std::make_shared<const Model>(m);
        m_modelMadeAt = now;
    }
    // The FA block's coefficients are plain words: read at every look.
    if (const FaBlockModel* block = m_board.FaBlock()) {
        m.position = block->GetPosition();
    }
    return m;
}

RafAcquisition::Model RafAcquisition::MakeModel() const
{
    const BeamOptions beam = m_beam.Options();
    const FrontEndOptions fe = GetFrontEnd();
    Model m{};
    const double x = beam.x / beam.kx;
    const double y = beam.y / beam.ky;
    const double quarter = beam.intensity / 4.0 * std::pow(10.0, -fe.attenuation / 20.0);
    const double base[4] = {quarter * (1 + x + y), quarter * (1 - x + y), quarter * (1 - x - y), quarter * (1 + x - y)};
    // The board's analogue front end: input power and attenuator, the
    // errors of the switch position that each step selects and the taps of
    // the signal conditioning.
    const RafFrontEnd* analogue = m_board.FrontEnd();
    for (int p = 0; p < 4; ++p) {
        for (int c = 0; c < 4; ++c) {
            const unsigned s = analogue ? analogue->SwitchPosition(static_cast<unsigned>(p)) : 0;
            const unsigned ch = static_cast<unsigned>(c);
            const std::complex<double> f = analogue ? analogue->ChannelFactor(s, ch) : std::complex<double>(1.0);
            const std::complex<double> fAdc = analogue ? analogue->InputFactor(s, ch) : std::complex<double>(1.0);
            m.amp[p][c] = std::max(0.0, base[c] * fe.gain[p][c] * std::abs(f));
            m.phase[p][c] = beam.phase + fe.phase[p][c] + std::arg(f);
            m.adcAmp[p][c] = std::max(0.0, base[c] * fe.gain[p][c] * std::abs(fAdc));
            m.adcPhase[p][c] = beam.phase + fe.phase[p][c] + std::arg(fAdc);
            m.sinPhase[p][c] = std::sin(m.phase[p][c]) / c_ddcGain;
            m.cosPhase[p][c] = std::cos(m.phase[p][c]) / c_ddcGain;
        }
    }
    m.halfWidth = beam.noise * std::sqrt(3.0);
    m.switching = beam.switching;
    m.markedStep = analogue ? analogue->MarkedStep() : 0;
    m.faBlock = m_board.FaBlock() != nullptr;
    return m;
}

namespace {

// Pattern step of a turn.
inline unsigned StepOf(uint64_t turn, uint64_t turnsPerStep, bool switching)
{
    return switching ? static_cast<unsigned>((turn / turnsPerStep) % 4) : 0u;
}

// Uniform noise in [-halfWidth, halfWidth) for one value of one atom.
inline double Noise(uint64_t seed, uint64_t lmt, unsigned value, double halfWidth)
{
    if (halfWidth == 0.0) {
        return 0.0;
    }
    const uint64_t r = Mix(seed ^ Mix(lmt * 8 + value));
    return (static_cast<double>(r >> 11) * 0x1.0p-53 * 2.0 - 1.0) * halfWidth;
}

} // namespace

// Calls make(k, lmt, pattern step) for each of count turn atoms.
template <typename F>
void RafAcquisition::EachAtom(const Model& m, size_t count, uint64_t firstLmt, uint64_t step, F make) const
{
    for (size_t k = 0; k < count; ++k) {
        const uint64_t lmt = firstLmt + k * step;
        make(k, lmt, StepOf(lmt / m_tbt, m_switch, m.switching));
    }
}

void RafAcquisition::MakeTdp(int32_t* atoms, size_t count, uint64_t firstLmt, uint64_t step) const
{
    const Model m = Snapshot();
    EachAtom(m, count, firstLmt, step, [&](size_t k, uint64_t lmt, unsigned p) {
        int32_t* atom = atoms + 4 * k;
        for (unsigned c = 0; c < 4; ++c) {
            atom[c] = Round32(m.amp[p][c] + Noise(m_seed, lmt, c, m.halfWidth));
        }
        atom[0] = WithMarker(atom[0], m.switching && static_cast<int>(p) == m.markedStep);
    });
}

void RafAcquisition::MakeDdc(int32_t* atoms, size_t count, uint64_t firstLmt, uint64_t step) const
{
    const Model m = Snapshot();
    EachAtom(m, count, firstLmt, step, [&](size_t k, uint64_t lmt, unsigned p) {
        int32_t* atom = atoms + 8 * k;
        for (unsigned c = 0; c < 4; ++c) {
            const double a = m.amp[p][c] + Noise(m_seed, lmt, c, m.halfWidth);
            atom[2 * c] = Round32(a * m.sinPhase[p][c]);
            atom[2 * c + 1] = Round32(a * m.cosPhase[p][c]);
        }
        atom[0] = WithMarker(atom[0], m.switching && static_cast<int>(p) == m.markedStep);
    });
}

void RafAcquisition::MakeAdc(int16_t* atoms, size_t count, uint64_t firstLmt, uint64_t step) const
{
    MakeAdc(Snapshot(), atoms, count, firstLmt, step);
}

void RafAcquisition::MakeAdc(const Model& m, int16_t* atoms, size_t count, uint64_t firstLmt, uint64_t step) const
{
    // The RF lies harmonic / TBT decimation cycles per ADC period from DC.
    const uint64_t h = m_harmonic % m_tbt;
    EachAtom(m, count, firstLmt, step, [&](size_t k, uint64_t lmt, unsigned p) {
        const double cycle = static_cast<double>((h * (lmt % m_tbt)) % m_tbt) / static_cast<double>(m_tbt);
        for (unsigned c = 0; c < 4; ++c) {
            const double a = m.adcAmp[p][c] * c_adcPerCount;
            const double v = a * std::sin(c_twoPi * cycle + m.adcPhase[p][c]) +
                             Noise(m_seed, lmt, 4 + c, m.halfWidth * c_adcPerCount);
            atoms[4 * k + c] = static_cast<int16_t>(std::max(-32768.0, std::min(32767.0, std::round(v))));
        }
    });
}

FaRecord RafAcquisition::MakeFa(uint64_t lmt, uint64_t turns) const
{
    return MakeFa(Snapshot(), lmt, turns);
}

void RafAcquisition::MakeFa(FaRecord* atoms, size_t count, uint64_t firstLmt, uint64_t step, uint64_t turns) const
{
    // The model costs trigonometry and powers per step and channel, far more
    // than an atom: one for all of them.
    MakeFa(Snapshot(), atoms, count, firstLmt, step, turns);
}

void RafAcquisition::MakeFa(const Model& m, FaRecord* atoms, size_t count, uint64_t firstLmt, uint64_t step,
                            uint64_t turns) const
{
    // Without noise an atom depends on its LMT only through the place of its
    // first turn in the switching pattern: the atoms of one place are made
    // once and copied with their own LMT.
    const uint64_t cycle = m.switching ? 4 * m_switch : 1;
    if (m.halfWidth != 0.0 || cycle > c_cachedPlaces || count < 2) {
        for (size_t k = 0; k < count; ++k) {
            atoms[k] = MakeFa(m, firstLmt + k * step, turns);
        }
        return;
    }
    std::vector<int> made(static_cast<size_t>(cycle), -1); // index of the atom made for a place
    for (size_t k = 0; k < count; ++k) {
        const uint64_t lmt = firstLmt + k * step;
        int& first = made[static_cast<size_t>((lmt / m_tbt) % cycle)];
        if (first < 0) {
            atoms[k] = MakeFa(m, lmt, turns);
            first = static_cast<int>(k);
            continue;
        }
        atoms[k] = atoms[first];
        atoms[k].lmtLow = static_cast<int32_t>(static_cast<uint32_t>(lmt));
        atoms[k].lmtHigh = static_cast<int32_t>(static_cast<uint32_t>(lmt >> 32));
    }
}

FaRecord RafAcquisition::MakeFa(const Model& m, uint64_t lmt, uint64_t turns) const
{
    const uint64_t first = lmt / m_tbt;
    turns = std::max<uint64_t>(turns, 1);
    // Turns spent in each step of the pattern: whole pattern cycles, then the
    // partial steps at the ends.
    double inStep[4] = {0, 0, 0, 0};
    if (!m.switching) {
        inStep[0] = static_cast<double>(turns);
    } else {
        const uint64_t cycle = 4 * m_switch;
        uint64_t n = first;
        uint64_t left = turns;
        const uint64_t cycles = left / cycle;
        for (double& s : inStep) {
            s = static_cast<double>(cycles * m_switch);
        }
        left -= cycles * cycle;
        n += cycles * cycle;
        while (left > 0) {
            const uint64_t len = std::min(left, m_switch - n % m_switch);
            inStep[StepOf(n, m_switch, true)] += static_cast<double>(len);
            n += len;
            left -= len;
        }
    }
    // The FPGA averages the turns: the noise shrinks with their number.
    const double halfWidth = m.halfWidth / std::sqrt(static_cast<double>(turns));
    int64_t v[4];
    for (unsigned c = 0; c < 4; ++c) {
        double sum = 0;
        for (unsigned p = 0; p < 4; ++p) {
            sum += inStep[p] * m.amp[p][c];
        }
        v[c] = Round32(sum / static_cast<double>(turns) + Noise(m_seed ^ 0x5A5A, lmt, c, halfWidth));
    }
    const bool marked = m.switching && static_cast<int>(StepOf(first, m_switch, true)) == m.markedStep;
    v[0] = WithMarker(static_cast<int32_t>(v[0]), marked);

    FaRecord atom{};
    atom.va = static_cast<int32_t>(v[0]);
    atom.vb = static_cast<int32_t>(v[1]);
    atom.vc = static_cast<int32_t>(v[2]);
    atom.vd = static_cast<int32_t>(v[3]);
    // Positions as the FA block computes them, with its coefficients.
    const int64_t s = v[0] + v[1] + v[2] + v[3];
    if (m.faBlock && s != 0) {
        const FaBlockModel::Position& k = m.position;
        atom.x = Low32(Product(k.kx, (v[0] + v[3]) - (v[1] + v[2])) / s - k.offX);
        atom.y = Low32(Product(k.ky, (v[0] + v[1]) - (v[2] + v[3])) / s - k.offY);
        atom.q = Low32(Product(k.kx, (v[0] + v[2]) - (v[1] + v[3])) / s - k.offQ);
        atom.sum = Low32((Product(s, k.ks) >> c_ksShift) - k.offS);
    }
    atom.lmtLow = static_cast<int32_t>(static_cast<uint32_t>(lmt));
    atom.lmtHigh = static_cast<int32_t>(static_cast<uint32_t>(lmt >> 32));
    return atom;
}

} // namespace sim
