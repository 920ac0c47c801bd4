#include "platform/mci/client_access.h"

#include "platform/qreg/reg_node.h"
#include "platform/qreg/signal_node.h"
#include "platform/qstd/exception.h"

#include <boost/lexical_cast.hpp>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <iomanip>
#include <sstream>
#include <unordered_map>

namespace mci {

namespace {

// Whole-text decimal integer: optional sign, digits, nothing else.
long long ParseInteger(const std::string& text)
{
    try {
        return boost::lexical_cast<long long>(text);
    } catch (const boost::bad_lexical_cast&) {
        throw qstd::Exception("Invalid integer value", true);
    }
}

unsigned long long ParseUnsigned(const std::string& text)
{
    // lexical_cast to an unsigned type would wrap a negative text around.
    if (text.empty() || text[0] == '-') {
        throw qstd::Exception("Invalid integer value", true);
    }
    try {
        return boost::lexical_cast<unsigned long long>(text);
    } catch (const boost::bad_lexical_cast&) {
        throw qstd::Exception("Invalid integer value", true);
    }
}

double ParseDouble(const std::string& text)
{
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) {
        throw qstd::Exception("Invalid double value", true);
    }
    errno = 0;
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    // A text below the doubles' range reads as the nearest subnormal or
    // zero (as a read writes such a value); one beyond it is refused.
    if (end != text.c_str() + text.size() || (errno == ERANGE && std::isinf(v))) {
        throw qstd::Exception("Invalid double value", true);
    }
    return v;
}

bool ParseBool(const std::string& text)
{
    if (text == "true" || text == "1") {
        return true;
    }
    if (text == "false" || text == "0") {
        return false;
    }
    throw qstd::Exception("Invalid boolean value", true);
}

template <typename T> std::string Format(const T& value)
{
    std::ostringstream os;
    os << value;
    return os.str();
}

std::string Format(double value)
{
    std::ostringstream os;
    os << std::setprecision(15) << value;
    return os.str();
}

template <typename T> std::vector<std::string> FormatAll(const qreg::RegNode& node, size_t position, size_t count)
{
    std::vector<T> values;
    node.Get(values, position, count, c_noRelPath);
    std::vector<std::string> texts;
    texts.reserve(values.size());
    for (const auto& v : values) {
        texts.push_back(Format(v));
    }
    return texts;
}

// Nodes that this thread found by path, for one access and one tree
// generation; bounded in entries and in path length, since remote clients
// choose the paths.
struct FoundPaths {
    uint64_t access = 0;
    uint64_t generation = 0;
    std::unordered_map<std::string, TreeNode*> nodes;
};
thread_local FoundPaths t_found;
constexpr size_t c_maxFoundPaths = 4096;
constexpr size_t c_maxFoundPathLength = 256;
std::atomic<uint64_t> g_nextAccessSerial{1};

} // namespace

ClientAccess::ClientAccess(TreeNodePtr root)
    : m_root(std::move(root)), m_serial(g_nextAccessSerial.fetch_add(1, std::memory_order_relaxed))
{
}

TreeNode& ClientAccess::Resolve(const std::string& path) const
{
    if (!m_root) {
        return *Find(path); // raises
    }
    FoundPaths& found = t_found;
    const uint64_t generation = TreeNode::GetTreeGeneration();
    if (found.access != m_serial || found.generation != generation) {
        found.nodes.clear();
        found.access = m_serial;
        found.generation = generation;
    }
    const auto it = found.nodes.find(path);
    if (it != found.nodes.end()) {
        return *it->second;
    }
    TreeNodePtr node = Find(path);
    if (path.size() <= c_maxFoundPathLength) {
        if (found.nodes.size() >= c_maxFoundPaths) {
            found.nodes.clear();
        }
        found.nodes.emplace(path, node.get());
    }
    return *node; // the tree keeps it alive
}

TreeNodePtr ClientAccess::Find(const std::string& path) const
{
    TreeNodePtr node = m_root ? m_root->Find(path) : TreeNodePtr();
    if (!node) {
        throw qstd::Exception("mci: No such node: " + path, true);
    }
    return node;
}

bool ClientAccess::Exists(const std::string& path) const
{
    return m_root && m_root->Find(path);
}

std::vector<std::string> ClientAccess::List(const std::string& path) const
{
    std::vector<std::string> names;
    for (const auto& child : Find(path)->GetChildren()) {
        names.push_back(child->GetName());
    }
    return names;
}

qreg::RegNode& ClientAccess::RegisterNode(const std::string& path) const
{
    qreg::RegNode* reg = Resolve(path).AsRegNode();
    if (!reg) {
        throw qstd::Exception("mci: Not a register node: " + path, true);
    }
    return *reg;
}

qreg::RegNode& ClientAccess::WritableNode(const std::string& path) const
{
    qreg::RegNode& reg = RegisterNode(path);
    if ((reg.GetFlags() & enums::eWritable) == 0) {
        throw qstd::Exception("qreg: Node is not writable: " + reg.GetName(), true);
    }
    return reg;
}

int ClientAccess::GetValueType(const std::string& path) const
{
    return RegisterNode(path).OnGetValueType(c_noRelPath);
}

size_t ClientAccess::GetSize(const std::string& path) const
{
    return RegisterNode(path).OnGetSize(c_noRelPath);
}

unsigned long long ClientAccess::GetFlags(const std::string& path) const
{
    return Resolve(path).OnGetFlags(c_noRelPath);
}

std::vector<std::string> ClientAccess::GetDomainValues(const std::string& path) const
{
    std::vector<std::string> names;
    RegisterNode(path).OnGetDomainValues(names, c_noRelPath);
    return names;
}

std::string ClientAccess::GetValidator(const std::string& path) const
{
    return RegisterNode(path).OnGetValidatorExpression(c_noRelPath);
}

std::vector<std::string> ClientAccess::GetTexts(const std::string& path, size_t position, size_t count) const
{
    qreg::RegNode& reg = RegisterNode(path);
    switch (reg.OnGetValueType(c_noRelPath)) {
    case qreg::eTypeBool: {
        std::vector<bool> values;
        reg.Get(values, position, count, c_noRelPath);
        std::vector<std::string> texts;
        for (bool v : values) {
            texts.push_back(v ? "true" : "false");
        }
        return texts;
    }
    case qreg::eTypeInt:
        return FormatAll<int>(reg, position, count);
    case qreg::eTypeUInt:
        return FormatAll<unsigned int>(reg, position, count);
    case qreg::eTypeULongLong:
        return FormatAll<unsigned long long>(reg, position, count);
    case qreg::eTypeDouble:
        return FormatAll<double>(reg, position, count);
    case qreg::eTypeString:
    case qreg::eTypeEnum: {
        std::vector<std::string> values;
        reg.Get(values, position, count, c_noRelPath);
        return values;
    }
    default:
        throw qstd::Exception("qreg: Node has no value: " + reg.GetName(), true);
    }
}

std::string ClientAccess::GetText(const std::string& path, size_t position) const
{
    auto texts = GetTexts(path, position, 1);
    if (texts.empty()) {
        throw qstd::Exception("qreg: Can't get value: getter function failed: " + RegisterNode(path).GetName(), true);
    }
    return texts.front();
}

long long ClientAccess::GetInteger(const std::string& path, size_t position) const
{
    long long value = 0;
    RegisterNode(path).Get(value, position, c_noRelPath);
    return value;
}

std::vector<long long> ClientAccess::GetIntegers(const std::string& path, size_t position, size_t count) const
{
    std::vector<long long> values;
    RegisterNode(path).Get(values, position, count, c_noRelPath);
    return values;
}

double ClientAccess::GetDouble(const std::string& path, size_t position) const
{
    double value = 0;
    RegisterNode(path).Get(value, position, c_noRelPath);
    return value;
}

std::vector<double> ClientAccess::GetDoubles(const std::string& path, size_t position, size_t count) const
{
    std::vector<double> values;
    RegisterNode(path).Get(values, position, count, c_noRelPath);
    return values;
}

void SetNodeTexts(qreg::RegNode& reg, const std::vector<std::string>& texts, size_t position)
{
    switch (reg.OnGetValueType(c_noRelPath)) {
    case qreg::eTypeBool: {
        std::vector<bool> values;
        for (const auto& t : texts) {
            values.push_back(ParseBool(t));
        }
        return reg.Set(values, position, c_noRelPath);
    }
    case qreg::eTypeInt: {
        std::vector<long long> values;
        for (const auto& t : texts) {
            values.push_back(ParseInteger(t));
        }
        return reg.Set(values, position, c_noRelPath);
    }
    case qreg::eTypeUInt:
    case qreg::eTypeULongLong: {
        std::vector<unsigned long long> values;
        for (const auto& t : texts) {
            values.push_back(ParseUnsigned(t));
        }
        return reg.Set(values, position, c_noRelPath);
    }
    case qreg::eTypeDouble: {
        std::vector<double> values;
        for (const auto& t : texts) {
            values.push_back(ParseDouble(t));
        }
        return reg.Set(values, position, c_noRelPath);
    }
    case qreg::eTypeString:
    case qreg::eTypeEnum:
        return reg.Set(texts, position, c_noRelPath);
    default:
        throw qstd::Exception("qreg: Node has no value: " + reg.GetName(), true);
    }
}

void ClientAccess::SetTexts(const std::string& path, const std::vector<std::string>& texts, size_t position)
{
    SetNodeTexts(WritableNode(path), texts, position);
}

void ClientAccess::SetText(const std::string& path, const std::string& text, size_t position)
{
    SetTexts(path, std::vector<std::string>{text}, position);
}

void ClientAccess::SetInteger(const std::string& path, long long value, size_t position)
{
    WritableNode(path).Set(value, position, c_noRelPath);
}

void ClientAccess::SetIntegers(const std::string& path, const std::vector<long long>& values, size_t position)
{
    WritableNode(path).Set(values, position, c_noRelPath);
}

void ClientAccess::SetDouble(const std::string& path, double value, size_t position)
{
    WritableNode(path).Set(value, position, c_noRelPath);
}

void ClientAccess::SetDoubles(const std::string& path, const std::vector<double>& values, size_t position)
{
    WritableNode(path).Set(values, position, c_noRelPath);
}

void ClientAccess::Resize(const std::string& path, size_t size)
{
    WritableNode(path).Resize(size, c_noRelPath);
}

void ClientAccess::Execute(const std::string& path)
{
    qreg::RegNode& reg = RegisterNode(path);
    if (!reg.Execute()) {
        throw qstd::Exception("qreg: Command failed: " + reg.GetName(), true);
    }
}

ClientAccess::SignalInfo ClientAccess::GetSignal(const std::string& path) const
{
    qreg::SignalNode* signal = Resolve(path).AsSignalNode();
    if (!signal) {
        throw qstd::Exception("mci: Not a signal node: " + path, true);
    }
    return signal->WithSource([](qsig::SignalSource& source) {
        SignalInfo info;
        info.name = source.GetName();
        info.owner = source.GetOwner();
        info.accessType = static_cast<int>(source.AccessType());
        info.atomSize = source.AtomSize();
        info.length = source.Length();
        return info;
    });
}

std::vector<NotificationData> ClientAccess::Subscription::Values() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_values;
}

size_t ClientAccess::Subscription::Count() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_values.size();
}

bool ClientAccess::Subscription::WaitFor(size_t n, std::chrono::steady_clock::duration timeout) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_until(lock, std::chrono::steady_clock::now() + timeout, [&] { return m_values.size() >= n; });
}

std::unique_ptr<ClientAccess::Subscription> ClientAccess::Subscribe(const std::string& path)
{
    TreeNodePtr node = Find(path);
    std::unique_ptr<Subscription> subscription(new Subscription());
    Subscription* s = subscription.get();
    s->m_client.Register(node, Callback([s](const NotificationData& data) {
                             std::lock_guard<std::mutex> lock(s->m_mutex);
                             s->m_values.push_back(data);
                             s->m_changed.notify_all();
                         }));
    return subscription;
}

} // namespace mci
