#include "platform/qfeature/events.h"

#include "platform/qsig/event_filter.h"
#include "platform/qsig/zemtra_event_stream.h"
#include "platform/qstd/log.h"
#include "platform/qstd/trace.h"

namespace qfeature {

struct Events::Reader {
    std::unique_ptr<qsig::ZemtraEventStream::Client> client;
};

Events::Events(qapp::ZemtraObject& parent, const std::string& name, qsig::ZemtraEventStream* stream,
               const std::vector<Description>& table, Handler handler)
    : qapp::ZemtraFeature(parent, name), m_stream(stream), m_table(table), m_handler(std::move(handler))
{
}

Events::~Events()
{
    Stop();
}

void Events::OnPreInit()
{
    Start();
}

void Events::OnShutdown()
{
    Stop();
}

std::string Events::NameOf(unsigned long long id) const
{
    for (const Description& d : m_table) {
        if (d.id == id) {
            return d.name;
        }
    }
    return std::string();
}

void Events::Start()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_reader || m_stream == nullptr) {
        return;
    }
    auto reader = std::make_unique<Reader>();
    reader->client =
        std::make_unique<qsig::ZemtraEventStream::Client>(m_stream, GetDecoratedName("reader"), c_queueLength);
    auto filter = std::make_shared<qsig::EventFilter>();
    for (const Description& d : m_table) {
        filter->Add(d.id);
    }
    reader->client->GetQueue().SetFilter(filter);
    const qsig::SuccessCode_e rc = reader->client->Open();
    if (rc != qsig::eSuccess) {
        qstd::LogError("Events of " + GetParent()->GetName() + ": cannot open the event stream.");
        return;
    }
    m_running.store(true);
    m_reader = std::move(reader);
    m_thread = std::thread(&Events::Run, this, m_reader.get());
}

void Events::Stop()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_reader) {
        return;
    }
    // Closing takes the queue out of the stream and wakes the blocked read.
    m_reader->client->Close();
    if (m_thread.joinable()) {
        m_thread.join();
    }
    m_reader.reset();
    m_running.store(false);
}

void Events::Run(Reader* reader)
{
    QSTD_TRACE(3, GetDecoratedName("reader") << " started");
    for (;;) {
        qsig::EventStruct event;
        const qsig::SuccessCode_e rc = reader->client->Read(event);
        if (rc == qsig::eTimeout) {
            continue;
        }
        if (rc != qsig::eSuccess) {
            QSTD_TRACE(3, GetDecoratedName("reader") << " ends: " << rc);
            break;
        }
        QSTD_TRACE(4, GetParent()->GetName()
                          << ": event " << event.id << " (" << NameOf(event.id) << ") at LMT " << event.lmt);
        if (m_handler) {
            try {
                m_handler(event.id, event.lmt, event.count);
            } catch (const std::exception& e) {
                qstd::LogError("Event handler of " + GetParent()->GetName() + " failed: " + e.what());
            }
        }
        m_handled.fetch_add(1);
    }
}

} // namespace qfeature
