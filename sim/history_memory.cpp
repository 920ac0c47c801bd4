#include "sim/history_memory.h"

#include "platform/qstd/exception.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

namespace sim {

namespace {

// Largest run of atoms a track writes to the memory in one piece.
constexpr size_t c_chunkAtoms = 256;

std::mutex& RegistryMutex()
{
    static std::mutex mutex;
    return mutex;
}

std::map<std::string, std::shared_ptr<HistoryMemory>>& Registry()
{
    static std::map<std::string, std::shared_ptr<HistoryMemory>> registry;
    return registry;
}

} // namespace

HistoryMemory::HistoryMemory(size_t byteSize, bool allocate) : m_size(byteSize), m_bytes(nullptr)
{
    if (allocate) {
        Allocate();
    }
}

void HistoryMemory::Allocate()
{
    if (m_size > 0 && !m_bytes) {
        // calloc: large zeroed blocks are mapped lazily, like the real memory
        // that is only touched where the acquisition writes.
        m_bytes = static_cast<char*>(std::calloc(m_size, 1));
        if (!m_bytes) {
            throw qstd::Exception("history memory: cannot allocate " + std::to_string(m_size) + " bytes");
        }
    }
}

HistoryMemory::~HistoryMemory()
{
    std::free(m_bytes);
}

size_t HistoryMemory::Read(void* destination, size_t bytes, size_t byteOffset) const
{
    if (m_size == 0 || bytes == 0) {
        return 0;
    }
    // At most two spans: up to the end of the memory and on from byte 0.
    struct Span {
        char* out;
        size_t at;
        size_t n;
    } spans[2] = {};
    size_t count = 0;
    {
        std::shared_lock<std::shared_mutex> lock(m_lock);
        char* out = static_cast<char*>(destination);
        size_t at = byteOffset % m_size;
        size_t left = bytes;
        while (left > 0) {
            const size_t n = std::min(left, m_size - at);
            if (m_bytes) {
                std::memcpy(out, m_bytes + at, n);
            } else {
                std::memset(out, 0, n);
            }
            if (count < 2) {
                spans[count++] = Span{out, at, n};
            }
            out += n;
            left -= n;
            at = 0;
        }
    }
    // A read of more than the whole memory repeats the memory; the generated
    // parts of the first two spans are enough for every read the sources make.
    for (size_t i = 0; i < count; ++i) {
        FillGenerated(spans[i].out, spans[i].at, spans[i].n);
    }
    return bytes;
}

void HistoryMemory::FillGenerated(char* out, size_t at, size_t bytes) const
{
    std::vector<std::shared_ptr<Track>> tracks;
    {
        std::lock_guard<std::mutex> lock(m_tracksMutex);
        for (const auto& weak : m_generated) {
            if (auto track = weak.lock()) {
                tracks.push_back(std::move(track));
            }
        }
    }
    for (const auto& track : tracks) {
        const size_t begin = track->m_offset;
        const size_t end = begin + track->m_atoms * track->m_atomSize;
        const size_t lo = std::max(at, begin);
        const size_t hi = std::min(at + bytes, end);
        if (lo < hi) {
            track->FillBytes(out + (lo - at), lo - begin, hi - lo);
        }
    }
}

size_t HistoryMemory::Write(const void* source, size_t bytes, size_t byteOffset)
{
    if (m_size == 0 || bytes == 0) {
        return 0;
    }
    std::unique_lock<std::shared_mutex> lock(m_lock);
    Allocate();
    const char* in = static_cast<const char*>(source);
    size_t at = byteOffset % m_size;
    size_t left = bytes;
    while (left > 0) {
        const size_t n = std::min(left, m_size - at);
        std::memcpy(m_bytes + at, in, n);
        in += n;
        left -= n;
        at = 0;
    }
    return bytes;
}

HistoryMemory::Track::Track(std::shared_ptr<HistoryMemory> memory, size_t byteOffset, size_t atoms, size_t atomSize)
    : m_memory(std::move(memory)), m_offset(byteOffset), m_atoms(atoms), m_atomSize(atomSize)
{
    if (!m_memory || m_atomSize == 0 || m_atoms == 0 || m_offset + m_atoms * m_atomSize > m_memory->ByteSize()) {
        throw qstd::Exception("history memory: track outside the memory");
    }
}

void HistoryMemory::Track::Restart(uint64_t lmt)
{
    State state;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_segments.clear();
        m_blocks = 0;
        m_state.written = 0;
        m_state.firstLmt = lmt;
        m_state.newestLmt = lmt;
        m_state.lineStart = 0;
        m_state.lineLmt = lmt;
        ++m_state.generation;
        ++m_state.restarts;
        state = m_state;
    }
    m_changed.notify_all();
    WakeWaiters(state, true);
}

void HistoryMemory::Track::NewTimeLine(uint64_t lmt)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_state.lineStart = m_state.written;
    m_state.lineLmt = lmt;
}

void HistoryMemory::Track::Append(const void* atoms, size_t count, uint64_t firstLmt, uint64_t lmtStep)
{
    const char* in = static_cast<const char*>(atoms);
    Put(count, firstLmt, lmtStep, [&](uint64_t i, size_t) { return in + static_cast<size_t>(i) * m_atomSize; });
}

void HistoryMemory::Track::AppendMade(uint64_t count, uint64_t firstLmt, uint64_t lmtStep, const Maker& make)
{
    std::vector<char> scratch;
    Put(count, firstLmt, lmtStep, [&](uint64_t i, size_t n) {
        scratch.assign(n * m_atomSize, 0);
        for (size_t k = 0; k < n; ++k) {
            make(firstLmt + (i + k) * lmtStep, scratch.data() + k * m_atomSize);
        }
        return scratch.data();
    });
}

void HistoryMemory::Track::Put(uint64_t count, uint64_t firstLmt, uint64_t lmtStep,
                               const std::function<const char*(uint64_t i, size_t n)>& chunk)
{
    if (count == 0) {
        return;
    }
    lmtStep = lmtStep == 0 ? 1 : lmtStep;
    std::unique_lock<std::mutex> lock(m_mutex);
    // Only the newest region's worth of atoms can survive.
    const uint64_t skip = count > m_atoms ? count - m_atoms : 0;
    uint64_t index = m_state.written + skip;
    for (uint64_t i = skip; i < count;) {
        const size_t slot = static_cast<size_t>(index % m_atoms);
        const size_t n = static_cast<size_t>(std::min<uint64_t>(count - i, std::min(m_atoms - slot, c_chunkAtoms)));
        m_memory->Write(chunk(i, n), n * m_atomSize, m_offset + slot * m_atomSize);
        i += n;
        index += n;
    }
    AddRun(count, firstLmt, lmtStep);
    m_state.written += count;
    m_state.newestLmt = firstLmt + (count - 1) * lmtStep;
    ++m_state.generation;
    Forget();
    const State state = m_state;
    lock.unlock();
    m_changed.notify_all();
    WakeWaiters(state, false);
}

void HistoryMemory::Track::WakeWaiters(const State& state, bool restart) const
{
    std::lock_guard<std::mutex> lock(m_waitersMutex);
    for (Waiter* waiter : m_waiters) {
        if (waiter->m_armed && (restart || (state.written > 0 && state.written >= waiter->m_target.written &&
                                            state.newestLmt >= waiter->m_target.newestLmt))) {
            waiter->m_armed = false;
            waiter->m_wake();
        }
    }
}

size_t HistoryMemory::Track::ArmedWaiters() const
{
    std::lock_guard<std::mutex> lock(m_waitersMutex);
    return static_cast<size_t>(
        std::count_if(m_waiters.begin(), m_waiters.end(), [](const Waiter* w) { return w->m_armed; }));
}

HistoryMemory::Waiter::Waiter(std::shared_ptr<const Track> track, std::function<void()> wake)
    : m_track(std::move(track)), m_wake(std::move(wake))
{
    if (m_track) {
        std::lock_guard<std::mutex> lock(m_track->m_waitersMutex);
        m_track->m_waiters.push_back(this);
    }
}

HistoryMemory::Waiter::~Waiter()
{
    if (m_track) {
        // Under the list lock: a wake in progress on the writer's thread ends first.
        std::lock_guard<std::mutex> lock(m_track->m_waitersMutex);
        auto& list = m_track->m_waiters;
        list.erase(std::find(list.begin(), list.end(), this));
    }
}

void HistoryMemory::Waiter::Arm(const Target& target, uint64_t seen)
{
    if (!m_track) {
        return;
    }
    std::lock_guard<std::mutex> lock(m_track->m_waitersMutex);
    m_target = target;
    {
        // Not Snapshot: a lazy writer would append, and wake, under this lock.
        std::lock_guard<std::mutex> stateLock(m_track->m_mutex);
        m_armed = m_track->m_state.generation == seen;
    }
    if (!m_armed) {
        m_wake();
    }
}

void HistoryMemory::Track::SetLazyWriter(std::function<void()> writer)
{
    std::lock_guard<std::mutex> lock(m_writerMutex);
    m_writer = std::move(writer);
}

void HistoryMemory::Track::CatchUp() const
{
    std::lock_guard<std::mutex> lock(m_writerMutex);
    if (m_writer) {
        m_writer();
    }
}

HistoryMemory::State HistoryMemory::Track::Snapshot() const
{
    return Look(nullptr);
}

HistoryMemory::State HistoryMemory::Track::Snapshot(std::vector<LmtRun>& runs) const
{
    return Look(&runs);
}

HistoryMemory::State HistoryMemory::Track::Look(std::vector<LmtRun>* runs) const
{
    CatchUp();
    State state;
    bool advanced = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const uint64_t seen = m_state.generation;
        Advance();
        state = m_state;
        state.settled = m_generator ? m_generator->Settled() : 0;
        advanced = state.generation != seen;
        if (runs) {
            runs->assign(m_segments.begin(), m_segments.end());
        }
    }
    if (advanced) {
        // The look brought a generated run up to the clock: other waiters may
        // have their atoms now.
        WakeWaiters(state, false);
    }
    return state;
}

HistoryMemory::State HistoryMemory::Track::WaitForChange(uint64_t seen,
                                                         std::chrono::steady_clock::time_point deadline) const
{
    bool lazy = false;
    {
        std::lock_guard<std::mutex> lock(m_writerMutex);
        lazy = static_cast<bool>(m_writer);
    }
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!lazy && !m_generator) {
            m_changed.wait_until(lock, deadline, [&] { return m_state.generation != seen; });
            return m_state;
        }
    }
    // A lazily written or generated track is looked at again every
    // millisecond: nothing else tells of its new atoms.
    for (;;) {
        const State state = Snapshot();
        const auto now = std::chrono::steady_clock::now();
        if (state.generation != seen || now >= deadline) {
            return state;
        }
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait_until(lock, std::min(deadline, now + std::chrono::milliseconds(1)),
                             [&] { return m_state.generation != seen; });
    }
}

void HistoryMemory::Track::Advance() const
{
    if (!m_generator || m_segments.empty() || !m_segments.back().open) {
        return;
    }
    Segment& run = m_segments.back();
    const uint64_t now = m_generator->Now();
    const uint64_t due = now >= run.firstLmt ? (now - run.firstLmt) / run.step + 1 : 0;
    // Never fewer atoms than before: a clock set back (a synchronisation)
    // stalls the run until it is restarted.
    if (due <= run.count) {
        return;
    }
    run.count = due;
    m_state.written = run.firstIndex + run.count;
    m_state.newestLmt = run.firstLmt + (run.count - 1) * run.step;
    ++m_state.generation;
    Forget();
}

void HistoryMemory::Track::AddRun(uint64_t count, uint64_t firstLmt, uint64_t step, bool block)
{
    if (!block && !m_segments.empty()) {
        Segment& last = m_segments.back();
        // Never across the start of a time line, whose LMTs are of another clock.
        if (!last.open && last.block == LmtRun::c_noBlock && last.step == step &&
            last.firstIndex + last.count == m_state.written && m_state.written > m_state.lineStart &&
            last.firstLmt + last.count * step == firstLmt) {
            last.count += count;
            return;
        }
    }
    Segment run;
    run.firstIndex = m_state.written;
    run.firstLmt = firstLmt;
    run.step = step;
    run.count = count;
    if (block) {
        run.block = m_blocks++;
    }
    m_segments.push_back(run);
}

void HistoryMemory::Track::Forget() const
{
    const uint64_t oldest = m_state.written > m_atoms ? m_state.written - m_atoms : 0;
    size_t gone = 0;
    while (gone + 1 < m_segments.size() && m_segments[gone].firstIndex + m_segments[gone].count <= oldest) {
        ++gone;
    }
    m_segments.erase(m_segments.begin(), m_segments.begin() + static_cast<std::ptrdiff_t>(gone));
}

void HistoryMemory::Track::Run(uint64_t firstLmt, uint64_t step)
{
    State state;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Segment run;
        run.firstLmt = firstLmt;
        run.step = step == 0 ? 1 : step;
        run.open = true;
        m_segments.assign(1, run);
        m_blocks = 0;
        m_state.written = 0;
        m_state.firstLmt = firstLmt;
        m_state.newestLmt = firstLmt;
        m_state.lineStart = 0;
        m_state.lineLmt = firstLmt;
        ++m_state.generation;
        ++m_state.restarts;
        state = m_state;
    }
    m_changed.notify_all();
    WakeWaiters(state, true);
}

void HistoryMemory::Track::Halt()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Advance();
    if (!m_segments.empty()) {
        m_segments.back().open = false;
    }
}

void HistoryMemory::Track::AppendGenerated(size_t count, uint64_t firstLmt, uint64_t step)
{
    if (count == 0) {
        return;
    }
    State state;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Advance();
        if (!m_segments.empty()) {
            m_segments.back().open = false;
        }
        if (m_state.written == 0) {
            m_state.firstLmt = firstLmt;
        }
        AddRun(count, firstLmt, step == 0 ? 1 : step, true);
        m_state.written += count;
        m_state.newestLmt = firstLmt + (count - 1) * m_segments.back().step;
        ++m_state.generation;
        Forget();
        state = m_state;
    }
    m_changed.notify_all();
    WakeWaiters(state, false);
}

bool HistoryMemory::Track::IsGenerated() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<bool>(m_generator);
}

void HistoryMemory::Track::FillBytes(char* out, size_t regionByte, size_t bytes) const
{
    std::shared_lock<std::shared_mutex> filling(m_fillMutex);
    std::shared_ptr<const Generator> generator;
    std::vector<Track::Segment> runs;
    uint64_t written = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        Advance();
        generator = m_generator;
        runs = m_segments;
        written = m_state.written;
    }
    if (!generator) {
        return;
    }
    // Atoms are made in chunks of at most this many.
    constexpr size_t c_chunk = 4096;
    const uint64_t atoms = m_atoms;
    std::vector<char> chunk;
    size_t slot = regionByte / m_atomSize;
    size_t skip = regionByte % m_atomSize;
    size_t done = 0;
    while (done < bytes) {
        size_t n = std::min<size_t>({(skip + bytes - done + m_atomSize - 1) / m_atomSize, c_chunk, m_atoms - slot});
        chunk.assign(n * m_atomSize, 0);
        if (written > 0) {
            // The newest atom index that the slot holds.
            const uint64_t last = written - 1;
            const uint64_t back = (last % atoms + atoms - slot) % atoms;
            if (back > last) {
                n = std::min<size_t>(n, m_atoms - slot); // not written since the restart
            } else {
                const uint64_t index = last - back;
                n = static_cast<size_t>(std::min<uint64_t>(n, last - index + 1));
                auto run = std::upper_bound(runs.begin(), runs.end(), index,
                                            [](uint64_t i, const Track::Segment& r) { return i < r.firstIndex; });
                if (run == runs.begin()) {
                    n = static_cast<size_t>(std::min<uint64_t>(n, runs.front().firstIndex - index));
                } else {
                    --run;
                    n = static_cast<size_t>(std::min<uint64_t>(n, run->firstIndex + run->count - index));
                    generator->Fill(chunk.data(), n, run->firstLmt + (index - run->firstIndex) * run->step, run->step);
                }
            }
        }
        const size_t take = std::min(n * m_atomSize - skip, bytes - done);
        std::memcpy(out + done, chunk.data() + skip, take);
        done += take;
        skip = 0;
        slot += n;
    }
}

void HistoryMemory::SetGenerator(const std::shared_ptr<Track>& track, std::shared_ptr<const Generator> generator)
{
    State state;
    {
        std::unique_lock<std::shared_mutex> filling(track->m_fillMutex);
        std::lock_guard<std::mutex> lock(track->m_mutex);
        track->m_generator = std::move(generator);
        track->m_segments.clear();
        track->m_blocks = 0;
        track->m_state.written = 0;
        track->m_state.lineStart = 0;
        track->m_state.lineLmt = track->m_state.firstLmt;
        ++track->m_state.generation;
        ++track->m_state.restarts;
        state = track->m_state;
    }
    track->WakeWaiters(state, true);
    std::lock_guard<std::mutex> lock(track->m_memory->m_tracksMutex);
    auto& list = track->m_memory->m_generated;
    list.erase(std::remove_if(list.begin(), list.end(), [](const std::weak_ptr<Track>& w) { return w.expired(); }),
               list.end());
    list.push_back(track);
}

std::shared_ptr<HistoryMemory::Track> HistoryMemory::GetTrack(const std::shared_ptr<HistoryMemory>& memory,
                                                              size_t byteOffset, size_t atoms, size_t atomSize)
{
    std::lock_guard<std::mutex> lock(memory->m_tracksMutex);
    std::weak_ptr<Track>& slot = memory->m_tracks[byteOffset];
    auto track = slot.lock();
    if (!track || track->Atoms() != atoms || track->AtomSize() != atomSize) {
        track = std::make_shared<Track>(memory, byteOffset, atoms, atomSize);
        slot = track;
    }
    return track;
}

void HistoryMemory::Register(const std::string& device, std::shared_ptr<HistoryMemory> memory)
{
    std::lock_guard<std::mutex> lock(RegistryMutex());
    Registry()[device] = std::move(memory);
}

void HistoryMemory::Unregister(const std::string& device)
{
    std::lock_guard<std::mutex> lock(RegistryMutex());
    Registry().erase(device);
}

std::shared_ptr<HistoryMemory> HistoryMemory::Find(const std::string& device)
{
    std::lock_guard<std::mutex> lock(RegistryMutex());
    auto it = Registry().find(device);
    return it == Registry().end() ? nullptr : it->second;
}

} // namespace sim
