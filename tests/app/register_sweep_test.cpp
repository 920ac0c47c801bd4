// Every node that a client may write, written again and again while other
// clients read every value and take atoms from every signal of the default
// chassis, all in one process: the register tree walked at run time (never a
// list that goes stale), two writers at once on different nodes, readers
// through the same entry points as the remote service's (the client access
// of the tree; signal clients opened as a remote reader's, their buffers
// forwarded to a receiver of this process). Requests of remote clients are
// served one after the other more often than not, and the ORB's own locks
// then order them; here no write of a node can hide a data race with another
// client's read or the chassis' threads from ThreadSanitizer.
//
// No node is left out: none harms the test's process. Those whose writes
// reach past the register words stay inside the test: the LMT
// synchronisation and the SFP and PHY resets restart what they restart while
// the reads go on, the store and load of the signal conditioning's
// coefficients and the FIR coefficient file use the instrument root of the
// test's temporary folder, and the Ethernet streamers send to loopback only.

#include "app_support.h"

#include "platform/mci/client_access.h"
#include "platform/qreg/reg_exec_node.h"
#include "platform/qreg/reg_node.h"
#include "platform/qreg/signal_node.h"
#include "platform/qsig/signal_client_base.h"
#include "platform/qsig/signal_source.h"
#include "platform/qstd/exception.h"

#include "q_net.hh"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Writes of a node in a row, by each writer.
constexpr unsigned c_writesInARow = 3;
// Atoms taken from a signal at a time (two buffers of the slowest streams).
constexpr unsigned c_atoms = 2;

// Nodes whose own start value their validator refuses (the generator's
// start amplitudes, 32768, beyond the [0, 32767] that clients may set): each
// write of the value it holds is refused in the validator's words; the node
// is then written the nearest value that the validator takes.
const std::set<std::string> c_refuseTheirOwnValue = {"synth_generator/amp1", "synth_generator/amp2"};

// Signals that bring no atoms without an action of their own: a post-mortem
// capture, an adjustment of the signal conditioning's coefficients. Their
// clients open and are closed after a short wait.
bool BringsAtomsUnasked(const std::string& path)
{
    return path.find("/postmortem/signals/") == std::string::npos &&
           path.find("/conditioning/coefficients/") == std::string::npos;
}

bool EndsWith(const std::string& text, const std::string& end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

struct ValueNode {
    std::string path;
    int type = qreg::eTypeNone;
    bool command = false;
};

struct SignalOf {
    std::string path;
    qreg::SignalNode* node = nullptr; // the tree keeps it alive
};

struct Tree {
    std::vector<ValueNode> writable; // values and commands
    std::vector<ValueNode> readable; // values
    std::vector<SignalOf> signals;
};

// The whole tree below root, as a client reaches it by path: a signal by its
// node (a register branch may share its name, as the timing board's "pll").
// A branch that carries the writable bit has no value to write.
void Walk(const mci::ClientAccess& client, const mci::TreeNodePtr& node, const std::string& path, Tree& tree)
{
    for (const mci::TreeNodePtr& child : node->GetChildren()) {
        const std::string at = path.empty() ? child->GetName() : path + "/" + child->GetName();
        if (qreg::SignalNode* signal = child->AsSignalNode()) {
            tree.signals.push_back({at, signal});
        } else if (qreg::RegNode* reg = child->AsRegNode()) {
            const int type = reg->OnGetValueType(mci::c_noRelPath);
            const unsigned long long flags = child->GetFlags();
            const bool command = dynamic_cast<qreg::RegExecNode*>(reg) != nullptr;
            if ((command || type != qreg::eTypeNone) && client.Find(at) == child) {
                if ((flags & mci::enums::eWritable) != 0) {
                    tree.writable.push_back({at, type, command});
                }
                if (!command && (flags & mci::enums::eValue) != 0) {
                    tree.readable.push_back({at, type, false});
                }
            }
        }
        Walk(client, child, at, tree);
    }
}

// The texts moved into a range validator "[min, max]"; unchanged when the
// validator is not a range.
std::vector<std::string> InsideRange(std::vector<std::string> texts, const std::string& validator)
{
    std::istringstream in(validator);
    char open = 0;
    char comma = 0;
    double min = 0;
    double max = 0;
    if (!(in >> open >> min >> comma >> max) || open != '[' || comma != ',') {
        return texts;
    }
    for (std::string& text : texts) {
        const double v = std::strtod(text.c_str(), nullptr);
        if (v < min || v > max) {
            std::ostringstream os;
            os.precision(17);
            os << (v < min ? min : max);
            text = os.str();
        }
    }
    return texts;
}

// What one thread saw; read by the test once the thread is joined.
struct Outcome {
    std::vector<std::string> failures;
    std::set<std::string> refusedOwn; // listed nodes that refused their own value
    size_t reads = 0;                 // of a signal, answered
    size_t readsWithAtoms = 0;
};

// Writes a node, as a client, the value it holds (read just before; an enum
// by name, an array whole, doubles as doubles so that they go back as they
// were); a command is run.
void WriteNode(mci::ClientAccess& client, const ValueNode& node, Outcome& outcome)
{
    if (node.command) {
        client.Execute(node.path);
        return;
    }
    const size_t size = client.GetSize(node.path);
    if (node.type == qreg::eTypeDouble) {
        client.SetDoubles(node.path, client.GetDoubles(node.path, 0, size), 0);
        return;
    }
    const std::vector<std::string> texts = client.GetTexts(node.path, 0, size);
    const bool listed = std::any_of(c_refuseTheirOwnValue.begin(), c_refuseTheirOwnValue.end(),
                                    [&](const std::string& end) { return EndsWith(node.path, end); });
    try {
        client.SetTexts(node.path, texts, 0);
        return;
    } catch (const qstd::Exception& e) {
        const std::string words = "is refused by validator " + client.GetValidator(node.path);
        if (!listed || std::string(e.what()).find(words) == std::string::npos) {
            throw;
        }
        outcome.refusedOwn.insert(node.path);
    }
    client.SetTexts(node.path, InsideRange(texts, client.GetValidator(node.path)), 0);
}

// Counts the base values of the buffers forwarded to it, from the forwarding
// thread of one signal client at a time.
class Receiver : public POA_q_NET::SignalReceiver {
public:
    CORBA::Long ReceiveShort(const char*, const q_NET::ShortSeq& v, const q_NET::MetaSeq&) override
    {
        return Take(v.length());
    }
    CORBA::Long ReceiveLong(const char*, const q_NET::LongSeq& v, const q_NET::MetaSeq&) override
    {
        return Take(v.length());
    }
    CORBA::Long ReceiveDouble(const char*, const q_NET::DoubleSeq& v, const q_NET::MetaSeq&) override
    {
        return Take(v.length());
    }
    CORBA::Long ReceiveULongLong(const char*, const q_NET::ULongLongSeq& v, const q_NET::MetaSeq&) override
    {
        return Take(v.length());
    }

    void Reset()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_values = 0;
        m_ended = false;
    }
    // The forwarding has ended (no more buffers will come).
    void End()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_ended = true;
        m_changed.notify_all();
    }
    // Waits until at least n values came, the forwarding ended or the time
    // passed; the values that came.
    size_t WaitFor(size_t n, Clock::duration wait)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait_for(lock, wait, [&] { return m_values >= n || m_ended; });
        return m_values;
    }

private:
    CORBA::Long Take(CORBA::ULong n)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_values += n;
        m_changed.notify_all();
        return 0;
    }

    std::mutex m_mutex;
    std::condition_variable m_changed;
    size_t m_values = 0;
    bool m_ended = false;
};

std::string CodeText(qsig::SuccessCode_e code)
{
    std::ostringstream os;
    os << code;
    return os.str();
}

// Takes atoms from a signal as the remote service does for a reader: a
// client of the source (a stream's as it is, an on-demand signal's reading
// ahead, mode 13), its buffers forwarded to the receiver until c_atoms came
// or the wait passed, then closed. The atoms that came; a refusal of the
// open, or a forwarding that failed, in words.
size_t TakeAtoms(const SignalOf& signal, const std::string& clientName, Receiver& receiver,
                 q_NET::SignalReceiver_ptr reference, Clock::duration wait, std::string& failure)
{
    bool stream = true;
    size_t components = 1;
    std::unique_ptr<qsig::SignalClientBase> client(signal.node->WithSource([&](qsig::SignalSource& source) {
        stream = source.AccessType() == qsig::eAccessStream;
        components = std::max<size_t>(source.Length(), 1);
        return source.NewSignalClient(clientName, stream ? 0 : c_atoms);
    }));
    if (!client) {
        failure = signal.path + ": no client for a remote reader";
        return 0;
    }
    const qsig::SuccessCode_e rc = stream ? client->Open() : client->Open(qsig::eAccessStreaming, c_atoms, 0);
    if (rc != qsig::eSuccess) {
        failure = signal.path + ": open refused: " + CodeText(rc) + " " + client->Explain(rc);
        return 0;
    }
    receiver.Reset();
    std::string forwardFailure;
    std::thread forward([&] {
        try {
            // A closed client answers -4 at once.
            while (client->IsOpen() && client->ForwardTo(reference) == qsig::eSuccess) {
            }
        } catch (const std::exception& e) {
            forwardFailure = e.what();
        }
        receiver.End();
    });
    const size_t values = receiver.WaitFor(c_atoms * components, wait);
    client->Close();
    forward.join();
    if (!forwardFailure.empty()) {
        failure = signal.path + ": forwarding failed: " + forwardFailure;
    }
    return values / components;
}

// The in-process ORB, whose receiver servants the forwarded buffers reach
// directly, as the relays of the remote service do.
class Orb {
public:
    Orb()
    {
        int argc = 0;
        char* argv[] = {nullptr};
        const char* options[][2] = {{"endPoint", "giop:tcp:127.0.0.1:"}, {nullptr, nullptr}};
        m_orb = CORBA::ORB_init(argc, argv, "omniORB4", options);
        // Made before the threads: the stubs make it on first use, unlocked.
        q_NET::SignalReceiver::_nil();
        CORBA::Object_var obj = m_orb->resolve_initial_references("RootPOA");
        m_poa = PortableServer::POA::_narrow(obj);
        PortableServer::POAManager_var manager = m_poa->the_POAManager();
        manager->activate();
    }
    ~Orb()
    {
        for (auto& r : m_receivers) {
            m_poa->deactivate_object(r.second);
        }
        m_orb->destroy();
    }
    // A receiver's reference, for one thread of forwarding at a time.
    q_NET::SignalReceiver_ptr NewReceiver(Receiver*& receiver)
    {
        auto* servant = new Receiver;
        PortableServer::ObjectId_var id = m_poa->activate_object(servant);
        servant->_remove_ref(); // the POA holds it
        m_receivers.emplace_back(servant, id);
        CORBA::Object_var ref = m_poa->id_to_reference(id);
        receiver = servant;
        return q_NET::SignalReceiver::_narrow(ref);
    }

private:
    CORBA::ORB_var m_orb;
    PortableServer::POA_var m_poa;
    std::vector<std::pair<Receiver*, PortableServer::ObjectId_var>> m_receivers;
};

TEST(RegisterSweepConcurrency, EveryWritableNodeIsWrittenBesideReadsOfEveryValueAndSignal)
{
    apptest::RunningApp run;
    ASSERT_TRUE(run.WaitRunning());
    Tree tree;
    Walk(run.Client(), run.App().GetTreeNode(), "", tree);
    // The default chassis: a timing board, four RAF boards, a GDX board.
    ASSERT_GT(tree.writable.size(), 500u);
    ASSERT_GT(tree.readable.size(), 1000u);
    ASSERT_EQ(63u, tree.signals.size());
    // A "store" command before the "load" of its branch: the load reads the
    // file that the store writes (in the test's root, where none is before).
    for (auto load = tree.writable.begin(); load != tree.writable.end(); ++load) {
        if (load->command && EndsWith(load->path, "/load")) {
            const std::string store = load->path.substr(0, load->path.size() - 4) + "store";
            const auto it =
                std::find_if(load, tree.writable.end(), [&](const ValueNode& n) { return n.path == store; });
            if (it != tree.writable.end()) {
                std::rotate(load, it, it + 1);
                ++load;
            }
        }
    }
    const size_t signals = tree.signals.size();

    Orb orb;
    std::vector<Receiver*> receivers(signals);
    std::vector<q_NET::SignalReceiver_var> references;
    for (Receiver*& r : receivers) {
        references.emplace_back(orb.NewReceiver(r));
    }

    // Passes and reads are counted with relaxed accesses: they order nothing
    // between the writers and the readers that ThreadSanitizer should see
    // ordered.
    std::atomic<unsigned> writerPasses[2] = {{0}, {0}};
    std::atomic<unsigned> valuePasses{0};
    std::vector<std::atomic<unsigned>> signalReads(signals);
    std::atomic<bool> written{false};
    const auto count = [](const std::atomic<unsigned>& n) { return n.load(std::memory_order_relaxed); };
    const auto readersDone = [&] {
        return count(valuePasses) > 0 && std::all_of(signalReads.begin(), signalReads.end(),
                                                     [&](const std::atomic<unsigned>& n) { return count(n) > 0; });
    };
    const auto writersDone = [&] { return written.load(std::memory_order_relaxed); };

    // Two clients write, each every node c_writesInARow times in a row, the
    // second starting half way through the list: at any time they write
    // different nodes. On, pass after pass, until every reader has made a
    // whole pass beside them.
    Outcome writers[2];
    std::vector<std::thread> threads;
    for (size_t w = 0; w < 2; ++w) {
        threads.emplace_back([&, w] {
            mci::ClientAccess client = run.Client();
            const size_t n = tree.writable.size();
            do {
                for (size_t k = 0; k < n; ++k) {
                    const ValueNode& node = tree.writable[(k + w * n / 2) % n];
                    for (unsigned i = 0; i < c_writesInARow; ++i) {
                        try {
                            WriteNode(client, node, writers[w]);
                        } catch (const std::exception& e) {
                            writers[w].failures.push_back(node.path + ": " + e.what());
                        }
                    }
                }
                writerPasses[w].fetch_add(1, std::memory_order_relaxed);
            } while (!readersDone());
        });
    }
    // Meanwhile a client reads every value, pass after pass, and every
    // signal has a reader of its own that takes atoms from it again and
    // again: each write meets reads of every signal in flight. They go on
    // until the writers have ended and they have made a whole pass.
    Outcome values;
    threads.emplace_back([&] {
        mci::ClientAccess client = run.Client();
        do {
            for (const ValueNode& node : tree.readable) {
                try {
                    const size_t size = client.GetSize(node.path);
                    if (client.GetTexts(node.path, 0, size).size() != size) {
                        values.failures.push_back(node.path + ": fewer values than its size");
                    }
                } catch (const std::exception& e) {
                    values.failures.push_back(node.path + ": " + e.what());
                }
            }
            valuePasses.fetch_add(1, std::memory_order_relaxed);
        } while (!writersDone());
    });
    std::vector<Outcome> reads(signals);
    for (size_t s = 0; s < signals; ++s) {
        threads.emplace_back([&, s] {
            const SignalOf& signal = tree.signals[s];
            const bool unasked = BringsAtomsUnasked(signal.path);
            do {
                std::string failure;
                const size_t atoms =
                    TakeAtoms(signal, "sweep", *receivers[s], references[s].in(), unasked ? 5s : 50ms, failure);
                if (!failure.empty()) {
                    reads[s].failures.push_back(failure);
                } else {
                    ++reads[s].reads;
                    reads[s].readsWithAtoms += atoms > 0 ? 1 : 0;
                }
                signalReads[s].fetch_add(1, std::memory_order_relaxed);
            } while (!writersDone() && reads[s].failures.size() < 10);
        });
    }
    // The writers first; then the readers end their pass.
    threads[0].join();
    threads[1].join();
    written.store(true, std::memory_order_relaxed);
    for (size_t t = 2; t < threads.size(); ++t) {
        threads[t].join();
    }

    // Every write accepted; the listed nodes refused their own value in the
    // validator's words, each of them (at its first write) and no other.
    std::set<std::string> refusedOwn;
    std::set<std::string> listed;
    for (size_t w = 0; w < 2; ++w) {
        EXPECT_EQ(std::vector<std::string>(), writers[w].failures);
        refusedOwn.insert(writers[w].refusedOwn.begin(), writers[w].refusedOwn.end());
    }
    for (const ValueNode& node : tree.writable) {
        for (const std::string& end : c_refuseTheirOwnValue) {
            if (EndsWith(node.path, end)) {
                listed.insert(node.path);
            }
        }
    }
    EXPECT_EQ(8u, listed.size());
    EXPECT_EQ(listed, refusedOwn);
    // Every value read answered with its values; every signal read opened
    // and forwarded, and every signal that brings atoms unasked brought them.
    EXPECT_EQ(std::vector<std::string>(), values.failures);
    size_t signalReadsDone = 0;
    size_t withAtoms = 0;
    for (size_t s = 0; s < signals; ++s) {
        EXPECT_EQ(std::vector<std::string>(), reads[s].failures);
        EXPECT_TRUE(reads[s].readsWithAtoms > 0 || !BringsAtomsUnasked(tree.signals[s].path)) << tree.signals[s].path;
        signalReadsDone += reads[s].reads;
        withAtoms += reads[s].readsWithAtoms;
    }

    // The server still serves: every signal that brings atoms unasked brings
    // them now (after the restarts of the last synchronisations), and the
    // values still read.
    threads.clear();
    std::vector<size_t> atomsAfter(signals, 0);
    std::vector<std::string> failuresAfter(signals);
    for (size_t s = 0; s < signals; ++s) {
        if (BringsAtomsUnasked(tree.signals[s].path)) {
            threads.emplace_back([&, s] {
                atomsAfter[s] =
                    TakeAtoms(tree.signals[s], "after", *receivers[s], references[s].in(), 20s, failuresAfter[s]);
            });
        }
    }
    for (std::thread& t : threads) {
        t.join();
    }
    for (size_t s = 0; s < signals; ++s) {
        if (BringsAtomsUnasked(tree.signals[s].path)) {
            EXPECT_LE(c_atoms, atomsAfter[s]) << tree.signals[s].path << " " << failuresAfter[s];
        }
    }
    EXPECT_EQ("117440043", run.Client().GetText("raf3/clock_info/adc_frequency"));

    std::cout << "[ sweep    ] " << tree.writable.size() << " writable nodes written in " << count(writerPasses[0])
              << " and " << count(writerPasses[1]) << " passes; " << tree.readable.size() << " values read in "
              << count(valuePasses) << " passes, " << signals << " signals in " << signalReadsDone << " reads ("
              << withAtoms << " with atoms)" << std::endl;
    EXPECT_TRUE(run.Stop());
}

} // namespace
