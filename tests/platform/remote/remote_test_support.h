#pragma once
// Shared fixtures of the remote export tests: a small register tree with a
// node of every kind, a passive stream and an in-memory on-demand signal;
// an export serving it on a free loopback port; client-side servants that
// record subscribed values and forwarded buffers; and a runner for the
// built command-line tool.

#include "platform/qreg/reg_exec_node.h"
#include "platform/qreg/reg_value_node.h"
#include "platform/qreg/signal_node.h"
#include "platform/qsig/signal_client_base.h"
#include "platform/qsig/signal_source.h"
#include "platform/qsig/signal_traits.h"
#include "platform/remote/remote_export.h"
#include "qreg/reg_fnc_enum_node.h"
#include "qreg/reg_node.h"
#include "qsig/stream.h"
#include "qsig/stream_client.h"

#include "zemtra_remote.hh"

#include <sys/types.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace remotetest {

enum Custom_e : int { eFofbSwitch = 0, eFaClk = 1 };

struct PllAtom {
    double phase;
    double dac;
};
using PllTraits = qsig::SignalTraits<double, PllAtom, 1>;
using PllStream = qsig::Stream<PllTraits>;

using AdcTraits = qsig::SignalTraits<short, std::array<short, 4>, 1>;

// In-memory on-demand signal of ADC-like atoms: atom i holds i*4 .. i*4+3.
// Its clients forward only in access mode 13, one buffer of the opened count
// of atoms per forwarding call, starting at the offset and wrapping at the end;
// in modes 10 to 12 they read once from atom time + offset on (mode 14: no
// controller). A read at c_heldTime waits for ReleaseHeld, then reads at 0;
// a Cancel of its client ends that wait (-5).
class MemoryDodSource : public qsig::SignalSource {
public:
    static constexpr unsigned long long c_heldTime = ~0ull;

    explicit MemoryDodSource(size_t atoms);
    std::size_t AtomSize() const override { return AdcTraits::c_atomSize; }
    std::size_t GroupSize() const override { return 1; }
    const std::type_info& AtomType() const override { return typeid(AdcTraits::Atom); }
    const std::type_info& BaseType() const override { return typeid(short); }
    std::size_t Length() const override { return AdcTraits::c_length; }
    std::vector<std::string> GetComponentNames() const override { return {"a", "b", "c", "d"}; }
    qsig::SignalAccessType_e AccessType() const override { return qsig::eAccessDataOnDemand; }
    qsig::SignalClientBase* NewSignalClient(const std::string& name, unsigned length) override;

    // False when cancelled turned true first.
    bool WaitReleased(const std::atomic<bool>& cancelled);
    void WakeHeld();
    void ReleaseHeld();

    std::vector<short> m_values;
    std::atomic<int> m_openClients{0};
    std::atomic<int> m_reads{0};
    std::atomic<int> m_held{0}; // reads waiting for ReleaseHeld

private:
    std::mutex m_heldMutex;
    std::condition_variable m_heldReleased;
    bool m_released = false;
};

// Owner of the nodes' bound values.
struct Owner {
    std::atomic<Custom_e> custom{eFofbSwitch};
    std::atomic<int> executed{0};
    bool SetCustom(const Custom_e& v)
    {
        custom = v;
        return true;
    }
    bool GetCustom(Custom_e& v) const
    {
        v = custom;
        return true;
    }
    bool Run()
    {
        ++executed;
        return true;
    }
    bool Fail() { return false; }

    // An enum whose getter takes the owner's own (non-recursive) lock, as
    // objects do that change their nodes while holding it.
    std::mutex modeMutex;
    Custom_e mode = eFofbSwitch;
    bool SetMode(const Custom_e& v)
    {
        mode = v; // the caller holds modeMutex or is a client write
        return true;
    }
    bool GetMode(Custom_e& v)
    {
        std::lock_guard<std::mutex> lock(modeMutex);
        v = mode;
        return true;
    }

    // Blocking command: waits until Release (for the drain tests).
    std::mutex mutex;
    std::condition_variable cv;
    bool entered = false;
    bool released = false;
    bool Block();
    void WaitEntered();
    bool WaitEntered(std::chrono::milliseconds timeout);
    void Release();
};

// The test tree:
//   synchronize_lmt  uint64 [0, 1000], writable
//   custom           enum (fofb_switch, fa_clk), writable
//   clock_info       branch (flags 64): adc_frequency (double, read-only),
//                    decimation.tbt (uint, read-only), mode (enum whose
//                    getter takes the owner's lock)
//   name             string, writable
//   arr              int[4], writable
//   reset, fail, block  commands
//   tim.pll.locked   bool, read-only
//   tim.pll          also a signal: the same stream as signals.pll
//   signals.pll      passive stream of PllAtom (phase, dac)
//   signals.adc      in-memory on-demand signal (a, b, c, d)
struct TestTree {
    TestTree();
    ~TestTree();
    mci::TreeNodePtr root;
    Owner owner;
    std::shared_ptr<PllStream> pll;
    std::shared_ptr<MemoryDodSource> adc;
    std::shared_ptr<qreg::SignalNode> pllNode;
    std::shared_ptr<qreg::SignalNode> timPllSignal;
    std::shared_ptr<qreg::RegValueNode<bool>> locked;
    std::shared_ptr<qreg::RegValueNode<int>> arr;
    std::shared_ptr<qreg::RegNode> modeNode;

    // Pushes one PLL atom into the stream.
    void PushPll(double phase, double dac);
};

// A free TCP port on loopback (bound once, then released).
unsigned short FreePort();

// The threads of this process.
long ThreadCount();

// A TCP socket of this machine's network, as the kernel's tables list it
// (/proc/net/tcp and tcp6): addresses in the tables' hexadecimal
// ("0100007F" is 127.0.0.1), the state as its code ("0A" listens), and the
// inode that names the socket among a process's descriptors. A closed
// connection stays listed, waiting, for a minute.
struct TcpSocket {
    std::string localAddress;
    unsigned short localPort = 0;
    std::string remoteAddress;
    unsigned short remotePort = 0;
    std::string state;
    std::string inode;
};
std::vector<TcpSocket> TcpSockets();

// An export of a fresh test tree on a free loopback port, and a client
// reference to it through the same process's ORB.
class Server {
public:
    explicit Server(const remote::RemoteExport::Settings& settings = remote::RemoteExport::Settings());
    ~Server();
    TestTree tree;
    remote::RemoteExport exporter;
    unsigned short port = 0;
    zemtra_REMOTE::Registry_var registry;

    std::string Address() const { return "127.0.0.1:" + std::to_string(port); }
    // Activates a client servant in the process's root POA.
    CORBA::Object_ptr Activate(PortableServer::Servant servant);
    void Deactivate(PortableServer::Servant servant);
};

// Records the values a subscription delivers.
class Callback : public POA_zemtra_REMOTE::ValueCallback {
public:
    void ValueChanged(const char* path, const zemtra_REMOTE::StringSeq& values, CORBA::ULong position) override;
    bool WaitFor(size_t n, std::chrono::milliseconds timeout);
    std::vector<std::string> Lines();

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<std::string> m_lines; // "path@position: v1 v2"
};

// Records forwarded buffers.
class Receiver : public POA_q_NET::SignalReceiver {
public:
    CORBA::Long ReceiveShort(const char*, const q_NET::ShortSeq& v, const q_NET::MetaSeq& meta) override;
    CORBA::Long ReceiveLong(const char*, const q_NET::LongSeq& v, const q_NET::MetaSeq& meta) override;
    CORBA::Long ReceiveDouble(const char*, const q_NET::DoubleSeq& v, const q_NET::MetaSeq& meta) override;
    CORBA::Long ReceiveULongLong(const char*, const q_NET::ULongLongSeq& v, const q_NET::MetaSeq& meta) override;
    bool WaitForValues(size_t n, std::chrono::milliseconds timeout);
    std::vector<double> Values();
    // The server's numbers of the buffers' first atoms, of those that carry
    // one (zemtra_REMOTE::MetaOfferedAtom).
    std::vector<long long> Numbers();
    size_t Buffers();

private:
    template <typename SEQ> CORBA::Long Take(const SEQ& v, const q_NET::MetaSeq& meta);
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<double> m_values;
    std::vector<long long> m_numbers;
    size_t m_buffers = 0;
};

// Runs the built tool; output and exit code.
struct ToolResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};
// outFile: standard output goes to that file (as "/dev/full", a full disk)
// rather than into out.
ToolResult RunTool(const std::vector<std::string>& args, const std::string& outFile = std::string());
// Runs the built tool with its standard output going into the shell command
// (e.g. "head -3"), for at most 60 s: out is what the command printed, and
// exitCode the tool's status as the shell gives it (128 + N when signal N
// ended it; -1 when the tool did not end).
ToolResult RunToolPiped(const std::vector<std::string>& args, const std::string& command);
std::string ToolPath();

// The field of /proc/PID/status that starts with name ("" when none).
std::string ProcessStatus(pid_t pid, const std::string& name);
// Whether process pid catches signal: it has set its handler.
bool ProcessHandles(pid_t pid, int signal);

// The built tool running in the background, its output going to files
// (standard output to /dev/null unless keepOut).
class ToolProcess {
public:
    // ownGroup: in a process group of its own, so that a stop (SIGTSTP) is
    // never discarded and a stopped tool never hung up as a member of an
    // orphaned group (as this process's group may be under a test runner).
    explicit ToolProcess(const std::vector<std::string>& args, bool keepOut = true, bool ownGroup = false);
    ~ToolProcess();
    pid_t Pid() const { return m_pid; }
    // Standard output so far.
    std::string Out() const;
    // Whether it has exited (its status is kept for Wait).
    bool HasExited();
    // Waits for the exit (at most 30 s; then kills it) and collects the result.
    ToolResult Wait();

private:
    pid_t m_pid = -1;
    bool m_exited = false;
    int m_status = 0;
    std::string m_base;
};

// The message of the RemoteError a call raises ("" when it raises none).
template <typename F> std::string RemoteMessage(F&& f)
{
    try {
        f();
    } catch (const zemtra_REMOTE::RemoteError& e) {
        return e.message.in();
    }
    return "";
}

} // namespace remotetest
