#pragma once
// qreg::SignalNode: exports a signal source (a stream or a data-on-demand
// source) to clients under the node's name. The node does not own the
// source. An owner that deletes its source while the tree may still be
// reached detaches it from the node first; from then on a client that
// reaches the node gets an error, and DetachSource waits until no client is
// using the source.

#include "platform/qreg/reg_node.h"
#include "platform/qsig/signal_source.h"

#include <shared_mutex>
#include <string>

namespace qreg {

class SignalNode : public RegNode {
public:
    SignalNode(const std::string& name, qsig::SignalSource* source, unsigned long long flags = mci::enums::eValue);
    ~SignalNode() override;

    SignalNode* AsSignalNode() override { return this; }

    // Withdraws the source; returns when no client uses it any more.
    void DetachSource();
    bool HasSource() const;

    // Runs f(source) while the source cannot be withdrawn. Raises
    // "qreg: Signal source is not available: " + name when it has been
    // withdrawn (or was never given).
    template <typename F> auto WithSource(F&& f) const -> decltype(f(std::declval<qsig::SignalSource&>()))
    {
        std::shared_lock<std::shared_timed_mutex> lock(m_sourceMutex);
        if (!m_source) {
            ThrowUnavailable();
        }
        return f(*m_source);
    }

private:
    [[noreturn]] void ThrowUnavailable() const;

    mutable std::shared_timed_mutex m_sourceMutex;
    qsig::SignalSource* m_source;
};

} // namespace qreg
