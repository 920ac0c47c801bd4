#include "test_app.h"

#include "platform/qapp/create.h"
#include "platform/qboard/tim_board.h"
#include "platform/qfeature/events.h"
#include "platform/qfeature/local_timing.h"
#include "platform/qsig/zemtra_event_stream.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace qapptest {

void Recorder::Add(const std::string& who, const std::string& hook, int state)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_entries.push_back(who + ":" + hook + "@" + std::to_string(state));
}

std::vector<std::string> Recorder::Entries() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_entries;
}

std::vector<std::string> Recorder::Of(const std::string& hook) const
{
    std::vector<std::string> out;
    for (const std::string& e : Entries()) {
        const size_t colon = e.find(':');
        const size_t at = e.rfind('@');
        if (e.substr(colon + 1, at - colon - 1) == hook) {
            out.push_back(e.substr(0, colon) + e.substr(at));
        }
    }
    return out;
}

int Recorder::IndexOf(const std::string& entry) const
{
    const auto entries = Entries();
    for (size_t i = 0; i < entries.size(); ++i) {
        if (entries[i] == entry) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

void Recorder::Clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_entries.clear();
}

Recorder& Hooks()
{
    static Recorder recorder;
    return recorder;
}

namespace {
std::mutex g_actionMutex;
HookAction g_action;

int StateNow()
{
    qapp::ZemtraApplication* app = qapp::ZemtraApplication::InstancePtr();
    return app ? app->GetState() : -1;
}
} // namespace

void SetHookAction(HookAction action)
{
    std::lock_guard<std::mutex> lock(g_actionMutex);
    g_action = std::move(action);
}

void RunHookAction(const std::string& who, const std::string& hook)
{
    HookAction action;
    {
        std::lock_guard<std::mutex> lock(g_actionMutex);
        action = g_action;
    }
    if (action) {
        action(who, hook);
    }
}

RecordingFeature::RecordingFeature(qapp::ZemtraObject& parent, const std::string& name)
    : qapp::ZemtraFeature(parent, name)
{
}

void RecordingFeature::Record(const char* hook)
{
    const std::string who = GetParent()->GetName() + "/" + GetName();
    RunHookAction(who, hook);
    Hooks().Add(who, hook, StateNow());
}

void RecordingFeature::OnRegistryAdd(mci::TreeNodePtr&)
{
    Record("OnRegistryAdd");
}
void RecordingFeature::OnPreInit()
{
    Record("OnPreInit");
}
void RecordingFeature::OnPostInit()
{
    Record("OnPostInit");
}
void RecordingFeature::OnPreConfig()
{
    Record("OnPreConfig");
}
void RecordingFeature::OnPostConfig()
{
    Record("OnPostConfig");
}
void RecordingFeature::OnStartRunning()
{
    Record("OnStartRunning");
}
void RecordingFeature::OnAcceptRequests()
{
    Record("OnAcceptRequests");
}
void RecordingFeature::OnShutdown()
{
    Record("OnShutdown");
}

RecordingFpgaObject::RecordingFpgaObject(qapp::ZemtraBoard& board, volatile FPGAMem_t* block, const std::string& name)
    : qapp::ZemtraFpgaObject(board, block, name), m_block(block)
{
}

TestBoard::TestBoard(qapp::ZemtraApplication& application, const bmc::Board* board)
    : qapp::ZemtraBoard(application, board)
{
    qapp::Create<RecordingFeature>(*this, "feature");
    m_stream = std::make_unique<qsig::ZemtraEventStream>(
        GetDecoratedName("event"), board->CreateDeviceName(bmc::eAccessEvents, 0), true, board->GetName());
    static const std::vector<qfeature::Events::Description> table = {{2, "trigger"}};
    qapp::Create<qfeature::Events>(
        *this, "events", m_stream.get(), table,
        [this](unsigned long long id, unsigned long long a, unsigned long long b) { EventReceived(id, a, b); });
    m_timing = qapp::Create<qfeature::LocalTimingSync>(*this, "local_timing", m_stream.get(), nullptr);
}

TestBoard::~TestBoard()
{
    DeleteChildren();
    m_stream.reset();
}

void TestBoard::Record(const char* hook)
{
    RunHookAction(GetName(), hook);
    Hooks().Add(GetName(), hook, StateNow());
}

void TestBoard::EventReceived(unsigned long long id, unsigned long long first, unsigned long long second)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_triggers;
        m_lastLmt = first;
    }
    if (id == 2 && m_timing) {
        m_timing->Synchronize(2, first, second);
    }
}

unsigned long long TestBoard::Triggers() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_triggers;
}

unsigned long long TestBoard::LastTriggerLmt() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lastLmt;
}

void TestBoard::OnRegistryAdd(mci::TreeNodePtr&)
{
    Record("OnRegistryAdd");
}
void TestBoard::OnPreInit()
{
    Record("OnPreInit");
}
void TestBoard::OnPostInit()
{
    Record("OnPostInit");
}
void TestBoard::OnPreConfig()
{
    Record("OnPreConfig");
}
void TestBoard::OnPostConfig()
{
    Record("OnPostConfig");
}
void TestBoard::OnStartRunning()
{
    Record("OnStartRunning");
}
void TestBoard::OnAcceptRequests()
{
    Record("OnAcceptRequests");
}
void TestBoard::OnShutdown()
{
    Record("OnShutdown");
}
void TestBoard::OnAnnounceSync()
{
    Record("OnAnnounceSync");
}
void TestBoard::OnAdjustedTimestamp(long long, unsigned long long lmt)
{
    Record("OnAdjustedTimestamp");
    Hooks().Add(GetName(), "adjusted to " + std::to_string(lmt), StateNow());
}

TestApplication::TestApplication() : qapp::ZemtraApplication("test-app", true, true)
{
    whileRunning = [](TestApplication& app) { app.RequestStop(); };
}

TestApplication::~TestApplication() = default;

qapp::ZemtraBoard* TestApplication::CreateBoard(const bmc::Board* board)
{
    RunHookAction("app", "CreateBoard");
    Hooks().Add("app", "CreateBoard " + board->GetName(), GetState());
    if (makeBoard) {
        return makeBoard(*this, board);
    }
    if (board->GetType() == bmc::eBoardTim) {
        return new qboard::TimBoard(*this, board, qboard::TimBoard::c_evtDesc,
                                    qfeature::TimTriggerGeneration::c_trigConfigurations, nullptr, false);
    }
    return new TestBoard(*this, board);
}

void TestApplication::Record(const char* hook)
{
    RunHookAction("app", hook);
    Hooks().Add("app", hook, GetState());
}

void TestApplication::OnRegistryAdd(mci::TreeNodePtr&)
{
    Record("OnRegistryAdd");
}
void TestApplication::OnPreInit()
{
    Record("OnPreInit");
}
void TestApplication::OnPostInit()
{
    Record("OnPostInit");
}
void TestApplication::OnPreConfig()
{
    Record("OnPreConfig");
}
void TestApplication::OnPostConfig()
{
    Record("OnPostConfig");
}
void TestApplication::OnStartRunning()
{
    Record("OnStartRunning");
}
void TestApplication::OnAcceptRequests()
{
    Record("OnAcceptRequests");
    if (whileRunning) {
        whileRunning(*this);
    }
}
void TestApplication::OnShutdown()
{
    Record("OnShutdown");
}

void TestApplication::OnSyncAnnounced(qfeature::LocalTimingSync& sync)
{
    Hooks().Add("app", "OnSyncAnnounced " + sync.GetBoard().GetName(), GetState());
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_announced;
}

void TestApplication::OnSynchronized(qfeature::LocalTimingSync& sync)
{
    Hooks().Add("app", "OnSynchronized " + sync.GetBoard().GetName(), GetState());
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_synchronized;
}

unsigned TestApplication::Announced() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_announced;
}

unsigned TestApplication::Synchronized() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_synchronized;
}

TempDir::TempDir()
{
    char pattern[] = "/tmp/zv-qapp-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    if (made == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    m_path = made;
}

TempDir::~TempDir()
{
    const std::string command = "rm -rf '" + m_path + "'";
    if (std::system(command.c_str()) != 0) {
        // Leaves the directory behind; nothing else to do in a destructor.
    }
}

std::string TempDir::File(const std::string& name, const std::string& contents) const
{
    const std::string path = m_path + "/" + name;
    std::ofstream out(path, std::ios::trunc);
    out << contents;
    return path;
}

Bench::Bench(const std::string& xml) : chassis(sim::Scenario::Parse(xml))
{
    for (sim::Board* sb : chassis.Boards()) {
        descs.push_back(std::make_unique<bmc::Board>(static_cast<bmc::BoardType_e>(sb->Type()), sb->Name(),
                                                     bmc::Uri("localhost", sb->Slot()), sb));
    }
}

Bench::~Bench()
{
    app.DeleteChildren();
}

std::string Scenario(const std::vector<int>& rafSlots, const std::string& extra)
{
    std::ostringstream xml;
    xml << "<chassis>\n  <board type=\"62\" name=\"tim\" slot=\"1\">\n"
        << "    <timing adc_frequency=\"117440043\" trigger_rate=\"10\"/>\n  </board>\n";
    for (int slot : rafSlots) {
        xml << "  <board type=\"175\" name=\"raf" << slot << "\" slot=\"" << slot << "\"/>\n";
    }
    xml << extra << "</chassis>\n";
    return xml.str();
}

bool RunOn(TestApplication& app, const TempDir& dir, const std::string& scenarioXml, std::vector<std::string> extraArgs)
{
    const std::string scenario = dir.File("scenario.xml", scenarioXml);
    std::vector<std::string> args = {"test-app", "--scenario",        scenario, "--conf-dir", dir.Path() + "/cfg",
                                     "--root",   dir.Path() + "/root"};
    if (std::find(extraArgs.begin(), extraArgs.end(), "--port") == extraArgs.end()) {
        args.push_back("--no-remote");
    }
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(&a[0]);
    }
    argv.push_back(nullptr);
    return app.Run(static_cast<int>(args.size()), argv.data());
}

} // namespace qapptest
