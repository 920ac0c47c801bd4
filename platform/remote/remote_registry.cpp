#include "platform/remote/remote_registry.h"

#include "platform/qreg/reg_exec_node.h"
#include "platform/qreg/reg_node.h"
#include "platform/qreg/signal_node.h"
#include "platform/qstd/exception.h"
#include "platform/qstd/log.h"
#include "platform/qstd/trace.h"
#include "platform/remote/gate_channel.h"
#include "platform/remote/orb_adapter.h"
#include "platform/remote/orb_transport.h"
#include "platform/remote/remote_limits.h"
#include "platform/remote/remote_sequence.h"
#include "platform/remote/remote_signal_session.h"
#include "platform/remote/remote_subscription.h"

#include <omniORB4/CORBA.h>
#include <omniORB4/callHandle.h>

#include <poll.h>
#include <sys/random.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <sstream>
#include <type_traits>
#include <vector>

namespace remote {

namespace {

const char* const c_shuttingDown = "Server is shutting down";

// A client's path is echoed in messages and traces at most this long, and a
// message at most c_maxMessage long: a huge request gets no huge answer.
constexpr size_t c_maxEchoedPath = 256;
constexpr size_t c_maxMessage = 1024;

std::string Shortened(const std::string& text, size_t max)
{
    return text.size() <= max ? text : text.substr(0, max) + "...";
}

void ReplaceAll(std::string& message, const std::string& from, const std::string& to)
{
    if (from.empty() || from == to) {
        return;
    }
    for (size_t at = message.find(from); at != std::string::npos; at = message.find(from, at + to.size())) {
        message.replace(at, from.size(), to);
    }
}

// A message that names the tree path ("a/b") names the client's path
// ("a.b"), cut to c_maxEchoedPath.
std::string ClientMessage(std::string message, const std::string& treePath, const std::string& path)
{
    const std::string shown = Shortened(path, c_maxEchoedPath);
    ReplaceAll(message, treePath, shown);
    ReplaceAll(message, path, shown);
    return Shortened(message, c_maxMessage);
}

zemtra_REMOTE::StringSeq ToSeq(const std::vector<std::string>& texts)
{
    zemtra_REMOTE::StringSeq seq;
    seq.length(static_cast<CORBA::ULong>(texts.size()));
    for (CORBA::ULong i = 0; i < seq.length(); ++i) {
        seq[i] = texts[i].c_str();
    }
    return seq;
}

// A read answers with every value asked for or not at all: a getter that
// fails gives fewer values, and no client may take those for the answer.
template <typename V> std::vector<V> Complete(std::vector<V> values, size_t count, const mci::TreeNodePtr& node)
{
    if (values.size() < count) {
        throw qstd::Exception("qreg: Can't get value: getter function failed: " + node->GetName(), true);
    }
    return values;
}

// Raises the refusal of a request: RemoteError, or for a coded one-shot
// read ReadRefusal with how the read stands.
[[noreturn]] void Refuse(bool coded, const std::string& message, const zemtra_REMOTE::ReadEnd& end)
{
    if (coded) {
        throw zemtra_REMOTE::ReadRefusal(message.c_str(), end);
    }
    throw zemtra_REMOTE::RemoteError(message.c_str());
}

std::string Joined(const std::vector<std::string>& texts)
{
    std::string joined;
    for (const std::string& text : texts) {
        joined += (joined.empty() ? "" : ", ") + text;
    }
    return joined;
}

std::string CodeText(qsig::SuccessCode_e code)
{
    std::ostringstream os;
    os << code;
    return os.str();
}

// SetInteger and SetDouble as the skeleton serves them, with the values
// read by ReadWriteValues into a buffer of their count.
template <typename SEQ> class CheckedWrite : public omniCallDescriptor {
public:
    using Write = void (zemtra_REMOTE::_impl_Registry::*)(const char*, CORBA::ULong, const SEQ&);

    CheckedWrite(const char* operation, Write write)
        : omniCallDescriptor(&CheckedWrite::Call, operation, std::strlen(operation) + 1, 0, UserExceptions(), 1, 1),
          m_write(write)
    {
    }

    void unmarshalArguments(cdrStream& stream) override
    {
        m_path = stream.unmarshalString(0);
        m_position <<= stream;
        ReadWriteValues(stream, m_values);
    }

private:
    static const char* const* UserExceptions()
    {
        static const char* const ids[] = {zemtra_REMOTE::RemoteError::_PD_repoId};
        return ids;
    }

    static void Call(omniCallDescriptor* descriptor, omniServant* servant)
    {
        auto* call = static_cast<CheckedWrite*>(descriptor);
        auto* registry =
            static_cast<zemtra_REMOTE::_impl_Registry*>(servant->_ptrToInterface(zemtra_REMOTE::Registry::_PD_repoId));
        (registry->*(call->m_write))(call->m_path.in(), call->m_position, call->m_values);
    }

    const Write m_write;
    CORBA::String_var m_path;
    CORBA::ULong m_position = 0;
    SEQ m_values;
};

// A subscription or signal session id: 64 bits of the system's random
// source (never 0), so that a client can name only the ids it was given:
// sequential ones let any client end, or ask about, those of others, and
// the outputs of a seeded generator tell its next ones.
std::uint64_t NewId()
{
    std::uint64_t id = 0;
    while (id == 0) {
        if (::getrandom(&id, sizeof(id), 0) != static_cast<ssize_t>(sizeof(id))) {
            thread_local std::random_device device; // the kernel's source as well, where getrandom is not
            id = (static_cast<std::uint64_t>(device()) << 32) ^ device();
        }
    }
    return id;
}

// The ORB's connection of the request this thread serves (null: none, or
// a call from this process). The ORB keeps it while the request is served.
thread_local omni::giopConnection* t_requestConnection = nullptr;

} // namespace

std::string TreePathOf(const std::string& dottedPath)
{
    std::string path = dottedPath;
    std::replace(path.begin(), path.end(), '.', '/');
    return path;
}

template <typename SEQ> void ReadWriteValues(cdrStream& stream, SEQ& values)
{
    using Element = std::remove_reference_t<decltype(values[0])>;
    CORBA::ULong count = 0;
    count <<= stream;
    // The bound first: the product of the check after it is 32 bits wide.
    if (count > values.maximum() || !stream.checkInputOverrun(sizeof(Element), count, omni::ALIGN_8)) {
        throw CORBA::MARSHAL(omni::MARSHAL_SequenceIsTooLong, CORBA::COMPLETED_NO);
    }
    SizeExactly(values, count);
    if (count == 0) {
        return;
    }
    if (stream.unmarshal_byte_swap()) {
        for (CORBA::ULong i = 0; i < count; ++i) {
            values[i] <<= stream;
        }
    } else {
        stream.get_octet_array(reinterpret_cast<CORBA::Octet*>(&values[0]), count * sizeof(Element), omni::ALIGN_8);
    }
}
template void ReadWriteValues(cdrStream&, zemtra_REMOTE::LongLongSeq&);
template void ReadWriteValues(cdrStream&, q_NET::DoubleSeq&);

RemoteRegistry::RemoteRegistry(mci::TreeNodePtr root, PortableServer::POA_ptr relayPoa,
                               const RemoteSubscriptions::Limits& limits)
    : m_access(root), m_root(std::move(root)), m_relayPoa(PortableServer::POA::_duplicate(relayPoa)),
      m_sessionsPerClient(limits.sessionsPerClient), m_sessionsTotal(limits.sessionsTotal),
      m_unreachableAfter(limits.unreachableAfter), m_subscriptions(m_access, limits, m_prober),
      m_reads(c_maxOneShotReads)
{
    m_subscriptions.SetPeriodicProbe([this] { ProbeSessions(); });
}

RemoteRegistry::~RemoteRegistry()
{
    CloseAll();
}

CORBA::Boolean RemoteRegistry::_dispatch(omniCallHandle& handle)
{
    struct Scope {
        explicit Scope(omni::giopConnection* connection) { t_requestConnection = connection; }
        ~Scope() { t_requestConnection = nullptr; }
    } scope(handle.connection());
    const char* operation = handle.operation_name();
    if (std::strcmp(operation, "SetInteger") == 0) {
        CheckedWrite<zemtra_REMOTE::LongLongSeq> call(operation, &zemtra_REMOTE::_impl_Registry::SetInteger);
        handle.upcall(this, call);
        return true;
    }
    if (std::strcmp(operation, "SetDouble") == 0) {
        CheckedWrite<q_NET::DoubleSeq> call(operation, &zemtra_REMOTE::_impl_Registry::SetDouble);
        handle.upcall(this, call);
        return true;
    }
    return POA_zemtra_REMOTE::Registry::_dispatch(handle);
}

template <typename F> auto RemoteRegistry::Serve(const char* path, F&& body, bool coded) -> decltype(body())
{
    RemoteRequestGate::Pass pass(m_gate);
    if (!pass.Admitted()) {
        Refuse(coded, c_shuttingDown, {});
    }
    const std::string clientPath = path ? path : "";
    std::string message;
    zemtra_REMOTE::ReadEnd end{};
    try {
        return body();
    } catch (const zemtra_REMOTE::RemoteError&) {
        throw;
    } catch (const ReadRefused& e) {
        message = e.what();
        end.code = e.Code();
        end.past_the_end = e.Kind().pastTheEnd;
        end.section_atoms = e.Kind().sectionAtoms;
    } catch (const std::exception& e) {
        message = e.what();
    } catch (...) {
        message = "Internal error";
    }
    message = ClientMessage(message, TreePathOf(clientPath), clientPath);
    QSTD_TRACE(2, "Remote request on '" << Shortened(clientPath, c_maxEchoedPath) << "' refused: " << message);
    Refuse(coded, message, end);
}

zemtra_REMOTE::NodeInfo RemoteRegistry::DescribeNode(const mci::TreeNodePtr& node) const
{
    // The same node operations that ClientAccess answers with; the node is
    // taken from its parent's children so that two children of one name
    // (a register branch and a signal) are each described as they are.
    zemtra_REMOTE::NodeInfo info;
    info.name = node->GetName().c_str();
    info.flags = node->OnGetFlags(mci::c_noRelPath);
    info.value_type = 0;
    info.size = 0;
    auto* reg = dynamic_cast<qreg::RegNode*>(node.get());
    if (dynamic_cast<qreg::SignalNode*>(node.get())) {
        info.kind = "signal";
    } else if (dynamic_cast<qreg::RegExecNode*>(node.get())) {
        info.kind = "command";
    } else if (!reg || reg->OnGetValueType(mci::c_noRelPath) == qreg::eTypeNone) {
        info.kind = "branch";
    } else {
        info.kind = "value";
    }
    if (reg) {
        info.value_type = reg->OnGetValueType(mci::c_noRelPath);
        info.size = static_cast<CORBA::ULong>(reg->OnGetSize(mci::c_noRelPath));
        std::vector<std::string> names;
        reg->OnGetDomainValues(names, mci::c_noRelPath);
        info.domain_values = ToSeq(names);
        info.validator = reg->OnGetValidatorExpression(mci::c_noRelPath).c_str();
    }
    return info;
}

zemtra_REMOTE::NodeInfoSeq* RemoteRegistry::List(const char* path)
{
    return Serve(path, [&] {
        const std::vector<mci::TreeNodePtr> children = m_access.Find(TreePathOf(path))->GetChildren();
        zemtra_REMOTE::NodeInfoSeq_var infos = new zemtra_REMOTE::NodeInfoSeq;
        infos->length(static_cast<CORBA::ULong>(children.size()));
        for (CORBA::ULong i = 0; i < infos->length(); ++i) {
            infos[i] = DescribeNode(children[i]);
        }
        return infos._retn();
    });
}

zemtra_REMOTE::NodeInfo* RemoteRegistry::Describe(const char* path)
{
    return Serve(path, [&] { return new zemtra_REMOTE::NodeInfo(DescribeNode(m_access.Find(TreePathOf(path)))); });
}

qreg::SignalNode& RemoteRegistry::FindSignal(const std::string& treePath) const
{
    mci::TreeNodePtr node = m_access.Find(treePath);
    if (auto* signal = dynamic_cast<qreg::SignalNode*>(node.get())) {
        return *signal;
    }
    // A signal may share its name with a register branch of the same parent
    // (the timing board's "pll" object and its "pll" stream): a signal
    // request means the signal.
    const size_t slash = treePath.rfind('/');
    const std::string parentPath = slash == std::string::npos ? std::string() : treePath.substr(0, slash);
    for (const mci::TreeNodePtr& sibling : m_access.Find(parentPath)->GetChildren()) {
        if (sibling->GetName() == node->GetName()) {
            if (auto* signal = dynamic_cast<qreg::SignalNode*>(sibling.get())) {
                return *signal; // the tree keeps the node alive
            }
        }
    }
    m_access.GetSignal(treePath); // raises the client-access message
    throw qstd::Exception("mci: Not a signal node: " + treePath, true);
}

// Count of a read: 0 reads from the position to the end of the node. The
// range is checked here, before the read: the library would size its result
// by the count first, and a count from the network must not decide how much
// memory the server allocates.
size_t RemoteRegistry::CountFrom(const std::string& treePath, CORBA::ULong position, CORBA::ULong count) const
{
    const size_t size = m_access.GetSize(treePath);
    if (count == 0) {
        return position < size ? size - position : 1;
    }
    // Compared without adding, so that no sum of two counts can wrap.
    if (position > size || count > size - position) {
        if (auto* reg = dynamic_cast<qreg::RegNode*>(m_access.Find(treePath).get())) {
            reg->VerifySetArgs(position, count); // raises the library's own message
        }
        throw qstd::Exception(
            "qreg: Position and count out of range: " + std::to_string(position) + ", " + std::to_string(count), true);
    }
    return count;
}

zemtra_REMOTE::StringSeq* RemoteRegistry::GetText(const char* path, CORBA::ULong position, CORBA::ULong count)
{
    return Serve(path, [&] {
        const std::string treePath = TreePathOf(path);
        const size_t n = CountFrom(treePath, position, count);
        return new zemtra_REMOTE::StringSeq(
            ToSeq(Complete(m_access.GetTexts(treePath, position, n), n, m_access.Find(treePath))));
    });
}

zemtra_REMOTE::LongLongSeq* RemoteRegistry::GetInteger(const char* path, CORBA::ULong position, CORBA::ULong count)
{
    return Serve(path, [&] {
        const std::string treePath = TreePathOf(path);
        const size_t n = CountFrom(treePath, position, count);
        const std::vector<long long> values =
            Complete(m_access.GetIntegers(treePath, position, n), n, m_access.Find(treePath));
        zemtra_REMOTE::LongLongSeq_var seq = new zemtra_REMOTE::LongLongSeq;
        SizeExactly(seq.inout(), static_cast<CORBA::ULong>(values.size()));
        for (CORBA::ULong i = 0; i < seq->length(); ++i) {
            seq[i] = values[i];
        }
        return seq._retn();
    });
}

q_NET::DoubleSeq* RemoteRegistry::GetDouble(const char* path, CORBA::ULong position, CORBA::ULong count)
{
    return Serve(path, [&] {
        const std::string treePath = TreePathOf(path);
        const size_t n = CountFrom(treePath, position, count);
        const std::vector<double> values =
            Complete(m_access.GetDoubles(treePath, position, n), n, m_access.Find(treePath));
        q_NET::DoubleSeq_var seq = new q_NET::DoubleSeq;
        SizeExactly(seq.inout(), static_cast<CORBA::ULong>(values.size()));
        for (CORBA::ULong i = 0; i < seq->length(); ++i) {
            seq[i] = values[i];
        }
        return seq._retn();
    });
}

qstd::Exception RemoteRegistry::EnumRefusal(const std::string& path, const std::string& value) const
{
    return qstd::Exception(path + " takes " + Joined(m_access.GetDomainValues(TreePathOf(path))) +
                           " (or their numbers), not '" + value + "'");
}

void RemoteRegistry::RefuseTooManyForEnum(const std::string& path, CORBA::ULong count) const
{
    const std::string treePath = TreePathOf(path);
    if (m_access.GetValueType(treePath) != qreg::eTypeEnum ||
        (m_access.GetFlags(treePath) & mci::enums::eWritable) == 0) {
        return;
    }
    const size_t size = m_access.GetSize(treePath);
    const std::string names = Joined(m_access.GetDomainValues(treePath));
    if (!names.empty()) {
        throw qstd::Exception(path + " takes " +
                              (size == 1 ? "one value" : "at most " + std::to_string(size) + " values") + " (" + names +
                              " or their numbers), not " + std::to_string(count));
    }
}

void RemoteRegistry::SetText(const char* path, CORBA::ULong position, const zemtra_REMOTE::StringSeq& values)
{
    Serve(path, [&] {
        // More texts than the node holds are refused before they are
        // copied: a list of short texts takes ten times its size.
        if (values.length() > 0) {
            try {
                CountFrom(TreePathOf(path), position, values.length());
            } catch (const qstd::Exception&) {
                RefuseTooManyForEnum(path, values.length());
                throw;
            }
        }
        std::vector<std::string> texts;
        for (CORBA::ULong i = 0; i < values.length(); ++i) {
            texts.emplace_back(values[i].in());
        }
        try {
            m_access.SetTexts(TreePathOf(path), texts, position);
        } catch (const qreg::ValueRefused& e) {
            throw EnumRefusal(path, e.Value());
        }
    });
}

void RemoteRegistry::SetInteger(const char* path, CORBA::ULong position, const zemtra_REMOTE::LongLongSeq& values)
{
    Serve(path, [&] {
        try {
            m_access.SetIntegers(TreePathOf(path),
                                 std::vector<long long>(values.get_buffer(), values.get_buffer() + values.length()),
                                 position);
        } catch (const qreg::ValueRefused& e) {
            throw EnumRefusal(path, e.Value());
        }
    });
}

void RemoteRegistry::SetDouble(const char* path, CORBA::ULong position, const q_NET::DoubleSeq& values)
{
    Serve(path, [&] {
        m_access.SetDoubles(TreePathOf(path),
                            std::vector<double>(values.get_buffer(), values.get_buffer() + values.length()), position);
    });
}

void RemoteRegistry::Execute(const char* path)
{
    Serve(path, [&] { m_access.Execute(TreePathOf(path)); });
}

CORBA::ULongLong RemoteRegistry::Subscribe(const char* path, zemtra_REMOTE::ValueCallback_ptr callback)
{
    return Serve(path, [&]() -> CORBA::ULongLong {
        if (CORBA::is_nil(callback)) {
            throw qstd::Exception("mci: No callback object given for " + std::string(path), true);
        }
        // A node without a value (a branch, a signal) emits none: refused
        // as a read of it is, in the same words, without reading it.
        const std::string treePath = TreePathOf(path);
        CountFrom(treePath, 0, 0);
        if (m_access.GetValueType(treePath) == qreg::eTypeNone) {
            m_access.GetTexts(treePath, 0, 1); // refuses a node of no type before it reads
        }
        const std::uint64_t id = NewId();
        m_subscriptions.Add(id, path, treePath, callback);
        return id;
    });
}

void RemoteRegistry::Unsubscribe(CORBA::ULongLong id)
{
    Serve("", [&] {
        if (!m_subscriptions.Remove(id)) {
            throw qstd::Exception("mci: No such subscription: " + std::to_string(id), true);
        }
    });
}

zemtra_REMOTE::SignalInfo* RemoteRegistry::GetSignal(const char* path)
{
    return Serve(path, [&] {
        qreg::SignalNode& node = FindSignal(TreePathOf(path));
        zemtra_REMOTE::SignalInfo_var info = new zemtra_REMOTE::SignalInfo;
        // Sources name themselves in several ways; clients see one: the
        // signal's dot-separated path, by which they opened it.
        info->name = path;
        node.WithSource([&](qsig::SignalSource& source) {
            info->owner = source.GetOwner().c_str();
            info->access_type = static_cast<CORBA::Long>(source.AccessType());
            info->atom_size = static_cast<CORBA::ULong>(source.AtomSize());
            info->length = static_cast<CORBA::ULong>(source.Length());
            info->group_size = static_cast<CORBA::ULong>(source.GroupSize());
            info->component_names = ToSeq(source.GetComponentNames());
        });
        return info._retn();
    });
}

CORBA::ULongLong RemoteRegistry::OpenSignal(const char* path, q_NET::SignalReceiver_ptr receiver, CORBA::Long mode,
                                            CORBA::ULong count, CORBA::LongLong offset)
{
    return Serve(path, [&]() -> CORBA::ULongLong {
        const std::string clientPath = path;
        const std::string treePath = TreePathOf(clientPath);
        if (CORBA::is_nil(receiver)) {
            throw qstd::Exception("qsig: No receiver object given for " + clientPath, true);
        }
        qreg::SignalNode& node = FindSignal(treePath);
        ReapEnded();
        RemoteObject remote = RemoteObjectOf(receiver);
        const std::string clientKey = remote.clientKey;
        {
            std::lock_guard<std::mutex> lock(m_sessionsMutex);
            const std::string refusal = SessionRefusal(clientKey);
            if (!refusal.empty()) {
                throw qstd::Exception(refusal, true);
            }
        }
        const std::uint64_t id = NewId();
        const std::string clientName = "remote_" + std::to_string(m_nextName.fetch_add(1));
        qsig::SignalAccessType_e accessType = qsig::eAccessStream;
        std::size_t atomSize = 0;
        std::size_t atomValues = 0;
        std::unique_ptr<qsig::SignalClientBase> client(node.WithSource([&](qsig::SignalSource& source) {
            accessType = source.AccessType();
            atomSize = source.AtomSize();
            atomValues = source.Length();
            // An on-demand client learns the atoms of the whole read (a
            // post-mortem capture forwards them as one buffer).
            return source.NewSignalClient(clientName, accessType == qsig::eAccessStream ? 0 : count);
        }));
        if (!client) {
            throw qstd::Exception("qsig: Signal has no clients for remote readers: " + clientPath, true);
        }
        qsig::SuccessCode_e rc = qsig::eSuccess;
        if (accessType == qsig::eAccessStream) {
            rc = client->Open();
        } else {
            // Forwarding of an on-demand client works only in read-ahead mode.
            if (mode != qsig::eAccessStreaming) {
                throw qstd::Exception("qsig: Can't forward signal " + clientPath + " in access mode " +
                                          std::to_string(mode) + ": " + CodeText(qsig::eTryAgain),
                                      true);
            }
            if (count == 0) {
                // A read-ahead client of zero atoms reads empty buffers that never reach the receiver.
                throw qstd::Exception("qsig: Can't forward signal " + clientPath + " with a count of 0 atoms", true);
            }
            // Buffers of at most one chunk: the read-ahead queue stays small
            // and each buffer goes to the receiver in one call.
            const auto perBuffer = std::min<std::size_t>(count, ChunkAtoms(atomSize));
            rc = client->Open(static_cast<qsig::AccessMode_e>(mode), static_cast<unsigned>(perBuffer), offset);
        }
        if (rc != qsig::eSuccess) {
            const std::string words = client->Explain(rc);
            throw qstd::Exception("qsig: Can't open signal " + clientPath + ": " + CodeText(rc) +
                                      (words.empty() ? "" : ", " + words),
                                  true);
        }
        auto session =
            std::make_unique<RemoteSignalSession>(id, clientPath, std::move(client), receiver, m_relayPoa.in(),
                                                  std::move(remote), atomValues, &m_prober, m_unreachableAfter);
        session->Start();
        std::string refusal;
        {
            // Checked again: requests of one client may have come together.
            std::lock_guard<std::mutex> lock(m_sessionsMutex);
            refusal = SessionRefusal(clientKey);
            if (refusal.empty()) {
                m_sessions.emplace(id, std::move(session));
            }
        }
        if (!refusal.empty()) {
            session->Close();
            throw qstd::Exception(refusal, true);
        }
        // The liveness thread also watches the receivers of signal sessions.
        m_subscriptions.StartThreads();
        return id;
    });
}

void RemoteRegistry::CloseSignal(CORBA::ULongLong id)
{
    Serve("", [&] {
        std::shared_ptr<RemoteSignalSession> session;
        {
            std::lock_guard<std::mutex> lock(m_sessionsMutex);
            auto it = m_sessions.find(id);
            if (it == m_sessions.end()) {
                throw qstd::Exception("qsig: No such signal client: " + std::to_string(id), true);
            }
            session = std::move(it->second);
            m_sessions.erase(it);
        }
        session->Close();
    });
}

zemtra_REMOTE::SignalData* RemoteRegistry::ReadSignal(const char* path, CORBA::Long mode, CORBA::ULong count,
                                                      CORBA::LongLong offset, CORBA::ULongLong time,
                                                      CORBA::ULong waitMs)
{
    return Serve(path, [&] { return ReadOnce(path, mode, count, offset, time, waitMs); });
}

zemtra_REMOTE::SignalData* RemoteRegistry::ReadSignalCoded(const char* path, CORBA::Long mode, CORBA::ULong count,
                                                           CORBA::LongLong offset, CORBA::ULongLong time,
                                                           CORBA::ULong waitMs)
{
    return Serve(
        path, [&] { return ReadOnce(path, mode, count, offset, time, waitMs); }, true);
}

zemtra_REMOTE::SignalData* RemoteRegistry::ReadOnce(const char* path, CORBA::Long mode, CORBA::ULong count,
                                                    CORBA::LongLong offset, CORBA::ULongLong time, CORBA::ULong waitMs)
{
    auto read = std::make_unique<OneShotRead>(path, mode, count, offset, time);
    qreg::SignalNode& node = FindSignal(TreePathOf(path));
    const std::string clientName = "remote_read_" + std::to_string(m_nextName.fetch_add(1));
    node.WithSource([&](qsig::SignalSource& source) { read->Prepare(source, clientName); });
    const std::chrono::milliseconds most = c_maxReadWait;
    const std::chrono::milliseconds asked(waitMs);
    // A caller that went away (its tool interrupted or killed) frees its
    // read. The gate keeps the channel of a request until its reply, and
    // knows whether the client went.
    std::function<bool()> callerGone;
    if (std::shared_ptr<GateChannel> channel = GateChannelOf(t_requestConnection)) {
        callerGone = [channel, clientPath = Shortened(path, c_maxEchoedPath)] {
            const bool gone = channel->ClientGone();
            if (gone) {
                QSTD_TRACE(3, "Remote read of '" << clientPath << "': its caller " << channel->PeerAddress()
                                                 << " has gone");
            }
            return gone;
        };
    }
    return m_reads.Run(std::move(read), waitMs == 0 ? most : std::min(asked, most), callerGone);
}

zemtra_REMOTE::IdState RemoteRegistry::StateOf(std::uint64_t id, std::string& why, zemtra_REMOTE::ReadEnd& end)
{
    end = zemtra_REMOTE::ReadEnd();
    if (m_subscriptions.Status(id, why)) {
        return zemtra_REMOTE::IdServed;
    }
    if (!why.empty()) {
        return zemtra_REMOTE::IdEnded;
    }
    {
        std::lock_guard<std::mutex> lock(m_sessionsMutex);
        if (Served(m_sessions, id, why)) {
            return zemtra_REMOTE::IdServed;
        }
        if (!why.empty()) {
            end = m_sessions.at(id)->EndCode();
            return zemtra_REMOTE::IdEnded;
        }
    }
    if (m_endedSessions.Find(id, why, &end)) {
        return zemtra_REMOTE::IdEnded;
    }
    why = "no subscription or signal session " + std::to_string(id) + " on this server";
    return zemtra_REMOTE::IdUnknown;
}

CORBA::Boolean RemoteRegistry::IsServed(CORBA::ULongLong id, CORBA::String_out reason)
{
    std::string why;
    zemtra_REMOTE::ReadEnd end{};
    const CORBA::Boolean served = Serve("", [&] { return StateOf(id, why, end) == zemtra_REMOTE::IdServed; });
    // Set once: an out string that is assigned again leaks its first value.
    reason = CORBA::string_dup(Shortened(why, c_maxMessage).c_str());
    return served;
}

zemtra_REMOTE::IdState RemoteRegistry::IsServedCoded(CORBA::ULongLong id, CORBA::String_out reason,
                                                     zemtra_REMOTE::ReadEnd& end)
{
    std::string why;
    const zemtra_REMOTE::IdState state = Serve("", [&] { return StateOf(id, why, end); });
    reason = CORBA::string_dup(Shortened(why, c_maxMessage).c_str());
    return state;
}

void RemoteRegistry::ReapEnded()
{
    std::vector<std::shared_ptr<RemoteSignalSession>> sessions;
    {
        std::lock_guard<std::mutex> lock(m_sessionsMutex);
        for (auto it = m_sessions.begin(); it != m_sessions.end();) {
            if (it->second->HasEnded()) {
                // Recorded before it leaves: a client that asks meanwhile learns why.
                m_endedSessions.Add(it->second->GetId(), it->second->EndReason());
                sessions.push_back(std::move(it->second));
                it = m_sessions.erase(it);
            } else {
                ++it;
            }
        }
    }
    // Destroyed here, outside the lock: each closes itself.
}

std::string RemoteRegistry::SessionRefusal(const std::string& clientKey) const
{
    if (m_sessions.size() >= m_sessionsTotal) {
        return "mci: Too many signal sessions on this server (at most " + std::to_string(m_sessionsTotal) + ")";
    }
    const auto ofClient = std::count_if(m_sessions.begin(), m_sessions.end(),
                                        [&](const auto& s) { return s.second->GetClientKey() == clientKey; });
    if (static_cast<std::size_t>(ofClient) >= m_sessionsPerClient) {
        return "mci: Too many signal sessions of client " + clientKey + " (at most " +
               std::to_string(m_sessionsPerClient) + ")";
    }
    return std::string();
}

void RemoteRegistry::ProbeSessions()
{
    std::vector<std::shared_ptr<RemoteSignalSession>> sessions;
    {
        std::lock_guard<std::mutex> lock(m_sessionsMutex);
        for (const auto& s : m_sessions) {
            sessions.push_back(s.second);
        }
    }
    for (const auto& s : sessions) {
        s->ProbeReceiver();
    }
    ReapEnded();
}

bool RemoteRegistry::Drain(std::chrono::steady_clock::duration timeout)
{
    m_gate.Close();
    m_reads.Cancel();
    return m_gate.WaitIdle(timeout);
}

void RemoteRegistry::CloseAll()
{
    std::map<std::uint64_t, std::shared_ptr<RemoteSignalSession>> sessions;
    {
        std::lock_guard<std::mutex> lock(m_sessionsMutex);
        sessions.swap(m_sessions);
    }
    for (auto& s : sessions) {
        s.second->Close();
    }
    m_subscriptions.CloseAll();
    m_prober.Stop();
}

std::size_t RemoteRegistry::GetSignalSessionCount()
{
    ReapEnded();
    std::lock_guard<std::mutex> lock(m_sessionsMutex);
    return m_sessions.size();
}

std::size_t RemoteRegistry::GetSubscriptionCount()
{
    return m_subscriptions.Count();
}

} // namespace remote
