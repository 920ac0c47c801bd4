#include "tools/zemtra-tool/tool_client.h"

#include <omniORB4/omniORB.h>

#include <functional>
#include <iomanip>
#include <sstream>

namespace tool {

namespace {

// Calls that do not return within this time count as failed.
constexpr unsigned c_callTimeoutMs = 30000;

std::string Text(CORBA::Short v) { return std::to_string(v); }
std::string Text(CORBA::Long v) { return std::to_string(v); }
std::string Text(CORBA::ULongLong v) { return std::to_string(v); }
std::string Text(CORBA::Double v)
{
    std::ostringstream os;
    os << std::setprecision(15) << v;
    return os.str();
}

bool IsLoopback(const std::string& host)
{
    return host == "localhost" || host.rfind("127.", 0) == 0 || host == "::1";
}

bool WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
               std::chrono::steady_clock::duration timeout, const std::atomic<bool>& stop,
               const std::function<bool()>& done)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (stop.load() || std::chrono::steady_clock::now() >= end) {
            return false;
        }
        // Short slices so that an interrupt is seen promptly.
        cv.wait_for(lock, std::chrono::milliseconds(100));
    }
    return true;
}

} // namespace

void ValueSink::ValueChanged(const char*, const zemtra_REMOTE::StringSeq& values, CORBA::ULong)
{
    std::string line;
    for (CORBA::ULong i = 0; i < values.length(); ++i) {
        line += (i ? " " : "");
        line += values[i].in();
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.push_back(line);
    m_changed.notify_all();
}

bool ValueSink::Next(std::string& line, std::chrono::steady_clock::duration timeout, const std::atomic<bool>& stop)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!WaitUntil(lock, m_changed, timeout, stop, [this] { return m_lines.size() > m_taken; })) {
        return false;
    }
    line = m_lines[m_taken++];
    return true;
}

template <typename SEQ>
CORBA::Long AtomSink::Take(const SEQ& values)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    // A trailing partial atom cannot occur: buffers hold whole atoms.
    for (CORBA::ULong i = 0; i + m_components <= values.length(); i += static_cast<CORBA::ULong>(m_components)) {
        std::vector<std::string> row;
        row.reserve(m_components);
        for (std::size_t c = 0; c < m_components; ++c) {
            row.push_back(Text(values[static_cast<CORBA::ULong>(i + c)]));
        }
        m_rows.push_back(std::move(row));
    }
    m_changed.notify_all();
    return 0;
}

CORBA::Long AtomSink::ReceiveShort(const char*, const q_NET::ShortSeq& values, const q_NET::MetaSeq&)
{
    return Take(values);
}
CORBA::Long AtomSink::ReceiveLong(const char*, const q_NET::LongSeq& values, const q_NET::MetaSeq&)
{
    return Take(values);
}
CORBA::Long AtomSink::ReceiveDouble(const char*, const q_NET::DoubleSeq& values, const q_NET::MetaSeq&)
{
    return Take(values);
}
CORBA::Long AtomSink::ReceiveULongLong(const char*, const q_NET::ULongLongSeq& values, const q_NET::MetaSeq&)
{
    return Take(values);
}

bool AtomSink::WaitFor(std::size_t count, std::chrono::steady_clock::duration timeout, const std::atomic<bool>& stop)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return WaitUntil(lock, m_changed, timeout, stop, [&] { return m_rows.size() >= count; });
}

std::vector<std::vector<std::string>> AtomSink::Rows() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_rows;
}

Connection::Connection(const std::string& server, bool callbacks) : m_server(server)
{
    const size_t colon = server.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == server.size() ||
        server.find_first_not_of("0123456789", colon + 1) != std::string::npos) {
        throw ToolError{"Bad server address (HOST:PORT expected): " + server};
    }
    const std::string host = server.substr(0, colon);
    // Callbacks come back from the server: a loopback server calls back on
    // loopback, any other on the host's own address.
    const std::string endpoint = IsLoopback(host) ? "giop:tcp:127.0.0.1:" : "giop:tcp::";
    const char* options[][2] = {{"endPoint", endpoint.c_str()}, {"traceLevel", "0"}, {nullptr, nullptr}};
    int argc = 0;
    char* argv[] = {nullptr};
    try {
        m_orb = CORBA::ORB_init(argc, argv, "omniORB4", callbacks ? options : options + 1);
        omniORB::setClientCallTimeout(static_cast<CORBA::ULong>(c_callTimeoutMs));
        if (callbacks) {
            CORBA::Object_var obj = m_orb->resolve_initial_references("RootPOA");
            m_poa = PortableServer::POA::_narrow(obj);
            PortableServer::POAManager_var manager = m_poa->the_POAManager();
            manager->activate();
        }
        CORBA::Object_var obj = m_orb->string_to_object(("corbaloc::" + server + "/ZemtraRemote").c_str());
        m_registry = zemtra_REMOTE::Registry::_unchecked_narrow(obj);
    } catch (const CORBA::Exception& e) {
        throw ToolError{"Can't connect to " + server + ": " + e._name()};
    }
}

Connection::~Connection()
{
    try {
        m_orb->shutdown(true);
        m_orb->destroy();
    } catch (const CORBA::Exception&) {
    }
}

bool Connection::ServerAlive(std::string& reason)
{
    try {
        if (m_registry->_non_existent()) {
            reason = "its registry object is gone";
            return false;
        }
        return true;
    } catch (const CORBA::Exception& e) {
        reason = std::string("not reachable (") + e._name() + ")";
        return false;
    }
}

CORBA::Object_ptr Connection::Activate(PortableServer::Servant servant)
{
    PortableServer::ObjectId_var id = m_poa->activate_object(servant);
    return m_poa->id_to_reference(id);
}

} // namespace tool
