#pragma once
// The framework's application: owns the life of the process. Run parses the
// framework's command line, builds the chassis, asks the application for a
// board object for every board, drives the hooks of the application and of
// all objects through start-up, configuration and running, serves until
// SIGINT, SIGTERM or SIGHUP (or RequestStop), and shuts everything down.
// Run returns false after a failure, and when the configuration could not
// be stored at the end. An application that stores its configuration holds
// the configuration file's lock (ConfigurationLock) through Run: it refuses
// to start while another process holds it.
//
// Hook order of Run, with the application state GetState gives:
//   CreateBoard for every board (state 0)
//   OnPreInit: application, then objects                  (state 1)
//   OnRegistryAdd: application, then objects             (state 2)
//   OnPostInit: application, then objects                 (state 2)
//   OnPreConfig: application, then objects                (state 3)
//   configuration step (persistent nodes loaded; from the
//   start of serving on, changes are stored as they come)  (state 3)
//   OnPostConfig: objects, then application               (state 3)
//   OnStartRunning: application, then objects             (state 4)
//   OnAcceptRequests: application, then objects           (state 4)
//   ... serving remote clients (unless --no-remote) ...
//   configuration written back, OnShutdown: application, then objects
//   (children before their parent), objects destroyed.
// Objects are visited parent first in the order of adoption, except in
// OnShutdown, where children come before their parent.

#include "platform/bmc/board.h"
#include "platform/qapp/zemtra_object.h"

#include <atomic>
#include <csignal>
#include <memory>
#include <string>
#include <vector>

namespace sim {
class Chassis;
}
namespace remote {
class RemoteExport;
}
namespace qfeature {
class LocalTimingSync;
}

namespace qapp {

class ZemtraBoard;
class ConfigurationStore;
class ConfigurationLock;

// The framework's own command-line options.
struct RunOptions {
    std::string scenario;   // chassis scenario file; empty: the default chassis
    std::string confDir;    // configuration directory; empty: "/var/opt/zemtra/cfg/" under the root
    std::string root = "/"; // root of the instrument's absolute paths
    std::string logFile;    // empty: standard error
    std::string traceFile;  // empty: standard error
    int traceLevel = 0;     // 0: tracing off
    bool noLog = false;
    bool remote = true; // serve the register tree to remote clients
    std::string bindAddress = "127.0.0.1";
    unsigned short port = 18150;
    bool help = false;

    // Parses argv; throws qstd::Exception with the reason on a bad command line.
    static RunOptions Parse(int argc, char** argv, std::string* helpText = nullptr);
};

class ZemtraApplication : public ZemtraObject {
public:
    enum State_e {
        eStateCreated = 0,
        eStatePreInit = 1,
        eStateInit = 2,
        eStateConfig = 3,
        eStateRunning = 4,
    };

    ZemtraApplication(const std::string& name, bool persistConfiguration, bool acceptRequests);
    ~ZemtraApplication() override;

    // Owns the process until shutdown; true on a clean end.
    bool Run(int argc, char** argv);
    // Ends the serving phase of Run (safe from any thread and from hooks).
    void RequestStop();

    // The one application (throws when there is none).
    static ZemtraApplication& Instance();
    // The one application or null.
    static ZemtraApplication* InstancePtr();

    int GetState() const { return m_state.load(); }
    // Run sets the state as it goes; tests that drive single hooks of
    // objects outside Run set it here.
    void SetState(State_e state) { m_state.store(state); }

    // The first board of a type, or null; all boards of a type in chassis order.
    ZemtraBoard* GetBoard(bmc::BoardType_e type) const;
    void GetBoards(std::vector<ZemtraBoard*>& boards, bmc::BoardType_e type) const;
    // Every board in chassis order.
    const std::vector<ZemtraBoard*>& GetAllBoards() const { return m_boards; }

    // Configuration directory (ends in '/').
    std::string ConfDir() const;
    // The file the configuration step reads and writes.
    std::string ConfFile() const;

    // The chassis behind the boards (null outside Run).
    sim::Chassis* GetChassis() const { return m_chassis.get(); }
    // True while remote clients are served.
    bool IsServing() const { return m_serving.load(); }
    // Where remote clients reach the tree while serving, else empty.
    std::string RemoteUri() const;

    // Application hooks.
    virtual std::string ApplicationName() const;
    // Makes the board object for a board description; null: no board.
    // The framework adopts a returned board that its creator did not adopt.
    virtual ZemtraBoard* CreateBoard(const bmc::Board* board);
    // A board's local timing has accepted an announced LMT / has taken it.
    virtual void OnSyncAnnounced(qfeature::LocalTimingSync& sync);
    virtual void OnSynchronized(qfeature::LocalTimingSync& sync);

private:
    bool RunPhases();
    void ApplyOptions(const RunOptions& options);
    void BuildChassis();
    // Refuses the start when a file that the simulated chassis provides in
    // the instrument's configuration folder is missing and cannot be made
    // there (failure: why the folder could not be made, else empty).
    void RequireInstrumentFiles(const std::string& instrumentDir, std::string failure) const;
    void ShutdownAll();
    void StopServing();
    void InstallStopSignals();
    void RestoreStopSignals();
    void ServeUntilStopped();
    template <typename F> void ForEachObject(F f, bool childrenFirst);

    const std::string m_name;
    const bool m_persist;
    const bool m_acceptRequests;
    std::atomic<int> m_state{eStateCreated};
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_serving{false};
    bool m_shutdownDone = false;
    bool m_signalsInstalled = false;
    struct sigaction m_oldInt {};
    struct sigaction m_oldTerm {};
    struct sigaction m_oldHup {};
    RunOptions m_options;
    std::string m_confDir;
    std::unique_ptr<sim::Chassis> m_chassis;
    std::unique_ptr<remote::RemoteExport> m_remote;
    std::unique_ptr<ConfigurationStore> m_configuration;
    std::unique_ptr<ConfigurationLock> m_configurationLock;
    std::vector<std::unique_ptr<bmc::Board>> m_descriptions;
    std::vector<ZemtraBoard*> m_boards;
};

} // namespace qapp
