#include "remote_test_support.h"

#include <gtest/gtest.h>

#include "tests/common/free_port.h"

#include "platform/qstd/enum_map.h"
#include "qreg/expr.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

template <>
qstd::BiMap<remotetest::Custom_e> qstd::EnumMap<remotetest::Custom_e>::items = {
    {remotetest::eFofbSwitch, "fofb_switch"}, {remotetest::eFaClk, "fa_clk"}};

namespace remotetest {

namespace {

class MemoryDodClient : public qsig::SignalClientBase {
public:
    MemoryDodClient(std::shared_ptr<MemoryDodSource> source, std::string name)
        : m_source(source), m_name(std::move(name))
    {
    }
    ~MemoryDodClient() override { Close(); }

    qsig::SuccessCode_e Open(qsig::AccessMode_e mode, unsigned size, long long offset) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_open) {
            return mode == m_mode ? qsig::eSuccess : qsig::eBadRequest;
        }
        auto source = m_source.lock();
        if (!source) {
            return qsig::eNotOpen;
        }
        if (mode == qsig::eAccessClone) {
            return qsig::eBadRequest; // no controller for the mode
        }
        const long long atoms = static_cast<long long>(source->m_values.size() / 4);
        m_mode = mode;
        m_size = size;
        m_offset = offset;
        m_position = static_cast<size_t>(((offset % atoms) + atoms) % atoms);
        m_open = true;
        ++source->m_openClients;
        return qsig::eSuccess;
    }
    void Close() override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_open) {
            return;
        }
        m_open = false;
        if (auto source = m_source.lock()) {
            --source->m_openClients;
        }
    }
    bool IsOpen() const override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_open;
    }
    qsig::SignalAccessType_e SignalAccessType() const override { return qsig::eAccessDataOnDemand; }
    std::string GetName() const override { return m_name; }
    void Cancel() override
    {
        m_cancelled.store(true);
        if (auto source = m_source.lock()) {
            source->WakeHeld();
        }
    }

    // One-shot read: count / 4 atoms (at most the opened size) from atom
    // time + offset on, wrapping; the metadata give that start as the LMT.
    // Time 0 in mode 12 names no time.
    qsig::SuccessCode_e Read(short* data, unsigned& count, unsigned long long time, qsig::SignalMeta& meta) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto source = m_source.lock();
        if (!m_open || !source) {
            return qsig::eNotOpen;
        }
        if (m_mode == qsig::eAccessAtTime && time == 0) {
            return qsig::eTryAgain;
        }
        if (time == MemoryDodSource::c_heldTime) {
            if (!source->WaitReleased(m_cancelled)) {
                return qsig::eCancelled;
            }
            time = 0;
        }
        const unsigned long long atoms = source->m_values.size() / 4;
        const unsigned long long start = (time + static_cast<unsigned long long>(m_offset)) % atoms;
        const unsigned n = std::min(count / 4, m_size);
        for (unsigned i = 0; i < n * 4; ++i) {
            data[i] = source->m_values[(start * 4 + i) % source->m_values.size()];
        }
        count = n * 4;
        meta[qsig::eMetaLmt] = static_cast<int64_t>(start);
        ++source->m_reads;
        return qsig::eSuccess;
    }

    // One buffer of m_size atoms per call, only in read-ahead mode.
    qsig::SuccessCode_e ForwardTo(q_NET::_objref_SignalReceiver* receiver) override
    {
        std::vector<short> buffer;
        qsig::SignalMeta meta;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_mode != qsig::eAccessStreaming) {
                return qsig::eTryAgain;
            }
            if (!m_open) {
                return qsig::eSuccess;
            }
            auto source = m_source.lock();
            if (!source) {
                return qsig::eNotOpen;
            }
            const size_t atoms = source->m_values.size() / 4;
            meta[qsig::eMetaPosition] = static_cast<int64_t>(m_position);
            for (unsigned i = 0; i < m_size; ++i) {
                for (size_t c = 0; c < 4; ++c) {
                    buffer.push_back(source->m_values[m_position * 4 + c]);
                }
                m_position = (m_position + 1) % atoms;
            }
        }
        DoDispatch(receiver, buffer.data(), static_cast<unsigned>(buffer.size()), meta);
        // Paced like a source that releases positions as time goes on.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return qsig::eSuccess;
    }

private:
    std::weak_ptr<MemoryDodSource> m_source;
    const std::string m_name;
    std::atomic<bool> m_cancelled{false};
    mutable std::mutex m_mutex;
    bool m_open = false;
    qsig::AccessMode_e m_mode = qsig::eAccessDefault;
    unsigned m_size = 0;
    long long m_offset = 0;
    size_t m_position = 0;
};

template <typename N> std::shared_ptr<N> Add(const mci::TreeNodePtr& parent, std::shared_ptr<N> node)
{
    node->SetNodeStructure(new mci::LocalNodeStructure(node.get()));
    if (!node->Init()) {
        throw std::runtime_error("test node not usable: " + node->GetName());
    }
    parent->Add(node);
    return node;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string Quote(const std::string& s)
{
    std::string q = "'";
    for (char c : s) {
        if (c == '\'') {
            q += "'\\''";
        } else {
            q += c;
        }
    }
    return q + "'";
}

} // namespace

MemoryDodSource::MemoryDodSource(size_t atoms) : qsig::SignalSource("adc", "test board")
{
    for (size_t i = 0; i < atoms * 4; ++i) {
        m_values.push_back(static_cast<short>(i));
    }
}

bool MemoryDodSource::WaitReleased(const std::atomic<bool>& cancelled)
{
    std::unique_lock<std::mutex> lock(m_heldMutex);
    ++m_held;
    m_heldReleased.wait(lock, [&] { return m_released || cancelled.load(); });
    --m_held;
    return m_released;
}

void MemoryDodSource::WakeHeld()
{
    {
        std::lock_guard<std::mutex> lock(m_heldMutex);
    }
    m_heldReleased.notify_all();
}

void MemoryDodSource::ReleaseHeld()
{
    {
        std::lock_guard<std::mutex> lock(m_heldMutex);
        m_released = true;
    }
    m_heldReleased.notify_all();
}

qsig::SignalClientBase* MemoryDodSource::NewSignalClient(const std::string& name, unsigned)
{
    return new MemoryDodClient(std::static_pointer_cast<MemoryDodSource>(GetSharedSelf()), name);
}

bool Owner::Block()
{
    std::unique_lock<std::mutex> lock(mutex);
    entered = true;
    cv.notify_all();
    cv.wait(lock, [this] { return released; });
    return true;
}

void Owner::WaitEntered()
{
    std::unique_lock<std::mutex> lock(mutex);
    cv.wait(lock, [this] { return entered; });
}

bool Owner::WaitEntered(std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(mutex);
    return cv.wait_for(lock, timeout, [this] { return entered; });
}

void Owner::Release()
{
    std::lock_guard<std::mutex> lock(mutex);
    released = true;
    cv.notify_all();
}

TestTree::TestTree()
{
    using namespace qreg;
    root = std::make_shared<RegNode>("root", 0);
    root->SetNodeStructure(new mci::LocalNodeStructure(root.get()));
    auto lmt = Add(root, std::make_shared<RegValueNode<unsigned long long>>("synchronize_lmt", 0ull, 6));
    lmt->SetValidator(Expr<expr::Range<unsigned long long, unsigned long long>>(0, 1000));
    Add(root, std::make_shared<RegFncEnumNode<Custom_e>>("custom", &owner, &Owner::SetCustom, &Owner::GetCustom, 14));
    auto clock = Add(root, std::make_shared<RegNode>("clock_info", 64));
    Add(clock, std::make_shared<RegValueNode<double>>("adc_frequency", 117440000.5, 2));
    auto decimation = Add(clock, std::make_shared<RegNode>("decimation", 0));
    Add(decimation, std::make_shared<RegValueNode<unsigned int>>("tbt", 382u, 2));
    modeNode =
        Add(clock, std::make_shared<RegFncEnumNode<Custom_e>>("mode", &owner, &Owner::SetMode, &Owner::GetMode, 14));
    Add(root, std::make_shared<RegValueNode<std::string>>("name", std::string("bpm"), 6));
    arr = Add(root, std::make_shared<RegValueNode<int>>("arr", 0, 0x206));
    arr->OnResize(4, mci::c_noRelPath);
    Add(root, std::make_shared<RegExecNode>("reset", &owner, &Owner::Run));
    Add(root, std::make_shared<RegExecNode>("fail", &owner, &Owner::Fail));
    Add(root, std::make_shared<RegExecNode>("block", &owner, &Owner::Block));
    auto tim = Add(root, std::make_shared<RegNode>("tim", 0));
    auto timPll = Add(tim, std::make_shared<RegNode>("pll", 0));
    locked = Add(timPll, std::make_shared<RegValueNode<bool>>("locked", false, 2));

    PllTraits::names = {"phase", "dac"};
    pll = std::make_shared<PllStream>("pll", "tim", 1, qsig::ePassive);
    adc = std::make_shared<MemoryDodSource>(64);
    auto signals = Add(root, std::make_shared<RegNode>("signals", 0));
    pllNode = Add(signals, std::make_shared<SignalNode>("pll", pll.get()));
    Add(signals, std::make_shared<SignalNode>("adc", adc.get()));
    // As on the timing board: the stream shares its name with a register branch.
    timPllSignal = Add(tim, std::make_shared<SignalNode>("pll", pll.get()));
}

TestTree::~TestTree()
{
    pllNode->DetachSource();
    timPllSignal->DetachSource();
}

void TestTree::PushPll(double phase, double dac)
{
    const double values[2] = {phase, dac};
    pll->Dispatch(values, 2, qsig::c_noMeta);
}

unsigned short FreePort()
{
    return zvtest::FreePort();
}

long ThreadCount()
{
    long n = 0;
    if (DIR* d = ::opendir("/proc/self/task")) {
        while (dirent* e = ::readdir(d)) {
            n += e->d_name[0] != '.' ? 1 : 0;
        }
        ::closedir(d);
    }
    return n;
}

std::vector<TcpSocket> TcpSockets()
{
    std::vector<TcpSocket> sockets;
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        std::ifstream in(table);
        std::string line;
        std::getline(in, line); // heading
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
            fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
            const size_t localColon = local.rfind(':');
            const size_t remoteColon = remote.rfind(':');
            if (!fields || localColon == std::string::npos || remoteColon == std::string::npos) {
                continue;
            }
            TcpSocket s;
            s.localAddress = local.substr(0, localColon);
            s.localPort = static_cast<unsigned short>(std::stoul(local.substr(localColon + 1), nullptr, 16));
            s.remoteAddress = remote.substr(0, remoteColon);
            s.remotePort = static_cast<unsigned short>(std::stoul(remote.substr(remoteColon + 1), nullptr, 16));
            s.state = state;
            s.inode = inode;
            sockets.push_back(s);
        }
    }
    return sockets;
}

Server::Server(const remote::RemoteExport::Settings& settings)
{
    port = FreePort();
    exporter.Start(tree.root, "127.0.0.1", port, settings);
    int argc = 0;
    char* argv[] = {nullptr};
    CORBA::ORB_var orb = CORBA::ORB_init(argc, argv, "omniORB4");
    CORBA::Object_var obj = orb->string_to_object(exporter.GetUri().c_str());
    registry = zemtra_REMOTE::Registry::_narrow(obj);
}

Server::~Server()
{
    registry = zemtra_REMOTE::Registry::_nil();
    exporter.Stop();
}

CORBA::Object_ptr Server::Activate(PortableServer::Servant servant)
{
    int argc = 0;
    char* argv[] = {nullptr};
    CORBA::ORB_var orb = CORBA::ORB_init(argc, argv, "omniORB4");
    CORBA::Object_var obj = orb->resolve_initial_references("RootPOA");
    PortableServer::POA_var poa = PortableServer::POA::_narrow(obj);
    PortableServer::ObjectId_var id = poa->activate_object(servant);
    return poa->id_to_reference(id);
}

void Server::Deactivate(PortableServer::Servant servant)
{
    int argc = 0;
    char* argv[] = {nullptr};
    CORBA::ORB_var orb = CORBA::ORB_init(argc, argv, "omniORB4");
    CORBA::Object_var obj = orb->resolve_initial_references("RootPOA");
    PortableServer::POA_var poa = PortableServer::POA::_narrow(obj);
    PortableServer::ObjectId_var id = poa->servant_to_id(servant);
    poa->deactivate_object(id);
    // The object stays in the table while a call to it is in progress (a
    // delivery or a liveness probe of the server); the caller may delete the
    // servant only once it is gone.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        try {
            poa->id_to_servant(id);
        } catch (const PortableServer::POA::ObjectNotActive&) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ADD_FAILURE() << "a servant stayed active for 10 s after its deactivation";
}

void Callback::ValueChanged(const char* path, const zemtra_REMOTE::StringSeq& values, CORBA::ULong position)
{
    std::string line = std::string(path) + "@" + std::to_string(position) + ":";
    for (CORBA::ULong i = 0; i < values.length(); ++i) {
        line += " " + std::string(values[i].in());
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lines.push_back(line);
    m_cv.notify_all();
}

bool Callback::WaitFor(size_t n, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, timeout, [&] { return m_lines.size() >= n; });
}

std::vector<std::string> Callback::Lines()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lines;
}

template <typename SEQ> CORBA::Long Receiver::Take(const SEQ& v, const q_NET::MetaSeq& meta)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (CORBA::ULong i = 0; i < v.length(); ++i) {
        m_values.push_back(static_cast<double>(v[i]));
    }
    for (CORBA::ULong i = 0; i < meta.length(); ++i) {
        if (meta[i].id == zemtra_REMOTE::MetaOfferedAtom) {
            m_numbers.push_back(meta[i].value);
        }
    }
    ++m_buffers;
    m_cv.notify_all();
    return 0;
}

CORBA::Long Receiver::ReceiveShort(const char*, const q_NET::ShortSeq& v, const q_NET::MetaSeq& meta)
{
    return Take(v, meta);
}
CORBA::Long Receiver::ReceiveLong(const char*, const q_NET::LongSeq& v, const q_NET::MetaSeq& meta)
{
    return Take(v, meta);
}
CORBA::Long Receiver::ReceiveDouble(const char*, const q_NET::DoubleSeq& v, const q_NET::MetaSeq& meta)
{
    return Take(v, meta);
}
CORBA::Long Receiver::ReceiveULongLong(const char*, const q_NET::ULongLongSeq& v, const q_NET::MetaSeq& meta)
{
    return Take(v, meta);
}

bool Receiver::WaitForValues(size_t n, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, timeout, [&] { return m_values.size() >= n; });
}

std::vector<double> Receiver::Values()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_values;
}

std::vector<long long> Receiver::Numbers()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_numbers;
}

size_t Receiver::Buffers()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_buffers;
}

std::string ToolPath()
{
    char exe[4096] = {0};
    const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    std::string dir = n > 0 ? std::string(exe, static_cast<size_t>(n)) : std::string();
    dir = dir.substr(0, dir.rfind('/'));
    return dir + "/../tools/zemtra-tool/zemtra-tool";
}

ToolResult RunTool(const std::vector<std::string>& args, const std::string& outFile)
{
    static std::atomic<int> seq{0};
    const std::string base = "/tmp/zv_remote_tool_" + std::to_string(::getpid()) + "_" + std::to_string(seq++);
    std::string cmd = Quote(ToolPath());
    for (const auto& a : args) {
        cmd += " " + Quote(a);
    }
    cmd += " >" + (outFile.empty() ? base + ".out" : Quote(outFile)) + " 2>" + base + ".err </dev/null";
    const int status = std::system(cmd.c_str());
    ToolResult r;
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = ReadFile(base + ".out");
    r.err = ReadFile(base + ".err");
    std::remove((base + ".out").c_str());
    std::remove((base + ".err").c_str());
    return r;
}

ToolResult RunToolPiped(const std::vector<std::string>& args, const std::string& command)
{
    static std::atomic<int> seq{0};
    const std::string base = "/tmp/zv_remote_tool_pipe_" + std::to_string(::getpid()) + "_" + std::to_string(seq++);
    std::string tool = Quote(ToolPath());
    for (const auto& a : args) {
        tool += " " + Quote(a);
    }
    const std::string pipeline = "{ " + tool + " 2>" + base + ".err </dev/null; echo $? >" + base + ".status; } | " +
                                 command + " >" + base + ".out";
    std::system(("timeout 60 sh -c " + Quote(pipeline)).c_str());
    ToolResult r;
    const std::string status = ReadFile(base + ".status");
    r.exitCode = status.empty() ? -1 : std::stoi(status);
    r.out = ReadFile(base + ".out");
    r.err = ReadFile(base + ".err");
    for (const char* file : {".out", ".err", ".status"}) {
        std::remove((base + file).c_str());
    }
    return r;
}

std::string ProcessStatus(pid_t pid, const std::string& name)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(name, 0) == 0) {
            return line.substr(name.size());
        }
    }
    return "";
}

bool ProcessHandles(pid_t pid, int signal)
{
    const std::string caught = ProcessStatus(pid, "SigCgt:");
    return !caught.empty() && ((std::stoull(caught, nullptr, 16) >> (signal - 1)) & 1) != 0;
}

ToolProcess::ToolProcess(const std::vector<std::string>& args, bool keepOut, bool ownGroup)
{
    static std::atomic<int> seq{0};
    m_base = "/tmp/zv_remote_tool_bg_" + std::to_string(::getpid()) + "_" + std::to_string(seq++);
    const std::string tool = ToolPath();
    const std::string out = keepOut ? m_base + ".out" : "/dev/null";
    const std::string err = m_base + ".err";
    std::vector<std::string> argv = {tool};
    argv.insert(argv.end(), args.begin(), args.end());
    // All that allocates or locks is done before the fork: the child of a
    // process whose other threads (the server's) may hold the allocator's
    // locks at that moment only calls what is safe there, up to execv.
    std::vector<char*> cargv;
    for (std::string& a : argv) {
        cargv.push_back(&a[0]);
    }
    cargv.push_back(nullptr);
    const int fds[3] = {::open("/dev/null", O_RDONLY | O_CLOEXEC),
                        ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644),
                        ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)};
    m_pid = ::fork();
    if (m_pid == 0) {
        if (ownGroup) {
            ::setpgid(0, 0);
        }
        for (int i = 0; i < 3; ++i) {
            // (one opened as i already keeps it across execv once its close-on-exec flag is off)
            const bool placed = fds[i] >= 0 && (fds[i] == i ? ::fcntl(i, F_SETFD, 0) == 0 : ::dup2(fds[i], i) == i);
            if (!placed) {
                ::_exit(126);
            }
        }
        ::execv(tool.c_str(), cargv.data());
        ::_exit(127);
    }
    for (const int fd : fds) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

ToolProcess::~ToolProcess()
{
    if (m_pid > 0) {
        Wait();
    }
    std::remove((m_base + ".out").c_str());
    std::remove((m_base + ".err").c_str());
}

std::string ToolProcess::Out() const
{
    return ReadFile(m_base + ".out");
}

bool ToolProcess::HasExited()
{
    if (!m_exited && m_pid > 0 && ::waitpid(m_pid, &m_status, WNOHANG) == m_pid) {
        m_exited = true;
    }
    return m_exited;
}

ToolResult ToolProcess::Wait()
{
    ToolResult r;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (m_pid > 0 && !HasExited()) {
        if (std::chrono::steady_clock::now() > end) {
            ADD_FAILURE() << "the tool did not end within 30 s";
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, &m_status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    m_pid = -1;
    r.exitCode = WIFEXITED(m_status) ? WEXITSTATUS(m_status) : -1;
    r.out = ReadFile(m_base + ".out");
    r.err = ReadFile(m_base + ".err");
    return r;
}

} // namespace remotetest
