#include "tools/zemtra-tool/tool_client.h"

#include <omniORB4/omniORB.h>

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace tool {

namespace {

// Calls that do not return within this time count as failed.
constexpr unsigned c_callTimeoutMs = 30000;
// How often a server that cannot be reached is asked again.
constexpr std::chrono::milliseconds c_askAgain{250};

std::atomic<unsigned> g_continues{0};

extern "C" void OnContinue(int)
{
    g_continues.fetch_add(1);
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

void CountContinues()
{
    // Blocked, a continue stays pending from the moment it is sent, before
    // any thread runs again, and Continues takes it there: a handler would
    // count it only once the thread it reached had run, maybe after another
    // thread had asked. The handler counts it where a thread started before
    // takes it.
    sigset_t cont;
    sigemptyset(&cont);
    sigaddset(&cont, SIGCONT);
    ::pthread_sigmask(SIG_BLOCK, &cont, nullptr);
    struct sigaction action {};
    action.sa_handler = OnContinue;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGCONT, &action, nullptr);
}

unsigned Continues()
{
    static std::mutex taking;
    std::lock_guard<std::mutex> lock(taking);
    sigset_t cont;
    sigemptyset(&cont);
    sigaddset(&cont, SIGCONT);
    const timespec now{0, 0};
    while (::sigtimedwait(&cont, nullptr, &now) == SIGCONT) {
        g_continues.fetch_add(1);
    }
    return g_continues.load();
}

std::string Joined(const zemtra_REMOTE::StringSeq& texts, const char* separator)
{
    std::string joined;
    for (CORBA::ULong i = 0; i < texts.length(); ++i) {
        joined += (i ? separator : "");
        joined += texts[i].in();
    }
    return joined;
}

std::string RefusalMessage(CORBA::ULong minor)
{
    switch (minor) {
    case zemtra_REMOTE::RefusedArrivingFromAddress:
        return "the server refused the connection: too many connections from this address are still sending a "
               "request";
    case zemtra_REMOTE::RefusedArrivingInAll:
        return "the server refused the connection: too many connections are still sending a request";
    case zemtra_REMOTE::RefusedConnectionsBusy:
        return "the server refused the connection: all the connections it serves are busy";
    case zemtra_REMOTE::RefusedGoneFromAddress:
        return "the server refused the connection: too many connections from this address went away before it had "
               "answered them (try again)";
    case zemtra_REMOTE::RefusedLargeRequestsBusy:
        return "the server refused the request: it is busy with other large requests (try again)";
    default:
        return "the server refused the request for want of resources (NO_RESOURCES, minor code " +
               std::to_string(minor) + "): try again later";
    }
}

Gone HowGone(const CORBA::SystemException& e)
{
    const CORBA::ULong minor = e.minor();
    if (CORBA::OBJ_ADAPTER::_downcast(&e) != nullptr) {
        // Its adapter is being destroyed, or holds no servant any more.
        return minor == omni::OBJ_ADAPTER_POAUnknownAdapter || minor == omni::OBJ_ADAPTER_POANotInitialised ||
                       minor == omni::OBJ_ADAPTER_NoServant
                   ? Gone::eShuttingDown
                   : Gone::eNotTold;
    }
    if (CORBA::OBJECT_NOT_EXIST::_downcast(&e) != nullptr) {
        // The registry object goes only when the server stops.
        return minor == omni::OBJECT_NOT_EXIST_NoMatch || minor == omni::OBJECT_NOT_EXIST_POANotInitialised
                   ? Gone::eShuttingDown
                   : Gone::eNotTold;
    }
    if (CORBA::TRANSIENT::_downcast(&e) != nullptr) {
        switch (minor) {
        case omni::TRANSIENT_POANoResource:
        case omni::TRANSIENT_POADestroyed:
        case omni::TRANSIENT_ObjDeactivatedWhileHolding:
            return Gone::eShuttingDown;
        case omni::TRANSIENT_ConnectFailed:
        case omni::TRANSIENT_ConnectionClosed:
            return Gone::eAway;
        default:
            return Gone::eNotTold;
        }
    }
    // The connection broke off during the call.
    return CORBA::COMM_FAILURE::_downcast(&e) != nullptr ? Gone::eAway : Gone::eNotTold;
}

std::string GoneWords(Gone how)
{
    switch (how) {
    case Gone::eShuttingDown:
        return "is shutting down";
    case Gone::eAway:
        return "stopped or went away";
    case Gone::eNotTold:
        break;
    }
    return std::string();
}

namespace {

// Why the server cannot be reached, by the failure e of a call to it.
std::string NotReached(const CORBA::Exception& e)
{
    const CORBA::SystemException* system = CORBA::SystemException::_downcast(&e);
    const Gone how = system != nullptr ? HowGone(*system) : Gone::eNotTold;
    return how == Gone::eNotTold ? std::string("not reachable (") + e._name() + ")" : "it " + GoneWords(how);
}

} // namespace

void ValueSink::ValueChanged(const char*, const zemtra_REMOTE::StringSeq& values, CORBA::ULong)
{
    std::string line = Joined(values, " ");
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.push_back(std::move(line));
    m_changed.notify_all();
}

bool ValueSink::Next(std::string& line, std::chrono::steady_clock::duration timeout, const std::atomic<bool>& stop)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!WaitUntil(lock, m_changed, timeout, stop, [this] { return !m_lines.empty(); })) {
        return false;
    }
    line = std::move(m_lines.front());
    m_lines.pop_front();
    return true;
}

std::string LossLine(const Loss& loss, const std::string& path)
{
    return "Lost " + std::to_string(loss.count) + " atoms of " + path + " after atom " + std::to_string(loss.after) +
           ": they were dropped on their way to the tool, as happens when the server or the tool is held up (a "
           "busy machine, a slow output, a stop); the rows are not contiguous there, read again";
}

std::uint64_t AtomSink::FollowOffered(CORBA::LongLong offered, std::uint64_t atoms)
{
    const std::uint64_t first = static_cast<std::uint64_t>(std::max<CORBA::LongLong>(offered, 0));
    std::uint64_t passed = 0;
    if (first > m_nextOffered) {
        if (!m_printer.Done()) {
            Lost({m_printer.Printed(), first - m_nextOffered});
        }
    } else {
        passed = std::min(atoms, m_nextOffered - first);
    }
    m_nextOffered = std::max(m_nextOffered, first + atoms);
    return passed;
}

template <typename T> CORBA::Long AtomSink::Take(const T* values, CORBA::ULong count, const q_NET::MetaSeq& meta)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_taking;
    }
    {
        std::lock_guard<std::mutex> printing(m_printing);
        if (!m_closed) {
            const std::size_t components = std::max<std::size_t>(m_printer.Components(), 1);
            const std::uint64_t atoms = count / components;
            std::uint64_t passed = 0;
            for (CORBA::ULong i = 0; i < meta.length(); ++i) {
                if (meta[i].id == zemtra_REMOTE::MetaOfferedAtom) {
                    passed = FollowOffered(meta[i].value, atoms);
                    break;
                }
            }
            const std::size_t skipped = static_cast<std::size_t>(passed) * components;
            m_printer.Print(values + skipped, count - skipped);
        }
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    --m_taking;
    m_lastArrival = std::chrono::steady_clock::now();
    m_changed.notify_all();
    return 0;
}

CORBA::Long AtomSink::ReceiveShort(const char*, const q_NET::ShortSeq& values, const q_NET::MetaSeq& meta)
{
    return Take(values.get_buffer(), values.length(), meta);
}
CORBA::Long AtomSink::ReceiveLong(const char*, const q_NET::LongSeq& values, const q_NET::MetaSeq& meta)
{
    return Take(values.get_buffer(), values.length(), meta);
}
CORBA::Long AtomSink::ReceiveDouble(const char*, const q_NET::DoubleSeq& values, const q_NET::MetaSeq& meta)
{
    return Take(values.get_buffer(), values.length(), meta);
}
CORBA::Long AtomSink::ReceiveULongLong(const char*, const q_NET::ULongLongSeq& values, const q_NET::MetaSeq& meta)
{
    static_assert(sizeof(CORBA::ULongLong) == sizeof(unsigned long long), "64-bit values");
    return Take(reinterpret_cast<const unsigned long long*>(values.get_buffer()), values.length(), meta);
}

void AtomSink::Lost(const Loss& loss)
{
    std::lock_guard<std::mutex> lock(m_lossesMutex);
    m_losses.push_back(loss);
}

std::vector<Loss> AtomSink::Losses() const
{
    std::lock_guard<std::mutex> lock(m_lossesMutex);
    return m_losses;
}

void AtomSink::Close()
{
    std::lock_guard<std::mutex> printing(m_printing);
    m_closed = true;
}

bool AtomSink::WaitFor(std::chrono::steady_clock::duration slice, std::chrono::steady_clock::duration timeout,
                       const std::atomic<bool>& stop, bool& timedOut, std::chrono::steady_clock::duration& left)
{
    timedOut = false;
    left = std::chrono::steady_clock::duration::max();
    const auto end = std::chrono::steady_clock::now() + slice;
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_printer.Done()) {
        const auto now = std::chrono::steady_clock::now();
        if (Continues() != m_continues) {
            // Stopped meanwhile: the wait for data starts again.
            m_continues = Continues();
            m_lastArrival = now;
        }
        if (m_taking > 0) {
            // Printing (into an output that may be blocked): no wait for data.
            m_lastArrival = now;
        }
        if (timeout > std::chrono::steady_clock::duration::zero()) {
            left = timeout - (now - m_lastArrival);
            if (left <= std::chrono::steady_clock::duration::zero()) {
                timedOut = true;
                return false;
            }
        }
        if (stop.load() || now >= end) {
            return false;
        }
        // Short slices so that an interrupt is seen promptly.
        m_changed.wait_for(lock, std::chrono::milliseconds(100));
    }
    return true;
}

namespace {

// The host of a server address without the brackets of an IPv6 address.
std::string BareHost(const std::string& host)
{
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        return host.substr(1, host.size() - 2);
    }
    return host;
}

} // namespace

std::string Connection::Unreachable() const
{
    const std::string message = "Can't reach server " + m_server;
    const std::string host = BareHost(m_server.substr(0, m_server.rfind(':')));
    in6_addr v6{};
    in_addr v4{};
    if (::inet_pton(AF_INET6, host.c_str(), &v6) == 1 || ::inet_pton(AF_INET, host.c_str(), &v4) == 1) {
        return message;
    }
    // A name that names no address is no server gone.
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int error = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (error == 0) {
        ::freeaddrinfo(found);
        return message;
    }
    return message + ": no address is known for the name '" + host + "' (" + ::gai_strerror(error) + ")";
}

std::string Connection::CallbackEndpoint(const std::string& host)
{
    const std::string bare = BareHost(host);
    in6_addr v6{};
    if (::inet_pton(AF_INET6, bare.c_str(), &v6) == 1) {
        if (IN6_IS_ADDR_LOOPBACK(&v6)) {
            return "giop:tcp:[::1]:";
        }
        if (IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127) {
            return "giop:tcp:127.0.0.1:";
        }
        return "giop:tcp::";
    }
    in_addr v4{};
    if (::inet_pton(AF_INET, bare.c_str(), &v4) == 1) {
        return (ntohl(v4.s_addr) >> 24) == 127 ? "giop:tcp:127.0.0.1:" : "giop:tcp::";
    }
    // Callbacks come back from the server: a loopback server calls back on
    // loopback, any other on the host's own address.
    return bare == "localhost" ? "giop:tcp:127.0.0.1:" : "giop:tcp::";
}

namespace {

bool IsIpv6(const std::string& text)
{
    in6_addr address{};
    return ::inet_pton(AF_INET6, text.c_str(), &address) == 1;
}

} // namespace

std::string Connection::AddressProblem(const std::string& server)
{
    const char* const expected = "HOST:PORT expected";
    if (server.empty()) {
        return expected;
    }
    std::string host;
    std::string port;
    if (server.front() == '[') {
        const size_t close = server.find(']');
        if (close == std::string::npos) {
            return "no ']' closes the IPv6 address";
        }
        host = server.substr(1, close - 1);
        if (host.empty()) {
            return "no address in the brackets";
        }
        if (!IsIpv6(host)) {
            return "'" + host + "' in brackets is no IPv6 address";
        }
        if (close + 1 == server.size()) {
            return "no port after the address, e.g. " + server + ":18150";
        }
        if (server[close + 1] != ':') {
            return "':' and the port expected after ']'";
        }
        port = server.substr(close + 2);
    } else {
        if (IsIpv6(server)) {
            return "write an IPv6 address in brackets, with the port, e.g. [" + server + "]:18150";
        }
        const size_t colon = server.rfind(':');
        if (colon == std::string::npos) {
            return expected;
        }
        host = server.substr(0, colon);
        port = server.substr(colon + 1);
        if (host.find(':') != std::string::npos) {
            return IsIpv6(host) ? "write an IPv6 address in brackets, e.g. [" + host + "]:" + port
                                : "HOST:PORT expected, an IPv6 address in brackets";
        }
        if (host.empty()) {
            return "no host before the port";
        }
        if (host.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-_") !=
            std::string::npos) {
            return "'" + host + "' is no host name or address";
        }
    }
    if (port.empty()) {
        return "no port after ':'";
    }
    if (port.find_first_not_of("0123456789") != std::string::npos) {
        return "the port '" + port + "' is no number";
    }
    const size_t digits = port.find_first_not_of('0');
    if (digits == std::string::npos || port.size() - digits > 5 || std::stoul(port.substr(digits)) > 65535) {
        return "the port must be from 1 to 65535, not " + port;
    }
    return std::string();
}

Connection::Connection(const std::string& server, bool callbacks) : m_server(server), m_callTimeout(c_callTimeoutMs)
{
    const std::string problem = AddressProblem(server);
    if (!problem.empty()) {
        throw ToolError{"Bad server address " + server + ": " + problem};
    }
    const std::string host = server.substr(0, server.rfind(':'));
    const std::string endpoint = CallbackEndpoint(host);
    const std::string maxMessage = std::to_string(zemtra_REMOTE::MaxMessageBytes);
    // Both sides accept messages up to the same bound. The server sends
    // subscribed values without waiting for replies, one after another on a
    // connection: they are served one at a time, in the order they came.
    const char* options[][2] = {{"traceLevel", "0"},
                                {"giopMaxMsgSize", maxMessage.c_str()},
                                {"maxServerThreadPerConnection", "1"},
                                {callbacks ? "endPoint" : nullptr, endpoint.c_str()},
                                {nullptr, nullptr}};
    int argc = 0;
    char* argv[] = {nullptr};
    try {
        m_orb = CORBA::ORB_init(argc, argv, "omniORB4", options);
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
        if (Again([&] { return m_registry->_non_existent(); })) {
            // Its registry object goes only when it stops.
            reason = "it " + GoneWords(Gone::eShuttingDown);
            return false;
        }
        return true;
    } catch (const CORBA::NO_RESOURCES&) {
        return true; // refused for want of resources: there
    } catch (const CORBA::TIMEOUT&) {
        throw; // (the caller tells)
    } catch (const CORBA::Exception& e) {
        reason = NotReached(e);
        return false;
    }
}

Connection::Served Connection::IsServed(CORBA::ULongLong id, std::string& reason, SessionEnd& ended,
                                        std::chrono::milliseconds within)
{
    // A tool continued after a stop may find its server starting anew (it
    // was restarted meanwhile): it is asked again until it answers, for as
    // long as a call may take, before it counts as lost. Bounded, each call
    // takes at most the time left.
    const bool bounded = within < m_callTimeout;
    const auto end = std::chrono::steady_clock::now() + (bounded ? within : m_callTimeout);
    for (;;) {
        const unsigned continues = Continues();
        Served served = Served::eLost;
        try {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            served =
                bounded ? Within(left, [&] { return AskServed(id, reason, ended); }) : AskServed(id, reason, ended);
        } catch (const CORBA::TIMEOUT&) {
            if (bounded) {
                return Served::eSilent;
            }
            reason = "not reachable (TIMEOUT)";
        }
        if (served != Served::eLost) {
            m_answeredContinues = continues;
            return served;
        }
        if (continues == m_answeredContinues || std::chrono::steady_clock::now() >= end) {
            return served;
        }
        std::this_thread::sleep_for(c_askAgain);
    }
}

Connection::Served Connection::AskServed(CORBA::ULongLong id, std::string& reason, SessionEnd& end)
{
    end = SessionEnd();
    if (!m_olderServer) {
        try {
            CORBA::String_var why;
            if (!m_uncoded.load()) {
                try {
                    zemtra_REMOTE::ReadEnd coded{};
                    const zemtra_REMOTE::IdState state =
                        Again([&] { return m_registry->IsServedCoded(id, why.out(), coded); });
                    reason = why.in();
                    end = {coded.code, coded.past_the_end != 0, coded.section_atoms};
                    return state == zemtra_REMOTE::IdServed  ? Served::eYes
                           : state == zemtra_REMOTE::IdEnded ? Served::eEnded
                                                             : Served::eUnknown;
                } catch (const CORBA::BAD_OPERATION&) {
                    m_uncoded.store(true);
                }
            }
            if (Again([&] { return m_registry->IsServed(id, why.out()); })) {
                return Served::eYes;
            }
            reason = why.in();
            return Served::eEnded;
        } catch (const CORBA::BAD_OPERATION&) {
            m_olderServer = true;
        } catch (const CORBA::NO_RESOURCES&) {
            return Served::eYes; // refused for want of resources: there
        } catch (const zemtra_REMOTE::RemoteError&) {
            // Refused for now (the server is shutting down): is it there?
        } catch (const CORBA::TIMEOUT&) {
            throw; // (IsServed tells)
        } catch (const CORBA::Exception& e) {
            reason = NotReached(e);
            return Served::eLost;
        }
    }
    return ServerAlive(reason) ? Served::eYes : Served::eLost;
}

zemtra_REMOTE::SignalData* Connection::ReadSignal(zemtra_REMOTE::Registry_ptr registry, const char* path,
                                                  CORBA::Long mode, CORBA::ULong count, CORBA::LongLong offset,
                                                  CORBA::ULongLong time, CORBA::ULong waitMs)
{
    if (!m_uncoded.load()) {
        try {
            return registry->ReadSignalCoded(path, mode, count, offset, time, waitMs);
        } catch (const CORBA::BAD_OPERATION&) {
            m_uncoded.store(true);
        }
    }
    return registry->ReadSignal(path, mode, count, offset, time, waitMs);
}

void Connection::SetCallTimeout(std::chrono::milliseconds timeout)
{
    omniORB::setClientCallTimeout(m_registry.in(), static_cast<CORBA::ULong>(timeout.count()));
    m_callTimeout = timeout;
}

Connection::Bounded::Bounded(Connection& c, std::chrono::milliseconds bound) : m_c(c)
{
    // Zero would be no bound at all.
    const auto ms = std::max<long long>(std::min(bound, c.m_callTimeout).count(), 1);
    omniORB::setClientCallTimeout(c.m_registry.in(), static_cast<CORBA::ULong>(ms));
}

Connection::Bounded::~Bounded()
{
    omniORB::setClientCallTimeout(m_c.m_registry.in(), static_cast<CORBA::ULong>(m_c.m_callTimeout.count()));
}

std::string Connection::Failed(const std::string& why) const
{
    return "Remote call to " + m_server + " failed: " + why;
}

std::string Connection::NoAnswer() const
{
    const auto ms = m_callTimeout.count();
    const std::string seconds =
        std::to_string(ms / 1000) + (ms % 1000 == 0 ? "" : "." + std::to_string(ms % 1000 / 100));
    return "No answer from the server " + m_server + " within " + seconds + " s (TIMEOUT)";
}

CORBA::Object_ptr Connection::Activate(PortableServer::Servant servant)
{
    PortableServer::ObjectId_var id = m_poa->activate_object(servant);
    return m_poa->id_to_reference(id);
}

} // namespace tool
