#include "sim/gdx_models.h"

#include "platform/fpga/fpga_access.h"
#include "sim/board.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <string>

namespace sim {

namespace {

using Clock = std::chrono::steady_clock;

// Offsets inside the modelled blocks.
constexpr size_t c_sfpControl = 0x00;
constexpr size_t c_sfpStatus3 = 0x08;
constexpr size_t c_sfpStatus4 = 0x10;
constexpr uint32_t c_sfpGroupingBits = 0xC; // reset in the control word, lock in the status words
constexpr size_t c_sfpBlockSize = 0x18;
constexpr size_t c_groupingControl = 0x00;
constexpr size_t c_groupingSize = 0x08;
constexpr size_t c_groupingLatency = 0x18;
constexpr size_t c_groupingState = 0x20;
constexpr size_t c_groupingBlockSize = 0x28;
constexpr size_t c_filterSelector = 0x00;
constexpr size_t c_filterBlockSize = 0x10;
constexpr uint32_t c_selectorBits = 0xF;
// Clock information of a RAF board: TBT, FIR and CIC decimations.
constexpr size_t c_rafTbtDecimation = 0x108;
constexpr size_t c_rafFirDecimation = 0x110;
constexpr size_t c_rafCicDecimation = 0x114;

uint32_t Word(volatile FPGAMem_t* base, size_t offset)
{
    return fpga::MemoryRead32(base, offset);
}

// SFP control: the grouping SFPs' lock bits in their status words follow
// their reset; the other status bits are the memory's.
class SfpControlModel : public fpga::RegisterModel {
public:
    SfpControlModel(volatile FPGAMem_t* base, bool neverLocks) : m_base(base), m_neverLocks(neverLocks) {}

    bool Read32(size_t offset, uint32_t& value) override
    {
        if (offset != c_sfpStatus3 && offset != c_sfpStatus4) {
            return false;
        }
        value = (Word(m_base, offset) & ~c_sfpGroupingBits) | (Locked() ? c_sfpGroupingBits : 0u);
        return true;
    }

    bool Write32(size_t offset, uint32_t value) override
    {
        if (offset == c_sfpControl) {
            const bool reset = (value & c_sfpGroupingBits) != 0;
            if (m_inReset.exchange(reset) && !reset) {
                m_released.store(Clock::now().time_since_epoch().count());
            }
        }
        return false; // the memory keeps the written word
    }

private:
    bool Locked() const
    {
        if (m_neverLocks || m_inReset.load()) {
            return false;
        }
        const Clock::time_point released{Clock::duration(m_released.load())};
        return Clock::now() >= released + GdxModels::c_sfpLockDelay;
    }

    volatile FPGAMem_t* m_base;
    const bool m_neverLocks;
    std::atomic<bool> m_inReset{false};
    // Steady-clock ticks of the last release; the PLLs were locked at power-up.
    std::atomic<Clock::rep> m_released{0};
};

// Grouping: the latency word reads the latency while grouping runs and
// ignores writes; the feedback state word reads what the feedback models
// keep and ignores writes too.
class GroupingModel : public fpga::RegisterModel {
public:
    GroupingModel(volatile FPGAMem_t* base, std::shared_ptr<const std::function<uint32_t()>> stateWord)
        : m_running(Word(base, c_groupingControl) == 1), m_size(Word(base, c_groupingSize)),
          m_stateWord(std::move(stateWord))
    {
    }

    bool Read32(size_t offset, uint32_t& value) override
    {
        if (offset == c_groupingState && *m_stateWord) {
            value = (*m_stateWord)();
            return true;
        }
        if (offset != c_groupingLatency) {
            return false;
        }
        value = m_running.load() ? GdxModels::c_groupingLatencyBase + m_size.load() : 0u;
        return true;
    }

    bool Write32(size_t offset, uint32_t value) override
    {
        if (offset == c_groupingControl) {
            m_running.store(value == 1);
        } else if (offset == c_groupingSize) {
            m_size.store(value);
        }
        return offset == c_groupingLatency || offset == c_groupingState;
    }

private:
    std::atomic<bool> m_running;
    std::atomic<uint32_t> m_size;
    // The feedback state word, kept by the feedback models (set while the
    // board is built).
    std::shared_ptr<const std::function<uint32_t()>> m_stateWord;
};

} // namespace

// FA filter: hands each write of the serializer selector to the FA history.
class GdxModels::FilterModel : public fpga::RegisterModel {
public:
    explicit FilterModel(GdxModels& models) : m_models(&models) {}

    bool Read32(size_t, uint32_t&) override { return false; }
    bool Write32(size_t offset, uint32_t value) override
    {
        if (offset == c_filterSelector) {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_models) {
                m_models->OnSelector(value & c_selectorBits);
            }
        }
        return false; // the memory keeps the written word
    }
    // The models go before the board's register models: later writes reach
    // only the memory.
    void Detach()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_models = nullptr;
    }

private:
    std::mutex m_mutex;
    GdxModels* m_models;
};

// Makes the FA history's atoms for its readers.
class GdxModels::FaGenerator : public HistoryMemory::Generator {
public:
    explicit FaGenerator(const GdxModels& models) : m_models(models) {}
    uint64_t Now() const override { return m_models.m_board.Clock().Now(); }
    void Fill(void* atoms, size_t count, uint64_t firstLmt, uint64_t step) const override
    {
        m_models.MakeFaAtoms(atoms, count, firstLmt, step);
    }

private:
    const GdxModels& m_models;
};

FaSample ConstantFaProducer::FaAt(unsigned slot, uint64_t lmt) const
{
    const int32_t amplitude = c_amplitude + 1000 * static_cast<int32_t>(slot);
    FaSample s{};
    s[0] = s[1] = s[2] = s[3] = amplitude;
    s[4] = 4 * amplitude;
    s[8] = static_cast<int32_t>(static_cast<uint32_t>(lmt));
    s[9] = static_cast<int32_t>(static_cast<uint32_t>(lmt >> 32));
    return s;
}

GdxModels::GdxModels(Board& board) : m_board(board)
{
    volatile FPGAMem_t* mem = board.Memory();
    FaSettings initial;
    initial.selector = Word(mem + c_filterBlock, c_filterSelector) & c_selectorBits;
    initial.producer = std::make_shared<ConstantFaProducer>();
    m_settings.push_back(initial);
    board.PlugRegisters(c_sfpControlBlock, c_sfpBlockSize,
                        std::make_unique<SfpControlModel>(mem + c_sfpControlBlock, board.Desc().faults.sfpPllUnlocked));
    board.PlugRegisters(c_groupingBlock, c_groupingBlockSize,
                        std::make_unique<GroupingModel>(mem + c_groupingBlock, m_stateWord));
    auto filter = std::make_unique<FilterModel>(*this);
    m_filter = filter.get();
    board.PlugRegisters(c_filterBlock, c_filterBlockSize, std::move(filter));

    if (board.Desc().faults.noHistoryMemory) {
        return;
    }
    // Nothing is written to the memory: its bytes are never allocated.
    m_memory = std::make_shared<HistoryMemory>(c_historyBytes, false);
    HistoryMemory::Register(board.DeviceName(0, 0), m_memory);
    // The FA source reads the whole memory as FA atoms: the same track.
    m_track = HistoryMemory::GetTrack(m_memory, 0, c_historyBytes / c_faAtomBytes, c_faAtomBytes);
    HistoryMemory::SetGenerator(m_track, std::make_shared<FaGenerator>(*this));
}

GdxModels::~GdxModels()
{
    m_filter->Detach();
    if (m_track) {
        HistoryMemory::SetGenerator(m_track, nullptr);
    }
    if (m_memory) {
        const std::string device = m_board.DeviceName(0, 0);
        if (HistoryMemory::Find(device) == m_memory) {
            HistoryMemory::Unregister(device);
        }
    }
}

void GdxModels::ConnectRafBoards(const std::vector<Board*>& boards)
{
    std::lock_guard<std::mutex> lock(m_faMutex);
    std::array<bool, c_slots> present{};
    m_faPeriod = 0;
    for (Board* b : boards) {
        if (b->Type() != c_typeRaf) {
            continue;
        }
        if (m_faPeriod == 0) {
            volatile FPGAMem_t* mem = b->Memory();
            m_faPeriod = static_cast<uint64_t>(Word(mem, c_rafTbtDecimation)) * Word(mem, c_rafFirDecimation) *
                         Word(mem, c_rafCicDecimation);
        }
        // Only a RAF board in slots 3 to 6 has an LVDS link to the board.
        const char* text = b->Slot().c_str();
        char* end = nullptr;
        const unsigned long slot = std::strtoul(text, &end, 10);
        if (end != text && *end == '\0' && slot >= c_firstSlot && slot < c_firstSlot + c_slots) {
            present[slot - c_firstSlot] = true;
        }
    }
    ChangeSettings([&](FaSettings& s) { s.present = present; });
}

void GdxModels::SetFeedbackStateWord(std::function<uint32_t()> word)
{
    *m_stateWord = std::move(word);
}

void GdxModels::FaAtomAt(uint64_t lmt, void* atom) const
{
    MakeFaAtoms(atom, 1, lmt, 0);
}

void GdxModels::SetFaProducer(std::shared_ptr<const FaProducer> producer)
{
    std::lock_guard<std::mutex> lock(m_faMutex);
    ChangeSettings([&](FaSettings& s) { s.producer = std::move(producer); });
}

void GdxModels::ReleaseFaProducers()
{
    {
        std::lock_guard<std::mutex> lock(m_faMutex);
        const auto constant = std::make_shared<ConstantFaProducer>();
        for (FaSettings& s : m_settings) {
            s.producer = constant;
        }
    }
    std::unique_lock<std::shared_mutex> waitForReads(m_producerUse);
}

void GdxModels::OnSelector(uint32_t selector)
{
    std::lock_guard<std::mutex> lock(m_faMutex);
    ChangeSettings([&](FaSettings& s) { s.selector = selector; });
}

void GdxModels::ChangeSettings(const std::function<void(FaSettings&)>& edit)
{
    // The atoms up to now are acquired already; after the clock was set back
    // (a synchronisation) those up to the newest one the chain recorded.
    const uint64_t now = m_board.Clock().Now();
    uint64_t from = now + 1;
    uint64_t oldestHeld = 0;
    uint64_t newestHeld = 0; // 0: none
    if (m_track) {
        const HistoryMemory::State state = m_track->Snapshot();
        if (state.written > 0) {
            from = std::max(from, state.newestLmt + 1);
            const uint64_t held = std::min<uint64_t>(state.written, m_track->Atoms());
            oldestHeld = state.newestLmt - (held - 1) * m_faPeriod;
            newestHeld = state.newestLmt;
        }
    }
    FaSettings next = m_settings.back();
    edit(next);
    next.from = from;
    // Settings that acquired nothing yet are replaced (the first ones act
    // from LMT 0, before from).
    while (m_settings.back().from >= from) {
        m_settings.pop_back();
    }
    if (!m_recording) {
        // Nothing records until a restart, which keeps only the settings then
        // in force. Of those that came after the newest atom held, the ones
        // that gave way a second or more ago act on nothing any more: the
        // streamers make the atoms of now.
        auto after = [](uint64_t lmt, const FaSettings& s) { return lmt < s.from; };
        const uint64_t margin = static_cast<uint64_t>(m_board.Clock().Frequency());
        const auto unused = std::upper_bound(m_settings.begin() + 1, m_settings.end(), newestHeld, after);
        const auto live =
            std::upper_bound(m_settings.begin(), m_settings.end(), now - std::min(now, margin), after) - 1;
        if (unused < live) {
            m_settings.erase(unused, live);
        }
    }
    m_settings.push_back(std::move(next));
    // Settings whose atoms the history holds no more are forgotten.
    while (m_settings.size() > 1 && m_settings[1].from <= oldestHeld) {
        m_settings.pop_front();
    }
    m_settings.front().from = 0;
}

void GdxModels::OnFaStart(uint64_t lmt)
{
    // Read before the lock is taken: the FPGA accessor layer calls the
    // register models with its own lock held.
    const bool armed = m_track && fpga::Read32(m_board.Memory(), c_historyControl) == c_historyArmed;
    std::lock_guard<std::mutex> lock(m_faMutex);
    m_recording = armed;
    if (!m_recording) {
        if (m_track) {
            m_track->Halt();
        }
        return;
    }
    const uint64_t first = OnGrid(lmt, true);
    // The history starts anew: only the settings in force now matter.
    m_settings.erase(m_settings.begin(), m_settings.end() - 1);
    m_settings.front().from = 0;
    if (m_faPeriod > 0) {
        m_track->Run(first, m_faPeriod);
    } else {
        m_track->Restart(first); // no FA period without a RAF board: nothing is recorded
    }
}

uint64_t GdxModels::FaPeriodAt(uint64_t lmt) const
{
    std::lock_guard<std::mutex> lock(m_faMutex);
    return OnGrid(lmt, false);
}

uint64_t GdxModels::OnGrid(uint64_t lmt, bool ahead) const
{
    if (m_faPeriod == 0) {
        return lmt;
    }
    const auto& producer = m_settings.back().producer;
    const std::optional<uint64_t> grid = producer ? producer->FaGrid() : std::nullopt;
    if (!grid && ahead) {
        return lmt;
    }
    // Distance back to the grid point at or before lmt (modulo the period).
    const uint64_t phase = grid ? *grid % m_faPeriod : 0;
    const uint64_t back = (lmt % m_faPeriod + m_faPeriod - phase) % m_faPeriod;
    if (!ahead || back == 0) {
        return lmt - std::min(back, lmt);
    }
    const uint64_t forth = m_faPeriod - back;
    return lmt > std::numeric_limits<uint64_t>::max() - forth ? lmt - back : lmt + forth;
}

void GdxModels::OnFaStop()
{
    std::lock_guard<std::mutex> lock(m_faMutex);
    m_recording = false;
    if (m_track) {
        // What was acquired up to now stays recorded.
        m_track->Halt();
    }
}

bool GdxModels::FaRecording() const
{
    std::lock_guard<std::mutex> lock(m_faMutex);
    return m_recording;
}

uint64_t GdxModels::FaPeriod() const
{
    std::lock_guard<std::mutex> lock(m_faMutex);
    return m_faPeriod;
}

void GdxModels::MakeFaAtoms(void* atoms, size_t count, uint64_t firstLmt, uint64_t step) const
{
    std::shared_lock<std::shared_mutex> inUse(m_producerUse);
    // The settings in force from the first to the last atom.
    std::vector<FaSettings> settings;
    {
        const uint64_t lastLmt = firstLmt + (count > 0 ? count - 1 : 0) * step;
        auto after = [](uint64_t lmt, const FaSettings& s) { return lmt < s.from; };
        std::lock_guard<std::mutex> lock(m_faMutex);
        const auto begin = std::upper_bound(m_settings.begin(), m_settings.end(), firstLmt, after) - 1;
        settings.assign(begin, std::upper_bound(begin, m_settings.end(), lastLmt, after));
    }
    char* out = static_cast<char*>(atoms);
    std::memset(out, 0, count * c_faAtomBytes);
    size_t i = 0;
    for (size_t e = 0; e < settings.size() && i < count; ++e) {
        const FaSettings& s = settings[e];
        // Atoms i to n - 1 were acquired with s.
        size_t n = count;
        if (e + 1 < settings.size() && step > 0) {
            n = static_cast<size_t>(std::min<uint64_t>(count, (settings[e + 1].from - firstLmt + step - 1) / step));
        }
        // Empty and filtered slots stay 0.
        for (unsigned k = 0; k < c_slots && s.producer; ++k) {
            if (!s.present[k] || ((s.selector >> k) & 1u) == 0) {
                continue;
            }
            for (size_t a = i; a < n; ++a) {
                const FaSample sample = s.producer->FaAt(c_firstSlot + k, firstLmt + a * step);
                std::memcpy(out + a * c_faAtomBytes + k * sizeof(FaSample), sample.data(), sizeof(FaSample));
            }
        }
        i = n;
    }
}

} // namespace sim
