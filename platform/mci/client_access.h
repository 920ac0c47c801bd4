#pragma once
// mci::ClientAccess: the register tree as a remote client sees it. Nodes are
// named by '/'-separated paths below the root given at construction. Reads
// and writes go through the register library's client entry points; writes
// are refused on nodes without the writable bit (0x4). Every failure raises a
// qstd::Exception whose message is the one the client would receive.
//
// A path is walked once: each thread keeps the nodes it found by path (for
// one ClientAccess at a time) until a node is added to a tree. The tree keeps
// every node it holds alive, so the nodes found stay valid.

#include "platform/mci/tree_node.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace qreg {
class RegNode;
}

namespace mci {

class ClientAccess {
public:
    explicit ClientAccess(TreeNodePtr root);

    // Node at the path; raises "mci: No such node: " + path.
    TreeNodePtr Find(const std::string& path) const;
    bool Exists(const std::string& path) const;

    // Names of the children, in the order of adding.
    std::vector<std::string> List(const std::string& path) const;

    int GetValueType(const std::string& path) const;
    size_t GetSize(const std::string& path) const;
    unsigned long long GetFlags(const std::string& path) const;
    std::vector<std::string> GetDomainValues(const std::string& path) const;
    // The validator's text; empty when the node has none.
    std::string GetValidator(const std::string& path) const;

    // Reads. Text: integers in decimal, bool as "true"/"false", doubles with
    // 15 significant digits, enums by name. Integer and double reads convert
    // from the node's numeric type; an enum reads as its integer.
    std::string GetText(const std::string& path, size_t position = 0) const;
    std::vector<std::string> GetTexts(const std::string& path, size_t position, size_t count) const;
    long long GetInteger(const std::string& path, size_t position = 0) const;
    std::vector<long long> GetIntegers(const std::string& path, size_t position, size_t count) const;
    double GetDouble(const std::string& path, size_t position = 0) const;
    std::vector<double> GetDoubles(const std::string& path, size_t position, size_t count) const;

    // Writes. Text is parsed in the node's type (an enum node takes a name or
    // an integer text); integers and doubles are converted to the node's
    // numeric type, refusing values that do not fit.
    void SetText(const std::string& path, const std::string& text, size_t position = 0);
    void SetTexts(const std::string& path, const std::vector<std::string>& texts, size_t position);
    void SetInteger(const std::string& path, long long value, size_t position = 0);
    void SetIntegers(const std::string& path, const std::vector<long long>& values, size_t position);
    void SetDouble(const std::string& path, double value, size_t position = 0);
    void SetDoubles(const std::string& path, const std::vector<double>& values, size_t position);

    // Client resize; refused on every kind but value nodes.
    void Resize(const std::string& path, size_t size);

    // Runs a command node's command; raises when the node is not a command
    // or the command reports failure.
    void Execute(const std::string& path);

    // What a client learns when it opens a signal node; raises when the
    // node is not a signal node or its source has been withdrawn.
    struct SignalInfo {
        std::string name;
        std::string owner;
        int accessType = 0; // 1 stream, 2 data on demand
        size_t atomSize = 0;
        size_t length = 0;
    };
    SignalInfo GetSignal(const std::string& path) const;

    // Collects every value the node emits from now on, until destroyed.
    class Subscription {
    public:
        std::vector<NotificationData> Values() const;
        size_t Count() const;
        // Waits until at least n values arrived; false on time-out.
        bool WaitFor(size_t n, std::chrono::steady_clock::duration timeout) const;

    private:
        friend class ClientAccess;
        Subscription() = default;
        mutable std::mutex m_mutex;
        mutable std::condition_variable m_changed;
        std::vector<NotificationData> m_values;
        // Declared last, so destroyed first: its destructor waits for a
        // callback that is still filling m_values on an emitting thread.
        NotificationClient m_client;
    };
    std::unique_ptr<Subscription> Subscribe(const std::string& path);

private:
    // The node at the path, from this thread's paths found before when it can.
    TreeNode& Resolve(const std::string& path) const;
    qreg::RegNode& RegisterNode(const std::string& path) const;
    qreg::RegNode& WritableNode(const std::string& path) const;

    TreeNodePtr m_root;
    // Tells the paths found under this root apart from those of other
    // accesses; a copy shares root and serial.
    uint64_t m_serial;
};

// The owner's text write, as ClientAccess::SetTexts parses and applies the
// texts (the node's type, validator, setter, notification of subscribers),
// but regardless of the writable bit: the configuration step loads through it
// the persistent values that clients may not write. Raises as SetTexts does.
void SetNodeTexts(qreg::RegNode& node, const std::vector<std::string>& texts, size_t position);

} // namespace mci
