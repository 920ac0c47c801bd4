#include "platform/mci/tree_node.h"

#include "platform/qstd/trace.h"

#include <algorithm>
#include <condition_variable>
#include <exception>

namespace mci {

const Path c_noRelPath;

namespace {
std::atomic<unsigned long long> g_nextCallbackId{1};
std::atomic<uint64_t> g_treeGeneration{0};
} // namespace

Callback::Callback(Function function)
    : m_id(g_nextCallbackId.fetch_add(1, std::memory_order_relaxed)), m_function(std::move(function))
{
}

// Shared between a client and the nodes it subscribed to. Callbacks run
// without the state's mutex (so that a callback may emit to other nodes or
// close its own client); closing waits until no callback of the client is
// running on another thread, and no callback starts afterwards.
struct NotificationClient::State {
    std::mutex mutex;
    std::condition_variable idle;
    bool open = true;
    size_t running = 0;
    // The nodes subscribed to, whose entries Close takes out again.
    std::vector<std::weak_ptr<TreeNode>> nodes;

    // No callback runs (on another thread) or starts after it returns, and
    // the nodes hold no entry of this client any more.
    void Close();
};

namespace {
// States whose callbacks are running on this thread, innermost last.
thread_local std::vector<const NotificationClient::State*> t_inCallback;
} // namespace

void NotificationClient::State::Close()
{
    std::vector<std::weak_ptr<TreeNode>> subscribed;
    {
        std::unique_lock<std::mutex> lock(mutex);
        open = false;
        const size_t mine =
            static_cast<size_t>(std::count(t_inCallback.begin(), t_inCallback.end(), static_cast<const State*>(this)));
        idle.wait(lock, [&] { return running <= mine; });
        subscribed.swap(nodes);
    }
    // A client that is gone leaves nothing behind on a quiet node: its
    // callbacks (and whatever they hold) are released now, not at the
    // node's next subscription.
    for (const auto& weak : subscribed) {
        if (TreeNodePtr node = weak.lock()) {
            node->RemoveSubscriptionsOf(this);
        }
    }
}

NotificationClient::NotificationClient() : m_state(std::make_shared<State>()) {}

NotificationClient::~NotificationClient()
{
    m_state->Close();
}

bool NotificationClient::Register(const Node& node, const Callback& callback)
{
    return Register(node.GetTreeNode(), callback);
}

bool NotificationClient::Register(const TreeNodePtr& node, const Callback& callback)
{
    if (!node) {
        return false;
    }
    node->AddSubscription(m_state, callback);
    std::lock_guard<std::mutex> lock(m_state->mutex);
    m_state->nodes.push_back(node);
    return true;
}

void NotificationClient::UnregisterAll()
{
    m_state->Close();
    // Later registrations start afresh; the old ones stay dead.
    m_state = std::make_shared<State>();
}

TreeNode::TreeNode(const std::string& name, unsigned long long flags) : m_name(name), m_flags(flags) {}

TreeNode::~TreeNode() = default;

unsigned long long TreeNode::OnGetFlags(const Path& /*path*/) const
{
    return m_flags.load(std::memory_order_relaxed);
}

void TreeNode::OnSetFlags(unsigned long long flags, const Path& /*path*/)
{
    m_flags.fetch_or(flags, std::memory_order_relaxed);
}

std::unique_lock<std::recursive_mutex> TreeNode::Lock() const
{
    return std::unique_lock<std::recursive_mutex>(m_mutex);
}

bool TreeNode::IsConstant(const Path& /*path*/) const
{
    return m_constant.load(std::memory_order_relaxed);
}

void TreeNode::SetConstant(bool constant)
{
    m_constant.store(constant, std::memory_order_relaxed);
}

bool TreeNode::IsArray(const Path& /*path*/) const
{
    return (GetFlags() & enums::eArray) != 0;
}

void TreeNode::SetNodeStructure(NodeStructure* structure)
{
    m_structure.reset(structure);
}

bool TreeNode::Init()
{
    return m_structure != nullptr && m_name.find('/') == std::string::npos;
}

TreeNodePtr TreeNode::Add(const TreeNodePtr& child)
{
    if (!child) {
        QSTD_TRACE(qstd::TraceError, "mci: Empty node not added under " << m_name);
        return TreeNodePtr();
    }
    {
        std::lock_guard<std::mutex> lock(m_childMutex);
        m_children.push_back(child);
    }
    g_treeGeneration.fetch_add(1, std::memory_order_release);
    return child;
}

uint64_t TreeNode::GetTreeGeneration()
{
    return g_treeGeneration.load(std::memory_order_acquire);
}

std::vector<TreeNodePtr> TreeNode::GetChildren() const
{
    std::lock_guard<std::mutex> lock(m_childMutex);
    return m_children;
}

TreeNodePtr TreeNode::GetChild(const std::string& name) const
{
    std::lock_guard<std::mutex> lock(m_childMutex);
    for (const auto& child : m_children) {
        if (child->GetName() == name) {
            return child;
        }
    }
    return TreeNodePtr();
}

TreeNodePtr TreeNode::Find(const Path& path)
{
    TreeNodePtr node = shared_from_this();
    size_t begin = 0;
    while (node && begin < path.size()) {
        size_t end = path.find('/', begin);
        if (end == std::string::npos) {
            end = path.size();
        }
        if (end > begin) {
            node = node->GetChild(path.substr(begin, end - begin));
        }
        begin = end + 1;
    }
    return node;
}

bool TreeNode::operator==(const TreeNode& other) const
{
    return m_name == other.m_name && GetFlags() == other.GetFlags();
}

void TreeNode::AddSubscription(const std::shared_ptr<NotificationClient::State>& client, const Callback& callback)
{
    std::lock_guard<std::mutex> lock(m_subscriberMutex);
    // Drop subscriptions of closed clients while we are here.
    std::vector<Subscription> kept;
    kept.reserve(m_subscriptions.size() + 1);
    for (auto& s : m_subscriptions) {
        if (!s.client.expired()) {
            kept.push_back(std::move(s));
        }
    }
    kept.push_back(Subscription{client, callback});
    m_subscriptions.swap(kept);
}

void TreeNode::RemoveSubscriptionsOf(const NotificationClient::State* client)
{
    std::vector<Subscription> removed;
    {
        std::lock_guard<std::mutex> lock(m_subscriberMutex);
        std::vector<Subscription> kept;
        kept.reserve(m_subscriptions.size());
        for (auto& s : m_subscriptions) {
            auto state = s.client.lock();
            (!state || state.get() == client ? removed : kept).push_back(std::move(s));
        }
        m_subscriptions.swap(kept);
    }
    // Destroyed outside the lock: what a callback holds may unsubscribe too.
    removed.clear();
}

size_t TreeNode::GetSubscriberCount() const
{
    std::lock_guard<std::mutex> lock(m_subscriberMutex);
    size_t n = 0;
    for (const auto& s : m_subscriptions) {
        auto state = s.client.lock();
        if (state) {
            std::lock_guard<std::mutex> stateLock(state->mutex);
            n += state->open ? 1 : 0;
        }
    }
    return n;
}

bool TreeNode::NotifySubscribers(const qstd::Any& value, size_t position) const
{
    std::vector<Subscription> subscriptions;
    {
        std::lock_guard<std::mutex> lock(m_subscriberMutex);
        if (m_subscriptions.empty()) {
            return true;
        }
        subscriptions = m_subscriptions;
    }
    bool ok = true;
    for (const auto& s : subscriptions) {
        auto state = s.client.lock();
        if (!state || !s.callback.GetFunction()) {
            continue;
        }
        {
            std::lock_guard<std::mutex> stateLock(state->mutex);
            if (!state->open) {
                continue;
            }
            ++state->running;
        }
        NotificationData data;
        data.name = m_name;
        data.value = value;
        data.position = position;
        t_inCallback.push_back(state.get());
        try {
            s.callback.GetFunction()(data);
        } catch (const std::exception& e) {
            ok = false;
            QSTD_TRACE(qstd::TraceError, "mci: Notification callback of " << m_name << " failed: " << e.what());
        } catch (...) {
            ok = false;
            QSTD_TRACE(qstd::TraceError, "mci: Notification callback of " << m_name << " failed");
        }
        t_inCallback.pop_back();
        {
            std::lock_guard<std::mutex> stateLock(state->mutex);
            --state->running;
        }
        state->idle.notify_all();
    }
    return ok;
}

} // namespace mci
