#pragma once
// mci::factory::Create: the one way register nodes are made. The node is
// constructed from its name and its kind's arguments, put under shared
// ownership (which sets its weak self-reference), given its own node
// structure and initialised; a node whose Init fails comes back as the empty
// handle. The caller adds the node under its parent with mci::TreeNode::Add.
//
// Three layers:
//   Create<Structure, Node>(name, args...)          name as std::string
//   Create<Node>("name", args...)                    name as a literal
//   Create<Node>(validator, "name", args...)         with a validator
// A flags argument given as int is sign-extended, one given as
// mci::enums::Flags_e zero-extended, by the conversion to the kinds'
// unsigned 64-bit flags parameter.

#include "platform/mci/tree_node.h"
#include "platform/qreg/expression.h"
#include "platform/qreg/reg_node.h"

#include <memory>
#include <string>
#include <utility>

namespace mci {
namespace factory {

// Named layer.
template <typename Structure, typename Node, typename Name, typename... Args>
TreeNodePtr Create(Name&& name, Args&&... args)
{
    // A constructor that raises leaves nothing behind; shared_ptr deletes the
    // node if it cannot take ownership.
    std::shared_ptr<Node> node(new Node(std::forward<Name>(name), std::forward<Args>(args)...));
    TreeNodePtr handle = node;
    node.reset();
    std::unique_ptr<Structure> structure(new Structure(handle.get()));
    handle->SetNodeStructure(structure.get());
    structure.release();
    if (!handle->Init()) {
        return TreeNodePtr();
    }
    return handle;
}

// Name-literal layer.
template <typename Node, typename... Args> TreeNodePtr Create(const char* name, Args&&... args)
{
    return Create<LocalNodeStructure, Node>(std::string(name), std::forward<Args>(args)...);
}

// Validator layer: the validator is attached to a register node; an empty
// handle or a node without a value gets none.
template <typename Node, size_t N, typename... Args>
TreeNodePtr Create(std::shared_ptr<qreg::Expression> validator, const char (&name)[N], Args&&... args)
{
    TreeNodePtr handle = Create<LocalNodeStructure, Node>(std::string(name), std::forward<Args>(args)...);
    if (handle) {
        if (auto* reg = dynamic_cast<qreg::RegNode*>(handle.get())) {
            reg->SetValidator(validator);
        }
    }
    return handle;
}

} // namespace factory
} // namespace mci
