#pragma once
// qreg::RegReferenceNode<T, RT>: a register node over storage that its owner
// already has: a member variable (RT = T) or a word of the owner's FPGA
// register block (RT = volatile T). Reads and writes go to the storage at the
// moment of the access; the owner keeps the storage alive. A register word is
// read and written under its word lock (RegisterWordLock), as the bit-field
// nodes and the owners' read-modify-writes of the same word take it: a whole
// write never falls between another's read and write, and a 64-bit word is
// never read half old, half new.

#include "platform/qreg/reg_type_node.h"
#include "qreg/register_word.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <type_traits>

namespace qreg {

template <typename T, typename RT> class RegReferenceNode : public RegTypeNode<T> {
public:
    RegReferenceNode(const std::string& name, RT& storage, unsigned long long flags)
        : RegTypeNode<T>(name, flags), m_storage(&storage), m_count(1)
    {
    }
    ~RegReferenceNode() override = default;

    // Same kind over the same address, when the base comparison holds; the
    // element count does not count.
    bool operator==(const mci::TreeNode& other) const override
    {
        const auto* o = dynamic_cast<const RegReferenceNode<T, RT>*>(&other);
        return o && mci::TreeNode::operator==(other) && o->m_storage == m_storage;
    }

    size_t OnGetSize(const mci::Path& /*path*/) const override { return m_count.load(); }

    // The owner must provide size elements at the referenced address.
    bool OnResize(size_t size, const mci::Path& /*path*/) override
    {
        m_count.store(size);
        return true;
    }

    size_t OnGet(T* buffer, size_t position, size_t count) const override
    {
        if constexpr (std::is_same<T, std::string>::value) {
            // The string is shared with the owner; its writes take the node lock.
            auto lock = this->Lock();
            for (size_t i = 0; i < count; ++i) {
                buffer[i] = m_storage[position + i];
            }
        } else if constexpr (std::is_volatile<RT>::value) {
            // One whole access per word, in increasing address order.
            for (size_t i = 0; i < count; ++i) {
                RT* address = m_storage + position + i;
                uint64_t word = 0;
                {
                    std::lock_guard<std::mutex> lock(RegisterWordLock(address));
                    word = ReadRegisterWord(address);
                }
                std::memcpy(&buffer[i], &word, sizeof(T));
            }
        } else {
            for (size_t i = 0; i < count; ++i) {
                buffer[i] = m_storage[position + i];
            }
        }
        return count;
    }

    bool OnSet(const T* values, size_t position, size_t count) override
    {
        if constexpr (std::is_same<T, std::string>::value) {
            auto lock = this->Lock();
            for (size_t i = 0; i < count; ++i) {
                m_storage[position + i] = values[i];
            }
        } else if constexpr (std::is_volatile<RT>::value) {
            for (size_t i = 0; i < count; ++i) {
                uint64_t word = 0;
                std::memcpy(&word, &values[i], sizeof(T));
                RT* address = m_storage + position + i;
                std::lock_guard<std::mutex> lock(RegisterWordLock(address));
                WriteRegisterWord(address, word);
            }
        } else {
            for (size_t i = 0; i < count; ++i) {
                m_storage[position + i] = values[i];
            }
        }
        return true;
    }

    using RegNode::OnGet;
    using RegNode::OnSet;

    RT* GetStorage() const { return m_storage; }

private:
    RT* m_storage;
    std::atomic<size_t> m_count;
};

} // namespace qreg
