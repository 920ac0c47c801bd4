#pragma once
// Test application of the framework tests: records every hook of the
// application, its boards and their objects with the application state at
// the time, and runs on scenario files in a temporary directory.

#include "platform/qapp/fnc_node.h"
#include "platform/qapp/zemtra_application.h"
#include "platform/qapp/zemtra_board.h"
#include "platform/qapp/zemtra_feature.h"
#include "platform/qapp/zemtra_fpga_object.h"
#include "platform/qsig/zemtra_event_stream.h"
#include "sim/chassis.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace qfeature {
class Events;
class LocalTimingSync;
} // namespace qfeature

namespace qapptest {

// Every hook call: "<who>:<hook>@<state>".
class Recorder {
public:
    void Add(const std::string& who, const std::string& hook, int state);
    std::vector<std::string> Entries() const;
    // Entries of one hook, in order ("<who>@<state>").
    std::vector<std::string> Of(const std::string& hook) const;
    // Index of the first entry, or -1.
    int IndexOf(const std::string& entry) const;
    void Clear();

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_entries;
};

Recorder& Hooks();

// A node over one value of the test, read and written as it is.
template <typename T> mci::TreeNodePtr BoundNode(const std::string& name, unsigned long long flags, T& value)
{
    return qapp::MakeFncNode<T>(
        name, flags,
        [&value](T& v) {
            v = value;
            return true;
        },
        [&value](const T& v) {
            value = v;
            return true;
        });
}

// Hook of an object that a test wants to interfere with: called with the
// object's name and the hook's name before the hook is recorded.
using HookAction = std::function<void(const std::string& who, const std::string& hook)>;
void SetHookAction(HookAction action);
void RunHookAction(const std::string& who, const std::string& hook);

class RecordingFeature : public qapp::ZemtraFeature {
public:
    RecordingFeature(qapp::ZemtraObject& parent, const std::string& name);
    void OnRegistryAdd(mci::TreeNodePtr& node) override;
    void OnPreInit() override;
    void OnPostInit() override;
    void OnPreConfig() override;
    void OnPostConfig() override;
    void OnStartRunning() override;
    void OnAcceptRequests() override;
    void OnShutdown() override;

private:
    void Record(const char* hook);
};

// An FPGA object over a block of 0x20 bytes.
class RecordingFpgaObject : public qapp::ZemtraFpgaObject {
public:
    static constexpr int c_blockSize = 0x20;
    RecordingFpgaObject(qapp::ZemtraBoard& board, volatile FPGAMem_t* block, const std::string& name);
    volatile FPGAMem_t* Block() const { return m_block; }

private:
    volatile FPGAMem_t* m_block;
};

// A board with recorded hooks, an events feature (table {2 "trigger"}) and
// a local timing that takes announced LMTs at the trigger.
class TestBoard : public qapp::ZemtraBoard {
public:
    TestBoard(qapp::ZemtraApplication& application, const bmc::Board* board);
    ~TestBoard() override;

    void OnRegistryAdd(mci::TreeNodePtr& node) override;
    void OnPreInit() override;
    void OnPostInit() override;
    void OnPreConfig() override;
    void OnPostConfig() override;
    void OnStartRunning() override;
    void OnAcceptRequests() override;
    void OnShutdown() override;
    void OnAnnounceSync() override;
    void OnAdjustedTimestamp(long long delta, unsigned long long lmt) override;

    qsig::ZemtraEventStream* Events() const { return m_stream.get(); }
    qfeature::LocalTimingSync* Timing() const { return m_timing; }
    unsigned long long Triggers() const;
    unsigned long long LastTriggerLmt() const;

private:
    void Record(const char* hook);
    void EventReceived(unsigned long long id, unsigned long long first, unsigned long long second);

    std::unique_ptr<qsig::ZemtraEventStream> m_stream;
    qfeature::LocalTimingSync* m_timing = nullptr;
    mutable std::mutex m_mutex;
    unsigned long long m_triggers = 0;
    unsigned long long m_lastLmt = 0;
};

class TestApplication : public virtual qapp::ZemtraApplication {
public:
    TestApplication();
    ~TestApplication() override;

    // Default: a TimBoard for type 62, a TestBoard for every other type.
    std::function<qapp::ZemtraBoard*(TestApplication&, const bmc::Board*)> makeBoard;
    // Runs in the application's OnAcceptRequests; by default it ends Run.
    std::function<void(TestApplication&)> whileRunning;

    qapp::ZemtraBoard* CreateBoard(const bmc::Board* board) override;
    void OnRegistryAdd(mci::TreeNodePtr& node) override;
    void OnPreInit() override;
    void OnPostInit() override;
    void OnPreConfig() override;
    void OnPostConfig() override;
    void OnStartRunning() override;
    void OnAcceptRequests() override;
    void OnShutdown() override;
    void OnSyncAnnounced(qfeature::LocalTimingSync& sync) override;
    void OnSynchronized(qfeature::LocalTimingSync& sync) override;

    unsigned Announced() const;
    unsigned Synchronized() const;

private:
    void Record(const char* hook);
    mutable std::mutex m_mutex;
    unsigned m_announced = 0;
    unsigned m_synchronized = 0;
};

// The application with the boards of a scenario, built without Run: the
// tests make the board objects over its simulated boards themselves.
struct Bench {
    explicit Bench(const std::string& xml);
    ~Bench();
    // The description of the scenario's i-th board.
    const bmc::Board* Desc(size_t i) const { return descs.at(i).get(); }
    // A board object of class B (the plain board by default) over the i-th
    // simulated board, adopted by the application.
    template <typename B = qapp::ZemtraBoard, typename... Args> B* MakeBoard(size_t i, Args&&... args)
    {
        auto* board = new B(app, Desc(i), std::forward<Args>(args)...);
        app.QueryChild(board);
        return board;
    }

    TestApplication app;
    sim::Chassis chassis;
    std::vector<std::unique_ptr<bmc::Board>> descs;
};

// A temporary directory, removed with its contents at destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& Path() const { return m_path; }
    std::string File(const std::string& name, const std::string& contents) const;

private:
    std::string m_path;
};

// A scenario with one timing board "tim" and RAF boards in the given slots
// ("raf<slot>"), plus extra board elements.
std::string Scenario(const std::vector<int>& rafSlots, const std::string& extra = std::string());

// Runs the application on a scenario file with the configuration directory
// <dir>/cfg and the instrument root <dir>/root; without remote clients unless
// the extra arguments name a port.
bool RunOn(TestApplication& app, const TempDir& dir, const std::string& scenarioXml,
           std::vector<std::string> extraArgs = {});

} // namespace qapptest
