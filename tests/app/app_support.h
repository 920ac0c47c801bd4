#pragma once
// Fixtures of the application tests: the application running on a chassis in
// a temporary instrument root, on a thread of its own.

#include "app/vuna_application.h"
#include "platform/mci/client_access.h"
#include "platform/qstd/capture.h"
#include "sim/chassis.h"
#include "tests/common/temp_dir.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

namespace apptest {

// A scenario file of the test data directory.
std::string DataFile(const std::string& name);

// Log records with exactly this text, and those containing it.
size_t CountLogged(qstd::CaptureScope& capture, const std::string& text);
size_t CountLoggedContaining(qstd::CaptureScope& capture, const std::string& text);

using TempDir = zvtest::TempDir;

// Runs a VunaApplication, made as the entry point makes it, on a scenario
// file (empty: the default chassis) until Stop or destruction, under an
// instrument root of its own or the one given.
class RunningApp {
public:
    explicit RunningApp(const std::string& scenario = std::string(), const std::string& root = std::string());
    ~RunningApp();
    RunningApp(const RunningApp&) = delete;
    RunningApp& operator=(const RunningApp&) = delete;

    // Waits until start-up has ended (triggers external, requests accepted).
    bool WaitRunning(std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // Ends Run and joins it; returns Run's result.
    bool Stop();
    // True once Run has returned.
    bool Ended() const { return m_ended.load(); }

    VunaApplication& App() { return *m_app; }
    sim::Chassis& Chassis() { return *m_app->GetChassis(); }
    // The register tree as a client sees it.
    mci::ClientAccess Client() { return mci::ClientAccess(m_app->GetTreeNode()); }

private:
    TempDir m_dir;
    std::shared_ptr<VunaApplication> m_app;
    std::thread m_thread;
    std::atomic<bool> m_ended{false};
    std::atomic<bool> m_result{false};
    bool m_joined = false;
};

} // namespace apptest
