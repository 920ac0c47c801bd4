// Typed access of mci::Node handles to the register node behind them.

#include "platform/mci/tree_node.h"
#include "platform/qreg/reg_node.h"
#include "platform/qstd/trace.h"

#include <exception>

namespace mci {

namespace {

template <typename T> bool SetTyped(TreeNode* node, const T& value, size_t position)
{
    qreg::RegNode* reg = node ? node->AsRegNode() : nullptr;
    if (!reg) {
        QSTD_TRACE(qstd::TraceError, "Cannot set value: no register node");
        return false;
    }
    try {
        reg->Set(value, position, c_noRelPath);
        return true;
    } catch (const std::exception& e) {
        QSTD_TRACE(qstd::TraceError, "Cannot set value " << reg->GetName() << ": " << e.what());
        return false;
    } catch (...) {
        QSTD_TRACE(qstd::TraceError, "Cannot set value " << reg->GetName() << ": unknown exception");
        return false;
    }
}

template <typename T> bool GetTyped(TreeNode* node, T& value, size_t position)
{
    qreg::RegNode* reg = node ? node->AsRegNode() : nullptr;
    if (!reg) {
        return false;
    }
    try {
        reg->Get(value, position, c_noRelPath);
        return true;
    } catch (const std::exception& e) {
        QSTD_TRACE(qstd::TraceError, "Cannot get value " << reg->GetName() << ": " << e.what());
        return false;
    } catch (...) {
        QSTD_TRACE(qstd::TraceError, "Cannot get value " << reg->GetName() << ": unknown exception");
        return false;
    }
}

} // namespace

#define MCI_DEFINE_NODE_ACCESS(T)                                                                                      \
    bool SetNodeValue(TreeNode* node, const T& value, size_t position)                                                 \
    {                                                                                                                  \
        return SetTyped(node, value, position);                                                                        \
    }                                                                                                                  \
    bool GetNodeValue(TreeNode* node, T& value, size_t position)                                                       \
    {                                                                                                                  \
        return GetTyped(node, value, position);                                                                        \
    }

MCI_DEFINE_NODE_ACCESS(bool)
MCI_DEFINE_NODE_ACCESS(int)
MCI_DEFINE_NODE_ACCESS(unsigned int)
MCI_DEFINE_NODE_ACCESS(long long)
MCI_DEFINE_NODE_ACCESS(unsigned long long)
MCI_DEFINE_NODE_ACCESS(double)
MCI_DEFINE_NODE_ACCESS(float)
MCI_DEFINE_NODE_ACCESS(std::string)

#undef MCI_DEFINE_NODE_ACCESS

bool Node::Emit() const
{
    qreg::RegNode* reg = m_node ? m_node->AsRegNode() : nullptr;
    return reg ? reg->Emit() : false;
}

} // namespace mci
