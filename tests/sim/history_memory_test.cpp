#include "sim/history_memory.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace {

TEST(HistoryMemory, ReadAndWriteWrapAtTheEnd)
{
    sim::HistoryMemory memory(16);
    const char in[6] = {'a', 'b', 'c', 'd', 'e', 'f'};
    EXPECT_EQ(6u, memory.Write(in, 6, 13)); // bytes 13, 14, 15, 0, 1, 2
    char out[6] = {};
    EXPECT_EQ(6u, memory.Read(out, 6, 13));
    EXPECT_EQ(std::string(in, 6), std::string(out, 6));
    char head[3] = {};
    memory.Read(head, 3, 0);
    EXPECT_EQ("def", std::string(head, 3));
    // An offset past the end counts from the start again.
    memory.Read(head, 3, 16 + 13);
    EXPECT_EQ("abc", std::string(head, 3));
}

TEST(HistoryMemory, EmptyMemoryDeliversNothing)
{
    sim::HistoryMemory memory(0);
    char b = 0;
    EXPECT_EQ(0u, memory.Read(&b, 1, 0));
    EXPECT_EQ(0u, memory.Write(&b, 1, 0));
}

TEST(HistoryMemory, TrackAppendsCircularlyInsideItsRegion)
{
    auto memory = std::make_shared<sim::HistoryMemory>(64);
    // Region of 4 atoms of 4 bytes at byte 16.
    sim::HistoryMemory::Track track(memory, 16, 4, 4);
    track.Restart(1000);
    std::vector<uint32_t> atoms = {1, 2, 3, 4, 5, 6};
    track.Append(atoms.data(), atoms.size(), 1000, 10);
    const auto state = track.Snapshot();
    EXPECT_EQ(6u, state.written);
    EXPECT_EQ(1000u, state.firstLmt);
    EXPECT_EQ(1050u, state.newestLmt);
    uint32_t region[4] = {};
    memory->Read(region, sizeof region, 16);
    EXPECT_EQ(5u, region[0]); // atoms 4 and 5 overwrote slots 0 and 1
    EXPECT_EQ(6u, region[1]);
    EXPECT_EQ(3u, region[2]);
    EXPECT_EQ(4u, region[3]);
    // Nothing outside the region was written.
    uint32_t before[4] = {9, 9, 9, 9};
    memory->Read(before, sizeof before, 0);
    EXPECT_EQ(0u, before[0] | before[1] | before[2] | before[3]);
}

// A track tells the LMT of every atom it holds by runs of atoms one step
// apart: an append that goes on from the newest atom extends its run, one
// after a gap (the next trigger's block) or with another step starts a run,
// and a run whose atoms are all overwritten is forgotten.
TEST(HistoryMemory, TrackTellsTheLmtRunsOfTheAtomsItHolds)
{
    using Run = std::vector<uint64_t>; // first index, first LMT, step, count
    auto memory = std::make_shared<sim::HistoryMemory>(10 * 8);
    sim::HistoryMemory::Track track(memory, 0, 10, 8);
    track.Restart(0);
    const std::vector<uint64_t> atoms(4);
    const auto runs = [&] {
        std::vector<sim::HistoryMemory::LmtRun> held;
        track.Snapshot(held);
        std::vector<Run> told;
        for (const auto& r : held) {
            told.push_back({r.firstIndex, r.firstLmt, r.step, r.count});
        }
        return told;
    };
    EXPECT_TRUE(runs().empty());
    track.Append(atoms.data(), 4, 100, 10);
    track.Append(atoms.data(), 2, 140, 10);
    EXPECT_EQ((std::vector<Run>{{0, 100, 10, 6}}), runs());
    track.Append(atoms.data(), 3, 500, 10);
    track.Append(atoms.data(), 1, 530, 1);
    EXPECT_EQ((std::vector<Run>{{0, 100, 10, 6}, {6, 500, 10, 3}, {9, 530, 1, 1}}), runs());
    track.Append(atoms.data(), 4, 1000, 1); // atoms 0 to 3 overwritten
    EXPECT_EQ((std::vector<Run>{{0, 100, 10, 6}, {6, 500, 10, 3}, {9, 530, 1, 1}, {10, 1000, 1, 4}}), runs());
    track.Append(atoms.data(), 3, 1004, 1); // atoms 0 to 6 overwritten
    EXPECT_EQ((std::vector<Run>{{6, 500, 10, 3}, {9, 530, 1, 1}, {10, 1000, 1, 7}}), runs());
    track.Restart(2000);
    EXPECT_TRUE(runs().empty());
}

TEST(HistoryMemory, AppendLongerThanRegionKeepsNewest)
{
    auto memory = std::make_shared<sim::HistoryMemory>(16);
    sim::HistoryMemory::Track track(memory, 0, 2, 8);
    std::vector<uint64_t> atoms = {1, 2, 3, 4, 5};
    track.Append(atoms.data(), atoms.size(), 0, 1);
    uint64_t region[2] = {};
    memory->Read(region, sizeof region, 0);
    EXPECT_EQ(5u, region[0]); // index 4 -> slot 0
    EXPECT_EQ(4u, region[1]); // index 3 -> slot 1
    EXPECT_EQ(5u, track.Snapshot().written);
}

TEST(HistoryMemory, LazyWriterMakesAtomsWhenAReaderLooks)
{
    auto memory = std::make_shared<sim::HistoryMemory>(32);
    sim::HistoryMemory::Track track(memory, 0, 4, 8);
    track.Restart(100);
    // Each look makes one atom more: the atom's value is its LMT.
    uint64_t looks = 0;
    track.SetLazyWriter([&] {
        track.AppendMade(1, 100 + 10 * looks, 10, [](uint64_t lmt, void* atom) { std::memcpy(atom, &lmt, 8); });
        ++looks;
    });
    EXPECT_EQ(1u, track.Snapshot().written);
    const auto seen = track.Snapshot(); // written 2
    const auto changed =
        track.WaitForChange(seen.generation, std::chrono::steady_clock::now() + std::chrono::seconds(5));
    EXPECT_EQ(3u, changed.written);
    EXPECT_EQ(120u, changed.newestLmt);
    // Made runs longer than the region keep the newest, in their slots.
    track.AppendMade(6, 130, 10, [](uint64_t lmt, void* atom) { std::memcpy(atom, &lmt, 8); });
    uint64_t region[4] = {};
    memory->Read(region, sizeof region, 0);
    EXPECT_EQ((std::vector<uint64_t>{180, 150, 160, 170}), std::vector<uint64_t>(region, region + 4));
    track.SetLazyWriter(nullptr);
    EXPECT_EQ(9u, track.Snapshot().written);
    EXPECT_EQ(9u, track.Snapshot().written);
}

TEST(HistoryMemory, TrackOutsideMemoryIsRefused)
{
    auto memory = std::make_shared<sim::HistoryMemory>(16);
    EXPECT_ANY_THROW(sim::HistoryMemory::Track(memory, 8, 2, 8));
    EXPECT_ANY_THROW(sim::HistoryMemory::Track(memory, 0, 0, 8));
    EXPECT_NO_THROW(sim::HistoryMemory::Track(memory, 8, 1, 8));
}

TEST(HistoryMemory, WriterAndReadersMeetAtTheTrackOfARegion)
{
    auto memory = std::make_shared<sim::HistoryMemory>(64);
    auto writer = sim::HistoryMemory::GetTrack(memory, 32, 4, 8);
    EXPECT_EQ(writer, sim::HistoryMemory::GetTrack(memory, 32, 4, 8));
    EXPECT_NE(writer, sim::HistoryMemory::GetTrack(memory, 0, 4, 8));
    // Another geometry at the same place is a new track.
    auto other = sim::HistoryMemory::GetTrack(memory, 32, 2, 16);
    EXPECT_NE(writer, other);
    EXPECT_EQ(2u, other->Atoms());
    std::weak_ptr<sim::HistoryMemory::Track> watch = other;
    other.reset();
    EXPECT_TRUE(watch.expired()); // the memory does not keep unused tracks
}

TEST(HistoryMemory, RegistryFindsByDeviceName)
{
    auto memory = std::make_shared<sim::HistoryMemory>(8);
    sim::HistoryMemory::Register("history-test-dev", memory);
    EXPECT_EQ(memory, sim::HistoryMemory::Find("history-test-dev"));
    sim::HistoryMemory::Unregister("history-test-dev");
    EXPECT_EQ(nullptr, sim::HistoryMemory::Find("history-test-dev"));
}

// An armed waiter is woken once, by the first append that reaches its target
// (atoms written and newest LMT) or by a restart; arming it with the
// generation of an outdated look at the track wakes it at once.
TEST(HistoryMemory, WaiterWakesOnceWhenItsTargetIsReached)
{
    auto memory = std::make_shared<sim::HistoryMemory>(64);
    auto track = std::make_shared<sim::HistoryMemory::Track>(memory, 0, 8, 8);
    track->Restart(100);
    int wakes = 0;
    sim::HistoryMemory::Waiter waiter(track, [&] { ++wakes; });
    const uint64_t atom = 0;
    auto append = [&](uint64_t lmt) { track->Append(&atom, 1, lmt, 10); };

    waiter.Arm({1, 120}, track->Snapshot().generation);
    append(100);
    append(110);
    EXPECT_EQ(0, wakes);
    append(120);
    EXPECT_EQ(1, wakes);
    append(130); // disarmed until armed again
    EXPECT_EQ(1, wakes);

    waiter.Arm({6, 0}, track->Snapshot().generation); // by the atom count alone
    append(140);
    EXPECT_EQ(1, wakes);
    append(150);
    EXPECT_EQ(2, wakes);

    waiter.Arm({1000, 0}, track->Snapshot().generation);
    track->Restart(500);
    EXPECT_EQ(3, wakes);

    const uint64_t seen = track->Snapshot().generation;
    append(500);
    waiter.Arm({1000, 0}, seen);
    EXPECT_EQ(4, wakes);
}

TEST(HistoryMemoryConcurrency, ReadersSeeWholeAtomsWhileTheWriterAppends)
{
    auto memory = std::make_shared<sim::HistoryMemory>(1024);
    sim::HistoryMemory::Track track(memory, 0, 128, 8);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (uint64_t i = 0; i < 5000; ++i) {
            const uint64_t atom = (i & 0xff) * 0x0101010101010101ull; // every byte equal
            track.Append(&atom, 1, i, 1);
        }
        stop = true;
    });
    auto waiter = std::thread([&] {
        auto st = track.Snapshot();
        while (!stop) {
            st = track.WaitForChange(st.generation, std::chrono::steady_clock::now() + std::chrono::milliseconds(5));
        }
    });
    bool torn = false;
    while (!stop) {
        uint64_t atoms[128];
        memory->Read(atoms, sizeof atoms, 0);
        for (uint64_t a : atoms) {
            const uint64_t low = a & 0xff;
            torn = torn || a != low * 0x0101010101010101ull;
        }
    }
    writer.join();
    waiter.join();
    EXPECT_FALSE(torn);
    EXPECT_EQ(5000u, track.Snapshot().written);
}

// The owner of a generator may go once the generator is removed: the removal
// waits for the fill in progress, which still uses the owner.
TEST(HistoryMemoryConcurrency, RemovingTheGeneratorWaitsForTheFillInProgress)
{
    struct Owner {
        uint64_t value = 7;
    };
    struct Gate {
        std::mutex mutex;
        std::condition_variable changed;
        bool entered = false;
        bool open = false;
    } gate;
    class Blocking : public sim::HistoryMemory::Generator {
    public:
        Blocking(const Owner& owner, Gate& gate) : m_owner(owner), m_gate(gate) {}
        uint64_t Now() const override { return 0; }
        void Fill(void* atoms, size_t count, uint64_t, uint64_t) const override
        {
            std::unique_lock<std::mutex> lock(m_gate.mutex);
            m_gate.entered = true;
            m_gate.changed.notify_all();
            m_gate.changed.wait_for(lock, std::chrono::seconds(20), [&] { return m_gate.open; });
            for (size_t i = 0; i < count; ++i) {
                static_cast<uint64_t*>(atoms)[i] = m_owner.value;
            }
        }

    private:
        const Owner& m_owner;
        Gate& m_gate;
    };

    auto memory = std::make_shared<sim::HistoryMemory>(64, false);
    auto track = sim::HistoryMemory::GetTrack(memory, 0, 8, 8);
    auto owner = std::make_unique<Owner>();
    sim::HistoryMemory::SetGenerator(track, std::make_shared<Blocking>(*owner, gate));
    track->AppendGenerated(8, 0, 1);
    uint64_t atoms[8] = {};
    std::thread reader([&] { memory->Read(atoms, sizeof atoms, 0); });
    bool entered = false;
    {
        std::unique_lock<std::mutex> lock(gate.mutex);
        entered = gate.changed.wait_for(lock, std::chrono::seconds(20), [&] { return gate.entered; });
    }
    EXPECT_TRUE(entered);
    std::atomic<bool> removed{false};
    std::thread remover([&] {
        sim::HistoryMemory::SetGenerator(track, nullptr);
        removed = true;
        owner.reset();
    });
    // The removal is still waiting a while later (however late its thread runs).
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(removed.load());
    {
        std::lock_guard<std::mutex> lock(gate.mutex);
        gate.open = true;
    }
    gate.changed.notify_all();
    reader.join();
    remover.join();
    EXPECT_EQ(std::vector<uint64_t>(8, 7), std::vector<uint64_t>(atoms, atoms + 8));
    // Without a generator the region reads as zeros.
    memory->Read(atoms, sizeof atoms, 0);
    EXPECT_EQ(std::vector<uint64_t>(8, 0), std::vector<uint64_t>(atoms, atoms + 8));
}

} // namespace
