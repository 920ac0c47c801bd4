#include "platform/mci/remote_subscription.h"

#include "platform/qstd/exception.h"
#include "platform/qstd/log.h"

#include <omniORB4/IIOP.h>
#include <omniORB4/omniIOR.h>
#include <omniORB4/omniORB.h>

#include <algorithm>
#include <iomanip>
#include <sstream>

namespace mci {

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

} // namespace

bool EmittedValueTexts(const qstd::Any& value, std::vector<std::string>& texts)
{
    return TryTexts<bool>(value, texts) || TryTexts<int>(value, texts) || TryTexts<unsigned int>(value, texts) ||
           TryTexts<long long>(value, texts) || TryTexts<unsigned long long>(value, texts) ||
           TryTexts<long>(value, texts) || TryTexts<unsigned long>(value, texts) || TryTexts<double>(value, texts) ||
           TryTexts<float>(value, texts) || TryTexts<std::string>(value, texts);
}

std::string CallbackClientKey(CORBA::Object_ptr callback, std::string* objectKey)
{
    std::string key;
    std::string object;
    if (!CORBA::is_nil(callback) && callback->_PR_getobj() != nullptr) {
        omniIOR* ior = callback->_PR_getobj()->_getIOR();
        try {
            const IOP::TaggedProfileList& profiles = ior->iopProfiles();
            for (CORBA::ULong i = 0; i < profiles.length() && key.empty(); ++i) {
                if (profiles[i].tag == IOP::TAG_INTERNET_IOP) {
                    IIOP::ProfileBody body;
                    IIOP::unmarshalProfile(profiles[i], body);
                    key = std::string(body.address.host.in()) + ":" + std::to_string(body.address.port);
                    object.assign(reinterpret_cast<const char*>(body.object_key.get_buffer()),
                                  body.object_key.length());
                }
            }
        } catch (const CORBA::Exception&) {
            key.clear(); // an undecodable profile: counted with the others below
        }
        ior->release();
    }
    if (key.empty()) {
        key = "(no IIOP endpoint)";
        object.clear();
    }
    if (objectKey != nullptr) {
        // Without a decodable profile every callback counts as its own object.
        *objectKey = object.empty() ? std::string() : key + "/" + object;
    }
    return key;
}

RemoteSubscription::RemoteSubscription(std::uint64_t id, const std::string& path, const std::string& treePath,
                                       ClientAccess& access, zemtra_REMOTE::ValueCallback_ptr callback,
                                       std::string clientKey, std::string objectKey, RemoteSubscriptions& hub)
    : m_id(id), m_path(path), m_treePath(treePath), m_access(access),
      m_callback(zemtra_REMOTE::ValueCallback::_duplicate(callback)), m_clientKey(std::move(clientKey)),
      m_objectKey(std::move(objectKey)), m_hub(hub)
{
    omniORB::setClientCallTimeout(m_callback, c_callTimeoutMs);
}

RemoteSubscription::~RemoteSubscription()
{
    Close();
}

void RemoteSubscription::Start()
{
    TreeNodePtr node = m_access.Find(m_treePath);
    try {
        m_enum = m_access.GetValueType(m_treePath) == c_enumValueType;
    } catch (const std::exception&) {
        m_enum = false; // a branch: nothing to name
    }
    // Registered last: from here on OnValue may run, and needs shared ownership.
    std::weak_ptr<RemoteSubscription> self = shared_from_this();
    m_notifications.Register(node, Callback([self](const NotificationData& data) {
                                 if (auto s = self.lock()) {
                                     s->OnValue(data);
                                 }
                             }));
}

void RemoteSubscription::OnValue(const NotificationData& data)
{
    // Runs on the emitting thread: no remote call here.
    Item item;
    item.position = data.position;
    item.reread = !EmittedValueTexts(data.value, item.texts);
    // An enum node emits its value as an integer, while clients see names.
    // Reading the name here could call back into an owner that is emitting
    // under its own lock, so the delivery reads it instead: the client gets
    // the node's name for the value at delivery time.
    item.reread = item.reread || m_enum;
    item.count = item.texts.empty() ? 1 : item.texts.size();
    // Asked before this subscription's lock: the hub's lock is never taken
    // under it.
    const bool slow = m_hub.IsSlow(m_clientKey);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stop) {
            return;
        }
        if (slow) {
            // The client is not taking values: only the latest of the same
            // elements waits for it.
            m_queue.erase(std::remove_if(m_queue.begin(), m_queue.end(),
                                         [&](const Item& queued) {
                                             return queued.position == item.position && queued.count == item.count;
                                         }),
                          m_queue.end());
        }
        if (m_queue.size() >= c_maxQueued) {
            m_queue.pop_front();
            m_lost.fetch_add(1);
        }
        m_queue.push_back(std::move(item));
        if (m_scheduled) {
            return;
        }
        m_scheduled = true;
    }
    m_hub.Schedule(shared_from_this());
}

bool RemoteSubscription::DeliverOne()
{
    Item item;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stop || m_queue.empty()) {
            m_scheduled = false;
            return false;
        }
        item = std::move(m_queue.front());
        m_queue.pop_front();
        m_delivering = true;
    }
    bool failed = false;
    std::string reason;
    try {
        if (item.reread) {
            // Read the emitted elements as a client would: enums by name.
            item.texts = m_access.GetTexts(m_treePath, item.position, item.count);
        }
        zemtra_REMOTE::StringSeq values;
        values.length(static_cast<CORBA::ULong>(item.texts.size()));
        for (CORBA::ULong i = 0; i < values.length(); ++i) {
            values[i] = item.texts[i].c_str();
        }
        try {
            m_callback->ValueChanged(m_path.c_str(), values, static_cast<CORBA::ULong>(item.position));
        } catch (const CORBA::Exception& e) {
            failed = true;
            reason = std::string("callback not reachable (") + e._name() + ")";
        }
    } catch (const std::exception& e) {
        qstd::LogWarning("Remote subscription " + std::to_string(m_id) + " of " + m_path +
                         ": value not readable: " + e.what());
    }
    bool more = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_delivering = false;
        more = !m_stop && !m_queue.empty() && !failed;
        m_scheduled = more;
    }
    m_idle.notify_all();
    if (failed) {
        End(reason);
    }
    return more;
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
    if (m_ended.exchange(true)) {
        return;
    }
    qstd::LogWarning("Remote subscription " + std::to_string(m_id) + " of " + m_path + " ended: " + reason);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
        m_queue.clear();
    }
    m_hub.WakeLiveness();
}

void RemoteSubscription::Close()
{
    std::lock_guard<std::mutex> closeLock(m_closeMutex);
    if (m_closed) {
        return;
    }
    m_closed = true;
    // After this no emission reaches OnValue any more.
    m_notifications.UnregisterAll();
    std::unique_lock<std::mutex> lock(m_mutex);
    m_stop = true;
    m_queue.clear();
    // A value being sent right now is waited for.
    m_idle.wait(lock, [this] { return !m_delivering; });
}

RemoteSubscriptions::RemoteSubscriptions(ClientAccess& access, const Limits& limits)
    : m_access(access), m_limits(limits)
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
    std::string objectKey;
    const std::string clientKey = CallbackClientKey(callback, &objectKey);
    auto subscription =
        std::make_shared<RemoteSubscription>(id, path, treePath, m_access, callback, clientKey, objectKey, *this);
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
        }
        if (ofClient >= m_limits.perClient) {
            throw qstd::Exception("mci: Too many subscriptions of client " + clientKey + " (at most " +
                                      std::to_string(m_limits.perClient) + ")",
                                  true);
        }
        // Counted before it starts, so that concurrent requests cannot pass the bounds together.
        m_subscriptions.emplace(id, subscription);
    }
    StartThreads();
    try {
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
    {
        // Stopped first: no delivery or probe starts while the subscriptions
        // close (each waits for a call in progress to a client that may take
        // its whole time-out to answer), and no subscription is added.
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
        m_ready.clear();
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

void RemoteSubscriptions::Schedule(const std::shared_ptr<RemoteSubscription>& subscription)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stop) {
            return;
        }
        m_ready.push_back(subscription);
        GrowIfNeeded();
    }
    m_readyChanged.notify_one();
}

bool RemoteSubscriptions::IsSlow(const std::string& clientKey)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_clientsInDelivery.find(clientKey);
    return it != m_clientsInDelivery.end() && std::chrono::steady_clock::now() - it->second >= c_slowCall;
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
            // thread is calling right now: a client that is slow to answer
            // (or hangs until the call times out) holds one thread at most.
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
            // Values of other clients may wait while every thread is in a call.
            GrowIfNeeded();
        }
        // One value, then to the back of the line: a busy node does not
        // hold up the others.
        const bool more = subscription->DeliverOne();
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_clientsInDelivery.erase(subscription->ClientKey());
            if (more && !m_stop) {
                m_ready.push_back(subscription);
            }
        }
        // Other threads may wait for this client's next subscription.
        m_readyChanged.notify_all();
    }
}

void RemoteSubscriptions::LivenessLoop()
{
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_livenessWake.wait_for(lock, m_limits.livenessPeriod, [this] { return m_stop || m_livenessRequested; });
            if (m_stop) {
                return;
            }
            m_livenessRequested = false;
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
                const RemoteSubscription::Liveness_e state = subscription.Probe(reason);
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

} // namespace mci
