#pragma once
// Name tables of enumerations: value to name, name to value and integer to
// name, filled once at static initialisation from a {value, name} list.
//
// Each source file that owns an enumeration defines its table with
//   template <> qstd::BiMap<E> qstd::EnumMap<E>::items = {{E::a, "a"}, ...};
// A table that other files use is declared next to its enumeration, in the
// header, before any use:
//   template <> qstd::BiMap<E> qstd::EnumMap<E>::items;

#include "platform/qstd/exception.h"

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <map>
#include <utility>

namespace qstd {

struct BimapStrCmp {
    bool operator()(const char* a, const char* b) const { return std::strcmp(a, b) < 0; }
};

template <typename E> class BiMap {
public:
    using Pair = std::pair<E, const char*>;

    BiMap(std::initializer_list<Pair> pairs)
    {
        for (const auto& p : pairs) {
            m_valueToName.emplace(p.first, p.second);
        }
        for (const auto& p : pairs) {
            m_nameToValue.emplace(p.second, p.first);
            m_intToName.emplace(static_cast<int32_t>(p.first), p.second);
        }
        if (m_nameToValue.size() != m_valueToName.size()) {
            throw Exception("invalid enum description table", true);
        }
    }

    ~BiMap()
    {
        m_intToName.clear();
        m_nameToValue.clear();
        m_valueToName.clear();
    }

    const std::map<E, const char*>& ValueToName() const { return m_valueToName; }
    const std::map<const char*, E, BimapStrCmp>& NameToValue() const { return m_nameToValue; }
    const std::map<int32_t, const char*>& IntToName() const { return m_intToName; }

    // Name of a value, or null.
    const char* Find(E value) const
    {
        auto it = m_valueToName.find(value);
        return it == m_valueToName.end() ? nullptr : it->second;
    }
    // Value of a name; false when the name is not in the table.
    bool Find(const char* name, E& value) const
    {
        auto it = m_nameToValue.find(name);
        if (it == m_nameToValue.end()) {
            return false;
        }
        value = it->second;
        return true;
    }

private:
    std::map<E, const char*> m_valueToName;
    std::map<const char*, E, BimapStrCmp> m_nameToValue;
    std::map<int32_t, const char*> m_intToName;
};

template <typename E> struct EnumMap {
    static BiMap<E> items;

    static const char* ToString(E value)
    {
        const char* name = items.Find(value);
        if (!name) {
            throw Exception("invalid value", true);
        }
        return name;
    }
};

} // namespace qstd
