#pragma once
// remote::RemoteProber: asks the callback and receiver objects of remote
// clients whether they still exist, without holding a thread while a client
// takes its time to answer.
//
// A call through the ORB (such as _non_existent) holds its thread until the
// answer comes or its time-out passes, and at the time-out the ORB closes
// the connection the call went on, with whatever it had sent to the client
// before. The prober keeps TCP connections of its own, one per client
// endpoint, and sends GIOP LocateRequests on them; one thread polls them
// all. A client that stops answering (a frozen process, a tool suspended
// with Ctrl-Z) costs a connection and a waiting probe, and its connection
// for values is left alone; once it runs on, it answers the probe that
// waited, and the answer is known at once.
//
// What a probe tells: the object is there (any answer of the client's ORB
// but "unknown object"), the object is gone (the ORB does not know it), the
// client is gone (its endpoint refuses connections), or nothing yet (the
// probe waits: since when is kept, so that the owner can give up on a
// client that has not answered for long).
//
// A profile's host is mostly a number, taken as it is. A host name is
// looked up on a thread of the prober's own, one name at a time, and the
// address found kept with the endpoint's connection (until the endpoint is
// forgotten): while a lookup takes its time, neither the caller nor the
// probes of other clients wait for it, and the probe of that client waits
// as one of a client that does not answer would. A name that names nothing
// reports its client gone.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

struct addrinfo;

namespace remote {

// GIOP framing of the probes, apart so that it can be tested and fuzzed.
namespace giop {

constexpr unsigned char c_locateRequest = 3;
constexpr unsigned char c_locateReply = 4;
constexpr unsigned char c_closeConnection = 5;
constexpr unsigned char c_messageError = 6;

// Locate statuses of a LocateReply.
constexpr std::uint32_t c_unknownObject = 0;
constexpr std::uint32_t c_locSystemException = 4;

// A message of a client is at most this long (header included); a
// LocateReply is a few dozen bytes, one that forwards carries an IOR.
constexpr std::size_t c_maxMessageBytes = 64 * 1024;

// A LocateRequest for the object key in GIOP 1.minor (0, 1 or 2; more is
// sent as 1.2), little-endian.
std::string LocateRequest(std::uint32_t requestId, const std::string& objectKey, unsigned minor);

struct Message {
    unsigned char type = 0;
    std::uint32_t requestId = 0;    // of a LocateReply
    std::uint32_t locateStatus = 0; // of a LocateReply
    std::string exceptionId;        // of a LocateReply with a system exception
};

enum class Parsed { eIncomplete, eMalformed, eMessage };

// The message at the start of data: eMessage with its length in used,
// eIncomplete when more bytes are needed, eMalformed when the bytes are no
// GIOP 1.0 to 1.2 message, come in fragments or claim more than
// c_maxMessageBytes.
Parsed ParseMessage(const unsigned char* data, std::size_t size, Message& message, std::size_t& used);

} // namespace giop

class RemoteProber {
public:
    // A remote object as its reference's IIOP profile gives it.
    struct Target {
        std::string host;
        unsigned short port = 0;
        std::string objectKey;
        unsigned minor = 2; // GIOP minor version of the profile

        bool Valid() const { return !host.empty() && port != 0; }
    };

    enum State_e { eUnknown, eAnswering, eObjectGone, eClientGone };
    struct Status {
        State_e state = eUnknown;
        std::string reason; // of a gone object or client
        // Last answer (the clock's epoch: none yet).
        std::chrono::steady_clock::time_point answeredAt{};
        // Since when a probe waits for its answer (max: none waits).
        std::chrono::steady_clock::time_point waitingSince = std::chrono::steady_clock::time_point::max();

        bool Waiting() const { return waitingSince != std::chrono::steady_clock::time_point::max(); }
    };

    // An object that nobody asks about for this long is forgotten, and a
    // connection to an endpoint without objects closed.
    static constexpr std::chrono::seconds c_forgetAfter{60};
    // A connection that is not made within this time is given up and made
    // anew (a client whose backlog is full answers no connection).
    static constexpr std::chrono::seconds c_connectTimeout{10};
    // A connection that closed while probes wait is made anew at most this often.
    static constexpr std::chrono::milliseconds c_reconnectPause{1000};

    // Looks a host name up, as getaddrinfo does (what it finds is freed with
    // freeaddrinfo).
    using Lookup = std::function<int(const char* host, const char* service, const addrinfo* hints, addrinfo** found)>;

    RemoteProber(); // looks names up with getaddrinfo
    explicit RemoteProber(Lookup lookup);
    ~RemoteProber();
    RemoteProber(const RemoteProber&) = delete;
    RemoteProber& operator=(const RemoteProber&) = delete;

    // What is known of the object; then, unless a probe waits for its
    // answer already, sends one (the thread starts with the first). A gone
    // object or client is reported once and then forgotten: asked again,
    // the object is probed anew. Never waits for the network.
    Status Probe(const Target& target);
    // What is known of the object, without probing it.
    Status Peek(const Target& target);
    // Ends the threads and closes every connection; Probe sends no more.
    // A lookup under way is waited for (the system's resolver bounds it).
    void Stop();

private:
    struct Object;
    struct Link;

    void Run();
    // The thread that looks host names up.
    void LookUp();
    // The following run on the prober's threads, with m_mutex held.
    void Connect(Link& link, std::chrono::steady_clock::time_point now);
    void Close(Link& link);
    // Closes the connection; probes that waited on it go out on a new one.
    void Lost(Link& link, std::chrono::steady_clock::time_point now);
    void ClientGone(Link& link, const std::string& reason);
    void Send(Link& link);
    void Receive(const std::string& endpoint, Link& link, std::chrono::steady_clock::time_point now);
    void Answered(Link& link, const giop::Message& message, std::chrono::steady_clock::time_point now);
    void Queue(Link& link, Object& object, const std::string& id);
    // The probe of the object is over: its state is known (an answer came
    // at now, unless the client is gone).
    static void Settle(Object& object, State_e state, const std::string& reason,
                       std::chrono::steady_clock::time_point now);
    void Forget(std::chrono::steady_clock::time_point now);
    void Wake();

    const Lookup m_lookup;
    std::mutex m_mutex;
    bool m_stop = false;
    std::thread m_thread;
    std::thread m_lookupThread;
    std::condition_variable m_lookupWake;
    std::deque<std::string> m_lookups; // endpoints whose host is to be looked up
    int m_wake = -1;                   // eventfd that ends the thread's poll
    std::uint32_t m_nextRequest = 1;
    std::map<std::string, Object> m_objects; // by "HOST:PORT/" and object key
    std::map<std::string, Link> m_links;     // by "HOST:PORT"
};

} // namespace remote
