#include "platform/qapp/zemtra_application.h"

#include "platform/qapp/configuration_lock.h"
#include "platform/qapp/configuration_store.h"
#include "platform/qapp/instrument_path.h"
#include "platform/qapp/zemtra_board.h"
#include "platform/qstd/exception.h"
#include "platform/qstd/log.h"
#include "platform/qstd/sink.h"
#include "platform/qstd/trace.h"
#include "platform/remote/orb_version.h"
#include "platform/remote/remote_export.h"
#include "sim/chassis.h"

#include <boost/program_options.hpp>

#include <fcntl.h>
#include <poll.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <functional>
#include <iostream>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace qapp {

namespace {

std::atomic<ZemtraApplication*> g_instance{nullptr};
// Set by SIGINT, SIGTERM and SIGHUP while Run serves. The handler runs on
// whichever thread the signal finds (a request thread of the ORB, say),
// not only the one that waits for it: an atomic, not a volatile flag.
std::atomic<int> g_signalled{0};
// Write end of the pipe that the serving loop waits on: a stop signal or
// RequestStop writes a byte to it, so the loop sleeps until one comes.
std::atomic<int> g_wakeWrite{-1};
static_assert(std::atomic<int>::is_always_lock_free, "the stop signal handler writes through it");

// Wakes the serving loop; safe in a signal handler.
void WakeServing()
{
    const int fd = g_wakeWrite.load();
    if (fd >= 0) {
        const int saved = errno;
        const char byte = 1;
        // A full pipe already holds a wake.
        const ssize_t written = ::write(fd, &byte, 1);
        (void)written;
        errno = saved;
    }
}

// Read end of the wake pipe, made once per process; -1 if it cannot be made.
int WakeReadEnd()
{
    static const int fd = [] {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
            return -1;
        }
        g_wakeWrite.store(ends[1]);
        return ends[0];
    }();
    return fd;
}

extern "C" void OnStopSignal(int)
{
    g_signalled.store(1);
    WakeServing();
}

// Period at which the serving loop looks at the stop requests when it has
// no wake pipe.
constexpr std::chrono::milliseconds c_servePoll{20};

const char* const c_defaultConfDir = "/var/opt/zemtra/cfg/";

// Makes the folders of a path; the reason of the first failure, else "".
std::string MakeDirectories(const std::string& path)
{
    std::string partial;
    std::istringstream in(path);
    std::string part;
    if (!path.empty() && path[0] == '/') {
        partial = "/";
    }
    while (std::getline(in, part, '/')) {
        if (part.empty()) {
            continue;
        }
        partial += part + "/";
        if (::mkdir(partial.c_str(), 0755) != 0) {
            struct stat st {};
            if (errno != EEXIST) {
                return std::strerror(errno);
            }
            if (::stat(partial.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
                return std::strerror(ENOTDIR);
            }
        }
    }
    return std::string();
}

} // namespace

RunOptions RunOptions::Parse(int argc, char** argv, std::string* helpText)
{
    namespace po = boost::program_options;
    RunOptions o;
    // Read as text: a numeric option type would wrap "-1" around.
    std::string portText;
    po::options_description desc("Framework options");
    desc.add_options()("help,h", "show this help")("scenario,s", po::value<std::string>(&o.scenario),
                                                   "chassis scenario file (default chassis when omitted)")(
        "conf-dir,c", po::value<std::string>(&o.confDir),
        "configuration directory (default \"/var/opt/zemtra/cfg/\" under the root)")(
        "root,r", po::value<std::string>(&o.root)->default_value("/"), "root of the instrument's absolute paths")(
        "log,l", po::value<std::string>(&o.logFile), "log file (standard error when omitted)")(
        "no-log", po::bool_switch(&o.noLog), "disable logging")("trace,t", po::value<std::string>(&o.traceFile),
                                                                "trace file (standard error when omitted)")(
        "trace-level,T", po::value<int>(&o.traceLevel)->default_value(0),
        "trace level 1 (errors) to 4 (details); 0 off (2 when only a trace file is given)")(
        "no-remote", "do not serve remote clients")(
        "bind", po::value<std::string>(&o.bindAddress)->default_value("127.0.0.1"),
        "address remote clients connect to (IPv4 or IPv6; other than loopback only with care: clients are not "
        "authenticated)")("port,p", po::value<std::string>(&portText)->default_value("18150"),
                          "port remote clients connect to, 1 to 65535");
    po::positional_options_description positional;
    positional.add("scenario", 1);
    po::variables_map vm;
    try {
        po::store(po::command_line_parser(argc, argv).options(desc).positional(positional).run(), vm);
        po::notify(vm);
    } catch (const std::exception& e) {
        throw qstd::Exception(std::string("Bad command line: ") + e.what(), true);
    }
    o.help = vm.count("help") != 0;
    o.remote = vm.count("no-remote") == 0;
    // A trace file asked for without a level traces errors and warnings.
    if (vm.count("trace") != 0 && vm["trace-level"].defaulted()) {
        o.traceLevel = 2;
    }
    if (o.traceLevel < 0 || o.traceLevel > 4) {
        throw qstd::Exception("Bad command line: trace level must be 0 to 4.", true);
    }
    if (portText.empty() || portText.size() > 5 || portText.find_first_not_of("0123456789") != std::string::npos ||
        std::stoul(portText) < 1 || std::stoul(portText) > 65535) {
        throw qstd::Exception("Bad command line: port must be a number from 1 to 65535, not '" + portText + "'.", true);
    }
    o.port = static_cast<unsigned short>(std::stoul(portText));
    if (o.bindAddress.empty()) {
        throw qstd::Exception("Bad command line: empty bind address (e.g. 127.0.0.1 or ::1).", true);
    }
    if (helpText) {
        std::ostringstream os;
        os << desc;
        *helpText = os.str();
    }
    return o;
}

ZemtraApplication::ZemtraApplication(const std::string& name, bool persistConfiguration, bool acceptRequests)
    : ZemtraObject(nullptr, name), m_name(name), m_persist(persistConfiguration), m_acceptRequests(acceptRequests)
{
    ZemtraApplication* expected = nullptr;
    if (!g_instance.compare_exchange_strong(expected, this)) {
        qstd::LogWarning("A second application object replaces the first.");
        g_instance.store(this);
    }
}

ZemtraApplication::~ZemtraApplication()
{
    m_remote.reset();
    // Children may still reach the application while they are destroyed.
    DeleteChildren();
    ZemtraApplication* self = this;
    g_instance.compare_exchange_strong(self, nullptr);
}

ZemtraApplication& ZemtraApplication::Instance()
{
    ZemtraApplication* app = g_instance.load();
    if (app == nullptr) {
        throw qstd::Exception("No application instance.", true);
    }
    return *app;
}

ZemtraApplication* ZemtraApplication::InstancePtr()
{
    return g_instance.load();
}

std::string ZemtraApplication::ApplicationName() const
{
    return m_name;
}

ZemtraBoard* ZemtraApplication::CreateBoard(const bmc::Board*)
{
    return nullptr;
}

void ZemtraApplication::OnSyncAnnounced(qfeature::LocalTimingSync&) {}
void ZemtraApplication::OnSynchronized(qfeature::LocalTimingSync&) {}

ZemtraBoard* ZemtraApplication::GetBoard(bmc::BoardType_e type) const
{
    for (ZemtraBoard* b : m_boards) {
        if (b->GetType() == type) {
            return b;
        }
    }
    return nullptr;
}

void ZemtraApplication::GetBoards(std::vector<ZemtraBoard*>& boards, bmc::BoardType_e type) const
{
    boards.clear();
    for (ZemtraBoard* b : m_boards) {
        if (b->GetType() == type) {
            boards.push_back(b);
        }
    }
}

std::string ZemtraApplication::ConfDir() const
{
    if (!m_confDir.empty()) {
        return m_confDir;
    }
    return InstrumentPath(c_defaultConfDir);
}

std::string ZemtraApplication::ConfFile() const
{
    return ConfDir() + ApplicationName() + ".conf";
}

void ZemtraApplication::RequestStop()
{
    m_stop.store(true);
    WakeServing();
}

void ZemtraApplication::ApplyOptions(const RunOptions& options)
{
    m_options = options;
    SetInstrumentRoot(options.root);
    m_confDir = options.confDir.empty() ? InstrumentPath(c_defaultConfDir) : options.confDir;
    if (m_confDir.back() != '/') {
        m_confDir += '/';
    }
    qstd::Log::m_enabled = !options.noLog;
    if (!options.logFile.empty()) {
        qstd::Log::GetInstance().SetSink(qstd::StreamSink::OpenFile(options.logFile));
    }
    if (options.traceLevel > 0) {
        qstd::TraceFile::GetInstance().SetLevel(options.traceLevel);
        qstd::TraceFile::m_enabled = true;
        if (!options.traceFile.empty()) {
            qstd::TraceFile::GetInstance().SetSink(qstd::StreamSink::OpenFile(options.traceFile));
        }
    }
}

void ZemtraApplication::BuildChassis()
{
    m_chassis = m_options.scenario.empty() ? sim::Chassis::Default() : sim::Chassis::FromFile(m_options.scenario);
    m_chassis->Start();
}

template <typename F> void ZemtraApplication::ForEachObject(F f, bool childrenFirst)
{
    std::vector<ZemtraObject*> order;
    std::function<void(ZemtraObject*)> visit = [&](ZemtraObject* o) {
        for (ZemtraObject* c : o->GetChildren()) {
            if (!childrenFirst) {
                order.push_back(c);
            }
            visit(c);
            if (childrenFirst) {
                order.push_back(c);
            }
        }
    };
    visit(this);
    for (ZemtraObject* o : order) {
        f(*o);
    }
}

bool ZemtraApplication::Run(int argc, char** argv)
{
    std::string help;
    // The instrument root is the run's own; the former one comes back after it.
    const std::string formerRoot = InstrumentRoot();
    try {
        ApplyOptions(RunOptions::Parse(argc, argv, &help));
    } catch (const std::exception& e) {
        // Said once, on standard error (where the log goes before the
        // options set it up).
        SetInstrumentRoot(formerRoot);
        std::cerr << e.what() << "\n" << help;
        return false;
    }
    if (m_options.help) {
        SetInstrumentRoot(formerRoot);
        std::cout << help;
        return true;
    }

    m_stop.store(false);
    m_shutdownDone = false;
    g_signalled.store(0);
    InstallStopSignals();

    const bool ok = RunPhases();
    // Held until the last store is done.
    m_configurationLock.reset();

    // Objects go before the chassis whose memory and devices they use.
    DeleteChildren();
    m_boards.clear();
    if (m_chassis) {
        m_chassis->Stop();
        m_chassis.reset();
    }
    m_descriptions.clear();
    SetTreeNode(nullptr);
    m_state.store(eStateCreated);
    RestoreStopSignals();
    qstd::LogInfo(ApplicationName() + (ok ? " ended." : " ended after a failure."));
    SetInstrumentRoot(formerRoot);
    return ok;
}

bool ZemtraApplication::RunPhases()
{
    QSTD_TRACE_FNC();
    try {
        qstd::LogInfo(ApplicationName() + " starting.");
        // An ORB library that this server cannot run with is refused before
        // any board is built or any file made.
        if (m_acceptRequests && m_options.remote) {
            remote::RequireBuiltOrbVersion();
        }
        // The instrument's own folders, under the run's root or, without one,
        // where the instrument has them, as far as the user may make them.
        const std::string instrumentDir = InstrumentPath(c_defaultConfDir);
        const std::string instrumentFailure = MakeDirectories(instrumentDir);
        MakeDirectories(InstrumentPath("/tmp/"));
        std::string confFailure = MakeDirectories(ConfDir());
        // The values are stored beside the file that a configuration file
        // that is a symbolic link leads to (one that leads nowhere refuses
        // the start when the configuration is loaded).
        std::string storeDir = ConfDir();
        std::string storedFile;
        std::string problem;
        if (!confFailure.empty() || !ConfigurationStore::StoredFile(ConfFile(), storedFile, problem)) {
            storedFile = ConfFile();
        } else if (storedFile != ConfFile()) {
            storeDir = storedFile.substr(0, storedFile.rfind('/') + 1);
        }
        // As the store writes: with the effective user and group.
        if (confFailure.empty() && ::faccessat(AT_FDCWD, storeDir.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
            confFailure = std::strerror(errno);
        }
        // Before anything is loaded or served: a second server on the same
        // configuration stops here. One that cannot store overwrites nothing.
        if (m_persist && confFailure.empty()) {
            m_configurationLock = std::make_unique<ConfigurationLock>(ConfFile(), storedFile);
        }
        BuildChassis();
        RequireInstrumentFiles(instrumentDir, instrumentFailure);
        if (m_persist && !confFailure.empty()) {
            qstd::LogError("Configuration directory " + storeDir + " is not writable: " + confFailure +
                           ". The configuration cannot be stored.");
        }
        // The simulated instrument's own configuration files, each where the
        // system reads it: the attenuator tables in the configuration
        // directory, the FIR file at the FA block's instrument path, also
        // when --conf-dir names a folder of its own.
        m_chassis->InstallConfiguration(ConfDir(), instrumentDir);
        SetTreeNode(MakeBranchNode(ApplicationName(), GetRegistryFlags()));

        for (sim::Board* sb : m_chassis->Boards()) {
            m_descriptions.push_back(std::make_unique<bmc::Board>(static_cast<bmc::BoardType_e>(sb->Type()), sb->Name(),
                                                                  bmc::Uri("localhost", sb->Slot()), sb));
            ZemtraBoard* board = CreateBoard(m_descriptions.back().get());
            if (board == nullptr) {
                continue;
            }
            if (!board->IsAdopted()) {
                QueryChild(board);
            }
            m_boards.push_back(board);
        }

        m_state.store(eStatePreInit);
        OnPreInit();
        ForEachObject([](ZemtraObject& o) { o.OnPreInit(); }, false);

        m_state.store(eStateInit);
        mci::TreeNodePtr root = GetTreeNode();
        // Every object's node exists before any hook adds nodes under another's.
        ForEachObject([](ZemtraObject& o) { o.GetTreeNode(); }, false);
        OnRegistryAdd(root);
        ForEachObject(
            [](ZemtraObject& o) {
                mci::TreeNodePtr node = o.GetTreeNode();
                o.OnRegistryAdd(node);
            },
            false);
        OnPostInit();
        ForEachObject([](ZemtraObject& o) { o.OnPostInit(); }, false);

        m_state.store(eStateConfig);
        OnPreConfig();
        ForEachObject([](ZemtraObject& o) { o.OnPreConfig(); }, false);
        if (m_persist) {
            m_configuration = std::make_unique<ConfigurationStore>(root, ConfFile());
            m_configuration->Load();
        }
        ForEachObject([](ZemtraObject& o) { o.OnPostConfig(); }, false);
        OnPostConfig();

        m_state.store(eStateRunning);
        OnStartRunning();
        ForEachObject([](ZemtraObject& o) { o.OnStartRunning(); }, false);
        OnAcceptRequests();
        ForEachObject([](ZemtraObject& o) { o.OnAcceptRequests(); }, false);
        if (m_configuration) {
            // Changes are stored as they come, so that no way of ending loses them.
            m_configuration->WatchChanges();
        }

        ServeUntilStopped();

        bool stored = true;
        if (m_configuration) {
            m_configuration->StopWatching();
            stored = m_configuration->Save();
            m_configuration.reset();
        }
        ShutdownAll();
        return stored;
    } catch (const std::exception& e) {
        qstd::LogError(std::string("Application failure: ") + e.what());
    } catch (...) {
        qstd::LogError("Application failure of unknown kind.");
    }
    StopServing();
    m_configuration.reset();
    ShutdownAll();
    return false;
}

void ZemtraApplication::RequireInstrumentFiles(const std::string& instrumentDir, std::string failure) const
{
    if (failure.empty() && ::access(instrumentDir.c_str(), W_OK | X_OK) != 0) {
        failure = std::strerror(errno);
    }
    if (failure.empty()) {
        return;
    }
    for (const sim::Board* board : m_chassis->Boards()) {
        for (const sim::Board::ConfigurationFile& file : board->ConfigurationFiles()) {
            const std::string path = instrumentDir + file.name;
            struct stat st {};
            if (file.instrumentFolder && ::lstat(path.c_str(), &st) != 0) {
                throw qstd::Exception(
                    "The simulated instrument cannot provide " + path + ": " + failure +
                        ". Pass --root FOLDER to keep the instrument's paths in a folder of your own.",
                    true);
            }
        }
    }
}

std::string ZemtraApplication::RemoteUri() const
{
    return m_remote ? m_remote->GetUri() : std::string();
}

void ZemtraApplication::ServeUntilStopped()
{
    if (m_acceptRequests && m_options.remote) {
        m_remote = std::make_unique<remote::RemoteExport>();
        m_remote->Start(GetTreeNode(), m_options.bindAddress, m_options.port);
        qstd::LogInfo("Serving remote clients at " + m_remote->GetUri() + ".");
    }
    m_serving.store(m_acceptRequests);
    qstd::LogInfo(ApplicationName() + " running.");
    const int wake = WakeReadEnd();
    while (!m_stop.load() && g_signalled.load() == 0) {
        if (wake < 0) {
            std::this_thread::sleep_for(c_servePoll);
            continue;
        }
        pollfd fd{wake, POLLIN, 0};
        ::poll(&fd, 1, -1);
        char bytes[64];
        while (::read(wake, bytes, sizeof bytes) > 0) {
        }
    }
    // A second signal during shutdown ends the process the usual way.
    RestoreStopSignals();
    StopServing();
    qstd::LogInfo(ApplicationName() + " stopping.");
}

void ZemtraApplication::StopServing()
{
    m_serving.store(false);
    if (m_remote) {
        m_remote->Stop();
        m_remote.reset();
    }
}

void ZemtraApplication::InstallStopSignals()
{
    if (m_signalsInstalled) {
        return;
    }
    WakeReadEnd(); // before a signal can come
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &m_oldInt);
    sigaction(SIGTERM, &action, &m_oldTerm);
    sigaction(SIGHUP, &action, &m_oldHup);
    m_signalsInstalled = true;
}

void ZemtraApplication::RestoreStopSignals()
{
    if (!m_signalsInstalled) {
        return;
    }
    sigaction(SIGINT, &m_oldInt, nullptr);
    sigaction(SIGTERM, &m_oldTerm, nullptr);
    sigaction(SIGHUP, &m_oldHup, nullptr);
    m_signalsInstalled = false;
}

void ZemtraApplication::ShutdownAll()
{
    if (m_shutdownDone) {
        return;
    }
    m_shutdownDone = true;
    try {
        OnShutdown();
    } catch (const std::exception& e) {
        qstd::LogError(std::string("Shutdown failure of the application: ") + e.what());
    }
    ForEachObject(
        [](ZemtraObject& o) {
            try {
                o.OnShutdown();
            } catch (const std::exception& e) {
                qstd::LogError("Shutdown failure of " + o.GetName() + ": " + e.what());
            }
        },
        true);
}

} // namespace qapp
