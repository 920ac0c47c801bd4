#pragma once
// Reads a board's event stream on a thread of its own and calls the board's
// handler with the event id and the event's two parameters (its LMT and its
// count) for every event of the board's event table.

#include "platform/qapp/zemtra_feature.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qsig {
class ZemtraEventStream;
}

namespace qfeature {

class Events : public qapp::ZemtraFeature {
public:
    struct Description {
        unsigned long long id;
        std::string name;
    };
    using Handler = std::function<void(unsigned long long id, unsigned long long first, unsigned long long second)>;

    // Events in the client queue before the producer drops new ones.
    static constexpr unsigned c_queueLength = 256;

    Events(qapp::ZemtraObject& parent, const std::string& name, qsig::ZemtraEventStream* stream,
           const std::vector<Description>& table, Handler handler);
    ~Events() override;

    // The reader starts when the objects are initialised and stops at shutdown.
    void OnPreInit() override;
    void OnShutdown() override;

    // Starts the reader (nothing when it runs or there is no stream).
    void Start();
    // Stops and joins the reader; waits for a handler call in progress.
    void Stop();
    bool IsRunning() const { return m_running.load(); }

    const std::vector<Description>& GetTable() const { return m_table; }
    // Name of an event id in the table, or empty.
    std::string NameOf(unsigned long long id) const;
    uint64_t Handled() const { return m_handled.load(); }

private:
    struct Reader;
    void Run(Reader* reader);

    qsig::ZemtraEventStream* m_stream;
    std::vector<Description> m_table;
    Handler m_handler;
    std::mutex m_mutex; // guards the reader and the thread
    std::unique_ptr<Reader> m_reader;
    std::thread m_thread;
    std::atomic<bool> m_running{false};
    std::atomic<uint64_t> m_handled{0};
};

} // namespace qfeature
