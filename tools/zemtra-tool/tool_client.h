#pragma once
// The tool's side of the remote export: the ORB, the registry reference and
// the servants that receive subscribed values and forwarded signal buffers.

#include "tools/zemtra-tool/row_printer.h"

#include "zemtra_remote.hh"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace tool {

// Atoms of atomBytes each that one answer or forwarded buffer of the server
// holds (at least 1).
inline std::size_t ChunkAtoms(std::size_t atomBytes)
{
    return atomBytes == 0 || atomBytes >= zemtra_REMOTE::MaxChunkBytes ? 1 : zemtra_REMOTE::MaxChunkBytes / atomBytes;
}

// The longest a one-shot read of the server waits for its data.
constexpr std::chrono::milliseconds c_maxReadWait{zemtra_REMOTE::MaxReadWaitMs};

// Counts the times the tool is continued after a stop (Ctrl-Z, then fg or
// bg): blocks SIGCONT in the calling thread and the threads it starts later
// (call it before any other), and installs its handler. The waits for data
// count only the time the tool runs: one that a stop interrupted starts
// again.
void CountContinues();
// The times counted so far: a continue is counted by the first call after
// it, whichever thread makes it.
unsigned Continues();

// A failure to report to the user; the message is printed as it is.
struct ToolError {
    std::string message;
};

// A call that the server did not answer in time (TIMEOUT).
struct CallTimedOut : ToolError {};

// A one-shot read that the server refused: its message, and from a server
// that tells them, the signal library's code (0: none) and whether the read
// starts after the last atom that the signal holds where it reads.
struct ReadRefused : ToolError {
    int code = 0;
    bool pastTheEnd = false;
};

// How the server ended a signal session, as far as it tells: the signal
// library's code that ended it (0: none), whether its read stood past the
// last atom that the signal holds there, and the atoms of that section of a
// history kept in sections (0: none).
struct SessionEnd {
    int code = 0;
    bool pastTheEnd = false;
    std::uint64_t sectionAtoms = 0;
};

// The texts joined by separator.
std::string Joined(const zemtra_REMOTE::StringSeq& texts, const char* separator);

// What a refusal of the server for want of resources (NO_RESOURCES with
// the minor code minor) means, in words.
std::string RefusalMessage(CORBA::ULong minor);

// What a failure of a call tells of the server, by its type and minor code.
enum class Gone {
    eNotTold,      // neither of these
    eShuttingDown, // it no longer serves its objects
    eAway,         // it closed the connection, or takes none: it stopped or went away
};
Gone HowGone(const CORBA::SystemException& e);
// How the server went, in words that follow "the server" (eNotTold: none).
std::string GoneWords(Gone how);

// Collects the values that a subscription delivers.
class ValueSink : public POA_zemtra_REMOTE::ValueCallback {
public:
    void ValueChanged(const char* path, const zemtra_REMOTE::StringSeq& values, CORBA::ULong position) override;
    // Waits for the next value line; false on time-out or when stopped.
    bool Next(std::string& line, std::chrono::steady_clock::duration timeout, const std::atomic<bool>& stop);

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::string> m_lines; // not taken yet
};

// Atoms of a forwarded read that never came: the server reads ahead without
// waiting for its reader and drops what the reader does not take in time.
struct Loss {
    std::uint64_t after = 0; // atoms printed before the loss
    std::uint64_t count = 0; // atoms
};

// What the tool tells the user of a loss in the read of path (one line).
std::string LossLine(const Loss& loss, const std::string& path);

// Prints forwarded signal buffers as they arrive, up to the printer's count
// of atoms; later ones are dropped. The number of a buffer's first atom among
// those that the server offered this reader (zemtra_REMOTE::MetaOfferedAtom:
// every buffer of a stream, and of an on-demand signal read ahead) tells the
// losses exactly: one numbered past the atoms before it follows atoms that
// the server dropped or passed over (a history's sections overwritten before
// they were read). A buffer that comes after its place was passed (a later
// one overtook it) is not printed, its atoms counted in that loss.
//
// Each buffer is printed inside the call that delivers it, in the order the
// calls came. While the output is blocked, the server times out calls and
// sends again or on: a buffer whose atoms were all taken already (held or
// printed) returns at once, and at most c_mostHeld buffers are held (a call
// and its buffer each); one more returns at once unprinted, told as a loss
// by the number of the next one printed.
class AtomSink : public POA_q_NET::SignalReceiver {
public:
    explicit AtomSink(RowPrinter& printer) : m_printer(printer) {}

    // Buffers held at most: those of the largest read ahead on demand (a
    // post-mortem capture of 524,288 atoms of 32 bytes, 16 of 1 MiB), and
    // one more.
    static constexpr unsigned c_mostHeld = 17;

    CORBA::Long ReceiveShort(const char*, const q_NET::ShortSeq& values, const q_NET::MetaSeq&) override;
    CORBA::Long ReceiveLong(const char*, const q_NET::LongSeq& values, const q_NET::MetaSeq&) override;
    CORBA::Long ReceiveDouble(const char*, const q_NET::DoubleSeq& values, const q_NET::MetaSeq&) override;
    CORBA::Long ReceiveULongLong(const char*, const q_NET::ULongLongSeq& values, const q_NET::MetaSeq&) override;

    // Waits until every atom arrived, or no atom arrived for timeout (zero:
    // for ever), or stop; true when every atom arrived. The time that a
    // buffer takes to be printed (the output blocked) is no wait for data.
    // left: the time left of the wait for data (for ever: the most).
    bool WaitFor(std::chrono::steady_clock::duration slice, std::chrono::steady_clock::duration timeout,
                 const std::atomic<bool>& stop, bool& timedOut, std::chrono::steady_clock::duration& left);
    // Ends the read: a buffer held or delivered later (one the server sent
    // before it learned of the end) is dropped, once the one being printed
    // is. Once this returns, the printer is not used any more and may go.
    void Close();
    // The losses seen so far, in order (also while a buffer is printed).
    std::vector<Loss> Losses() const;

private:
    template <typename T> CORBA::Long Take(const T* values, CORBA::ULong count, const q_NET::MetaSeq& meta);
    // Notes a loss before a buffer of atoms whose first atom the server
    // numbered offered: the atoms of it to leave out, whose place was
    // passed (called by the buffer whose turn it is).
    std::uint64_t FollowOffered(CORBA::LongLong offered, std::uint64_t atoms);
    // Notes a loss.
    void Lost(const Loss& loss);

    RowPrinter& m_printer;
    // The number of the atom offered after the last one printed (by the
    // buffer whose turn it is).
    std::uint64_t m_nextOffered = 0;
    mutable std::mutex m_lossesMutex; // (never held while m_mutex is taken)
    std::vector<Loss> m_losses;       // (m_lossesMutex)
    std::mutex m_mutex;               // for the fields below
    std::condition_variable m_changed;
    bool m_closed = false;
    bool m_printing = false;     // a buffer is being printed
    std::uint64_t m_tickets = 0; // given to the buffers held, in the order they came
    std::uint64_t m_turn = 0;    // of the buffer to print next
    // The end of the atoms offered in the buffers held or printed.
    std::uint64_t m_takenEnd = 0;
    std::chrono::steady_clock::time_point m_lastArrival = std::chrono::steady_clock::now();
    unsigned m_taking = 0;              // buffers held: printed or waiting for their turn
    unsigned m_continues = Continues(); // seen by the last wait
};

class Connection {
public:
    // server: "HOST:PORT" ("[IPV6]:PORT"). callbacks: the tool serves
    // callback objects (watch, read) and so opens an endpoint of its own, on
    // the loopback address of the server's family when the server is on
    // loopback.
    Connection(const std::string& server, bool callbacks);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    zemtra_REMOTE::Registry_ptr Registry() const { return m_registry.in(); }
    const std::string& Server() const { return m_server; }
    // False (and why) when the server cannot be reached any more. A server
    // that refuses the probe for want of resources is there.
    bool ServerAlive(std::string& reason);
    // Whether the server still serves the subscription or signal session
    // id: eEnded when it has ended it (ended: how, as far as it tells),
    // eUnknown when it does not know the id, eLost when the server cannot be
    // reached; reason says why. A server without the question as a code
    // tells no end and no unknown id but in words (eEnded); one without the
    // question (an older one) is only asked whether it is there. A server
    // that cannot be reached when the tool was continued after a stop since
    // its last answer is asked again for up to the longest time of a call:
    // it may be starting anew after a restart, and then does not know the id.
    // The question takes at most within (the rest of the caller's wait for
    // data): eSilent when the server has not answered by then, shorter than
    // the longest time of a call.
    enum class Served { eYes, eEnded, eUnknown, eLost, eSilent };
    Served IsServed(CORBA::ULongLong id, std::string& reason, SessionEnd& ended,
                    std::chrono::milliseconds within = std::chrono::milliseconds::max());
    // Reads an on-demand signal once, through registry (a reference of this
    // connection's); a server without the coded read is asked ReadSignal,
    // whose refusals tell no codes.
    zemtra_REMOTE::SignalData* ReadSignal(zemtra_REMOTE::Registry_ptr registry, const char* path, CORBA::Long mode,
                                          CORBA::ULong count, CORBA::LongLong offset, CORBA::ULongLong time,
                                          CORBA::ULong waitMs);
    // Activates a servant and gives its reference.
    CORBA::Object_ptr Activate(PortableServer::Servant servant);
    // Longest time a call to the registry may take (zero: no limit).
    void SetCallTimeout(std::chrono::milliseconds timeout);

    // Runs a remote call, turning remote errors and CORBA failures into a
    // ToolError with the server's message.
    template <typename F> auto Call(F&& f) -> decltype(f())
    {
        try {
            return Again(std::forward<F>(f));
        } catch (const zemtra_REMOTE::RemoteError& e) {
            throw ToolError{e.message.in()};
        } catch (const zemtra_REMOTE::ReadRefusal& e) {
            throw ReadRefused{{e.message.in()}, e.end.code, e.end.past_the_end != 0};
        } catch (const CORBA::TRANSIENT& e) {
            // No connection: the server is not there, or no longer (it was
            // reached before).
            const Gone how = HowGone(e);
            const bool gone = how == Gone::eShuttingDown || (how == Gone::eAway && m_calls > 1);
            throw ToolError{gone ? Failed("the server " + GoneWords(how)) : Unreachable()};
        } catch (const CORBA::TIMEOUT&) {
            throw CallTimedOut{{NoAnswer()}};
        } catch (const CORBA::NO_RESOURCES& e) {
            throw ToolError{RefusalMessage(e.minor())};
        } catch (const CORBA::SystemException& e) {
            const Gone how = HowGone(e);
            throw ToolError{Failed(how == Gone::eNotTold ? e._name() : "the server " + GoneWords(how))};
        } catch (const CORBA::Exception& e) {
            throw ToolError{Failed(e._name())};
        }
    }

    // Runs f, calls to the registry, each of which fails with TIMEOUT once
    // the server has not answered within bound (at most the longest time of
    // a call).
    template <typename F> auto Within(std::chrono::milliseconds bound, F&& f) -> decltype(f())
    {
        const Bounded bounded(*this, bound);
        return f();
    }
    // A Call within bound.
    template <typename F> auto CallWithin(std::chrono::milliseconds bound, F&& f) -> decltype(f())
    {
        return Within(bound, [&] { return Call(std::forward<F>(f)); });
    }

    // Runs a call that may go twice: the first call on a connection that
    // the server closed while the tool was idle (after the server's idle
    // time-out, to make room for other clients, or while the tool was
    // stopped with Ctrl-Z) fails with COMM_FAILURE, the request unread, and
    // the ORB makes a new connection for the next one. The first call of
    // all is not repeated: its failure is the server's answer.
    template <typename F> auto Again(F&& f) -> decltype(f())
    {
        const bool reused = m_calls++ > 0;
        try {
            return f();
        } catch (const CORBA::COMM_FAILURE&) {
            if (!reused) {
                throw;
            }
            return f();
        }
    }

    // The endpoint on which the tool listens for callbacks from a server on
    // host (as the server address gives it, IPv6 in brackets).
    static std::string CallbackEndpoint(const std::string& host);
    // What is wrong with a server address given as "HOST:PORT" ("[IPV6]:PORT"),
    // in words; empty when nothing is.
    static std::string AddressProblem(const std::string& server);

private:
    // Bounds the time of the calls to the registry while it lives.
    class Bounded {
    public:
        Bounded(Connection& c, std::chrono::milliseconds bound);
        ~Bounded();
        Bounded(const Bounded&) = delete;
        Bounded& operator=(const Bounded&) = delete;

    private:
        Connection& m_c;
    };

    // One question of IsServed.
    Served AskServed(CORBA::ULongLong id, std::string& reason, SessionEnd& end);
    // What a call that failed (why: in words, or the exception's name)
    // tells.
    std::string Failed(const std::string& why) const;
    // What a call that timed out tells.
    std::string NoAnswer() const;
    // What a call that could not reach the server tells: also when its host
    // name resolves to no address.
    std::string Unreachable() const;

    std::string m_server;
    // What the server lacks of the questions asked: the coded ones, and
    // IsServed at all (an older server).
    std::atomic<bool> m_uncoded{false};
    bool m_olderServer = false;
    CORBA::ORB_var m_orb;
    PortableServer::POA_var m_poa;
    zemtra_REMOTE::Registry_var m_registry;
    unsigned long m_calls = 0;               // made through this connection, probes included
    unsigned m_answeredContinues = 0;        // Continues() before the last answer of IsServed
    std::chrono::milliseconds m_callTimeout; // of a call to the registry
};

} // namespace tool
