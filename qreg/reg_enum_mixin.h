#pragma once
// qreg::RegEnumMixin<E, Base>: turns a node kind that stores values of the
// enumeration E into an enum node. Clients read the value as a name or an
// integer and write it as a name, an integer text or an integer; the domain
// is the enumeration's names in ascending value order. Names and values come
// from the enumeration's table qstd::EnumMap<E>::items.
//
// Every value of a write is converted before any is stored. Integers outside
// the signed 32-bit range are refused instead of being cut to their low
// 32 bits (which would write another, valid value). A value refused raises
// qreg::ValueRefused, which names it.

#include "platform/qreg/reg_node.h"
#include "platform/qstd/enum_map.h"
#include "platform/qstd/exception.h"

#include <boost/lexical_cast.hpp>

#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace qreg {

template <typename E, typename Base> class RegEnumMixin : public virtual Base {
public:
    // Base is a virtual base: the most derived node constructs it, and this
    // initialiser is never run. It exists so that the mixin needs no default
    // constructor of Base.
    template <typename... A> explicit RegEnumMixin(A&&... args) : Base(std::forward<A>(args)...) {}
    ~RegEnumMixin() override = default;

    using Base::OnGet;
    using Base::OnSet;
    using RegNode::Set;

    // Writes one value through the library's integer entry point.
    void Set(const E& value, size_t position, const mci::Path& path) { RegNode::Set(Widen(value), position, path); }

    // Converts every text first; nothing is handed on when one fails.
    void Set(const std::vector<std::string>& values, size_t position, const mci::Path& path) override
    {
        std::vector<long long> converted;
        converted.reserve(values.size());
        for (const auto& text : values) {
            converted.push_back(Widen(FromText(text)));
        }
        RegNode::Set(converted, position, path);
    }

    int OnGetValueType(const mci::Path& /*path*/) const override { return eTypeEnum; }

    bool OnParseEnumText(const std::string& text, long long& value) const override
    {
        value = Widen(FromText(text));
        return true;
    }

    // Appends the names, in ascending value order, to what names holds.
    bool OnGetDomainValues(std::vector<std::string>& names, const mci::Path& /*path*/) const override
    {
        for (const auto& entry : qstd::EnumMap<E>::items.ValueToName()) {
            names.push_back(entry.second);
        }
        return true;
    }

    size_t OnGet(long long* buffer, size_t position, size_t count) const override
    {
        return Read(buffer, position, count, [](E v) { return Widen(v); });
    }

    size_t OnGet(int* buffer, size_t position, size_t count) const override
    {
        return Read(buffer, position, count, [](E v) { return static_cast<int>(v); });
    }

    size_t OnGet(std::string* buffer, size_t position, size_t count) const override
    {
        return Read(buffer, position, count, [](E v) { return std::string(qstd::EnumMap<E>::items.Find(v)); });
    }

    bool OnSet(const long long* values, size_t position, size_t count) override
    {
        return Write(values, position, count, [](long long v) { return FromInteger(v); });
    }

    bool OnSet(const int* values, size_t position, size_t count) override
    {
        return Write(values, position, count, [](int v) { return FromInteger(v); });
    }

    bool OnSet(const std::string* values, size_t position, size_t count) override
    {
        return Write(values, position, count, [](const std::string& v) { return FromText(v); });
    }

    // A name, or a whole decimal integer text whose value has an entry.
    static E FromText(const std::string& text)
    {
        E value;
        if (qstd::EnumMap<E>::items.Find(text.c_str(), value)) {
            return value;
        }
        long long number;
        try {
            number = boost::lexical_cast<long long>(text);
        } catch (const boost::bad_lexical_cast&) {
            throw ValueRefused("Invalid integer value", text);
        }
        if (!FitsInt32(number) || !Lookup(static_cast<int32_t>(number), value)) {
            throw ValueRefused("Invalid enum value", text);
        }
        return value;
    }

    // An integer whose value has an entry.
    static E FromInteger(long long number)
    {
        E value;
        if (!FitsInt32(number) || !Lookup(static_cast<int32_t>(number), value)) {
            throw ValueRefused("invalid value", std::to_string(number));
        }
        return value;
    }

private:
    // A value as a 64-bit integer. Values are signed 32-bit integers and are
    // sign-extended, so that what is read as an integer can be written back
    // through the 32-bit range check (the same as zero upper bits for the
    // non-negative values that enumerations here have).
    static long long Widen(E value) { return static_cast<long long>(static_cast<int32_t>(value)); }

    static bool FitsInt32(long long v)
    {
        return v >= std::numeric_limits<int32_t>::min() && v <= std::numeric_limits<int32_t>::max();
    }

    static bool Lookup(int32_t number, E& value)
    {
        const E candidate = static_cast<E>(number);
        if (!qstd::EnumMap<E>::items.Find(candidate)) {
            return false;
        }
        value = candidate;
        return true;
    }

    template <typename V, typename F> size_t Read(V* buffer, size_t position, size_t count, F convert) const
    {
        std::unique_ptr<E[]> values(new E[count > 0 ? count : 1]);
        const size_t n = this->Base::OnGet(values.get(), position, count);
        for (size_t i = 0; i < n; ++i) {
            if (!qstd::EnumMap<E>::items.Find(values[i])) {
                throw qstd::Exception("invalid value", true);
            }
            buffer[i] = convert(values[i]);
        }
        return n;
    }

    template <typename V, typename F> bool Write(const V* values, size_t position, size_t count, F convert)
    {
        std::unique_ptr<E[]> converted(new E[count > 0 ? count : 1]);
        for (size_t i = 0; i < count; ++i) {
            converted[i] = convert(values[i]);
        }
        // A kind that reports failure instead of raising stored nothing.
        return this->Base::OnSet(converted.get(), position, count);
    }
};

} // namespace qreg
