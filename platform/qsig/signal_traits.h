#pragma once
// Element type of a signal: a base number type, an atom made of a fixed
// number of base values, and a static table of the component names that
// clients see. An object of a traits type carries one run-time value, the
// signal's group size in atoms.

#include <cstddef>
#include <initializer_list>
#include <string>
#include <vector>

namespace qsig {

// Table of component names of one atom type. It is constant-initialised (a
// plain pointer), so a static initialiser of any translation unit may fill it
// without depending on the order of initialisation.
class ComponentNameTable {
public:
    constexpr ComponentNameTable() = default;
    ComponentNameTable(std::initializer_list<const char*> names) { Set(names); }
    ComponentNameTable(const ComponentNameTable&) = delete;
    ComponentNameTable& operator=(const ComponentNameTable&) = delete;

    ComponentNameTable& operator=(std::initializer_list<const char*> names)
    {
        Set(names);
        return *this;
    }
    void Set(std::initializer_list<const char*> names)
    {
        std::vector<std::string>& table = Table();
        table.assign(names.begin(), names.end());
    }
    void Set(const std::vector<std::string>& names) { Table() = names; }

    // A copy of the names, in component order.
    std::vector<std::string> ToVector() const { return m_names ? *m_names : std::vector<std::string>{}; }
    std::size_t size() const { return m_names ? m_names->size() : 0; }
    bool empty() const { return size() == 0; }
    const std::string& operator[](std::size_t i) const { return m_names->at(i); }

private:
    std::vector<std::string>& Table()
    {
        if (!m_names) {
            // Lives as long as the process: tables are static and filled once.
            m_names = new std::vector<std::string>();
        }
        return *m_names;
    }
    std::vector<std::string>* m_names = nullptr;
};

template <typename BASE, typename ATOM, int N> class SignalTraits {
public:
    using Base = BASE;
    using Atom = ATOM;
    static_assert(sizeof(ATOM) % sizeof(BASE) == 0, "an atom is a whole number of base values");

    // Components (base values) per atom, and the atom's size in bytes.
    static constexpr unsigned c_length = sizeof(ATOM) / sizeof(BASE);
    static constexpr unsigned c_atomSize = sizeof(ATOM);

    explicit SignalTraits(unsigned groupSize = 1) : m_groupSize(groupSize) {}

    unsigned GroupSize() const { return m_groupSize; }

    // Component names of ATOM, filled once at start by whoever defines the atom.
    static inline ComponentNameTable names;

private:
    unsigned m_groupSize;
};

} // namespace qsig
