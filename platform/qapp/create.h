#pragma once
// Creation of framework objects: construct, hand to the parent, return the
// plain pointer. The parent owns the object from then on.

#include <utility>

namespace qapp {

// Constructs T(parent, args...), adopts it as a child of parent and returns it.
template <typename T, typename P, typename... Args> T* Create(P& parent, Args&&... args)
{
    T* object = new T(parent, std::forward<Args>(args)...);
    parent.QueryChild(object);
    return object;
}

// The same with the parent given by pointer.
template <typename T, typename P, typename... Args> T* Create(P* parent, Args&&... args)
{
    return Create<T>(*parent, std::forward<Args>(args)...);
}

} // namespace qapp
