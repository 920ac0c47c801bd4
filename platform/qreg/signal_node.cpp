#include "platform/qreg/signal_node.h"

#include "platform/qstd/exception.h"

#include <mutex>

namespace qreg {

SignalNode::SignalNode(const std::string& name, qsig::SignalSource* source, unsigned long long flags)
    : RegNode(name, flags), m_source(source)
{
}

SignalNode::~SignalNode() = default;

void SignalNode::DetachSource()
{
    std::unique_lock<std::shared_timed_mutex> lock(m_sourceMutex);
    m_source = nullptr;
}

bool SignalNode::HasSource() const
{
    std::shared_lock<std::shared_timed_mutex> lock(m_sourceMutex);
    return m_source != nullptr;
}

void SignalNode::ThrowUnavailable() const
{
    throw qstd::Exception("qreg: Signal source is not available: " + GetName(), true);
}

} // namespace qreg
