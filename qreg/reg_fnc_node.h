#pragma once
// qreg::RegFncNode<T>: a register node whose value lives behind member
// functions of its owner: a scalar getter and setter for one value at
// position 0, or an array getter and setter taking position and count.
// Either may be missing; a node without a setter refuses every write.
//
// Flags: a setter form keeps the given flags exactly (6 by default); a form
// without a setter loses 0x4 (2 by default); array forms gain 0x200.

#include "platform/mci/tree_node.h"
#include "platform/qreg/reg_type_node.h"
#include "platform/qstd/exception.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>

namespace qreg {

template <typename T> class RegFncNode : public RegTypeNode<T> {
public:
    using ScalarSetter = std::function<bool(const T&)>;
    using ScalarGetter = std::function<bool(T&)>;
    using ArraySetter = std::function<bool(const T*, size_t, size_t)>;
    using ArrayGetter = std::function<size_t(T*, size_t, size_t)>;

    static constexpr unsigned long long c_noSetterMask = ~static_cast<unsigned long long>(mci::enums::eWritable);
    static constexpr unsigned long long c_arrayBit = mci::enums::eArray;

    // The bound functions as they are; the flags word is used unchanged.
    RegFncNode(const std::string& name, ScalarSetter setter, ScalarGetter getter, ArraySetter arraySetter,
               ArrayGetter arrayGetter, size_t size, unsigned long long flags)
        : RegTypeNode<T>(name, flags), m_setter(std::move(setter)), m_getter(std::move(getter)),
          m_arraySetter(std::move(arraySetter)), m_arrayGetter(std::move(arrayGetter)), m_size(size)
    {
    }

    // Scalar setter and getter.
    template <typename C, typename S, typename G,
              typename = std::enable_if_t<std::is_member_function_pointer<S>::value>>
    RegFncNode(const std::string& name, C* obj, S setter, G getter,
               unsigned long long flags = mci::enums::eValue | mci::enums::eWritable)
        : RegFncNode(name, BindSetter(obj, setter), BindGetter(obj, getter), ArraySetter(), ArrayGetter(), 1, flags)
    {
    }

    // Getter only; the int in the setter's place is not used.
    template <typename C, typename G>
    RegFncNode(const std::string& name, C* obj, int /*noSetter*/, G getter,
               unsigned long long flags = mci::enums::eValue)
        : RegFncNode(name, ScalarSetter(), BindGetter(obj, getter), ArraySetter(), ArrayGetter(), 1,
                     flags & c_noSetterMask)
    {
    }

    // Getter only, bound to a shared object that the node keeps alive.
    template <typename S, typename G>
    RegFncNode(const std::string& name, std::shared_ptr<S>& shared, int /*noSetter*/, G getter,
               unsigned long long flags)
        : RegFncNode(name, ScalarSetter(), BindSharedGetter(shared, getter), ArraySetter(), ArrayGetter(), 1,
                     flags & c_noSetterMask)
    {
    }

    // Array setter and getter over count elements.
    template <typename N, typename C, typename S, typename G,
              typename = std::enable_if_t<std::is_integral<N>::value && std::is_member_function_pointer<S>::value>>
    RegFncNode(const std::string& name, N count, C* obj, S setter, G getter, unsigned long long flags)
        : RegFncNode(name, ScalarSetter(), ScalarGetter(), BindArraySetter(obj, setter), BindArrayGetter(obj, getter),
                     static_cast<size_t>(count), flags | c_arrayBit)
    {
    }

    // Array getter only.
    template <typename N, typename C, typename G, typename = std::enable_if_t<std::is_integral<N>::value>>
    RegFncNode(const std::string& name, N count, C* obj, int /*noSetter*/, G getter,
               unsigned long long flags = mci::enums::eValue | mci::enums::eArray)
        : RegFncNode(name, ScalarSetter(), ScalarGetter(), ArraySetter(), BindArrayGetter(obj, getter),
                     static_cast<size_t>(count), (flags & c_noSetterMask) | c_arrayBit)
    {
    }

    ~RegFncNode() override = default;

    size_t OnGetSize(const mci::Path& /*path*/) const override { return m_size.load(); }

    // Changes the reported size only.
    bool OnResize(size_t size, const mci::Path& /*path*/) override
    {
        m_size.store(size);
        return true;
    }

    size_t OnGet(T* buffer, size_t position, size_t count) const override
    {
        if (m_arrayGetter) {
            // A getter that claims more than was asked for is not believed.
            return std::min(m_arrayGetter(buffer, position, count), count);
        }
        if (m_getter && position == 0 && count == 1) {
            return m_getter(buffer[0]) ? 1 : 0;
        }
        return 0;
    }

    bool OnSet(const T* values, size_t position, size_t count) override
    {
        if (m_arraySetter) {
            if (m_arraySetter(values, position, count)) {
                return true;
            }
        } else if (m_setter && position == 0 && count == 1) {
            if (m_setter(values[0])) {
                return true;
            }
        }
        throw qstd::Exception("qreg: Can't set value: setter function failed: " + this->GetName(), true);
    }

    using RegNode::OnGet;
    using RegNode::OnSet;

    bool HasSetter() const { return m_setter || m_arraySetter; }
    bool HasScalarGetter() const { return static_cast<bool>(m_getter); }
    bool HasArrayGetter() const { return static_cast<bool>(m_arrayGetter); }

private:
    template <typename C, typename S> static ScalarSetter BindSetter(C* obj, S setter)
    {
        return [obj, setter](const T& v) { return (obj->*setter)(v); };
    }
    template <typename C, typename G> static ScalarGetter BindGetter(C* obj, G getter)
    {
        return [obj, getter](T& v) { return (obj->*getter)(v); };
    }
    template <typename S, typename G> static ScalarGetter BindSharedGetter(const std::shared_ptr<S>& shared, G getter)
    {
        return [shared, getter](T& v) { return ((*shared).*getter)(v); };
    }
    template <typename C, typename S> static ArraySetter BindArraySetter(C* obj, S setter)
    {
        return [obj, setter](const T* v, size_t p, size_t n) {
            return (obj->*setter)(v, static_cast<unsigned int>(p), static_cast<unsigned int>(n));
        };
    }
    template <typename C, typename G> static ArrayGetter BindArrayGetter(C* obj, G getter)
    {
        return [obj, getter](T* v, size_t p, size_t n) -> size_t {
            return (obj->*getter)(v, static_cast<unsigned int>(p), static_cast<unsigned int>(n));
        };
    }

    ScalarSetter m_setter;
    ScalarGetter m_getter;
    ArraySetter m_arraySetter;
    ArrayGetter m_arrayGetter;
    std::atomic<size_t> m_size;
};

} // namespace qreg
