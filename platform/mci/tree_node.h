#pragma once
// The management interface's register tree: tree nodes with their names,
// flags words, children, locks and subscribers; the node structure that each
// node owns; the handle that an object keeps on a node it drives itself; and
// the notification client through which code subscribes to node values.

#include "platform/qstd/any.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

namespace qreg {
class RegNode;
class SignalNode;
} // namespace qreg

namespace mci {

// Path of a node relative to another node, components separated by '/'.
// Register nodes answer for themselves only and are always given the empty
// relative path.
using Path = std::string;
extern const Path c_noRelPath;

namespace enums {

// Bits of a node's flags word. The word itself is 64 bits wide; these names
// cover the bits the system uses.
enum Flags_e : unsigned int {
    eNone = 0x0,
    eValue = 0x2,      // the node carries a value
    eWritable = 0x4,   // clients may write the value
    ePersistent = 0x8, // the configuration step saves and loads the value
    eAux = 0x40,       // carried for clients; no behaviour in the library
    eArray = 0x200     // the node's value is an array
};

// The value that a command node holds; executing the node runs its command.
enum NodeCommand_e : int { eExecute = 0xEE };

} // namespace enums

class TreeNode;
using TreeNodePtr = std::shared_ptr<TreeNode>;

// A node's private bookkeeping for the management interface; one per node,
// owned by the node.
class NodeStructure {
public:
    explicit NodeStructure(TreeNode* node) : m_node(node) {}
    virtual ~NodeStructure() = default;
    NodeStructure(const NodeStructure&) = delete;
    NodeStructure& operator=(const NodeStructure&) = delete;

    TreeNode* GetNode() const { return m_node; }

private:
    TreeNode* m_node;
};

// The structure of a node served by this process.
class LocalNodeStructure : public NodeStructure {
public:
    explicit LocalNodeStructure(TreeNode* node) : NodeStructure(node) {}
};

// What a subscriber receives: the node's name, the emitted value (a copy of
// the value, or a vector for an array node) and the first changed position.
struct NotificationData {
    std::string name;
    qstd::Any value;
    size_t position = 0;
};

// A subscriber callback with the identifier under which it is registered.
class Callback {
public:
    using Function = std::function<void(const NotificationData&)>;

    // A fresh identifier is drawn for every callback made without one.
    explicit Callback(Function function);
    Callback(unsigned long long id, Function function) : m_id(id), m_function(std::move(function)) {}

    unsigned long long GetId() const { return m_id; }
    const Function& GetFunction() const { return m_function; }

private:
    unsigned long long m_id;
    Function m_function;
};

class Node;

// Holds subscriptions to node values. Destroying the client (or calling
// UnregisterAll) ends them; when that returns, none of its callbacks is
// running and none will run again.
class NotificationClient {
public:
    NotificationClient();
    ~NotificationClient();
    NotificationClient(const NotificationClient&) = delete;
    NotificationClient& operator=(const NotificationClient&) = delete;

    // Subscribes the callback to the node; false when the handle is empty.
    bool Register(const Node& node, const Callback& callback);
    bool Register(const TreeNodePtr& node, const Callback& callback);
    void UnregisterAll();

    struct State;

private:
    std::shared_ptr<State> m_state;
};

class TreeNode : public std::enable_shared_from_this<TreeNode> {
public:
    TreeNode(const std::string& name, unsigned long long flags);
    virtual ~TreeNode();
    TreeNode(const TreeNode&) = delete;
    TreeNode& operator=(const TreeNode&) = delete;

    const std::string& GetName() const { return m_name; }

    // Whole flags word. The path is not looked at.
    virtual unsigned long long OnGetFlags(const Path& path) const;
    // ORs bits into the flags word; bits are never cleared.
    virtual void OnSetFlags(unsigned long long flags, const Path& path);
    unsigned long long GetFlags() const { return OnGetFlags(c_noRelPath); }

    // The node's own recursive mutex.
    std::unique_lock<std::recursive_mutex> Lock() const;

    // A constant node refuses every write. The bit is the library's own and
    // is kept apart from the flags word.
    bool IsConstant(const Path& path) const;
    void SetConstant(bool constant);
    // An array node carries the array bit (0x200) in its flags word.
    bool IsArray(const Path& path) const;

    // Takes ownership of the structure.
    void SetNodeStructure(NodeStructure* structure);
    NodeStructure* GetNodeStructure() const { return m_structure.get(); }

    // True when the node is usable: it has its structure and a name that
    // can be a path component (no '/').
    virtual bool Init();

    // Attaches the child and returns its handle; an empty handle is traced
    // and ignored, and the empty handle is returned.
    TreeNodePtr Add(const TreeNodePtr& child);
    // Children in the order of adding.
    std::vector<TreeNodePtr> GetChildren() const;
    // Child of that name, or empty.
    TreeNodePtr GetChild(const std::string& name) const;
    // Node at a relative path ("a/b"); the empty path is the node itself.
    TreeNodePtr Find(const Path& path);
    // Grows whenever a node is added to any tree: what was found by a path
    // before may be found otherwise since.
    static uint64_t GetTreeGeneration();

    // The register or signal node that this node is, or null: the node's
    // kind through one virtual call instead of a type test.
    virtual qreg::RegNode* AsRegNode() { return nullptr; }
    virtual qreg::SignalNode* AsSignalNode() { return nullptr; }

    // Base comparison: same name and same flags word.
    virtual bool operator==(const TreeNode& other) const;
    bool operator!=(const TreeNode& other) const { return !(*this == other); }

    // Subscribers. Every callback receives its own copy of the data; an
    // exception thrown by a callback is traced and does not reach the
    // emitter. Returns true when every callback returned normally.
    bool NotifySubscribers(const qstd::Any& value, size_t position) const;
    size_t GetSubscriberCount() const;

private:
    friend class NotificationClient;
    struct Subscription {
        std::weak_ptr<NotificationClient::State> client;
        Callback callback;
    };
    void AddSubscription(const std::shared_ptr<NotificationClient::State>& client, const Callback& callback);
    // Takes out the entries of that client and of clients that are gone.
    void RemoveSubscriptionsOf(const NotificationClient::State* client);

    const std::string m_name;
    std::atomic<unsigned long long> m_flags;
    std::atomic<bool> m_constant{false};
    mutable std::recursive_mutex m_mutex;
    std::unique_ptr<NodeStructure> m_structure;

    mutable std::mutex m_childMutex;
    std::vector<TreeNodePtr> m_children;

    mutable std::mutex m_subscriberMutex;
    std::vector<Subscription> m_subscriptions;
};

// Typed access to a register node on behalf of the system's own code; these
// take the client write path without its writable check. Each returns false
// (and traces why) when the node is missing or refuses.
bool SetNodeValue(TreeNode* node, const bool& value, size_t position);
bool SetNodeValue(TreeNode* node, const int& value, size_t position);
bool SetNodeValue(TreeNode* node, const unsigned int& value, size_t position);
bool SetNodeValue(TreeNode* node, const long long& value, size_t position);
bool SetNodeValue(TreeNode* node, const unsigned long long& value, size_t position);
bool SetNodeValue(TreeNode* node, const double& value, size_t position);
bool SetNodeValue(TreeNode* node, const float& value, size_t position);
bool SetNodeValue(TreeNode* node, const std::string& value, size_t position);
bool GetNodeValue(TreeNode* node, bool& value, size_t position);
bool GetNodeValue(TreeNode* node, int& value, size_t position);
bool GetNodeValue(TreeNode* node, unsigned int& value, size_t position);
bool GetNodeValue(TreeNode* node, long long& value, size_t position);
bool GetNodeValue(TreeNode* node, unsigned long long& value, size_t position);
bool GetNodeValue(TreeNode* node, double& value, size_t position);
bool GetNodeValue(TreeNode* node, float& value, size_t position);
bool GetNodeValue(TreeNode* node, std::string& value, size_t position);

// A handle that an object keeps on a node it drives itself.
class Node {
public:
    Node() = default;
    Node(const TreeNodePtr& node, const Path& path) : m_node(node), m_path(path) {}

    const TreeNodePtr& GetTreeNode() const { return m_node; }
    const Path& GetPath() const { return m_path; }
    explicit operator bool() const { return static_cast<bool>(m_node); }

    // Sets one element as a client write would (constant check, position,
    // validator, the node's setter, notification of subscribers), but
    // regardless of the writable bit. False when the handle is empty or the
    // write is refused. An enumeration value is written as its integer.
    template <typename T> bool SetValue(const T& value, size_t position) const
    {
        if constexpr (std::is_enum<T>::value) {
            const long long v = static_cast<long long>(value);
            return SetNodeValue(m_node.get(), v, position);
        } else if constexpr (!std::is_same<T, std::string>::value &&
                             std::is_convertible<const T&, std::string>::value) {
            // A text literal is a string, not a bool.
            return SetNodeValue(m_node.get(), std::string(value), position);
        } else {
            return SetNodeValue(m_node.get(), value, position);
        }
    }

    // Reads one element as a client would; false when the handle is empty
    // or the node yields no value.
    template <typename T> bool GetValue(T& value, size_t position) const
    {
        if constexpr (std::is_enum<T>::value) {
            long long v = 0;
            if (!GetNodeValue(m_node.get(), v, position)) {
                return false;
            }
            value = static_cast<T>(v);
            return true;
        } else {
            return GetNodeValue(m_node.get(), value, position);
        }
    }

    // Sends the node's current value to its subscribers; false when empty.
    bool Emit() const;

private:
    TreeNodePtr m_node;
    Path m_path;
};

} // namespace mci
