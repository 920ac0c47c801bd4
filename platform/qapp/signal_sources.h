#pragma once
// Visits the signal sources exported under a node of the register tree
// (through its signal nodes), in tree order. Each source is visited while
// its node keeps it from being withdrawn; withdrawn sources are skipped.

#include "platform/mci/tree_node.h"

#include <functional>

namespace qsig {
class SignalSource;
}

namespace qapp {

// Returns the number of sources visited.
unsigned ForEachSignalSource(const mci::TreeNodePtr& node, const std::function<void(qsig::SignalSource&)>& f);

} // namespace qapp
