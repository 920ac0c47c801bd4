#include "platform/qapp/signal_sources.h"

#include "platform/qreg/signal_node.h"
#include "platform/qstd/exception.h"

namespace qapp {

unsigned ForEachSignalSource(const mci::TreeNodePtr& node, const std::function<void(qsig::SignalSource&)>& f)
{
    if (!node) {
        return 0;
    }
    unsigned count = 0;
    if (auto* signal = dynamic_cast<qreg::SignalNode*>(node.get())) {
        bool visited = false;
        try {
            signal->WithSource([&](qsig::SignalSource& source) {
                visited = true;
                f(source);
            });
        } catch (const qstd::Exception&) {
            // A withdrawn source is skipped; a failure of the visit passes on.
            if (visited) {
                throw;
            }
        }
        count += visited ? 1 : 0;
    }
    for (const mci::TreeNodePtr& child : node->GetChildren()) {
        count += ForEachSignalSource(child, f);
    }
    return count;
}

} // namespace qapp
