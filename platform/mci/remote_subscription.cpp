#include "platform/mci/remote_subscription.h"

#include "platform/qstd/log.h"

#include <omniORB4/omniORB.h>

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

RemoteSubscription::RemoteSubscription(std::uint64_t id, const std::string& path, const std::string& treePath,
                                       ClientAccess& access, zemtra_REMOTE::ValueCallback_ptr callback)
    : m_id(id), m_path(path), m_treePath(treePath), m_access(access),
      m_callback(zemtra_REMOTE::ValueCallback::_duplicate(callback))
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
    m_thread = std::thread(&RemoteSubscription::Deliver, this);
    m_notifications.Register(node, Callback([this](const NotificationData& data) { OnValue(data); }));
}

void RemoteSubscription::OnValue(const NotificationData& data)
{
    // Runs on the emitting thread: no remote call here.
    Item item;
    item.position = data.position;
    item.reread = !EmittedValueTexts(data.value, item.texts);
    // An enum node emits its value as an integer, while clients see names.
    // Reading the name here could call back into an owner that is emitting
    // under its own lock, so the delivery thread reads it instead: the
    // client gets the node's name for the value at delivery time.
    item.reread = item.reread || m_enum;
    item.count = item.texts.empty() ? 1 : item.texts.size();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_stop) {
        return;
    }
    if (m_queue.size() >= c_maxQueued) {
        m_queue.pop_front();
        m_lost.fetch_add(1);
    }
    m_queue.push_back(std::move(item));
    m_changed.notify_one();
}

void RemoteSubscription::Deliver()
{
    for (;;) {
        Item item;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_changed.wait(lock, [this] { return m_stop || !m_queue.empty(); });
            if (m_stop) {
                return;
            }
            item = std::move(m_queue.front());
            m_queue.pop_front();
        }
        zemtra_REMOTE::StringSeq values;
        try {
            if (item.reread) {
                // Read the emitted elements as a client would: enums by name.
                item.texts = m_access.GetTexts(m_treePath, item.position, item.count);
            }
        } catch (const std::exception& e) {
            qstd::LogWarning("Remote subscription " + std::to_string(m_id) + " of " + m_path +
                             ": value not readable: " + e.what());
            continue;
        }
        values.length(static_cast<CORBA::ULong>(item.texts.size()));
        for (CORBA::ULong i = 0; i < values.length(); ++i) {
            values[i] = item.texts[i].c_str();
        }
        try {
            m_callback->ValueChanged(m_path.c_str(), values, static_cast<CORBA::ULong>(item.position));
        } catch (const CORBA::Exception& e) {
            qstd::LogWarning("Remote subscription " + std::to_string(m_id) + " of " + m_path +
                             " ended: callback not reachable (" + e._name() + ")");
            m_ended.store(true);
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
            m_queue.clear();
            return;
        }
    }
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
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
        m_queue.clear();
    }
    m_changed.notify_all();
    if (m_thread.joinable()) {
        m_thread.join();
    }
}

} // namespace mci
