#pragma once
// Simulated history memory of a board: one circular block of bytes that the
// simulated acquisition writes and that random-access buffers read at any
// byte position (a read or write that runs past the end continues at byte 0).
//
// The acquisition writes each of its data paths through a Track, a region of
// the memory with a fixed atom size. A track appends atoms circularly inside
// its region and remembers how many atoms it has written since its last
// restart and the LMT of the newest one, so that position controllers can
// tell which LMTs are held. A reader that waits for atoms registers a Waiter
// on the track and is woken by the append that brings what it waits for.
//
// A track may also be written lazily: its lazy writer runs whenever a reader
// looks at the track and writes the atoms that are due by then, so that data
// are made only where and when someone reads them.
//
// A generated track stores nothing: a Generator computes its atoms when a
// reader reads them, and what has been acquired follows from the
// acquisition's clock when the track is looked at (a continuous run of one
// atom per step, or blocks appended one by one). The simulated chassis thus
// spends nothing on data that nobody reads.
//
// Nothing signals the atoms of a lazily written track or of a continuous
// generated run while nobody looks: their waiters look again when their
// atoms are due.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

namespace sim {

class HistoryMemory {
public:
    // byteSize zeroed bytes; with allocate false they are allocated by the
    // first write (a memory whose tracks are all generated stores nothing).
    explicit HistoryMemory(size_t byteSize, bool allocate = true);
    ~HistoryMemory();
    HistoryMemory(const HistoryMemory&) = delete;
    HistoryMemory& operator=(const HistoryMemory&) = delete;

    size_t ByteSize() const { return m_size; }

    // Copies bytes from byteOffset (taken modulo the size) on, wrapping at the
    // end; returns the bytes copied (all of them, 0 for an empty memory).
    // Any number of readers run at once; a writer excludes them.
    size_t Read(void* destination, size_t bytes, size_t byteOffset) const;
    size_t Write(const void* source, size_t bytes, size_t byteOffset);

    // Snapshot of what a track has written.
    struct State {
        uint64_t written = 0;    // atoms since the last restart
        uint64_t firstLmt = 0;   // LMT of atom 0 after the last restart
        uint64_t newestLmt = 0;  // LMT of the newest atom (valid when written > 0)
        uint64_t generation = 0; // grows with every append and restart
        uint64_t restarts = 0;   // grows with every restart
        // No atom at an earlier LMT is still to come: the acquisition has
        // passed every LMT before it (0 when the track does not tell).
        uint64_t settled = 0;
        // The atoms from index lineStart on carry the LMTs of the clock as it
        // was last set (NewTimeLine; 0 after a restart), from LMT lineLmt on
        // (firstLmt after a restart): the atoms before it keep LMTs of
        // another clock.
        uint64_t lineStart = 0;
        uint64_t lineLmt = 0;
    };

    // Atoms acquired one LMT step apart: atom firstIndex + i (an index since
    // the restart) was acquired at firstLmt + i × step. An acquisition in
    // blocks, one per trigger, leaves a run per block, with gaps between them.
    struct LmtRun {
        static constexpr uint64_t c_noBlock = UINT64_MAX;
        uint64_t firstIndex = 0;
        uint64_t firstLmt = 0;
        uint64_t step = 1;
        uint64_t count = 0;
        // A block appended whole (AppendGenerated: one trigger's acquisition)
        // is a run of its own, never joined with the atoms beside it: its
        // number since the restart (0 for the first), else c_noBlock.
        uint64_t block = c_noBlock;
    };

    // Computes the atoms of a generated track; called from readers' threads.
    class Generator {
    public:
        virtual ~Generator() = default;
        // LMT now on the acquisition's clock.
        virtual uint64_t Now() const = 0;
        // Writes count atoms, the first acquired at firstLmt, each next one
        // step later.
        virtual void Fill(void* atoms, size_t count, uint64_t firstLmt, uint64_t step) const = 0;
        // State::settled: the LMT before which the acquisition appends no
        // atom any more (0: it does not tell). Asked, as Now, with the
        // track's lock held: it must not wait for anything.
        virtual uint64_t Settled() const { return 0; }
    };

    // What a waiter waits for: an append that leaves at least `written` atoms
    // since the restart and a newest atom at or after `newestLmt`.
    struct Target {
        uint64_t written = 1;
        uint64_t newestLmt = 0;
    };

    class Track;

    // A wait on a track, registered for the waiter's life. Once armed, its wake
    // function runs on the writer's thread when an append reaches the target
    // or the track restarts, and the waiter is disarmed until armed again.
    // The wake runs with the track's waiter list locked: it must be short and
    // must not call back into the track.
    class Waiter {
    public:
        Waiter(std::shared_ptr<const Track> track, std::function<void()> wake);
        ~Waiter();
        Waiter(const Waiter&) = delete;
        Waiter& operator=(const Waiter&) = delete;

        // Waits for target. When the track has changed since the snapshot of
        // generation `seen`, wakes at once, so that a change between the
        // caller's look at the track and this call is not missed.
        void Arm(const Target& target, uint64_t seen);

    private:
        friend class Track;
        const std::shared_ptr<const Track> m_track;
        const std::function<void()> m_wake;
        Target m_target; // guarded by the track's waiter list lock
        bool m_armed = false;
    };

    class Track {
    public:
        // Region [byteOffset, byteOffset + atoms × atomSize) of memory.
        Track(std::shared_ptr<HistoryMemory> memory, size_t byteOffset, size_t atoms, size_t atomSize);

        size_t Atoms() const { return m_atoms; }
        size_t AtomSize() const { return m_atomSize; }
        size_t ByteOffset() const { return m_offset; }

        // Starts the region anew: atom 0 is the one acquired at lmt.
        void Restart(uint64_t lmt);
        // The acquisition's clock was set (a synchronisation): the atoms
        // appended from now on begin a new time line, at lmt; those held
        // stay, with their index and LMTs.
        void NewTimeLine(uint64_t lmt);
        // Appends count atoms, the first acquired at firstLmt and each next
        // one lmtStep later (a step of 0 counts as 1); the newest atoms
        // overwrite the oldest. The atoms go on with the run of the newest
        // atom when they follow it one step later, else start a run.
        void Append(const void* atoms, size_t count, uint64_t firstLmt, uint64_t lmtStep);
        // The same for atoms that make(lmt, atom) writes into atom; only the
        // newest region's worth of them are made.
        using Maker = std::function<void(uint64_t lmt, void* atom)>;
        void AppendMade(uint64_t count, uint64_t firstLmt, uint64_t lmtStep, const Maker& make);
        // Runs the lazy writer (or brings a generated track up to its
        // clock), then reports what the track holds.
        State Snapshot() const;
        // The same, and the runs of the atoms that the region still holds,
        // oldest first (the oldest may have lost its first atoms already).
        State Snapshot(std::vector<LmtRun>& runs) const;
        // Waits until the generation differs from seen or the deadline passes;
        // returns the current state. A lazily written or generated track is
        // looked at every millisecond meanwhile.
        State WaitForChange(uint64_t seen, std::chrono::steady_clock::time_point deadline) const;
        // Waiters armed now: readers that have looked at the track and wait
        // for atoms still to come.
        size_t ArmedWaiters() const;

        // Installs the lazy writer (empty: none). It runs outside the track's
        // lock, one call at a time, and may append. Removing it waits for a
        // running call, so its owner may go away afterwards.
        void SetLazyWriter(std::function<void()> writer);

        // Generated tracks: restarts the region with a continuous acquisition
        // of one atom per step from firstLmt on; the atoms count as written
        // once the generator's clock has passed their LMT.
        void Run(uint64_t firstLmt, uint64_t step);
        // Ends the continuous acquisition with the atoms acquired by now.
        void Halt();
        // Appends one block of count generated atoms, a run of its own (see
        // LmtRun::block).
        void AppendGenerated(size_t count, uint64_t firstLmt, uint64_t step);
        bool IsGenerated() const;
        // Fills bytes [regionByte, regionByte + bytes) of the region with the
        // generated atoms its slots hold now (zeros where nothing was acquired
        // since the restart).
        void FillBytes(char* out, size_t regionByte, size_t bytes) const;

    private:
        friend class Waiter;
        // Writes count atoms (of which only the newest region's worth) that
        // chunk(i, n) hands out as n atoms from input atom i on.
        void Put(uint64_t count, uint64_t firstLmt, uint64_t lmtStep,
                 const std::function<const char*(uint64_t i, size_t n)>& chunk);
        void CatchUp() const;
        // Snapshot, with the runs when runs is not null.
        State Look(std::vector<LmtRun>* runs) const;
        // Wakes the armed waiters that the state reaches (all on a restart).
        void WakeWaiters(const State& state, bool restart) const;

        friend class HistoryMemory;
        // A run of the track's atoms; a generated track makes its atoms from them.
        struct Segment : LmtRun {
            bool open = false; // still acquiring: count follows the clock
        };
        // Notes count atoms appended from firstLmt on, step (not 0) apart, as
        // a block when block is true (m_mutex held, before the state counts them).
        void AddRun(uint64_t count, uint64_t firstLmt, uint64_t step, bool block = false);
        // Brings an open run up to the generator's clock (m_mutex held).
        void Advance() const;
        // Forgets the segments whose atoms have all been overwritten (m_mutex held).
        void Forget() const;

        std::shared_ptr<HistoryMemory> m_memory;
        size_t m_offset;
        size_t m_atoms;
        size_t m_atomSize;
        mutable std::mutex m_mutex;
        mutable std::condition_variable m_changed;
        mutable State m_state;
        mutable std::mutex m_writerMutex; // taken before m_mutex and m_waitersMutex, never after
        std::function<void()> m_writer;
        std::shared_ptr<const Generator> m_generator;
        mutable std::vector<Segment> m_segments;
        uint64_t m_blocks = 0; // blocks appended since the restart (m_mutex)
        // Held shared while the generator fills, exclusively while it is
        // replaced: a removed generator is no longer in use. Taken before
        // m_mutex, never after.
        mutable std::shared_mutex m_fillMutex;
        mutable std::mutex m_waitersMutex; // taken before m_mutex, never after
        mutable std::vector<Waiter*> m_waiters;
    };

    // Makes the track generated by generator (a restart of its region). Waits
    // for the fills in progress of the generator it replaces, so that the
    // owner of what that generator uses may go away afterwards.
    static void SetGenerator(const std::shared_ptr<Track>& track, std::shared_ptr<const Generator> generator);

    // The track of the region at byteOffset: the one already in use when its
    // geometry matches, else a new one. The acquisition that writes a region
    // and the position controllers of the sources that read it meet here.
    static std::shared_ptr<Track> GetTrack(const std::shared_ptr<HistoryMemory>& memory, size_t byteOffset,
                                           size_t atoms, size_t atomSize);

    // Devices of the simulated chassis: the board simulation registers the
    // memory of each history device under the device's name.
    static void Register(const std::string& device, std::shared_ptr<HistoryMemory> memory);
    static void Unregister(const std::string& device);
    // The memory registered under device, or an empty pointer.
    static std::shared_ptr<HistoryMemory> Find(const std::string& device);

private:
    size_t m_size;
    char* m_bytes; // null until allocated
    mutable std::shared_mutex m_lock;
    // Allocates the bytes unless they are (m_lock held exclusively, or
    // during construction).
    void Allocate();
    // Overwrites the generated parts of a copied span [at, at + bytes).
    void FillGenerated(char* out, size_t at, size_t bytes) const;

    mutable std::mutex m_tracksMutex;
    // Weak: a track lives as long as its writer or readers hold it.
    std::map<size_t, std::weak_ptr<Track>> m_tracks;
    std::vector<std::weak_ptr<Track>> m_generated;
};

} // namespace sim
