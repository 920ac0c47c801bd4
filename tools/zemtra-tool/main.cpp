// zemtra-tool: command-line client of the server's remote export.
//
//   zemtra-tool [--server HOST:PORT] ls [PATH]
//   zemtra-tool [--server HOST:PORT] get PATH
//   zemtra-tool [--server HOST:PORT] set PATH VALUE...
//   zemtra-tool [--server HOST:PORT] exec PATH
//   zemtra-tool [--server HOST:PORT] watch PATH [--count N] [--timeout S]
//   zemtra-tool [--server HOST:PORT] read SIGNAL [--count N] [--mode M] [--offset K] [--time T] [--timeout S]
//
// PATH is dot-separated from the root. Errors print the server's message on
// standard error and exit 1; a bad command line exits 2; an interrupted
// command exits 130.

#include "tools/zemtra-tool/tool_client.h"

#include <boost/program_options.hpp>

#include <semaphore.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <iomanip>
#include <iostream>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace po = boost::program_options;

namespace {

std::atomic<bool> g_interrupted{false};
// A one-shot read was left waiting for its answer after an interrupt.
std::atomic<bool> g_callAbandoned{false};

// The signal that interrupted the tool (Ctrl-C's SIGINT, or SIGTERM).
std::atomic<int> g_interruptSignal{SIGINT};
// Posted at each interrupt: wakes the watchdog (see Watchdog).
sem_t g_interruptPosted;

extern "C" void OnInterrupt(int signal)
{
    const int error = errno;
    g_interruptSignal.store(signal);
    g_interrupted.store(true);
    ::sem_post(&g_interruptPosted);
    errno = error;
}

// The read-ahead access mode of on-demand signals, read through forwarding.
constexpr int qsigStreaming = 13;

// Exit code of a read or watch that a signal ended: 128 + the signal, as a
// shell gives it (130 for Ctrl-C).
int InterruptedExit()
{
    return 128 + g_interruptSignal.load();
}

struct UsageError {
    std::string message;
};

const char* const c_usage =
    "usage: zemtra-tool [--server HOST:PORT] COMMAND ARGS...\n"
    "commands:\n"
    "  ls [PATH]                 children (of a leaf: the leaf) with value type, size and flags\n"
    "  get PATH                  the node's value\n"
    "  set PATH VALUE...         writes the value (one per element from position 0)\n"
    "  exec PATH                 runs a command node\n"
    "  watch PATH [--count N]    values as they change (Ctrl-C stops and exits 130)\n"
    "  read SIGNAL [--count N] [--mode M] [--offset K] [--time T]\n"
    "                            atoms of a signal as CSV, component names as header\n"
    "                            (as they arrive; waits at most --timeout seconds, default 10,\n"
    "                            for data; Ctrl-C stops and exits 130). Mode 13, the default,\n"
    "                            waits for atoms to come, a post-mortem signal for its next\n"
    "                            capture: --mode 10 or 11 reads a capture already taken\n";

// When the main thread first saw the interrupt (none yet: the epoch); the
// grace of every call after it counts from there.
std::chrono::steady_clock::time_point g_interruptSeen{};

// Runs call, a call to the server, on a thread of its own, so that Ctrl-C is
// seen while the server does not answer. True once it has returned (what it
// raised is raised here); false when Ctrl-C came and it has not returned
// within grace of that: it is abandoned (g_callAbandoned), and the tool
// leaves by Leave before the connection it uses goes. The call holds what
// else it uses itself, and lets go of it before it is seen to return: the
// tool may destroy its ORB at once, and object references released after
// that crash. Runs on the main thread.
template <typename F> bool Interruptible(F call, std::chrono::steady_clock::duration grace)
{
    struct State {
        std::mutex mutex;
        std::condition_variable done;
        bool finished = false;
        std::exception_ptr error;
    };
    auto state = std::make_shared<State>();
    auto owned = std::make_unique<F>(std::move(call));
    std::thread([state, owned = std::move(owned)]() mutable {
        std::exception_ptr error;
        try {
            (*owned)();
        } catch (...) {
            error = std::current_exception();
        }
        owned.reset();
        std::lock_guard<std::mutex> lock(state->mutex);
        // Handed over whole: this thread keeps no reference, so the thread
        // that rethrows it holds the only one while it prints its message.
        state->error = std::move(error);
        state->finished = true;
        state->done.notify_all();
    }).detach();
    std::unique_lock<std::mutex> lock(state->mutex);
    // Short slices so that an interrupt is seen promptly.
    while (!state->done.wait_for(lock, std::chrono::milliseconds(50), [&] { return state->finished; })) {
        if (!g_interrupted.load()) {
            continue;
        }
        const auto now = std::chrono::steady_clock::now();
        if (g_interruptSeen == std::chrono::steady_clock::time_point()) {
            g_interruptSeen = now;
        }
        if (now - g_interruptSeen >= grace) {
            g_callAbandoned.store(true);
            return false;
        }
    }
    const std::exception_ptr error = std::move(state->error);
    lock.unlock();
    if (error) {
        std::rethrow_exception(error);
    }
    return true;
}

// Run's answer when standard output was closed by its reader: the tool ends
// as any writer to a closed pipe does, by SIGPIPE (which the ORB ignores).
constexpr int c_outputClosed = -1;

// Ends the tool at once by SIGPIPE, as a writer to a closed pipe.
[[noreturn]] void EndByPipe()
{
    std::signal(SIGPIPE, SIG_DFL);
    std::raise(SIGPIPE);
    std::_Exit(128 + SIGPIPE);
}

// Ends the tool by SIGPIPE once what it said is out.
[[noreturn]] void EndByClosedOutput()
{
    std::fflush(stdout);
    std::fflush(stderr);
    EndByPipe();
}

// The exit code of a command whose output its reader closed: none, the
// tool ends by SIGPIPE; but 128 + the signal when it was interrupted, as
// every interrupted command: Ctrl-C ends every process of a pipeline, the
// reader too (`| less`, `| sleep 60`), and the tool was not done.
int ClosedOutputExit()
{
    if (!g_interrupted.load()) {
        EndByClosedOutput();
    }
    return InterruptedExit();
}

// The exit code rc of a command, at once when a call was abandoned (without
// the ORB's orderly shutdown, which would wait for it); called before its
// connection goes.
int Leave(int rc)
{
    if (g_callAbandoned.load()) {
        if (rc == c_outputClosed) {
            rc = ClosedOutputExit();
        }
        std::fflush(stdout);
        std::fflush(stderr);
        std::_Exit(rc);
    }
    return rc;
}

// A command interrupted between its calls: it makes no more.
struct Interrupted {};

// Runs call, calls to the server, so that Ctrl-C ends the tool at once,
// with 128 + the signal, also while the server does not answer: a command of
// single calls (ls, get, set, exec) has nothing to finish, and makes no call
// once interrupted (a set interrupted while it describes its node writes
// nothing). call may use the caller's frame: the tool ends before that goes.
template <typename F> void Promptly(F call)
{
    if (g_interrupted.load()) {
        throw Interrupted{};
    }
    if (!Interruptible(call, std::chrono::steady_clock::duration::zero())) {
        Leave(InterruptedExit());
    }
}

std::string TypeName(const zemtra_REMOTE::NodeInfo& info)
{
    const std::string kind = info.kind.in();
    if (kind != "value") {
        return kind;
    }
    switch (info.value_type) {
    case 1:
        return "bool";
    case 2:
        return "int";
    case 3:
        return "uint";
    case 5:
        return "uint64";
    case 6:
        return "double";
    case 8:
        return "string";
    case 9:
        return "enum";
    default:
        return "type" + std::to_string(info.value_type);
    }
}

std::string Hex(unsigned long long v)
{
    std::ostringstream os;
    os << "0x" << std::hex << v;
    return os.str();
}

// Reports a failed write of what the command prints (what: "the value of
// PATH") with the error number error of the write: Run's answer for it,
// c_outputClosed when the reader closed the output, else 1 after one line on
// standard error.
int WriteFailed(int error, const std::string& what)
{
    if (error == EPIPE) {
        return c_outputClosed;
    }
    std::cerr << "Can't write " << what << ": " << std::strerror(error != 0 ? error : EIO) << "\n";
    return 1;
}

// Writes text to standard output and flushes it: 0 once written, else as
// WriteFailed says.
int Write(const std::string& text, const std::string& what)
{
    const int error = tool::WriteLines(STDOUT_FILENO, text);
    return error == 0 ? 0 : WriteFailed(error, what);
}

// The line of a node in a listing whose names take width characters.
std::string ListLine(const zemtra_REMOTE::NodeInfo& info, size_t width)
{
    std::ostringstream line;
    line << std::left << std::setw(static_cast<int>(width)) << info.name.in() << "  " << std::setw(8) << TypeName(info)
         << "  " << std::right << std::setw(6) << info.size << "  " << Hex(info.flags) << "\n";
    return line.str();
}

// The width of the name column of a listing of infos.
size_t NameWidth(const zemtra_REMOTE::NodeInfoSeq& infos)
{
    size_t width = 4;
    for (CORBA::ULong i = 0; i < infos.length(); ++i) {
        width = std::max(width, std::string(infos[i].name.in()).size());
    }
    return width;
}

// The children of the node at path, or the node itself when it is no
// branch (a leaf has none), as a listing of its branch shows it: in the
// branch's column widths.
int Ls(tool::Connection& c, const std::string& path)
{
    zemtra_REMOTE::NodeInfoSeq_var infos;
    Promptly([&] { infos = c.Call([&] { return c.Registry()->List(path.c_str()); }); });
    size_t width = NameWidth(infos.in());
    if (infos->length() == 0 && !path.empty()) {
        zemtra_REMOTE::NodeInfo_var info;
        Promptly([&] { info = c.Call([&] { return c.Registry()->Describe(path.c_str()); }); });
        if (std::string(info->kind.in()) != "branch") {
            infos->length(1);
            infos[0] = info.in();
            const size_t dot = path.rfind('.');
            const std::string branch = dot == std::string::npos ? std::string() : path.substr(0, dot);
            zemtra_REMOTE::NodeInfoSeq_var siblings;
            Promptly([&] { siblings = c.Call([&] { return c.Registry()->List(branch.c_str()); }); });
            width = std::max(NameWidth(infos.in()), NameWidth(siblings.in()));
        }
    }
    std::string text;
    for (CORBA::ULong i = 0; i < infos->length(); ++i) {
        text += ListLine(infos[i], width);
    }
    return Write(text, "the list of " + (path.empty() ? std::string("the root") : path));
}

int Get(tool::Connection& c, const std::string& path)
{
    zemtra_REMOTE::StringSeq_var values;
    Promptly([&] { values = c.Call([&] { return c.Registry()->GetText(path.c_str(), 0, 0); }); });
    return Write(tool::Joined(values.in(), " ") + "\n", "the value of " + path);
}

int Set(tool::Connection& c, const std::string& path, const std::vector<std::string>& texts)
{
    zemtra_REMOTE::StringSeq values;
    values.length(static_cast<CORBA::ULong>(texts.size()));
    for (CORBA::ULong i = 0; i < values.length(); ++i) {
        values[i] = texts[i].c_str();
    }
    Promptly([&] { c.Call([&] { c.Registry()->SetText(path.c_str(), 0, values); }); });
    return 0;
}

int Exec(tool::Connection& c, const std::string& path)
{
    Promptly([&] { c.Call([&] { c.Registry()->Execute(path.c_str()); }); });
    return 0;
}

// Time-outs longer than this many seconds (a year) wait for ever, as 0
// does: the clock counts far beyond it, but not beyond any number.
constexpr double c_foreverSeconds = 365.0 * 24 * 3600;

// s seconds, at most c_foreverSeconds; a positive s below the clock's tick
// is one tick (zero would mean for ever).
std::chrono::steady_clock::duration Seconds(double s)
{
    const auto d = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(std::min(s, c_foreverSeconds)));
    return s > 0 ? std::max(d, std::chrono::steady_clock::duration(1)) : d;
}

// How often a waiting command makes sure the server is still there.
constexpr std::chrono::seconds c_probePeriod{1};
// Time that a one-shot read's call may take beyond the wait for its data: a
// moment, so that a server that gives no answer at all (stopped) times the
// read out within its time-out and that moment.
constexpr std::chrono::milliseconds c_callMargin{750};
// Time after Ctrl-C that the calls of watch or read (the last probe, the
// end of the subscription or read) may take before the tool leaves without
// their answers: a server that answers does so within milliseconds, one that
// does not (frozen, or its host gone) would hold the tool for the whole call
// time-out. Counted from the interrupt, so that the tool leaves within a
// second of it.
constexpr std::chrono::milliseconds c_interruptGrace{500};
// Time that the call ending a watch or read after its time-out may take: the
// server may give no answer at all (stopped), and the time-out is said.
constexpr std::chrono::milliseconds c_endGrace{500};

// The longest that the first calls of a watch or read (Subscribe,
// GetSignal, OpenSignal) may take when its waits are bounded by timeout: so
// long, but a moment at least (a server that answers does so within
// milliseconds); without a bound (zero), the call's own time-out.
std::chrono::milliseconds FirstCallBound(std::chrono::steady_clock::duration timeout)
{
    if (timeout <= std::chrono::steady_clock::duration::zero()) {
        return std::chrono::milliseconds::max();
    }
    return std::max(std::chrono::ceil<std::chrono::milliseconds>(timeout), c_callMargin);
}

// Whether the server still serves the subscription or signal session id
// (what: "subscription of PATH"); false when it ended it or cannot be
// reached: reported here, unless ending (a function of how the server ended
// it alone, which may run after the caller is gone) has words of its own for
// the end: then they are in said, for the caller to tell.
using Ending = std::function<std::string(const tool::SessionEnd& end)>;

bool StillServed(tool::Connection& c, CORBA::ULongLong id, const std::string& what, const Ending& ending,
                 std::string& said, std::chrono::milliseconds within)
{
    std::string reason;
    tool::SessionEnd end;
    switch (c.IsServed(id, reason, end, within)) {
    case tool::Connection::Served::eYes:
    case tool::Connection::Served::eSilent: // (the wait for data tells)
        return true;
    case tool::Connection::Served::eEnded:
        said = ending ? ending(end) : std::string();
        if (said.empty()) {
            std::cerr << "The server ended the " << what << ": " << reason << "\n";
        }
        return false;
    case tool::Connection::Served::eUnknown:
        // Most likely it was started anew since, and the id means nothing
        // to the user.
        std::cerr << "The server " << c.Server() << " no longer knows the " << what << ": it may have restarted\n";
        return false;
    case tool::Connection::Served::eLost:
        std::cerr << "Lost the server " << c.Server() << ": " << reason << "\n";
        return false;
    }
    return false;
}

// How a wait of watch or read ended; Ended: a read reached the end of what
// the signal holds.
enum class Outcome { Complete, TimedOut, Interrupted, Lost, Ended };

// Waits for wait(slice, timedOut, left) to succeed, for at most
// c_probePeriod at a time, asking the server between slices whether it still
// serves id; wait sets timedOut when the wait for data is over, else left to
// the time left of it, which the question takes at most (a server that does
// not answer, stopped, times the wait out). Lost: the server ended it or
// cannot be reached (reported here).
template <typename W>
Outcome WaitProbing(tool::Connection& c, CORBA::ULongLong id, const std::string& what, W&& wait,
                    const Ending& ending = nullptr, std::string* said = nullptr)
{
    for (;;) {
        bool timedOut = false;
        std::chrono::steady_clock::duration left = std::chrono::steady_clock::duration::max();
        if (wait(std::chrono::steady_clock::duration(c_probePeriod), timedOut, left)) {
            return Outcome::Complete;
        }
        if (g_interrupted.load()) {
            return Outcome::Interrupted;
        }
        if (timedOut) {
            return Outcome::TimedOut;
        }
        auto served = std::make_shared<bool>(true);
        auto words = std::make_shared<std::string>();
        const auto within = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::min<std::chrono::steady_clock::duration>(left, std::chrono::hours(24)));
        if (!Interruptible([&c, id, what, served, ending, words,
                            within] { *served = StillServed(c, id, what, ending, *words, within); },
                           c_interruptGrace)) {
            return Outcome::Interrupted;
        }
        if (!*served) {
            if (said != nullptr) {
                *said = *words;
            }
            return Outcome::Lost;
        }
    }
}

int Watch(tool::Connection& c, const std::string& path, unsigned count, double timeout)
{
    auto* sink = new tool::ValueSink();
    CORBA::Object_var obj = c.Activate(sink);
    sink->_remove_ref();
    zemtra_REMOTE::ValueCallback_var callback = zemtra_REMOTE::ValueCallback::_narrow(obj);
    auto subscribed = std::make_shared<CORBA::ULongLong>(0);
    // A server that does not answer (stopped) times the watch out as it
    // would time out its wait for a value.
    const auto firstBound = FirstCallBound(timeout > 0 ? Seconds(timeout) : std::chrono::steady_clock::duration{});
    try {
        if (!Interruptible(
                [&c, path, callback, subscribed, firstBound] {
                    *subscribed =
                        c.CallWithin(firstBound, [&] { return c.Registry()->Subscribe(path.c_str(), callback.in()); });
                },
                c_interruptGrace)) {
            return InterruptedExit();
        }
    } catch (const tool::CallTimedOut&) {
        if (timeout <= 0) {
            throw;
        }
        std::cerr << "Timed out waiting for a value of " << path << "\n";
        return 1;
    }
    const CORBA::ULongLong id = *subscribed;
    unsigned shown = 0;
    int rc = 0;
    bool lost = false;
    bool timedOut = false;
    // One writer for every value: it looks at the output once.
    const tool::LineWriter out(STDOUT_FILENO);
    // Without a time-out, watch until interrupted or the server is gone.
    const auto wait = Seconds(timeout > 0 ? timeout : c_foreverSeconds);
    // A continue is asked after only when a wait ends without a value.
    unsigned continues = tool::Continues();
    while ((count == 0 || shown < count) && !g_interrupted.load()) {
        std::string line;
        auto deadline = std::chrono::steady_clock::now() + wait;
        const Outcome waited = WaitProbing(
            c, id, "subscription of " + path,
            [&](std::chrono::steady_clock::duration slice, bool& over, std::chrono::steady_clock::duration& left) {
                if (sink->Next(line, std::min(slice, std::max(deadline - std::chrono::steady_clock::now(), {})),
                               g_interrupted)) {
                    return true;
                }
                if (tool::Continues() != continues) {
                    // Stopped meanwhile: the wait starts again.
                    continues = tool::Continues();
                    deadline = std::chrono::steady_clock::now() + wait;
                }
                left = deadline - std::chrono::steady_clock::now();
                over = left <= std::chrono::steady_clock::duration::zero();
                return false;
            });
        if (waited == Outcome::TimedOut) {
            timedOut = true;
            std::cerr << "Timed out waiting for a value of " << path << "\n";
            rc = 1;
            break;
        }
        if (waited == Outcome::Lost) {
            lost = true;
            rc = 1;
            break;
        }
        if (waited == Outcome::Interrupted || g_interrupted.load()) {
            break;
        }
        const int error = out.Write(line + "\n");
        rc = error == 0 ? 0 : WriteFailed(error, "the values of " + path);
        if (rc != 0) {
            // The reader closed the output (`| head -1`) or it failed:
            // nothing more can be shown.
            break;
        }
        ++shown;
    }
    if (!lost && !g_callAbandoned.load()) {
        try {
            const auto bound = timedOut ? c_endGrace : std::chrono::milliseconds::max();
            Interruptible([&c, id, bound] { c.CallWithin(bound, [&] { c.Registry()->Unsubscribe(id); }); },
                          c_interruptGrace);
        } catch (const tool::ToolError&) {
            if (!timedOut) {
                throw;
            }
        }
    }
    // Interrupted, as read: not to be taken for a watch that ended.
    return rc == 0 && g_interrupted.load() ? InterruptedExit() : rc;
}

// What `read` asks for.
struct ReadRequest {
    std::string path;
    std::uint64_t count = 10;
    int mode = qsigStreaming;
    long long offset = 0;
    unsigned long long time = 0;
    // Longest wait for data; zero: for ever.
    std::chrono::steady_clock::duration timeout = std::chrono::seconds(10);
};

// What an interrupted read says: how many atoms of its count its output
// holds (none before it has a printer), and, while a forwarded read runs,
// what it lost.
struct ReadReport {
    const ReadRequest& request;
    const tool::RowPrinter* printer;
    const tool::AtomSink* sink = nullptr;
};

std::string InterruptedLine(const ReadReport& report)
{
    return "Interrupted after " + std::to_string(report.printer ? report.printer->Printed() : 0) + " of " +
           std::to_string(report.request.count) + " atoms of " + report.request.path + "\n";
}

// The report of the read that runs, for the watchdog (see Watchdog).
std::mutex g_reportMutex;
const ReadReport* g_report = nullptr;
// Whether the tool has said why it leaves on an interrupt: it says it once.
std::atomic<bool> g_said{false};
// Whether the losses of the read are told: by the read, or by the watchdog
// when the read is held (its output blocked), once.
std::atomic<bool> g_lossesTold{false};

// The lines that tell the losses, of those after at most printed atoms (the
// rows written; all when printed is UINT64_MAX), unless they are told.
std::string LossLines(const std::vector<tool::Loss>& losses, std::uint64_t printed, const std::string& path)
{
    std::string lines;
    if (!losses.empty() && !g_lossesTold.exchange(true)) {
        for (const tool::Loss& loss : losses) {
            if (printed == UINT64_MAX || loss.after < printed) {
                lines += tool::LossLine(loss, path) + "\n";
            }
        }
    }
    return lines;
}

void SayOnce(const std::string& text)
{
    if (!g_said.exchange(true)) {
        std::cerr << text;
    }
}

// Makes report that of the read that runs while it lives, and the one
// before it again after it.
class Reporting {
public:
    explicit Reporting(const ReadReport& report)
    {
        std::lock_guard<std::mutex> lock(g_reportMutex);
        m_before = g_report;
        g_report = &report;
    }
    ~Reporting()
    {
        std::lock_guard<std::mutex> lock(g_reportMutex);
        g_report = m_before;
    }
    Reporting(const Reporting&) = delete;
    Reporting& operator=(const Reporting&) = delete;

private:
    const ReadReport* m_before;
};

// Reads through forwarding (streams, and on-demand signals in mode 13): the
// server pushes buffers of at most one chunk to the tool's receiver, which
// prints them as they come; losses: the atoms that the server dropped
// before the tool took them.
Outcome Forward(tool::Connection& c, const ReadRequest& r, tool::RowPrinter& printer, std::vector<tool::Loss>& losses)
{
    auto* sink = new tool::AtomSink(printer);
    CORBA::Object_var obj = c.Activate(sink);
    sink->_remove_ref(); // the POA keeps it until the ORB goes
    // The watchdog tells what was lost when the end of the read is held (a
    // buffer printed into a blocked output holds the sink), until it is over.
    const ReadReport report{r, &printer, sink};
    const Reporting reporting(report);
    // However the read ends, a buffer that the ORB delivers later must not
    // reach the printer, which goes with the caller's frame.
    struct Closer {
        tool::AtomSink* sink;
        std::vector<tool::Loss>& losses;
        ~Closer()
        {
            sink->Close();
            losses = sink->Losses();
        }
    } closer{sink, losses};
    q_NET::SignalReceiver_var receiver = q_NET::SignalReceiver::_narrow(obj);
    // The atoms come as they are acquired, in order, in buffers of at most a
    // chunk, and the tool stops after the count. The server learns the whole
    // count: a signal that reads ahead a window ending at a moment (the
    // post-mortem capture) places all of it there.
    const auto count = static_cast<CORBA::ULong>(std::min<std::uint64_t>(r.count, UINT32_MAX));
    auto opened = std::make_shared<CORBA::ULongLong>(0);
    const ReadRequest request = r;
    // Bounded as the waits for data (Read tells a time-out).
    const auto firstBound = FirstCallBound(r.timeout);
    if (!Interruptible(
            [&c, request, receiver, count, opened, firstBound] {
                *opened = c.CallWithin(firstBound, [&] {
                    return c.Registry()->OpenSignal(request.path.c_str(), receiver.in(), request.mode, count,
                                                    request.offset);
                });
            },
            c_interruptGrace)) {
        return Outcome::Interrupted;
    }
    const CORBA::ULongLong id = *opened;
    // A reader ahead of a history kept in sections reads each section from
    // its offset on: one shorter than that ends it (bad request, past its
    // end), in the words of the other ends of a section.
    const long long offset = r.offset;
    const Ending shortSection = [offset](const tool::SessionEnd& end) {
        return end.code == -1 && end.pastTheEnd && end.sectionAtoms > 0
                   ? "the next section holds " + std::to_string(end.sectionAtoms) + " atoms, fewer than the offset " +
                         std::to_string(offset)
                   : std::string();
    };
    std::string shortEnd;
    const Outcome outcome = WaitProbing(
        c, id, "read of " + r.path,
        [&](std::chrono::steady_clock::duration slice, bool& timedOut, std::chrono::steady_clock::duration& left) {
            return sink->WaitFor(slice, r.timeout, g_interrupted, timedOut, left);
        },
        shortSection, &shortEnd);
    if (!shortEnd.empty()) {
        std::cerr << "No more atoms after " << printer.Printed() << " of " << r.count << " atoms of " << r.path << ": "
                  << shortEnd << "\n";
    }
    if (outcome == Outcome::Lost || g_callAbandoned.load()) {
        return outcome;
    }
    try {
        const auto bound = outcome == Outcome::TimedOut ? c_endGrace : std::chrono::milliseconds::max();
        Interruptible([&c, id, bound] { c.CallWithin(bound, [&] { c.Registry()->CloseSignal(id); }); },
                      c_interruptGrace);
    } catch (const tool::ToolError&) {
        // The server may have ended the session already (its source gone).
    }
    return outcome;
}

// The longest wait for data that a one-shot read asks the server for: the
// time-out, at most what the server allows (0: that much).
CORBA::ULong OneShotWaitMs(std::chrono::steady_clock::duration timeout)
{
    if (timeout <= std::chrono::steady_clock::duration::zero()) {
        return 0;
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(timeout);
    const std::chrono::milliseconds most = tool::c_maxReadWait;
    return static_cast<CORBA::ULong>(std::max<long long>(std::min(ms, most).count(), 1));
}

// One one-shot read, interruptible: Ctrl-C is seen while the server waits
// for the data. Null after an interrupt (also one before the call); a
// time-out of the call sets timedOut.
zemtra_REMOTE::SignalData* ReadOnce(tool::Connection& c, const ReadRequest& r, int mode, CORBA::ULong count,
                                    long long offset, unsigned long long time, bool& timedOut)
{
    struct Answer {
        zemtra_REMOTE::SignalData_var data;
        bool timedOut = false;
    };
    if (g_interrupted.load()) {
        return nullptr;
    }
    auto answer = std::make_shared<Answer>();
    zemtra_REMOTE::Registry_var registry = zemtra_REMOTE::Registry::_duplicate(c.Registry());
    const std::string path = r.path;
    const CORBA::ULong waitMs = OneShotWaitMs(r.timeout);
    tool::Connection* const connection = &c;
    const auto read = [=] {
        try {
            // Again, as every call: the server closes a connection left
            // idle (its reader took no rows, or the tool was stopped), and
            // the next call on it fails unread. The connection outlives the
            // call: one abandoned ends the tool first (Leave).
            answer->data = connection->Again(
                [&] { return connection->ReadSignal(registry.in(), path.c_str(), mode, count, offset, time, waitMs); });
        } catch (const CORBA::TIMEOUT&) {
            answer->timedOut = true;
        }
    };
    bool returned = false;
    try {
        returned = Interruptible(read, std::chrono::steady_clock::duration::zero());
    } catch (...) {
        // The server's refusal, in the tool's words.
        const std::exception_ptr error = std::current_exception();
        c.Call([&] { std::rethrow_exception(error); });
    }
    if (!returned) {
        return nullptr;
    }
    timedOut = answer->timedOut;
    return timedOut ? nullptr : answer->data._retn();
}

// The metadata entry id of a read (0: the LMT of its first atom; 2: the
// number of its first atom); false when it has none.
bool MetaOf(const zemtra_REMOTE::SignalData& data, CORBA::Long id, long long& value)
{
    for (CORBA::ULong i = 0; i < data.meta.length(); ++i) {
        if (data.meta[i].id == id) {
            value = data.meta[i].value;
            return true;
        }
    }
    return false;
}

// Whether a read is of a section of a history kept in sections: its
// metadata give the atoms of the section.
bool Sectioned(const zemtra_REMOTE::SignalData& data)
{
    long long atoms = 0;
    return MetaOf(data, zemtra_REMOTE::MetaSectionAtoms, atoms);
}

bool FirstLmt(const zemtra_REMOTE::SignalData& data, unsigned long long& lmt)
{
    long long value = 0;
    const bool known = MetaOf(data, 0, value);
    lmt = static_cast<unsigned long long>(value);
    return known;
}

// The number of a read's first atom: its metadata's, or in mode 10, which
// reads by index, the index asked for (asked); false when neither tells.
bool FirstNumber(const zemtra_REMOTE::SignalData& data, int mode, unsigned long long asked, long long& number)
{
    if (MetaOf(data, 2, number)) {
        return true;
    }
    number = static_cast<long long>(asked);
    return mode == 10;
}

// Whether the server refused a one-shot read with -1 (bad request) or -7
// (try again): what a signal answers for a read that starts where it holds
// no atoms (after its end when the refusal says so, else before it, or
// overwritten).
bool RefusedOutside(const tool::ReadRefused& e)
{
    return e.code == -1 || e.code == -7;
}

// Refuses an answer of more atoms than asked, or whose values are not whole
// atoms of components each: the tool takes what it asked for only.
void CheckAnswer(const zemtra_REMOTE::SignalData& d, std::uint64_t asked, std::size_t components,
                 const std::string& path)
{
    const std::uint64_t values = std::uint64_t{d.short_values.length()} + d.long_values.length() +
                                 d.double_values.length() + d.ulonglong_values.length();
    if (d.atoms > asked) {
        throw tool::ToolError{"The server sent " + std::to_string(d.atoms) + " atoms of " + path + " for a read of " +
                              std::to_string(asked) + ": refused, none printed"};
    }
    if (values != std::uint64_t{d.atoms} * components) {
        throw tool::ToolError{"The server sent " + std::to_string(values) + " values for " + std::to_string(d.atoms) +
                              " atoms of " + std::to_string(components) + " components of " + path +
                              ": refused, none printed"};
    }
}

void PrintData(tool::RowPrinter& printer, const zemtra_REMOTE::SignalData& d)
{
    printer.Print(d.short_values.get_buffer(), d.short_values.length());
    printer.Print(d.long_values.get_buffer(), d.long_values.length());
    printer.Print(d.double_values.get_buffer(), d.double_values.length());
    printer.Print(reinterpret_cast<const unsigned long long*>(d.ulonglong_values.get_buffer()),
                  d.ulonglong_values.length());
}

// A read once of an on-demand signal in modes 10, 11, 12 and 14, with
// one-shot reads of at most one chunk each, every chunk where the previous
// one ended: in mode 10 the time (an index) moves on, in modes 12 and 14
// with a time the offset does. An answer of fewer atoms than asked is the
// end of what the signal holds there (the ending tells where), and so is a
// refusal of the chunk after a whole one that starts past that end. A
// history kept in sections tells so in every answer (the atoms of the
// section read): a read stays in one section. Modes 11 and
// 14 without a time name a moment that moves on between calls, so the read
// fixes it with its first two reads, of one and two atoms, and goes on in
// mode 12 (14) at the LMT of their atoms: the count atoms start at the
// moment when the signal starts its reads there, or end there when the
// signal ends them there (as the post-mortem window does; then no more
// atoms are read than the signal holds up to the moment).
class ChunkedRead {
public:
    ChunkedRead(tool::Connection& c, const ReadRequest& r, const zemtra_REMOTE::SignalInfo& info,
                tool::RowPrinter& printer)
        : m_c(c), m_r(r), m_printer(printer), m_chunk(tool::ChunkAtoms(info.atom_size)),
          m_moving(r.mode == 11 || (r.mode == 14 && r.time == 0)), m_plan{r.mode, r.offset, r.time, r.count}
    {
    }

    // Reads the atoms and prints them as they come.
    Outcome Run();
    // What to say of a read that Ended (empty: the tool's own words).
    const std::string& Ending() const { return m_ending; }

private:
    // Where the reads go: the chunks are read in mode from the time and
    // offset on, total atoms in all.
    struct Plan {
        int mode;
        long long offset;
        unsigned long long time;
        std::uint64_t total;
    };

    // One one-shot read of n atoms, its answer checked (CheckAnswer): null
    // after an interrupt or a time-out (Stopped tells which).
    std::unique_ptr<zemtra_REMOTE::SignalData> ReadAtoms(int mode, std::uint64_t n, long long offset,
                                                         unsigned long long time);
    Outcome Stopped() const { return m_timedOut ? Outcome::TimedOut : Outcome::Interrupted; }
    // The refusal of a read past a chunk in mode whose reads give no LMT to
    // read on from.
    tool::ToolError NoLmt(int mode) const
    {
        return {"Reads of " + m_r.path + " in mode " + std::to_string(mode) + " stop after " + std::to_string(m_chunk) +
                " atoms: they give no LMT to go on from"};
    }

    // Fixes the moving moment of modes 11 and 14 by its reads of one and two
    // atoms and plans the reads from it: how the read ended, or nothing
    // when it goes on by the plan.
    std::optional<Outcome> FixMoment();
    // The plan from the answers at the moment (two is null when the first
    // held no atom), whose reads were moved back by shift atoms.
    std::optional<Outcome> PlanFromMoment(const zemtra_REMOTE::SignalData& one, const zemtra_REMOTE::SignalData* two,
                                          long long shift);
    // The plan of the count atoms that end at the moment, whose atom has
    // the LMT lmtOne and the one before it lmtTwo (see PlanFromMoment).
    void PlanToMoment(const zemtra_REMOTE::SignalData& one, unsigned long long lmtOne, unsigned long long lmtTwo,
                      long long shift);

    // The next chunk by the plan, of n atoms.
    std::unique_ptr<zemtra_REMOTE::SignalData> ReadChunk(std::uint64_t n);
    // What the refusal of the next chunk means: how the read ended, or
    // nothing when it goes on by a new plan; or the refusal, thrown in the
    // tool's words.
    std::optional<Outcome> Refused(const tool::ReadRefused& e);
    // Prints the answer to the read of n atoms and notes what it tells of
    // where the signal ends: how the read ended, or nothing when it goes on.
    std::optional<Outcome> Take(const zemtra_REMOTE::SignalData& data, std::uint64_t n);
    // Ends the read where the signal ends, and says where that is.
    Outcome EndAtLast();

    tool::Connection& m_c;
    const ReadRequest& m_r;
    tool::RowPrinter& m_printer;
    const std::uint64_t m_chunk;
    const bool m_moving;
    Plan m_plan;
    // The atoms read by the plan.
    std::uint64_t m_done = 0;
    // Whether a refused first chunk made the read fix its moment.
    bool m_fellBack = false;
    bool m_timedOut = false;
    // The refusal of a moment moved past the end of what the signal holds.
    std::string m_outside;
    // The number of the last atom printed, when the reads tell it.
    bool m_numbered = false;
    long long m_last = 0;
    // Whether the reads are of a section of a history kept in sections.
    bool m_sectioned = false;
    // In mode 10, the number of the section read: the chunks after the
    // first go on in it, by its place back from the newest, which moves
    // with every trigger (so found by its number, not by the LMT of its
    // atoms: those of a section from before a synchronisation are no LMT
    // of the board's clock any more). How often the place moved, and the
    // most moves before the read gives up (sections that come faster than
    // the reads).
    std::optional<long long> m_section;
    unsigned m_moves = 0;
    static constexpr unsigned c_mostMoves = 1000;
    std::string m_ending;
};

std::unique_ptr<zemtra_REMOTE::SignalData> ChunkedRead::ReadAtoms(int mode, std::uint64_t n, long long offset,
                                                                  unsigned long long time)
{
    std::unique_ptr<zemtra_REMOTE::SignalData> data(
        ReadOnce(m_c, m_r, mode, static_cast<CORBA::ULong>(n), offset, time, m_timedOut));
    if (data) {
        CheckAnswer(*data, n, m_printer.Components(), m_r.path);
    }
    return data;
}

Outcome ChunkedRead::Run()
{
    // The server answers within the wait asked for; the call gives it time
    // on top, for the values to come.
    const CORBA::ULong waitMs = OneShotWaitMs(m_r.timeout);
    const std::chrono::milliseconds wait =
        waitMs == 0 ? std::chrono::milliseconds(tool::c_maxReadWait) : std::chrono::milliseconds(waitMs);
    m_c.SetCallTimeout(wait + c_callMargin);
    if (m_moving && m_r.count > m_chunk) {
        if (const std::optional<Outcome> o = FixMoment()) {
            return *o;
        }
    }
    while (m_done < m_plan.total) {
        const std::uint64_t n = std::min<std::uint64_t>(m_chunk, m_plan.total - m_done);
        std::unique_ptr<zemtra_REMOTE::SignalData> data;
        std::optional<tool::ReadRefused> refused;
        try {
            data = ReadChunk(n);
        } catch (const tool::ReadRefused& e) {
            refused = e;
        } catch (const tool::ToolError& e) {
            refused = tool::ReadRefused{e}; // told in words only
        }
        if (refused) {
            if (const std::optional<Outcome> o = Refused(*refused)) {
                return *o;
            }
            continue;
        }
        if (!data) {
            return Stopped();
        }
        if (const std::optional<Outcome> o = Take(*data, n)) {
            return *o;
        }
    }
    return m_plan.total < m_r.count ? Outcome::Ended : Outcome::Complete;
}

std::optional<Outcome> ChunkedRead::FixMoment()
{
    // A moment moved by a positive offset past the end of what the signal
    // holds is refused, though the count atoms that end there may start
    // before it: then the reads fix the moment without the offset, and the
    // atoms end that many atoms after it.
    long long shift = 0;
    std::unique_ptr<zemtra_REMOTE::SignalData> one;
    try {
        one = ReadAtoms(m_r.mode, 1, m_r.offset, m_r.time);
    } catch (const tool::ReadRefused& e) {
        if (m_r.offset <= 0 || !RefusedOutside(e)) {
            throw;
        }
        if (m_outside.empty()) {
            m_outside = e.message;
        }
        shift = m_r.offset;
        one = ReadAtoms(m_r.mode, 1, 0, m_r.time);
    }
    if (!one) {
        return Stopped();
    }
    // The second read only after an atom at the moment: null when none.
    std::unique_ptr<zemtra_REMOTE::SignalData> two;
    if (one->atoms > 0) {
        two = ReadAtoms(m_r.mode, 2, m_r.offset - shift, m_r.time);
        if (!two) {
            return Stopped();
        }
    }
    return PlanFromMoment(*one, two.get(), shift);
}

std::optional<Outcome> ChunkedRead::PlanFromMoment(const zemtra_REMOTE::SignalData& one,
                                                   const zemtra_REMOTE::SignalData* two, long long shift)
{
    unsigned long long lmtOne = 0;
    unsigned long long lmtTwo = 0;
    const bool endsThere = two && two->atoms == 2 && FirstLmt(one, lmtOne) && FirstLmt(*two, lmtTwo) && lmtTwo < lmtOne;
    if (!m_outside.empty() && !endsThere) {
        throw tool::ToolError{m_outside};
    }
    if (!two || two->atoms < 2) {
        // Nothing, or only the moment's atom, there: the end of the signal.
        PrintData(m_printer, one);
        m_sectioned = Sectioned(one);
        m_numbered = MetaOf(one, 2, m_last);
        m_last += static_cast<long long>(one.atoms) - 1;
        return EndAtLast();
    }
    if (!FirstLmt(one, lmtOne) || !FirstLmt(*two, lmtTwo)) {
        throw NoLmt(m_r.mode);
    }
    m_plan.mode = m_r.mode == 11 ? 12 : 14;
    m_plan.offset = 0;
    m_plan.time = lmtTwo;
    if (lmtTwo < lmtOne) {
        PlanToMoment(one, lmtOne, lmtTwo, shift);
    }
    return std::nullopt;
}

void ChunkedRead::PlanToMoment(const zemtra_REMOTE::SignalData& one, unsigned long long lmtOne,
                               unsigned long long lmtTwo, long long shift)
{
    // The signal ends its reads at the moment: so do the count atoms, one
    // turn (of this many LMT counts) apart, as far back as the signal holds
    // atoms (the number of the moment's atom).
    const std::string got = " atoms of " + m_r.path;
    const unsigned long long turn = lmtOne - lmtTwo;
    const unsigned long long moment = lmtOne + static_cast<unsigned long long>(shift) * turn;
    long long number = 0;
    if (MetaOf(one, 2, number) && !__builtin_add_overflow(number, shift, &number) && number >= 0 &&
        static_cast<std::uint64_t>(number) + 1 < m_plan.total) {
        m_plan.total = static_cast<std::uint64_t>(number) + 1;
        m_ending = "Only " + std::to_string(m_plan.total) + " of " + std::to_string(m_r.count) + got +
                   " end there: it starts at atom " + std::to_string(number + 1 - static_cast<long long>(m_plan.total));
    }
    if (m_plan.total - 1 > moment / turn) {
        throw tool::ToolError{"The " + std::to_string(m_plan.total) + got + " in mode " + std::to_string(m_r.mode) +
                              " would start before LMT 0"};
    }
    m_plan.time = moment - (m_plan.total - 1) * turn;
}

std::unique_ptr<zemtra_REMOTE::SignalData> ChunkedRead::ReadChunk(std::uint64_t n)
{
    // Mode 10 reads by index (the time), the others by offset from the time;
    // in a section (the time counts sections back) by offset in it.
    if (m_plan.mode == 10) {
        return m_section ? ReadAtoms(10, n, std::max(m_plan.offset, 0LL) + static_cast<long long>(m_done), m_plan.time)
                         : ReadAtoms(10, n, m_plan.offset, m_plan.time + m_done);
    }
    return ReadAtoms(m_plan.mode, n, m_plan.offset + static_cast<long long>(m_done), m_plan.time);
}

std::optional<Outcome> ChunkedRead::Refused(const tool::ReadRefused& e)
{
    if (m_done > 0 && RefusedOutside(e) && e.pastTheEnd) {
        // The atoms printed, a whole chunk, reach the end of what the
        // signal holds: it refuses a read that starts after it.
        return EndAtLast();
    }
    if (!m_outside.empty() && RefusedOutside(e)) {
        throw tool::ToolError{m_outside}; // none of the atoms is there
    }
    if (m_done == 0 && m_moving && !m_fellBack && RefusedOutside(e)) {
        // A window that reaches out of what the signal holds: the atoms of
        // it that are there, as for more than a chunk (when none is, the
        // signal's refusal stands).
        m_fellBack = true;
        m_outside = e.message;
        return FixMoment();
    }
    // Another refusal (atoms overwritten before the read came to them): the
    // server's words, and how far the read came.
    std::string where;
    if (m_done > 0) {
        where = "after " + std::to_string(m_printer.Printed()) + " of " + std::to_string(m_r.count) + " atoms of " +
                m_r.path;
    }
    if (m_plan.mode != m_r.mode) {
        where += (where.empty() ? "" : ", ") + std::string("reading on by LMT what access mode ") +
                 std::to_string(m_r.mode) + " began";
    }
    throw tool::ToolError{where.empty() ? e.message : e.message + " (" + where + ")"};
}

std::optional<Outcome> ChunkedRead::Take(const zemtra_REMOTE::SignalData& data, std::uint64_t n)
{
    long long number = 0;
    // In mode 10 the time plus the offset is the index of the first atom.
    const unsigned long long index = m_plan.time + m_done + static_cast<unsigned long long>(m_plan.offset);
    const bool numbered = data.atoms > 0 && FirstNumber(data, m_plan.mode, index, number);
    if (data.atoms > 0 && m_section && number != *m_section) {
        // Sections came since the time named the section read, which is now
        // that many further back: read there again. A number that went back
        // (a history read anew) no longer names it.
        if (number < *m_section || ++m_moves > c_mostMoves) {
            throw tool::ToolError{"Reading on in section " + std::to_string(*m_section) + " of " + m_r.path +
                                  " stops: it is no longer found by its place back from the newest (after " +
                                  std::to_string(m_printer.Printed()) + " of " + std::to_string(m_r.count) + " atoms)"};
        }
        m_plan.time += static_cast<unsigned long long>(number - *m_section);
        return std::nullopt;
    }
    PrintData(m_printer, data);
    if (data.atoms > 0) {
        m_numbered = numbered;
        m_last = number + static_cast<long long>(data.atoms) - 1;
        m_sectioned = Sectioned(data);
    }
    m_done += data.atoms;
    if (data.atoms > 0 && m_plan.mode == 10 && m_sectioned) {
        // A history kept in sections reads in mode 10 the section that the
        // time names (0: the newest) from the offset on, and gives the
        // section's number.
        m_section = number;
    }
    if (m_printer.WriteError() != 0) {
        return Outcome::Complete;
    }
    if (data.atoms < n) {
        // The end of what the signal holds: it says up to which atom.
        return EndAtLast();
    }
    return std::nullopt;
}

Outcome ChunkedRead::EndAtLast()
{
    m_ending = "No more atoms after " + std::to_string(m_printer.Printed()) + " of " + std::to_string(m_r.count) +
               " atoms of " + m_r.path;
    if (m_sectioned) {
        // The reads started in a section at the offset: in modes 10, 11 and
        // 14 without a time at its first atom (in mode 10 of the section
        // that the time names), else at the atom of the LMT given. The atoms
        // from there to the last one printed are what the section holds.
        const std::uint64_t held = static_cast<std::uint64_t>(std::max(m_r.offset, 0LL)) + m_printer.Printed();
        m_ending += ": the section holds " + std::to_string(held) + " atoms";
        if (!m_moving && m_r.mode != 10) {
            m_ending += " from LMT " + std::to_string(m_r.time) + " on";
        }
    } else if (m_numbered) {
        m_ending += ": it ends at atom " + std::to_string(m_last);
    }
    return Outcome::Ended;
}

// Reads an on-demand signal once in chunks (see ChunkedRead); ending: what
// to say of a read that Ended.
Outcome ReadInChunks(tool::Connection& c, const ReadRequest& r, const zemtra_REMOTE::SignalInfo& info,
                     tool::RowPrinter& printer, std::string& ending)
{
    ChunkedRead read(c, r, info, printer);
    const Outcome outcome = read.Run();
    ending = read.Ending();
    return outcome;
}

// Reads as Read does; a first call (GetSignal, OpenSignal) that a server
// did not answer within the read's time-out throws tool::CallTimedOut.
int ReadAnswered(tool::Connection& c, const ReadRequest& r)
{
    const ReadReport unprinted{r, nullptr};
    const Reporting reporting(unprinted);
    auto signal = std::make_shared<zemtra_REMOTE::SignalInfo_var>();
    const std::string path = r.path;
    const auto firstBound = FirstCallBound(r.timeout);
    if (!Interruptible(
            [&c, path, signal, firstBound] {
                *signal = c.CallWithin(firstBound, [&] { return c.Registry()->GetSignal(path.c_str()); });
            },
            c_interruptGrace)) {
        SayOnce(InterruptedLine(unprinted));
        return InterruptedExit();
    }
    zemtra_REMOTE::SignalInfo_var info = signal->_retn();
    const size_t components = info->length;
    std::vector<std::string> names;
    for (CORBA::ULong i = 0; i < info->component_names.length(); ++i) {
        names.emplace_back(info->component_names[i].in());
    }
    if (names.size() != components) {
        names.clear();
        for (size_t i = 0; i < components; ++i) {
            names.push_back("c" + std::to_string(i));
        }
    }
    const bool forwarded = info->access_type != 2 || r.mode == qsigStreaming;
    // The header comes with the first row, or once the read has ended
    // without one: a refused read prints none.
    tool::RowPrinter printer(names, r.count);
    const ReadReport printed{r, &printer};
    const Reporting counting(printed);
    Outcome outcome;
    std::string ending;
    std::vector<tool::Loss> losses;
    {
        tool::Progress progress(printer, tool::ProgressWanted(STDOUT_FILENO, STDERR_FILENO));
        outcome = forwarded ? Forward(c, r, printer, losses) : ReadInChunks(c, r, info.in(), printer, ending);
    }
    printer.PrintHeader();
    // Rows with a hole are not the atoms asked for: said, and no success.
    // When the output failed or its reader left (`| head`), the holes in
    // the rows written, which the reader may have taken.
    const int error = printer.WriteError();
    std::cerr << LossLines(losses, error == 0 ? UINT64_MAX : printer.Printed(), r.path);
    if (error != 0) {
        if (error == EPIPE && g_interrupted.load()) {
            // The reader went with the interrupt.
            SayOnce(InterruptedLine(printed));
            return InterruptedExit();
        }
        return WriteFailed(error, "the atoms of " + r.path); // EPIPE: the reader has all it wanted
    }
    const std::string got =
        std::to_string(printer.Printed()) + " of " + std::to_string(r.count) + " atoms of " + r.path;
    switch (outcome) {
    case Outcome::Complete:
        return losses.empty() ? 0 : 1;
    case Outcome::Lost:
        return 1;
    case Outcome::TimedOut:
        std::cerr << "Timed out after " << got;
        if (info->access_type == 2 && r.mode == qsigStreaming) {
            // Read ahead, an on-demand signal gives only atoms still to come.
            std::cerr << ": access mode 13 (the default) waits for new atoms, a post-mortem signal for its next "
                         "capture; --mode 10 or 11 reads what it holds, a capture already taken";
        }
        std::cerr << "\n";
        return 1;
    case Outcome::Ended:
        std::cerr << (ending.empty() ? "No more atoms after " + got : ending) << "\n";
        return 1;
    case Outcome::Interrupted:
        SayOnce(InterruptedLine(printed));
        return InterruptedExit();
    }
    return 1;
}

int Read(tool::Connection& c, const ReadRequest& r)
{
    try {
        return ReadAnswered(c, r);
    } catch (const tool::CallTimedOut&) {
        if (r.timeout <= std::chrono::steady_clock::duration::zero()) {
            throw;
        }
        // Before its first row: a server that does not answer (stopped).
        std::cerr << "Timed out after 0 of " << r.count << " atoms of " << r.path << "\n";
        return 1;
    }
}

struct Arguments {
    std::string server = "127.0.0.1:18150";
    std::string command;
    std::vector<std::string> args;
    unsigned count = 0;
    bool countGiven = false;
    int mode = qsigStreaming;
    long long offset = 0;
    unsigned long long time = 0;
    double timeout = -1; // not given
};

// A whole number from least to max, or a UsageError naming the option.
unsigned long long WholeNumber(const std::string& option, const std::string& text, unsigned long long least,
                               unsigned long long max)
{
    if (text.empty() || text.size() > 20 || text.find_first_not_of("0123456789") != std::string::npos ||
        (text.size() == 20 && text > "18446744073709551615") || std::stoull(text) > max || std::stoull(text) < least) {
        throw UsageError{option + " must be a whole number from " + std::to_string(least) + " to " +
                         std::to_string(max) + ", not '" + text + "'"};
    }
    return std::stoull(text);
}

Arguments Parse(int argc, char** argv)
{
    Arguments a;
    // Read as text: an unsigned option type would take "-1" as 4294967295.
    std::string countText;
    std::string timeText;
    po::options_description options("options", 110, 55);
    options.add_options()("help,h", "this text")("server", po::value<std::string>(&a.server),
                                                 "HOST:PORT of the server (default 127.0.0.1:18150; an IPv6 "
                                                 "address in brackets: [::1]:18150)")(
        "count", po::value<std::string>(&countText), "watch: values to show; read: atoms to read (default 10)")(
        "mode", po::value<int>(&a.mode),
        "read: access mode of an on-demand signal, 10 to 14 (default 13, read ahead and forwarded; 10, 11, 12 "
        "and 14 are read once per chunk); a post-mortem signal: 10 by atom number, 11 the atoms that end at "
        "the event, 12 from an LMT, 13 the next capture")("offset", po::value<long long>(&a.offset),
                                                          "read: offset of an on-demand signal, in atoms (default 0)")(
        "time", po::value<std::string>(&timeText),
        "read: time of an on-demand read in mode 10 (an atom number), 12 (an LMT) or 14 (default 0)")(
        "timeout", po::value<double>(&a.timeout),
        "watch: seconds to wait for a value (default: for ever); read: seconds to wait for data (default 10); "
        "0 waits for ever, as does more than a year (reads once per chunk, in mode 10, 11, 12 or 14: at most 60 "
        "s per chunk)");
    po::options_description hidden;
    hidden.add_options()("command", po::value<std::string>(&a.command))("args",
                                                                        po::value<std::vector<std::string>>(&a.args));
    po::options_description all;
    all.add(options).add(hidden);
    po::positional_options_description positional;
    positional.add("command", 1).add("args", -1);
    po::variables_map vm;
    // Long options only, so that negative values ("set x -3") stay values;
    // "-h" alone is the short form of --help.
    std::vector<std::string> words(argv + 1, argv + argc);
    for (std::string& w : words) {
        if (w == "-h") {
            w = "--help";
        }
    }
    try {
        const int style = po::command_line_style::unix_style & ~po::command_line_style::allow_short &
                          ~po::command_line_style::allow_guessing;
        po::store(po::command_line_parser(words).options(all).positional(positional).style(style).run(), vm);
        po::notify(vm);
    } catch (const po::error& e) {
        throw UsageError{e.what()};
    }
    if (vm.count("help")) {
        std::ostringstream usage;
        usage << c_usage << options;
        const int rc = Write(usage.str(), "the usage");
        if (rc == c_outputClosed) {
            EndByClosedOutput();
        }
        std::exit(rc);
    }
    a.countGiven = vm.count("count") > 0;
    if (a.countGiven) {
        // A watch of 0 values watches for ever; a read reads at least one atom.
        a.count = static_cast<unsigned>(
            WholeNumber("--count", countText, a.command == "read" ? 1 : 0, std::numeric_limits<unsigned>::max()));
    }
    if (vm.count("time")) {
        a.time = WholeNumber("--time", timeText, 0, std::numeric_limits<unsigned long long>::max());
    }
    if (vm.count("mode") && (a.mode < 10 || a.mode > 14)) {
        throw UsageError{"--mode must be an access mode from 10 to 14, not " + std::to_string(a.mode)};
    }
    if (vm.count("timeout") && !(a.timeout >= 0)) {
        throw UsageError{"--timeout must be a number of seconds, 0 or more"};
    }
    if (a.timeout > c_foreverSeconds) {
        a.timeout = 0; // for ever
    }
    return a;
}

int Run(const Arguments& a)
{
    const auto& args = a.args;
    auto need = [&](size_t min, size_t max) {
        if (args.size() < min || args.size() > max) {
            throw UsageError{"wrong number of arguments for " + a.command};
        }
    };
    if (a.command == "ls") {
        need(0, 1);
        tool::Connection c(a.server, false);
        return Ls(c, args.empty() ? std::string() : args[0]);
    }
    if (a.command == "get") {
        need(1, 1);
        tool::Connection c(a.server, false);
        return Get(c, args[0]);
    }
    if (a.command == "set") {
        need(2, static_cast<size_t>(-1));
        tool::Connection c(a.server, false);
        return Set(c, args[0], std::vector<std::string>(args.begin() + 1, args.end()));
    }
    if (a.command == "exec") {
        need(1, 1);
        tool::Connection c(a.server, false);
        return Exec(c, args[0]);
    }
    if (a.command == "watch") {
        need(1, 1);
        tool::Connection c(a.server, true);
        return Leave(Watch(c, args[0], a.count, std::max(a.timeout, 0.0)));
    }
    if (a.command == "read") {
        need(1, 1);
        ReadRequest r;
        r.path = args[0];
        r.count = a.countGiven ? a.count : 10;
        r.mode = a.mode;
        r.offset = a.offset;
        r.time = a.time;
        r.timeout = a.timeout < 0 ? std::chrono::seconds(10) : Seconds(a.timeout);
        tool::Connection c(a.server, true);
        return Leave(Read(c, r));
    }
    if (a.command.empty()) {
        throw UsageError{"no command given"};
    }
    throw UsageError{"unknown command: " + a.command};
}

// Time after an interrupt within which the tool leaves, whatever holds it:
// a write that its reader does not take (as `less` does after Ctrl-C), a
// call, the ORB's shutdown. A value of the tool's own, twice the grace of the
// calls after an interrupt (c_interruptGrace).
constexpr std::chrono::seconds c_interruptDeadline{1};

// Waits for an interrupt, and ends the tool c_interruptDeadline after it
// unless it has left by then: with 128 + the signal and what a read says
// then (rows not written yet are dropped: the output holds whole rows), also
// when the reader of its output has left (see ClosedOutputExit). Runs on a
// thread of its own.
void Watchdog()
{
    while (::sem_wait(&g_interruptPosted) != 0) {
        if (errno != EINTR) {
            return;
        }
    }
    std::this_thread::sleep_for(c_interruptDeadline);
    std::string line;
    {
        std::lock_guard<std::mutex> lock(g_reportMutex);
        if (g_report) {
            if (g_report->sink != nullptr) {
                // (Rows not written by now are dropped.)
                line = LossLines(g_report->sink->Losses(), g_report->printer->Printed(), g_report->request.path);
            }
            line += InterruptedLine(*g_report);
        }
    }
    // On a line of its own, not after the progress line.
    tool::EndProgress();
    if (!line.empty() && !g_said.exchange(true)) {
        // Not through the stream, which a blocked writer may hold.
        tool::WriteLines(STDERR_FILENO, line);
    }
    std::_Exit(InterruptedExit());
}

} // namespace

int main(int argc, char** argv)
{
    // Before any thread starts, which takes its signal mask from here.
    tool::CountContinues();
    // A message that a read says on standard error does not land on the end
    // of its progress line.
    tool::EndProgressBeforeMessages();
    ::sem_init(&g_interruptPosted, 0, 0);
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);
    std::thread(Watchdog).detach();
    try {
        const int rc = Run(Parse(argc, argv));
        if (rc == c_outputClosed) {
            return ClosedOutputExit();
        }
        // Interrupted after its last call (while it wrote its answer, say):
        // no success either.
        return g_interrupted.load() ? InterruptedExit() : rc;
    } catch (const Interrupted&) {
        return InterruptedExit();
    } catch (const UsageError& e) {
        std::cerr << "zemtra-tool: " << e.message << "\n" << c_usage;
        return 2;
    } catch (const tool::ToolError& e) {
        std::cerr << e.message << "\n";
        return 1;
    }
}
