#pragma once
// The framework's own register nodes: one value bound to a getter and an
// optional setter. Used by the framework's features (timing state machine,
// trigger generation, local timing) and by register maps built at run time.

#include "platform/qreg/reg_node.h"

#include <functional>
#include <memory>
#include <string>
#include <type_traits>

namespace qapp {

template <typename T> class FncNode : public qreg::RegNode {
public:
    using Getter = std::function<bool(T&)>;
    using Setter = std::function<bool(const T&)>;

    FncNode(const std::string& name, unsigned long long flags, Getter getter, Setter setter)
        : qreg::RegNode(name, setter ? flags : (flags & ~static_cast<unsigned long long>(mci::enums::eWritable))),
          m_getter(std::move(getter)), m_setter(std::move(setter))
    {
    }

    int OnGetValueType(const mci::Path&) const override
    {
        if (std::is_same<T, bool>::value) {
            return qreg::eTypeBool;
        }
        if (std::is_same<T, unsigned int>::value) {
            return qreg::eTypeUInt;
        }
        if (std::is_same<T, unsigned long long>::value) {
            return qreg::eTypeULongLong;
        }
        if (std::is_same<T, double>::value) {
            return qreg::eTypeDouble;
        }
        if (std::is_same<T, std::string>::value) {
            return qreg::eTypeString;
        }
        return qreg::eTypeNone;
    }
    size_t OnGetSize(const mci::Path&) const override { return 1; }

    size_t OnGet(T* buffer, size_t position, size_t count) const override
    {
        if (position != 0 || count == 0 || !m_getter) {
            return 0;
        }
        return m_getter(buffer[0]) ? 1 : 0;
    }
    bool OnSet(const T* values, size_t position, size_t count) override
    {
        if (position != 0 || count != 1 || !m_setter) {
            return false;
        }
        return m_setter(values[0]);
    }

private:
    Getter m_getter;
    Setter m_setter;
};

// Makes a function node with its node structure; empty when Init fails.
template <typename T>
mci::TreeNodePtr MakeFncNode(const std::string& name, unsigned long long flags, typename FncNode<T>::Getter getter,
                             typename FncNode<T>::Setter setter = nullptr)
{
    auto node = std::make_shared<FncNode<T>>(name, flags, std::move(getter), std::move(setter));
    node->SetNodeStructure(new mci::LocalNodeStructure(node.get()));
    if (!node->Init()) {
        return mci::TreeNodePtr();
    }
    return node;
}

} // namespace qapp
