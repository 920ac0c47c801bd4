#pragma once
// mci::RemoteSubscription: one remote subscriber of a node. The node's
// emissions arrive on the emitting thread, are turned into text there and
// queued (a bounded queue: when a slow subscriber lets it fill up, the
// oldest value is dropped and counted); a delivery thread of the
// subscription sends them to the client's callback object in order. A
// callback object that cannot be reached ends the subscription.

#include "platform/mci/client_access.h"
#include "platform/mci/tree_node.h"

#include "zemtra_remote.hh"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace mci {

// Texts of an emitted value: one element, or one per element of a vector.
// False when the value's type is not one the register library emits as a
// plain number, bool or string (an enum node's own enumeration type).
bool EmittedValueTexts(const qstd::Any& value, std::vector<std::string>& texts);

class RemoteSubscription {
public:
    static constexpr std::size_t c_maxQueued = 1024;
    static constexpr int c_enumValueType = 9;
    // Time a callback may take before the subscriber counts as gone.
    static constexpr unsigned c_callTimeoutMs = 5000;

    // path: the client's dot-separated path; treePath: the same in the tree.
    RemoteSubscription(std::uint64_t id, const std::string& path, const std::string& treePath, ClientAccess& access,
                       zemtra_REMOTE::ValueCallback_ptr callback);
    ~RemoteSubscription();
    RemoteSubscription(const RemoteSubscription&) = delete;
    RemoteSubscription& operator=(const RemoteSubscription&) = delete;

    // Subscribes to the node and starts delivering; raises as ClientAccess
    // does for an unknown path.
    void Start();
    // Ends the subscription: no callback runs or is sent after it returns.
    void Close();
    // The delivery thread ended because the callback object was unreachable.
    bool HasEnded() const { return m_ended.load(); }
    std::uint64_t Lost() const { return m_lost.load(); }

private:
    struct Item {
        std::vector<std::string> texts;
        size_t position = 0;
        bool reread = false; // read the node's text on delivery (enums, other types)
        size_t count = 1;    // elements emitted
    };
    void OnValue(const NotificationData& data);
    void Deliver();

    const std::uint64_t m_id;
    const std::string m_path;
    const std::string m_treePath;
    ClientAccess& m_access;
    zemtra_REMOTE::ValueCallback_var m_callback;
    NotificationClient m_notifications;

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<Item> m_queue;
    bool m_stop = false;
    std::atomic<std::uint64_t> m_lost{0};
    std::atomic<bool> m_ended{false};
    bool m_enum = false; // set before the first emission can arrive
    std::thread m_thread;
    std::mutex m_closeMutex;
    bool m_closed = false;
};

} // namespace mci
