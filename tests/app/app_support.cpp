#include "app_support.h"

#include "platform/qboard/tim_board.h"
#include "tests/common/wait_for.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <unistd.h>
#include <vector>

namespace apptest {

std::string DataFile(const std::string& name)
{
    const char* dir = std::getenv("ZV_TEST_DATA");
    if (dir != nullptr && *dir != '\0') {
        return std::string(dir) + "/" + name;
    }
    // Run outside ctest: the data lies next to this directory in the sources.
    return std::string(ZV_SOURCE_DIR) + "/tests/data/" + name;
}

size_t CountLogged(qstd::CaptureScope& capture, const std::string& text)
{
    const auto records = capture.Sink().Records();
    return static_cast<size_t>(std::count_if(records.begin(), records.end(), [&text](const qstd::Record& r) {
        return r.kind == qstd::Record::Kind::Log && r.text == text;
    }));
}

size_t CountLoggedContaining(qstd::CaptureScope& capture, const std::string& text)
{
    const auto records = capture.Sink().Records();
    return static_cast<size_t>(std::count_if(records.begin(), records.end(), [&text](const qstd::Record& r) {
        return r.kind == qstd::Record::Kind::Log && r.text.find(text) != std::string::npos;
    }));
}

RunningApp::RunningApp(const std::string& scenario, const std::string& root)
    : m_app(std::make_shared<VunaApplication>())
{
    std::vector<std::string> args = {"zemtra-vuna", "--no-remote", "--root",
                                     root.empty() ? m_dir.Path() + "/root" : root};
    if (!scenario.empty()) {
        args.push_back("--scenario");
        args.push_back(scenario);
    }
    m_thread = std::thread([this, args] {
        std::vector<std::string> storage = args;
        std::vector<char*> argv;
        for (std::string& a : storage) {
            argv.push_back(&a[0]);
        }
        argv.push_back(nullptr);
        m_result.store(m_app->Run(static_cast<int>(storage.size()), argv.data()));
        m_ended.store(true);
    });
}

RunningApp::~RunningApp()
{
    Stop();
}

bool RunningApp::WaitRunning(std::chrono::milliseconds timeout)
{
    const bool started = zvtest::WaitFor(
        [this] {
            if (m_ended.load()) {
                return true;
            }
            // The state is read first: its change orders the boards' creation
            // before the reads below.
            if (m_app->GetState() != qapp::ZemtraApplication::eStateRunning) {
                return false;
            }
            qboard::TimBoard* tim = m_app->GetTim();
            // Serving follows the hooks that open the boards to requests.
            return tim != nullptr && tim->IsTrigSourceExt() && m_app->IsServing();
        },
        timeout);
    return started && !m_ended.load();
}

bool RunningApp::Stop()
{
    if (!m_joined) {
        m_app->RequestStop();
        m_thread.join();
        m_joined = true;
    }
    return m_result.load();
}

} // namespace apptest
