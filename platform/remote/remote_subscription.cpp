#include "platform/remote/remote_subscription.h"

#include "platform/qstd/exception.h"
#include "platform/qstd/log.h"
#include "platform/remote/remote_outgoing.h"

#include <omniORB4/callDescriptor.h>
#include <omniORB4/omniORB.h>

#include <algorithm>
#include <iomanip>
#include <iterator>
#include <sstream>

namespace remote {

namespace {

// Same text forms as a client read: decimal integers, "true"/"false",
// doubles with 15 significant digits.
std::string Text(bool v)
{
    return v ? "true" : "false";
}
std::string Text(const std::string& v)
{
    return v;
}
std::string Text(double v)
{
    std::ostringstream os;
    os << std::setprecision(15) << v;
    return os.str();
}
std::string Text(float v)
{
    return Text(static_cast<double>(v));
}
template <typename T> std::string Text(const T& v)
{
    return std::to_string(v);
}

template <typename T> bool TryTexts(const qstd::Any& value, std::vector<std::string>& texts)
{
    if (const T* v = boost::any_cast<T>(&value)) {
        texts.assign(1, Text(*v));
        return true;
    }
    if (const std::vector<T>* v = boost::any_cast<std::vector<T>>(&value)) {
        texts.clear();
        for (const auto& e : *v) {
            texts.push_back(Text(static_cast<T>(e)));
        }
        return true;
    }
    return false;
}

// ValueChanged as a request without reply: the arguments of the two-way
// operation, marshalled as its stub does, with the one-way flag set. A
// callback in this process gets a function call, as from the stub.
class ValueChangedWithoutReply : public omniCallDescriptor {
public:
    ValueChangedWithoutReply(const char* path, const zemtra_REMOTE::StringSeq& values, CORBA::ULong position)
        : omniCallDescriptor(&ValueChangedWithoutReply::LocalCall, c_operation, sizeof(c_operation), 1, nullptr, 0, 0),
          m_path(path), m_values(values), m_position(position)
    {
    }

    void marshalArguments(cdrStream& stream) override
    {
        stream.marshalString(m_path, 0);
        m_values >>= stream;
        m_position >>= stream;
    }

private:
    static constexpr char c_operation[] = "ValueChanged";

    static void LocalCall(omniCallDescriptor* descriptor, omniServant* servant)
    {
        auto* call = static_cast<ValueChangedWithoutReply*>(descriptor);
        auto* callback = static_cast<zemtra_REMOTE::_impl_ValueCallback*>(
            servant->_ptrToInterface(zemtra_REMOTE::ValueCallback::_PD_repoId));
        if (callback == nullptr) {
            throw CORBA::BAD_OPERATION(0, CORBA::COMPLETED_NO);
        }
        callback->ValueChanged(call->m_path, call->m_values, call->m_position);
    }

    const char* m_path;
    const zemtra_REMOTE::StringSeq& m_values;
    CORBA::ULong m_position;
};

} // namespace

bool EmittedValueTexts(const qstd::Any& value, std::vector<std::string>& texts)
{
    return TryTexts<bool>(value, texts) || TryTexts<int>(value, texts) || TryTexts<unsigned int>(value, texts) ||
           TryTexts<long long>(value, texts) || TryTexts<unsigned long long>(value, texts) ||
           TryTexts<long>(value, texts) || TryTexts<unsigned long>(value, texts) || TryTexts<double>(value, texts) ||
           TryTexts<float>(value, texts) || TryTexts<std::string>(value, texts);
}

namespace {

// The value of an emission as its subscribers' clients get it.
std::shared_ptr<const RemoteValue> MakeValue(const mci::NotificationData& data, bool enumNode)
{
    auto value = std::make_shared<RemoteValue>();
    value->position = data.position;
    value->reread = !EmittedValueTexts(data.value, value->texts);
    // An enum node emits its value as an integer, while clients see names.
    // Reading the name here could call back into an owner that is emitting
    // under its own lock, so the delivery reads it instead: the client gets
    // the node's name for the value at delivery time.
    value->reread = value->reread || enumNode;
    value->count = value->texts.empty() ? 1 : value->texts.size();
    // Texts of up to 15 characters are held within the string itself.
    constexpr std::size_t c_inPlace = 15;
    value->bytes = sizeof(RemoteValue) + value->texts.capacity() * sizeof(std::string);
    for (const std::string& text : value->texts) {
        value->bytes += text.capacity() > c_inPlace ? text.capacity() + 1 : 0;
    }
    return value;
}

using SubscriptionList = std::vector<std::shared_ptr<RemoteSubscription>>;

// Moves the subscriptions of list from first on into letGo, for the hub to
// let go of once it has left its lock (see RemoteSubscriptions::m_mutex).
void MoveOut(SubscriptionList& list, SubscriptionList::iterator first, SubscriptionList& letGo)
{
    std::move(first, list.end(), std::back_inserter(letGo));
    list.erase(first, list.end());
}

} // namespace

void WaitingValues::Add(const RemoteValue& value)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (++m_uses[&value] == 1) {
        m_bytes += value.bytes;
    }
}

void WaitingValues::Remove(const RemoteValue& value)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto counted = m_uses.find(&value);
    if (counted != m_uses.end() && --counted->second == 0) {
        m_bytes -= value.bytes;
        m_uses.erase(counted);
    }
}

std::size_t WaitingValues::Bytes() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bytes;
}

void EndedRecord::Add(std::uint64_t id, const std::string& reason, const zemtra_REMOTE::ReadEnd& end)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_reasons.emplace(id, std::make_pair(reason, end)).second) {
        return;
    }
    m_order.push_back(id);
    if (m_order.size() > c_kept) {
        m_reasons.erase(m_order.front());
        m_order.pop_front();
    }
}

bool EndedRecord::Find(std::uint64_t id, std::string& reason, zemtra_REMOTE::ReadEnd* end) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_reasons.find(id);
    if (it == m_reasons.end()) {
        return false;
    }
    reason = it->second.first;
    if (end != nullptr) {
        *end = it->second.second;
    }
    return true;
}

RemoteSubscription::Item::Item(std::shared_ptr<const RemoteValue> value, std::shared_ptr<WaitingValues> waiting)
    : m_value(std::move(value)), m_waiting(std::move(waiting))
{
}

RemoteSubscription::Item::~Item()
{
    if (m_value && m_waiting) {
        m_waiting->Remove(*m_value);
    }
}

RemoteSubscription::Item::Item(Item&& other) noexcept
    : m_value(std::move(other.m_value)), m_waiting(std::move(other.m_waiting))
{
}

RemoteSubscription::Item& RemoteSubscription::Item::operator=(Item&& other) noexcept
{
    if (this != &other) {
        if (m_value && m_waiting) {
            m_waiting->Remove(*m_value);
        }
        m_value = std::move(other.m_value);
        m_waiting = std::move(other.m_waiting);
    }
    return *this;
}

bool RemoteSubscription::Item::SameElements(const RemoteValue& value) const
{
    return m_value->position == value.position && m_value->count == value.count;
}

RemoteSubscription::RemoteSubscription(std::uint64_t id, const std::string& path, const std::string& treePath,
                                       mci::ClientAccess& access, zemtra_REMOTE::ValueCallback_ptr callback,
                                       RemoteObject remote, RemoteSubscriptions& hub,
                                       std::shared_ptr<WaitingValues> waiting)
    : m_id(id), m_path(path), m_treePath(treePath), m_access(access),
      m_callback(zemtra_REMOTE::ValueCallback::_duplicate(callback)), m_remote(std::move(remote)), m_hub(hub),
      m_waiting(std::move(waiting))
{
    omniORB::setClientCallTimeout(m_callback, c_sendTimeoutMs);
}

RemoteSubscription::~RemoteSubscription()
{
    Close();
}

void RemoteSubscription::Start()
{
    m_hub.Attach(shared_from_this());
}

bool RemoteSubscription::Reach(std::string& reason)
{
    return remote::Reach(m_callback.in(), reason);
}

void RemoteSubscription::Offer(const std::shared_ptr<const RemoteValue>& value)
{
    // Runs on the emitting thread: no remote call here. Asked before this
    // subscription's lock: the hub's lock is never taken under it.
    const bool slow = m_hub.IsSlow(m_remote.clientKey);
    bool schedule = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stop) {
            return;
        }
        if (slow) {
            // The client is not taking values: only the latest of the same
            // elements waits for it.
            m_queue.erase(std::remove_if(m_queue.begin(), m_queue.end(),
                                         [&](const Item& queued) { return queued.SameElements(*value); }),
                          m_queue.end());
        }
        if (m_queue.size() >= c_maxQueued) {
            m_queue.pop_front();
            m_lost.fetch_add(1);
        }
        // The client's subscriptions are about to end (see Feed::OnValue).
        if (Overflowing()) {
            return;
        }
        // Counted once for the client, however many of its subscriptions
        // it waits for.
        m_waiting->Add(*value);
        m_queue.emplace_back(value, m_waiting);
        schedule = !m_scheduled;
        m_scheduled = true;
    }
    if (schedule) {
        m_hub.Schedule(shared_from_this());
    }
}

bool RemoteSubscription::Overflowing() const
{
    return m_waiting->Bytes() > m_hub.WaitingBound();
}

std::size_t RemoteSubscription::Bytes(const std::string& path, const RemoteValue& value)
{
    // GIOP and request headers, the object key and the arguments, each
    // text with its length and terminator, aligned.
    constexpr std::size_t c_headers = 128;
    constexpr std::size_t c_perText = 8;
    constexpr std::size_t c_rereadText = 32; // an enum's name, not read yet
    std::size_t bytes = c_headers + path.size();
    for (const std::string& text : value.texts) {
        bytes += text.size() + c_perText;
    }
    return bytes + (value.reread ? value.count * c_rereadText : 0);
}

std::size_t RemoteSubscription::NextBytes()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_queue.empty() ? 0 : Bytes(m_path, m_queue.front().Value()) + m_remote.target.objectKey.size();
}

RemoteSubscription::Delivery_e RemoteSubscription::DeliverOne()
{
    Item item;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stop || m_queue.empty()) {
            m_scheduled = false;
            return eDone;
        }
        item = std::move(m_queue.front());
        m_queue.pop_front();
        m_delivering = true;
    }
    const RemoteValue& value = item.Value();
    bool held = !m_hub.MaySend(*this, Bytes(m_path, value) + m_remote.target.objectKey.size());
    bool failed = false;
    std::string reason;
    if (!held) {
        try {
            std::vector<std::string> reread;
            if (value.reread) {
                // Read the emitted elements as a client would: enums by name.
                reread = m_access.GetTexts(m_treePath, value.position, value.count);
            }
            const std::vector<std::string>& texts = value.reread ? reread : value.texts;
            zemtra_REMOTE::StringSeq values;
            values.length(static_cast<CORBA::ULong>(texts.size()));
            for (CORBA::ULong i = 0; i < values.length(); ++i) {
                values[i] = texts[i].c_str();
            }
            try {
                ValueChangedWithoutReply call(m_path.c_str(), values, static_cast<CORBA::ULong>(value.position));
                // No check of the object's type first: that would be a call
                // that waits for its reply.
                m_callback->_PR_getobj()->_invoke(call, 0);
            } catch (const CORBA::TIMEOUT&) {
                // The system did not take the value in time (connecting,
                // or a full connection): the client may only be slow.
                held = true;
                m_hub.Stalled(*this);
            } catch (const CORBA::Exception& e) {
                failed = true;
                reason = std::string("callback not reachable (") + e._name() + ")";
            }
        } catch (const std::exception& e) {
            qstd::LogWarning("Remote subscription " + std::to_string(m_id) + " of " + m_path +
                             ": value not readable: " + e.what());
        }
    }
    Delivery_e result = eDone;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_delivering = false;
        if (held && !m_stop) {
            // Waits for its client, first in line, unless a newer value of
            // the same elements replaced it meanwhile.
            const bool replaced = std::any_of(m_queue.begin(), m_queue.end(),
                                              [&](const Item& queued) { return queued.SameElements(value); });
            if (!replaced && m_queue.size() < c_maxQueued) {
                m_queue.push_front(std::move(item));
            }
            result = eHeld; // still scheduled: the pool keeps it with its client
        } else {
            const bool more = !m_stop && !m_queue.empty() && !failed;
            m_scheduled = more;
            result = more ? eMore : eDone;
        }
    }
    m_idle.notify_all();
    if (failed) {
        End(reason);
    }
    return result;
}

RemoteSubscription::Liveness_e RemoteSubscription::Probe(std::string& reason)
{
    try {
        if (m_callback->_non_existent()) {
            reason = "callback object gone";
            return eObjectGone;
        }
        return eAlive;
    } catch (const CORBA::OBJECT_NOT_EXIST&) {
        reason = "callback object gone";
        return eObjectGone;
    } catch (const CORBA::Exception& e) {
        reason = std::string("client not reachable (") + e._name() + ")";
        return eClientGone;
    }
}

void RemoteSubscription::End(const std::string& reason)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_ended.load()) {
            return;
        }
        m_endReason = reason;
        m_ended.store(true);
        m_stop = true;
        m_queue.clear();
    }
    qstd::LogWarning("Remote subscription " + std::to_string(m_id) + " of " + m_path + " ended: " + reason);
    m_hub.WakeLiveness();
}

std::string RemoteSubscription::EndReason() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_endReason;
}

void RemoteSubscription::Close()
{
    std::lock_guard<std::mutex> closeLock(m_closeMutex);
    if (m_closed) {
        return;
    }
    m_closed = true;
    m_closedFlag.store(true);
    // After this no emission reaches Offer any more.
    m_hub.Detach(*this);
    std::unique_lock<std::mutex> lock(m_mutex);
    m_stop = true;
    m_queue.clear();
    // A value being sent right now is waited for.
    m_idle.wait(lock, [this] { return !m_delivering; });
}

RemoteSubscriptions::RemoteSubscriptions(mci::ClientAccess& access, const Limits& limits, RemoteProber& prober)
    : m_access(access), m_limits(limits), m_prober(prober)
{
}

RemoteSubscriptions::~RemoteSubscriptions()
{
    CloseAll();
}

void RemoteSubscriptions::Add(std::uint64_t id, const std::string& path, const std::string& treePath,
                              zemtra_REMOTE::ValueCallback_ptr callback)
{
    ReapEnded();
    RemoteObject remote = RemoteObjectOf(callback);
    const std::string clientKey = remote.clientKey;
    auto subscription = std::make_shared<RemoteSubscription>(id, path, treePath, m_access, callback, std::move(remote),
                                                             *this, WaitingOf(clientKey));
    bool servedBefore = false; // the client has a subscription served
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stop) {
            throw qstd::Exception("mci: Subscriptions are closed", true);
        }
        if (m_subscriptions.size() >= m_limits.total) {
            throw qstd::Exception(
                "mci: Too many subscriptions on this server (at most " + std::to_string(m_limits.total) + ")", true);
        }
        std::size_t ofClient = 0;
        for (const auto& s : m_subscriptions) {
            ofClient += s.second->ClientKey() == clientKey ? 1 : 0;
            servedBefore = servedBefore || (s.second->ClientKey() == clientKey && !s.second->HasEnded());
        }
        if (ofClient >= m_limits.perClient) {
            throw qstd::Exception("mci: Too many subscriptions of client " + clientKey + " (at most " +
                                      std::to_string(m_limits.perClient) + ")",
                                  true);
        }
        // Counted before it starts, so that concurrent requests cannot pass the bounds together.
        if (!m_subscriptions.emplace(id, subscription).second) {
            throw qstd::Exception("mci: Subscription id in use: " + std::to_string(id), true);
        }
    }
    try {
        // The first subscription of a client: its values must not go on a
        // connection to a client gone from its endpoint.
        std::string reason;
        if (!servedBefore && !subscription->Remote().inProcess && !subscription->Reach(reason)) {
            throw qstd::Exception("mci: Callback object not reachable (" + reason + ")", true);
        }
        StartThreads();
        subscription->Start();
    } catch (...) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_subscriptions.erase(id);
        throw;
    }
}

bool RemoteSubscriptions::Remove(std::uint64_t id)
{
    std::shared_ptr<RemoteSubscription> subscription;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_subscriptions.find(id);
        if (it == m_subscriptions.end()) {
            return false;
        }
        subscription = std::move(it->second);
        m_subscriptions.erase(it);
    }
    subscription->Close();
    return true;
}

void RemoteSubscriptions::CloseAll()
{
    std::map<std::uint64_t, std::shared_ptr<RemoteSubscription>> subscriptions;
    // Let go of after the lock.
    std::deque<std::shared_ptr<RemoteSubscription>> ready;
    std::map<std::string, Held> held;
    {
        // Stopped first: no delivery or probe starts while the subscriptions
        // close (each waits for a value being handed over, which a callback
        // in this process may take its time with), and no subscription is added.
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
        ready.swap(m_ready);
        held.swap(m_held);
        subscriptions.swap(m_subscriptions);
    }
    m_readyChanged.notify_all();
    m_livenessWake.notify_all();
    for (auto& s : subscriptions) {
        s.second->Close();
    }
    std::map<unsigned, std::thread> threads;
    std::thread liveness;
    {
        // No thread is added once stopped.
        std::lock_guard<std::mutex> lock(m_mutex);
        threads.swap(m_deliveryThreads);
        m_leftSlots.clear();
        liveness.swap(m_livenessThread);
    }
    for (auto& t : threads) {
        t.second.join();
    }
    if (liveness.joinable()) {
        liveness.join();
    }
}

std::size_t RemoteSubscriptions::Count()
{
    ReapEnded();
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_subscriptions.size();
}

bool RemoteSubscriptions::Status(std::uint64_t id, std::string& reason)
{
    reason.clear();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (Served(m_subscriptions, id, reason)) {
            return true;
        }
    }
    if (reason.empty()) {
        m_ended.Find(id, reason);
    }
    return false;
}

void RemoteSubscriptions::Schedule(const std::shared_ptr<RemoteSubscription>& subscription)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stop) {
            return;
        }
        Enqueue(subscription);
        GrowIfNeeded();
    }
    m_readyChanged.notify_one();
}

void RemoteSubscriptions::Enqueue(const std::shared_ptr<RemoteSubscription>& subscription)
{
    const auto held = m_held.find(subscription->ClientKey());
    if (held != m_held.end() && held->second.held) {
        held->second.waiting.push_back(subscription);
    } else {
        m_ready.push_back(subscription);
    }
}

void RemoteSubscriptions::Hold(const std::shared_ptr<RemoteSubscription>& subscription)
{
    const std::string& client = subscription->ClientKey();
    Held& held = m_held[client];
    if (!held.held) {
        held.heldSince = std::chrono::steady_clock::now();
    }
    held.held = true;
    held.waiting.push_back(subscription);
    // The client's other subscriptions with values wait with it.
    for (auto it = m_ready.begin(); it != m_ready.end();) {
        if ((*it)->ClientKey() == client) {
            held.waiting.push_back(std::move(*it));
            it = m_ready.erase(it);
        } else {
            ++it;
        }
    }
    m_heldChanged = true; // checks the held clients from now on
    m_livenessWake.notify_all();
}

bool RemoteSubscriptions::IsSlow(const std::string& clientKey)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto held = m_held.find(clientKey);
    if (held != m_held.end() &&
        (held->second.held || held->second.stalledAt != std::chrono::steady_clock::time_point())) {
        return true;
    }
    const auto it = m_clientsInDelivery.find(clientKey);
    return it != m_clientsInDelivery.end() && std::chrono::steady_clock::now() - it->second >= c_slowCall;
}

bool RemoteSubscriptions::MaySend(const RemoteSubscription& subscription, std::size_t bytes)
{
    const RemoteObject& remote = subscription.Remote();
    if (remote.inProcess) {
        return true; // a function call: the pool grows while it takes long
    }
    const auto now = std::chrono::steady_clock::now();
    const std::chrono::steady_clock::time_point never{};
    std::chrono::steady_clock::time_point stalledAt = never;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto held = m_held.find(remote.clientKey);
        if (held != m_held.end()) {
            stalledAt = held->second.stalledAt;
        }
    }
    if (remote.target.Valid()) {
        const RemoteProber::Status status = m_prober.Peek(remote.target);
        if (stalledAt != never && status.answeredAt <= stalledAt) {
            return false; // waits for an answer since
        }
        if (status.Waiting() && now - status.waitingSince >= c_unanswered) {
            return false;
        }
    } else if (stalledAt != never && now - stalledAt < c_unanswered) {
        return false; // no probe to wait for: tried again after a while
    }
    if (!remote.orbAddress.empty()) {
        const OutgoingState outgoing = m_outgoing.To(remote.orbAddress);
        if (outgoing.unsent > 0 && outgoing.unsent + bytes > c_maxUnsent) {
            return false;
        }
    }
    if (stalledAt != never) {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto held = m_held.find(remote.clientKey);
        if (held != m_held.end() && held->second.stalledAt == stalledAt) {
            held->second.stalledAt = never;
        }
    }
    return true;
}

void RemoteSubscriptions::Stalled(const RemoteSubscription& subscription)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stop) {
            return;
        }
        m_held[subscription.ClientKey()].stalledAt = std::chrono::steady_clock::now();
    }
    if (subscription.Remote().target.Valid()) {
        m_prober.Probe(subscription.Remote().target); // an answer ends the stall
    }
}

void RemoteSubscriptions::ReleaseHeld()
{
    std::vector<std::pair<std::string, std::shared_ptr<RemoteSubscription>>> candidates;
    std::vector<std::pair<std::string, std::string>> ended; // client, reason
    SubscriptionList letGo;                                 // after the lock
    {
        const auto now = std::chrono::steady_clock::now();
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto it = m_held.begin(); it != m_held.end();) {
            Held& held = it->second;
            MoveOut(held.waiting,
                    std::stable_partition(held.waiting.begin(), held.waiting.end(),
                                          [](const auto& s) { return !s->IsClosed(); }),
                    letGo);
            if (held.waiting.empty()) {
                held.held = false;
            }
            // A stall is kept for the value that is being held right now.
            const bool stalled = held.stalledAt != std::chrono::steady_clock::time_point();
            if (!held.held && (!stalled || now - held.stalledAt >= m_limits.unreachableAfter)) {
                MoveOut(held.waiting, held.waiting.begin(), letGo);
                it = m_held.erase(it);
                continue;
            }
            if (held.held && now - held.heldSince >= m_limits.unreachableAfter) {
                // It answers probes, but its values have not gone out for long.
                ended.emplace_back(
                    it->first,
                    "client took no value for " +
                        std::to_string(std::chrono::duration_cast<std::chrono::seconds>(now - held.heldSince).count()) +
                        " s");
                MoveOut(held.waiting, held.waiting.begin(), letGo);
                held.held = false;
            } else if (held.held) {
                candidates.emplace_back(it->first, held.waiting.front());
            }
            ++it;
        }
    }
    for (const auto& client : ended) {
        EndClient(client.first, client.second);
    }
    bool released = false;
    for (const auto& candidate : candidates) {
        if (!MaySend(*candidate.second, candidate.second->NextBytes())) {
            continue;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto held = m_held.find(candidate.first);
        if (m_stop || held == m_held.end() || !held->second.held) {
            continue;
        }
        for (auto& s : held->second.waiting) {
            m_ready.push_back(std::move(s));
        }
        held->second.waiting.clear();
        held->second.held = false;
        GrowIfNeeded();
        released = true;
    }
    if (released) {
        m_readyChanged.notify_all();
    }
}

void RemoteSubscriptions::WakeLiveness()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_livenessRequested = true;
    }
    m_livenessWake.notify_all();
}

void RemoteSubscriptions::StartThreads()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_livenessThread.joinable() || m_stop) {
        return;
    }
    for (unsigned i = 0; i < c_deliveryThreads; ++i) {
        const unsigned slot = m_nextSlot++;
        m_deliveryThreads.emplace(slot, std::thread(&RemoteSubscriptions::DeliveryLoop, this, slot));
    }
    m_livenessThread = std::thread(&RemoteSubscriptions::LivenessLoop, this);
}

std::deque<std::shared_ptr<RemoteSubscription>>::iterator RemoteSubscriptions::NextReady()
{
    return std::find_if(m_ready.begin(), m_ready.end(),
                        [this](const auto& s) { return m_clientsInDelivery.count(s->ClientKey()) == 0; });
}

void RemoteSubscriptions::GrowIfNeeded()
{
    // Threads that left the pool have returned from their loop: joined here.
    for (const unsigned slot : m_leftSlots) {
        auto it = m_deliveryThreads.find(slot);
        if (it != m_deliveryThreads.end()) {
            it->second.join();
            m_deliveryThreads.erase(it);
        }
    }
    m_leftSlots.clear();
    if (m_stop || m_idleThreads > 0 || !m_livenessThread.joinable() ||
        m_deliveryThreads.size() >= c_maxDeliveryThreads || NextReady() == m_ready.end()) {
        return;
    }
    // Handing a value to the system takes microseconds, and a burst of them
    // needs no more threads: the pool grows for a thread that is stuck in a
    // delivery (a callback in this process that takes its time).
    const auto now = std::chrono::steady_clock::now();
    if (std::none_of(m_clientsInDelivery.begin(), m_clientsInDelivery.end(),
                     [&](const auto& client) { return now - client.second >= c_stuckDelivery; })) {
        return;
    }
    const unsigned slot = m_nextSlot++;
    m_deliveryThreads.emplace(slot, std::thread(&RemoteSubscriptions::DeliveryLoop, this, slot));
}

void RemoteSubscriptions::DeliveryLoop(unsigned slot)
{
    for (;;) {
        std::shared_ptr<RemoteSubscription> subscription;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            auto next = m_ready.end();
            // The first ready subscription of a client that no delivery
            // thread is serving right now: one client's values go out one
            // after another, in order.
            ++m_idleThreads;
            const bool ready = m_readyChanged.wait_for(lock, c_idleThreadTimeout, [&] {
                next = NextReady();
                return m_stop || next != m_ready.end();
            });
            --m_idleThreads;
            if (m_stop) {
                return;
            }
            if (!ready) {
                // Idle: a thread beyond the pool's base leaves it.
                if (m_deliveryThreads.size() - m_leftSlots.size() > c_deliveryThreads) {
                    m_leftSlots.push_back(slot);
                    return;
                }
                continue;
            }
            subscription = std::move(*next);
            m_ready.erase(next);
            m_clientsInDelivery.emplace(subscription->ClientKey(), std::chrono::steady_clock::now());
            // Values of other clients may wait while every thread is busy.
            GrowIfNeeded();
        }
        // One value, then to the back of the line: a busy node does not
        // hold up the others.
        const RemoteSubscription::Delivery_e result = subscription->DeliverOne();
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_clientsInDelivery.erase(subscription->ClientKey());
            if (!m_stop && result == RemoteSubscription::eHeld) {
                Hold(subscription);
            } else if (!m_stop && result == RemoteSubscription::eMore) {
                Enqueue(subscription);
            }
        }
        // Other threads may wait for this client's next subscription.
        m_readyChanged.notify_all();
    }
}

void RemoteSubscriptions::LivenessLoop()
{
    auto nextRound = std::chrono::steady_clock::now() + m_limits.livenessPeriod;
    std::vector<std::string> overflowing;
    for (;;) {
        bool round = false;
        bool held = false;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            const auto now = std::chrono::steady_clock::now();
            // Clients whose values wait, and values that wait for a thread,
            // are looked at often; the probes go out once a period.
            const bool watch = !m_held.empty() || (!m_ready.empty() && m_idleThreads == 0);
            const auto until = watch ? std::min(nextRound, now + c_heldCheck) : nextRound;
            m_livenessWake.wait_until(lock, until, [this] { return m_stop || m_livenessRequested || m_heldChanged; });
            if (m_stop) {
                return;
            }
            round = m_livenessRequested || std::chrono::steady_clock::now() >= nextRound;
            m_livenessRequested = false;
            m_heldChanged = false;
            held = !m_held.empty();
            overflowing.swap(m_overflowing);
            GrowIfNeeded();
        }
        for (const std::string& client : overflowing) {
            EndClient(client, "values waiting for the client would take more than " +
                                  std::to_string(m_limits.waitingBytesPerClient / 1024) + " kB");
        }
        overflowing.clear();
        if (held) {
            ReleaseHeld();
        }
        if (!round) {
            continue;
        }
        ProbeAll();
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_stop) {
                return;
            }
        }
        ReapEnded();
        if (m_periodicProbe) {
            m_periodicProbe();
        }
        nextRound = std::chrono::steady_clock::now() + m_limits.livenessPeriod;
    }
}

void RemoteSubscriptions::ProbeAll()
{
    std::map<std::string, std::vector<std::shared_ptr<RemoteSubscription>>> clients;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto& s : m_subscriptions) {
            if (!s.second->HasEnded()) {
                clients[s.second->ClientKey()].push_back(s.second);
            }
        }
    }
    const auto now = std::chrono::steady_clock::now();
    for (auto& client : clients) {
        // One probe per callback object: a client that subscribes to many
        // nodes with one callback object is asked once a period, not once
        // per subscription.
        std::map<std::string, std::pair<RemoteSubscription::Liveness_e, std::string>> objects;
        for (size_t i = 0; i < client.second.size(); ++i) {
            RemoteSubscription& subscription = *client.second[i];
            const std::string& object = subscription.ObjectKey();
            auto known = object.empty() ? objects.end() : objects.find(object);
            if (known == objects.end()) {
                std::string reason;
                RemoteSubscription::Liveness_e state = RemoteSubscription::eAlive;
                const RemoteObject& remote = subscription.Remote();
                if (remote.inProcess || !remote.target.Valid()) {
                    state = subscription.Probe(reason);
                } else {
                    // Asks without waiting: the answer counts in a later round.
                    const RemoteProber::Status status = m_prober.Probe(remote.target);
                    if (status.state == RemoteProber::eObjectGone) {
                        state = RemoteSubscription::eObjectGone;
                        reason = "callback object gone (" + status.reason + ")";
                    } else if (status.state == RemoteProber::eClientGone) {
                        state = RemoteSubscription::eClientGone;
                        reason = "client gone (" + status.reason + ")";
                    } else if (status.Waiting() && now - status.waitingSince >= m_limits.unreachableAfter) {
                        state = RemoteSubscription::eClientGone;
                        reason =
                            "client not reachable for " +
                            std::to_string(
                                std::chrono::duration_cast<std::chrono::seconds>(now - status.waitingSince).count()) +
                            " s";
                    }
                }
                known = objects
                            .emplace(object.empty() ? std::to_string(subscription.Id()) : object,
                                     std::make_pair(state, reason))
                            .first;
                std::lock_guard<std::mutex> lock(m_mutex);
                if (m_stop) {
                    return;
                }
            }
            const RemoteSubscription::Liveness_e state = known->second.first;
            const std::string& reason = known->second.second;
            if (state == RemoteSubscription::eObjectGone) {
                subscription.End(reason);
            } else if (state == RemoteSubscription::eClientGone) {
                // The client's endpoint is gone: so are all its callbacks.
                for (size_t j = i; j < client.second.size(); ++j) {
                    client.second[j]->End(reason);
                }
                break;
            }
        }
    }
}

void RemoteSubscriptions::ReapEnded()
{
    std::vector<std::shared_ptr<RemoteSubscription>> ended;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto it = m_subscriptions.begin(); it != m_subscriptions.end();) {
            if (it->second->HasEnded()) {
                // Recorded before it leaves: a client that asks meanwhile learns why.
                m_ended.Add(it->second->Id(), it->second->EndReason());
                ended.push_back(std::move(it->second));
                it = m_subscriptions.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& s : ended) {
        s->Close();
    }
}

// The registration of one node with the subscriptions of its path: its
// emissions are turned into values once and offered to each of them.
struct RemoteSubscriptions::Feed {
    explicit Feed(RemoteSubscriptions& owner) : hub(owner) {}
    RemoteSubscriptions& hub;
    bool enumNode = false; // set before the registration
    std::mutex mutex;      // subscribers; held while values are offered
    std::vector<std::pair<const RemoteSubscription*, std::weak_ptr<RemoteSubscription>>> subscribers;
    // Last: unregistered first when the feed goes, so that no emission
    // runs while the rest is destroyed.
    mci::NotificationClient notifications;

    void OnValue(const mci::NotificationData& data)
    {
        // Let go of after the lock: the last hold of a subscription closes it.
        std::vector<std::shared_ptr<RemoteSubscription>> live;
        std::lock_guard<std::mutex> lock(mutex);
        for (const auto& s : subscribers) {
            if (auto subscription = s.second.lock()) {
                live.push_back(std::move(subscription));
            }
        }
        if (live.empty()) {
            return;
        }
        const std::shared_ptr<const RemoteValue> value = MakeValue(data, enumNode);
        for (const auto& subscription : live) {
            subscription->Offer(value);
        }
        // Judged once the value is offered to all: until then a value that
        // it replaces still waits for some of them.
        for (const auto& subscription : live) {
            if (subscription->Overflowing()) {
                hub.Overflowing(subscription->ClientKey());
            }
        }
    }
};

void RemoteSubscriptions::Attach(const std::shared_ptr<RemoteSubscription>& subscription)
{
    std::lock_guard<std::mutex> lock(m_feedsMutex);
    std::shared_ptr<Feed>& feed = m_feeds[subscription->TreePath()];
    if (!feed) {
        try {
            mci::TreeNodePtr node = m_access.Find(subscription->TreePath());
            auto made = std::make_shared<Feed>(*this);
            try {
                made->enumNode = m_access.GetValueType(subscription->TreePath()) == RemoteSubscription::c_enumValueType;
            } catch (const std::exception&) {
                made->enumNode = false; // no register node: nothing to name
            }
            Feed* raw = made.get();
            made->notifications.Register(
                node, mci::Callback([raw](const mci::NotificationData& data) { raw->OnValue(data); }));
            feed = std::move(made);
        } catch (...) {
            m_feeds.erase(subscription->TreePath());
            throw;
        }
    }
    std::lock_guard<std::mutex> feedLock(feed->mutex);
    feed->subscribers.emplace_back(subscription.get(), subscription);
}

void RemoteSubscriptions::Detach(const RemoteSubscription& subscription)
{
    std::shared_ptr<Feed> unused;
    {
        std::lock_guard<std::mutex> lock(m_feedsMutex);
        const auto it = m_feeds.find(subscription.TreePath());
        if (it == m_feeds.end()) {
            return;
        }
        std::lock_guard<std::mutex> feedLock(it->second->mutex);
        auto& subscribers = it->second->subscribers;
        subscribers.erase(std::remove_if(subscribers.begin(), subscribers.end(),
                                         [&](const auto& s) { return s.first == &subscription; }),
                          subscribers.end());
        if (subscribers.empty()) {
            unused = std::move(it->second);
            m_feeds.erase(it);
        }
    }
    // Destroyed here, outside the locks: it waits for an emission in progress.
}

std::shared_ptr<WaitingValues> RemoteSubscriptions::WaitingOf(const std::string& clientKey)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_waiting.begin(); it != m_waiting.end();) {
        it = it->second.expired() ? m_waiting.erase(it) : std::next(it);
    }
    std::shared_ptr<WaitingValues> waiting = m_waiting[clientKey].lock();
    if (!waiting) {
        waiting = std::make_shared<WaitingValues>();
        m_waiting[clientKey] = waiting;
    }
    return waiting;
}

void RemoteSubscriptions::Overflowing(const std::string& clientKey)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (std::find(m_overflowing.begin(), m_overflowing.end(), clientKey) == m_overflowing.end()) {
            m_overflowing.push_back(clientKey);
        }
        m_livenessRequested = true;
    }
    m_livenessWake.notify_all();
}

void RemoteSubscriptions::EndClient(const std::string& clientKey, const std::string& reason)
{
    std::vector<std::shared_ptr<RemoteSubscription>> ofClient;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto& s : m_subscriptions) {
            if (s.second->ClientKey() == clientKey) {
                ofClient.push_back(s.second);
            }
        }
    }
    for (const auto& s : ofClient) {
        s->End(reason);
    }
}

} // namespace remote
