#pragma once
// qsig::Array: a counted run of atoms of one signal traits type, laid out
// contiguously as base values. It owns its storage (allocates, grows and
// frees it) or wraps storage that belongs to the caller (never frees it and
// cannot grow beyond it). Sizes and capacities count atoms.

#include "platform/qstd/exception.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace qsig {

template <typename T> class Array {
public:
    using Traits = T;
    using Base = typename T::Base;
    using Atom = typename T::Atom;
    static constexpr unsigned c_components = T::c_length;

    // Owned, n atoms (no storage when n is 0). Made with n = 0, it is the
    // empty owned array that Reallocate gives room before atoms are appended.
    explicit Array(const T& traits = T(), unsigned n = 0) : m_traits(traits), m_size(n), m_capacity(n), m_owned(true)
    {
        if (n > 0) {
            m_storage = new Atom[n];
        }
    }

    // Wraps the caller's storage of n atoms given as base values.
    Array(const T& traits, Base* storage, unsigned n)
        : m_traits(traits), m_size(n), m_capacity(n), m_owned(false), m_storage(reinterpret_cast<Atom*>(storage))
    {
    }

    // A copy owns its storage and holds the same atoms.
    Array(const Array& other) : m_traits(other.m_traits), m_size(other.m_size), m_capacity(other.m_size), m_owned(true)
    {
        if (m_size > 0) {
            m_storage = new Atom[m_size];
            std::memcpy(m_storage, other.m_storage, sizeof(Atom) * m_size);
        }
    }

    Array(Array&& other) noexcept
        : m_traits(other.m_traits), m_size(other.m_size), m_capacity(other.m_capacity), m_owned(other.m_owned),
          m_storage(other.m_storage)
    {
        other.Detach();
    }

    Array& operator=(Array&& other) noexcept
    {
        if (this != &other) {
            Free();
            m_traits = other.m_traits;
            m_size = other.m_size;
            m_capacity = other.m_capacity;
            m_owned = other.m_owned;
            m_storage = other.m_storage;
            other.Detach();
        }
        return *this;
    }

    Array& operator=(const Array& other)
    {
        if (this != &other) {
            Array copy(other);
            *this = std::move(copy);
        }
        return *this;
    }

    ~Array() { Free(); }

    unsigned GetLength() const { return m_size; }
    unsigned GetCapacity() const { return m_capacity; }
    bool IsOwned() const { return m_owned; }
    const T& GetTraits() const { return m_traits; }

    // The storage: atom i begins at base value i x components.
    Base* GetData() { return reinterpret_cast<Base*>(m_storage); }
    const Base* GetData() const { return reinterpret_cast<const Base*>(m_storage); }

    Atom& operator[](unsigned i) { return *GetAtom(i); }
    const Atom& operator[](unsigned i) const { return *GetAtom(i); }
    Atom* GetAtom(unsigned i)
    {
        CheckIndex(i);
        return m_storage + i;
    }
    const Atom* GetAtom(unsigned i) const
    {
        CheckIndex(i);
        return m_storage + i;
    }

    // Sets the size; owned storage grows to exactly count atoms when needed
    // and never shrinks.
    void Resize(unsigned count)
    {
        if (count > m_capacity) {
            if (!m_owned) {
                throw qstd::Exception("array: Cannot extend non-owned array.", true);
            }
            Replace(count);
        }
        m_size = count;
    }

    // New storage for exactly count atoms (count >= size), keeping the atoms.
    void Reallocate(unsigned count) { Replace(std::max(count, m_size)); }

    // Appends n atoms at the end (grows as Resize does).
    void Append(const Atom* atoms, unsigned n)
    {
        if (n == 0) {
            return;
        }
        const unsigned old = m_size;
        Resize(old + n);
        std::memcpy(m_storage + old, atoms, sizeof(Atom) * n);
    }
    void Append(const Array& other) { Append(other.m_storage, other.m_size); }

    // Exchanges contents through three moves, so the previous storage of
    // this array is freed together with the temporary.
    void Swap(Array& other)
    {
        Array tmp(std::move(other));
        other = std::move(*this);
        *this = std::move(tmp);
    }

private:
    void CheckIndex(unsigned i) const
    {
        if (i >= m_size) {
            throw qstd::Exception("array: index out of range", true);
        }
    }
    void Replace(unsigned count)
    {
        if (!m_owned) {
            // The caller's storage is never replaced (nor would the new one be freed).
            throw qstd::Exception("array: Cannot extend non-owned array.", true);
        }
        Atom* fresh = count > 0 ? new Atom[count] : nullptr;
        if (m_size > 0 && fresh != nullptr) {
            std::memcpy(fresh, m_storage, sizeof(Atom) * std::min(m_size, count));
        }
        Free();
        m_storage = fresh;
        m_capacity = count;
    }
    void Free()
    {
        if (m_owned && m_storage != nullptr) {
            delete[] m_storage;
        }
        m_storage = nullptr;
    }
    void Detach()
    {
        m_storage = nullptr;
        m_size = 0;
        m_capacity = 0;
    }

    T m_traits;
    unsigned m_size = 0;
    unsigned m_capacity = 0;
    bool m_owned = true;
    Atom* m_storage = nullptr;
};

} // namespace qsig
