#include "sim/board.h"

#include "platform/qstd/log.h"
#include "platform/qstd/trace.h"
#include "sim/event_device.h"
#include "sim/fa_block_model.h"
#include "sim/gdx_fofb.h"
#include "sim/gdx_gbe.h"
#include "sim/gdx_models.h"
#include "sim/raf_front_end.h"
#include "sim/raf_models.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace sim {

namespace {

// House keeping of the RAF board: ADC clock status (64-bit, bits 0-1 set
// when the clock is missing) and the oversampling words of MC, Trigger, PM.
constexpr size_t c_rafAdcClockStatus = 0x300088;
constexpr size_t c_rafOversampling = 0x300090;
constexpr size_t c_oversamplingStride = 8;
// Clock information of the RAF board: FIR decimation.
constexpr size_t c_rafFirDecimation = 0x110;
constexpr size_t c_oversamplingWords = 3;
// House keeping of the GDX board: ADC clock status (32-bit, bits 0-1).
constexpr size_t c_gdxAdcClockStatus = 0x300058;
// GDX userblock type (bits 0-7).
constexpr size_t c_gdxUserblock = 0xF80000;
// GDX history-buffer RAM information words.
constexpr size_t c_gdxRamInfo[] = {0x400078, 0x400080, 0x400088};

constexpr uint32_t c_patternShift = 24;
constexpr uint32_t c_patternMask = 0xFu << c_patternShift;

// A status word whose bits 0-1 always read set: the ADC clock is missing.
class MissingAdcClock : public fpga::RegisterModel {
public:
    explicit MissingAdcClock(volatile FPGAMem_t* word) : m_word(word) {}
    bool Read32(size_t offset, uint32_t& value) override
    {
        if (offset != 0) {
            return false;
        }
        value = fpga::MemoryRead32(m_word, 0) | 0x3u;
        return true;
    }
    bool Write32(size_t, uint32_t) override { return false; }

private:
    volatile FPGAMem_t* m_word;
};

// The oversampling words of the RAF house keeping. Bits 24-27 read the last
// four samples of the signal; the FPGA shifts its sampling point when counts
// (bits 0-5) are written, and the pattern shows the settled value from the
// next trigger on: 3 after slowing down (bit 8 set), 7 after speeding up.
// A stuck model keeps showing pattern 0.
class Oversampling : public fpga::RegisterModel {
public:
    Oversampling(volatile FPGAMem_t* base, bool stuck) : m_base(base), m_stuck(stuck)
    {
        for (size_t i = 0; i < c_oversamplingWords; ++i) {
            const uint32_t word = fpga::MemoryRead32(m_base, i * c_oversamplingStride);
            m_pattern[i].store(stuck ? 0u : (word & c_patternMask) >> c_patternShift);
        }
    }
    bool Read32(size_t offset, uint32_t& value) override
    {
        const int i = Index(offset);
        if (i < 0) {
            return false;
        }
        const uint32_t word = fpga::MemoryRead32(m_base, offset);
        value = (word & ~c_patternMask) | (m_pattern[i].load() << c_patternShift);
        return true;
    }
    bool Write32(size_t offset, uint32_t value) override
    {
        const int i = Index(offset);
        if (i >= 0 && !m_stuck && (value & 0x3Fu) != 0) {
            m_pending[i].store((value & 0x100u) != 0 ? 3 : 7);
        }
        return false; // the written bits are kept in memory
    }
    void OnTrigger()
    {
        for (size_t i = 0; i < c_oversamplingWords; ++i) {
            const int p = m_pending[i].exchange(-1);
            if (p >= 0) {
                m_pattern[i].store(static_cast<uint32_t>(p));
            }
        }
    }

private:
    static int Index(size_t offset)
    {
        if (offset % c_oversamplingStride != 0 || offset / c_oversamplingStride >= c_oversamplingWords) {
            return -1;
        }
        return static_cast<int>(offset / c_oversamplingStride);
    }
    volatile FPGAMem_t* m_base;
    const bool m_stuck;
    std::atomic<uint32_t> m_pattern[c_oversamplingWords];
    std::atomic<int> m_pending[c_oversamplingWords] = {{-1}, {-1}, {-1}};
};

void Store32(volatile FPGAMem_t* mem, size_t offset, uint32_t value)
{
    fpga::MemoryWrite32(mem, offset, value);
}

} // namespace

void Board::FreeDeleter::operator()(FPGAMem_t* p) const
{
    std::free(p);
}

Board::Board(const BoardDesc& desc, double adcFrequency)
    : m_desc(desc),
      // calloc leaves the untouched pages of the large, mostly unused space
      // unallocated.
      m_memory(static_cast<FPGAMem_t*>(std::calloc(c_memorySize, 1))), m_clock(adcFrequency),
      m_events(std::make_unique<EventDevice>(DeviceName(2, 0), m_clock))
{
    if (!m_memory) {
        throw std::bad_alloc();
    }
    volatile FPGAMem_t* mem = m_memory.get();
    for (const RegisterInit& r : m_desc.registers) {
        Store32(mem, r.offset, static_cast<uint32_t>(r.value));
        if (r.width == 64) {
            Store32(mem, r.offset + 4, static_cast<uint32_t>(r.value >> 32));
        }
    }
    if (m_desc.type == c_typeGdx && m_desc.faults.noHistoryMemory) {
        for (size_t off : c_gdxRamInfo) {
            Store32(mem, off, 0);
            Store32(mem, off + 4, 0);
        }
    }
    m_events->SetRequestHandler([this](const EventRecord& record) {
        std::function<void(const EventRecord&)> handler;
        {
            std::lock_guard<std::mutex> lock(m_syncMutex);
            handler = m_requestHandler;
        }
        if (handler) {
            handler(record);
        }
    });
    InstallModels();
}

Board::~Board()
{
    // The streamers' senders read the GDX models; the GDX models use the
    // board's memory, clock and register models.
    StopStreamerModels(*this);
    m_gdx.reset();
    for (volatile void* begin : m_plugged) {
        fpga::UnregisterRegion(begin);
    }
}

void Board::InstallModels()
{
    volatile FPGAMem_t* mem = m_memory.get();
    if (m_desc.type == c_typeRaf) {
        auto model = std::make_unique<Oversampling>(mem + c_rafOversampling, m_desc.faults.oversamplingStuck);
        Oversampling* raw = model.get();
        PlugRegisters(c_rafOversampling, c_oversamplingStride * c_oversamplingWords, std::move(model));
        m_triggerHooks.push_back([raw] { raw->OnTrigger(); });
        auto interlock = std::make_unique<RafInterlockModel>(
            mem + RafInterlockModel::c_offset,
            [this](uint64_t id, uint64_t count, uint64_t lmt) { Feed(id, count, lmt); });
        m_interlock = interlock.get();
        PlugRegisters(RafInterlockModel::c_offset, RafInterlockModel::c_size, std::move(interlock));
        auto fa = std::make_unique<FaBlockModel>();
        m_faBlock = fa.get();
        PlugRegisters(FaBlockModel::c_block + FaBlockModel::c_first, FaBlockModel::c_end - FaBlockModel::c_first,
                      std::move(fa));
        if (m_desc.faults.noAdcClock) {
            PlugRegisters(c_rafAdcClockStatus, 4, std::make_unique<MissingAdcClock>(mem + c_rafAdcClockStatus));
        }
        InstallRafModels(*this);
        m_frontEnd = std::make_unique<RafFrontEnd>(*this);
    } else if (m_desc.type == c_typeGdx) {
        if (m_desc.faults.noAdcClock) {
            PlugRegisters(c_gdxAdcClockStatus, 4, std::make_unique<MissingAdcClock>(mem + c_gdxAdcClockStatus));
        }
        m_gdx = std::make_unique<GdxModels>(*this);
        const unsigned userblock = fpga::MemoryRead32(mem, c_gdxUserblock) & 0xFF;
        InstallStreamerModels(*this, userblock);
        InstallFeedbackModels(*this, userblock);
    }
}

std::vector<Board::ConfigurationFile> Board::ConfigurationFiles() const
{
    std::vector<ConfigurationFile> files;
    if (m_desc.type == c_typeRaf) {
        files.push_back({"gain" + m_desc.slot + ".conf", RafFrontEnd::AttenuatorTable(), false});
        // One file for every RAF board of the chassis: the boards share their clocks.
        const uint32_t decimation = fpga::Read32(m_memory.get(), c_rafFirDecimation);
        files.push_back({FaBlockModel::c_firFile, FaBlockModel::FirCoefficientFile(decimation), true});
    }
    return files;
}

void Board::InstallConfiguration(const std::string& directory) const
{
    InstallConfiguration(directory, directory);
}

void Board::InstallConfiguration(const std::string& confDir, const std::string& instrumentDir) const
{
    for (const ConfigurationFile& file : ConfigurationFiles()) {
        const std::string path = (file.instrumentFolder ? instrumentDir : confDir) + file.name;
        // Whatever has the name (a file, even one that cannot be read, a
        // link, a directory) belongs to the user and stays as it is.
        struct stat st;
        if (::lstat(path.c_str(), &st) == 0) {
            continue;
        }
        // The file appears whole or not at all: written under a name of its
        // own, then linked to its name, which fails when that has appeared
        // meanwhile.
        std::string temporary = path + ".XXXXXX";
        const int fd = ::mkstemp(&temporary[0]);
        bool ok = fd >= 0;
        if (ok) {
            const char* data = file.contents.data();
            size_t left = file.contents.size();
            while (ok && left > 0) {
                const ssize_t n = ::write(fd, data, left);
                ok = n > 0;
                data += ok ? n : 0;
                left -= ok ? static_cast<size_t>(n) : 0;
            }
            ok = ::fchmod(fd, 0644) == 0 && ::fsync(fd) == 0 && ok;
            ok = ::close(fd) == 0 && ok;
            ok = ok && (::link(temporary.c_str(), path.c_str()) == 0 || errno == EEXIST);
            ::unlink(temporary.c_str());
        }
        if (!ok) {
            qstd::LogWarning("sim: cannot install " + path + ": " + std::strerror(errno));
        }
    }
}

std::string Board::Uri() const
{
    return "zemtra://" + m_desc.slot + "/" + m_desc.name;
}

std::string Board::DeviceName(int accessType, int index) const
{
    std::ostringstream os;
    os << "/dev/zemtra/" << m_desc.name << "/";
    switch (accessType) {
    case 0:
        os << "history";
        break;
    case 2:
        os << "event";
        break;
    default:
        os << "stream" << accessType;
        break;
    }
    os << index;
    return os.str();
}

const std::string* Board::Option(const std::string& name) const
{
    const auto it = m_desc.options.find(name);
    return it == m_desc.options.end() ? nullptr : &it->second;
}

volatile FPGAMem_t* Board::MapRegion(size_t offset, size_t length)
{
    // A block is unmappable when it starts at an offset the fault switch names.
    const auto& bad = m_desc.faults.unmappable;
    if (offset > c_memorySize || length > c_memorySize - offset ||
        std::find(bad.begin(), bad.end(), offset) != bad.end()) {
        QSTD_TRACE(2, "sim: board " << m_desc.name << " cannot map 0x" << std::hex << offset << " length 0x" << length);
        return nullptr;
    }
    return m_memory.get() + offset;
}

void Board::PlugRegisters(size_t offset, size_t size, std::unique_ptr<fpga::RegisterModel> model)
{
    volatile FPGAMem_t* begin = m_memory.get() + offset;
    fpga::RegisterRegion(begin, size, model.get());
    m_plugged.push_back(begin);
    m_models.push_back(std::move(model));
}

fpga::RegisterModel* Board::ModelAt(size_t offset) const
{
    volatile FPGAMem_t* begin = m_memory.get() + offset;
    for (size_t i = 0; i < m_plugged.size(); ++i) {
        if (m_plugged[i] == begin) {
            return m_models[i].get();
        }
    }
    return nullptr;
}

void Board::SetLmtAtNextTrigger(uint64_t lmt)
{
    std::lock_guard<std::mutex> lock(m_syncMutex);
    m_lmtPending = true;
    m_pendingLmt = lmt;
    m_lmtTakenAt = 0;
}

void Board::CancelPendingLmt()
{
    std::lock_guard<std::mutex> lock(m_syncMutex);
    m_lmtPending = false;
    m_lmtTakenAt = 0;
}

bool Board::LmtPending() const
{
    std::lock_guard<std::mutex> lock(m_syncMutex);
    return m_lmtPending;
}

uint64_t Board::TriggerThatTookLmt() const
{
    std::lock_guard<std::mutex> lock(m_syncMutex);
    return m_lmtTakenAt;
}

void Board::SetSyncCallback(std::function<void(uint64_t)> callback)
{
    std::lock_guard<std::mutex> lock(m_syncMutex);
    m_syncCallback = std::move(callback);
}

void Board::SetClockSetHandler(std::function<void()> handler)
{
    std::lock_guard<std::mutex> lock(m_syncMutex);
    m_clockSetHandler = std::move(handler);
}

void Board::SetRequestHandler(std::function<void(const EventRecord&)> handler)
{
    std::lock_guard<std::mutex> lock(m_syncMutex);
    m_requestHandler = std::move(handler);
}

bool Board::DeliverTrigger(std::chrono::steady_clock::time_point t)
{
    if (m_desc.faults.noTriggers) {
        return false;
    }
    bool applied = false;
    std::function<void(uint64_t)> callback;
    uint64_t lmt = 0;
    uint64_t count = 0;
    {
        // The trigger's number and the LMT it takes are one step: the number
        // latched for a taken LMT is the one its event carries.
        std::lock_guard<std::mutex> lock(m_syncMutex);
        count = m_triggers.load() + 1;
        m_triggers.store(count);
        if (m_lmtPending) {
            // The acquisitions started on the clock before end with it.
            if (m_clockSetHandler) {
                m_clockSetHandler();
            }
            if (m_gdx) {
                m_gdx->OnFaStop();
            }
            m_clock.Set(m_pendingLmt, t);
            m_lmtPending = false;
            m_lmtTakenAt = count;
            applied = true;
            callback = m_syncCallback;
        }
        lmt = m_clock.At(t);
    }
    for (auto& hook : m_triggerHooks) {
        hook();
    }
    // The callback runs before the trigger event can be read, so whoever
    // reacts to the event already sees the applied LMT.
    if (applied && callback) {
        callback(lmt);
    }
    Feed(c_eventTrigger, count, lmt, 0);
    return true;
}

void Board::Feed(uint64_t id, uint64_t count, uint64_t lmt, uint64_t code)
{
    m_events->Feed(EventRecord{id, count, lmt, code});
}

Board::Answer Board::OnRequest(const EventRecord& record)
{
    const uint32_t request = static_cast<uint32_t>(record[0] >> 32);
    const uint64_t lmt = record[2];
    Answer answer;
    uint64_t id = 0;
    if ((m_desc.type == c_typeRaf && request == c_requestRafStop) ||
        (m_desc.type == c_typeGdx && request == c_requestGdxStop)) {
        m_stops.fetch_add(1);
        if (m_gdx) {
            m_gdx->OnFaStop();
        }
        return answer;
    }
    if (m_desc.type == c_typeRaf && request == c_requestRafStart) {
        id = c_eventRafStart;
    } else if (m_desc.type == c_typeGdx && request == c_requestGdxStart) {
        id = c_eventGdxStart;
    } else {
        qstd::LogWarning("sim: board " + m_desc.name + " ignores request record with code " + std::to_string(request));
        return answer;
    }
    const uint64_t n = m_starts.fetch_add(1) + 1;
    if (m_desc.faults.unansweredStarts) {
        return answer;
    }
    if (m_gdx) {
        m_gdx->OnFaStart(lmt);
    }
    answer.due = true;
    // One period late rather than early: the answer never comes before the
    // clock reads the requested LMT.
    answer.when = m_clock.WhenAt(lmt) + std::chrono::nanoseconds(static_cast<int64_t>(1e9 / m_clock.Frequency()) + 1);
    answer.record = EventRecord{id, n, lmt, 0};
    return answer;
}

// ---------------------------------------------------------------------------

TimingBoard::TimingBoard(const BoardDesc& desc)
    : Board(desc, static_cast<double>(desc.timing.adcFrequency)), m_adcFrequency(desc.timing.adcFrequency),
      m_hasMcPll(!desc.faults.noMcPll), m_hasTriggerGeneration(!desc.faults.noTriggerGeneration),
      m_osc(desc.timing.oscillator), m_dac(desc.timing.oscillator.nominalDac), m_triggerRate(desc.timing.triggerRate),
      m_mcLocked(!desc.faults.mcPllUnlocked), m_prescaler(desc.timing.oscillator.prescaler),
      m_silent(desc.timing.oscillator.silent), m_jitter(desc.timing.oscillator.jitter),
      m_offset(desc.timing.oscillator.offset)
{
}

void TimingBoard::SetDac(uint32_t code)
{
    m_dac.store(code & 0xFFFFu);
}

void TimingBoard::CreateTrigEvent()
{
    std::function<void()> broadcast;
    {
        std::lock_guard<std::mutex> lock(m_broadcastMutex);
        broadcast = m_broadcast;
    }
    if (broadcast) {
        broadcast();
    } else {
        DeliverTrigger(std::chrono::steady_clock::now());
    }
}

void TimingBoard::SetTriggerBroadcast(std::function<void()> broadcast)
{
    std::lock_guard<std::mutex> lock(m_broadcastMutex);
    m_broadcast = std::move(broadcast);
}

void TimingBoard::SetExtTriggerRate(double perSecond)
{
    if (perSecond > 0.0 && std::isfinite(perSecond)) {
        m_triggerRate.store(perSecond);
    }
}

double TimingBoard::ExtTriggerRate() const
{
    return m_triggerRate.load();
}

void TimingBoard::SetMcPrescaler(uint32_t turns)
{
    m_prescaler.store(std::max<uint32_t>(turns, 1));
}

void TimingBoard::SetOscillatorOffset(double hz)
{
    m_offset.store(hz);
}

double TimingBoard::OscillatorFrequency() const
{
    const double code = static_cast<double>(m_dac.load());
    return static_cast<double>(m_adcFrequency) + m_offset.load() - m_osc.gain * (code - m_osc.nominalDac);
}

double TimingBoard::NominalEventSpacing() const
{
    return static_cast<double>(m_prescaler.load()) * static_cast<double>(m_osc.samplesPerTurn);
}

double TimingBoard::EventSpacing() const
{
    return NominalEventSpacing() * OscillatorFrequency() / static_cast<double>(m_adcFrequency);
}

uint64_t TimingBoard::OscillatorTick()
{
    std::lock_guard<std::mutex> lock(m_oscMutex);
    if (!m_oscStarted) {
        m_oscStamp = static_cast<double>(Clock().Now());
        m_oscStarted = true;
    } else {
        m_oscStamp += EventSpacing();
    }
    int64_t jitter = 0;
    const uint32_t j = m_jitter.load();
    if (j != 0) {
        // xorshift64: cheap, deterministic noise; the jitter disturbs each
        // stamp alone and does not accumulate.
        m_rng ^= m_rng << 13;
        m_rng ^= m_rng >> 7;
        m_rng ^= m_rng << 17;
        jitter = static_cast<int64_t>(m_rng % (2ull * j + 1)) - static_cast<int64_t>(j);
    }
    const uint64_t stamp = static_cast<uint64_t>(std::llround(m_oscStamp) + jitter);
    if (!m_silent.load()) {
        Feed(c_eventPll, m_oscEvents.fetch_add(1) + 1, stamp, 0);
    }
    return stamp;
}

} // namespace sim
