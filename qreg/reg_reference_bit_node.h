#pragma once
// qreg::RegReferenceBitNode<AT, RT>: one bit field of a 32- or 64-bit register
// word, read and written as a value of type AT (bool, int, unsigned int or an
// enumeration). Element i is the same field in the word i words further on.
// Writes are read-modify-writes that keep every other bit of the word; they
// are serialised per word with RegisterWordLock.

#include "qreg/register_word.h"

#include "platform/qreg/reg_type_node.h"
#include "platform/qstd/exception.h"
#include "platform/qstd/trace.h"

#include <atomic>
#include <cstdint>
#include <sstream>
#include <string>
#include <type_traits>

namespace qreg {

template <typename AT, typename RT> class RegReferenceBitNode : public RegTypeNode<AT> {
    using Word = typename std::remove_cv<RT>::type;
    static constexpr long long c_wordBits = sizeof(Word) * 8;
    static constexpr long long c_fieldBits = std::is_same<AT, bool>::value ? 8 : 32;
    static_assert(sizeof(Word) == 4 || sizeof(Word) == 8, "register words are 32 or 64 bits wide");

public:
    // Offset and size are checked as given, before they are narrowed to
    // 8 bits, so that an offset of 256 or more cannot select other bits.
    RegReferenceBitNode(const std::string& name, RT& word, long long offset, long long size, unsigned long long flags)
        : RegTypeNode<AT>(name, flags), m_register(&word), m_offset(0), m_size(0), m_count(1)
    {
        if (offset < 0 || size < 0 || offset > c_wordBits || size > c_wordBits || offset + size > c_wordBits) {
            throw qstd::Exception("size and offset are out of range", true);
        }
        if (size == 0) {
            throw qstd::Exception("size could not be zero", true);
        }
        if (size > c_fieldBits) {
            throw qstd::Exception("size is of range", true);
        }
        m_offset = static_cast<unsigned char>(offset);
        m_size = static_cast<unsigned char>(size);
    }
    ~RegReferenceBitNode() override = default;

    // Same kind over the same word, offset and size, when the base comparison
    // holds; the element count does not count.
    bool operator==(const mci::TreeNode& other) const override
    {
        const auto* o = dynamic_cast<const RegReferenceBitNode<AT, RT>*>(&other);
        return o && mci::TreeNode::operator==(other) && o->m_register == m_register && o->m_offset == m_offset &&
               o->m_size == m_size;
    }

    size_t OnGetSize(const mci::Path& /*path*/) const override { return m_count.load(); }

    // The owner must provide size consecutive register words.
    bool OnResize(size_t size, const mci::Path& /*path*/) override
    {
        QSTD_TRACE_FNC();
        m_count.store(size);
        return true;
    }

    size_t OnGet(AT* buffer, size_t position, size_t count) const override
    {
        const uint64_t mask = Mask();
        for (size_t i = 0; i < count; ++i) {
            RT* word = m_register + position + i;
            uint64_t value;
            {
                std::lock_guard<std::mutex> lock(RegisterWordLock(word));
                value = ReadRegisterWord(word);
            }
            const uint64_t field = (value >> m_offset) & mask;
            buffer[i] = Convert(field);
        }
        return count;
    }

    bool OnSet(const AT* values, size_t position, size_t count) override
    {
        if (count == 0) {
            return true;
        }
        // Every value is checked before any word is written.
        for (size_t i = 0; i < count; ++i) {
            Check(values[i]);
        }
        const uint64_t mask = Mask();
        for (size_t i = 0; i < count; ++i) {
            RT* word = m_register + position + i;
            const uint64_t bits = (Bits(values[i]) & mask) << m_offset;
            std::lock_guard<std::mutex> lock(RegisterWordLock(word));
            uint64_t value = ReadRegisterWord(word);
            value = (value & ~(mask << m_offset)) | bits;
            WriteRegisterWord(word, value);
        }
        return true;
    }

    using RegNode::OnGet;
    using RegNode::OnSet;

    RT* GetRegister() const { return m_register; }
    unsigned GetOffset() const { return m_offset; }
    unsigned GetBitSize() const { return m_size; }

private:
    uint64_t Mask() const { return ~0ull >> (64 - m_size); }

    AT Convert(uint64_t field) const
    {
        if constexpr (std::is_same<AT, bool>::value) {
            return field != 0;
        } else if constexpr (std::is_same<AT, int>::value) {
            if ((field >> (m_size - 1)) & 1) {
                field |= ~Mask();
            }
            return static_cast<int>(static_cast<int64_t>(field));
        } else {
            return static_cast<AT>(field);
        }
    }

    // The value as the bits to store; negative ints give their two's
    // complement bits.
    static uint64_t Bits(const AT& value)
    {
        if constexpr (std::is_same<AT, bool>::value) {
            return value ? 1 : 0;
        } else if constexpr (std::is_enum<AT>::value) {
            return static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(value)));
        } else {
            return static_cast<uint64_t>(static_cast<int64_t>(value));
        }
    }

    void Check(const AT& value) const
    {
        if constexpr (std::is_same<AT, int>::value) {
            const int64_t v = value;
            const int64_t limit = int64_t(1) << (m_size - 1);
            if (v < -limit || v > limit - 1) {
                std::ostringstream os;
                os << "Value " << v << " is out of range for node " << this->GetName();
                throw qstd::Exception(os.str(), true);
            }
        } else {
            const uint64_t bits = std::is_same<AT, unsigned int>::value ? static_cast<uint64_t>(value) : Bits(value);
            if ((bits & ~Mask()) != 0) {
                std::ostringstream os;
                os << "Too large value.";
                if constexpr (std::is_enum<AT>::value) {
                    os << static_cast<int32_t>(value);
                } else if constexpr (std::is_same<AT, bool>::value) {
                    os << (value ? 1 : 0);
                } else {
                    os << value;
                }
                os << " for node " << this->GetName();
                throw qstd::Exception(os.str(), true);
            }
        }
    }

    RT* m_register;
    unsigned char m_offset;
    unsigned char m_size;
    std::atomic<size_t> m_count;
};

} // namespace qreg
