#pragma once
// qreg::RegExecNode: a command node. It holds one value, the command value
// 238, and runs its bool() command when a client executes it. Its flags word
// is the given one ORed with execFlags_c. The command is bound to its owner
// by plain pointer; the owner outlives the node.

#include "platform/mci/tree_node.h"
#include "platform/qreg/reg_value_node.h"

#include <functional>
#include <string>

namespace qreg {

class RegExecNode : public virtual RegValueNode<mci::enums::NodeCommand_e> {
    using Value = RegValueNode<mci::enums::NodeCommand_e>;

public:
    // A command carries a value and may be executed by clients.
    static constexpr unsigned long long execFlags_c = mci::enums::eValue | mci::enums::eWritable;

    template <typename C>
    RegExecNode(const std::string& name, C* obj, bool (C::*command)(), unsigned long long flags = 0)
        : Value(name, mci::enums::eExecute, flags | execFlags_c),
          m_command([obj, command] { return (obj->*command)(); })
    {
    }

    RegExecNode(const std::string& name, std::function<bool()> command, unsigned long long flags = 0)
        : Value(name, mci::enums::eExecute, flags | execFlags_c), m_command(std::move(command))
    {
    }
    ~RegExecNode() override = default;

    // Runs the command on the caller's thread, without the node lock; its
    // result is the command's. Exceptions of the command pass through.
    bool Execute() override { return m_command ? m_command() : false; }

    // The single command value is not the client's to resize.
    bool IsClientResizable() const override { return false; }

private:
    std::function<bool()> m_command;
};

} // namespace qreg
