#pragma once
// Common base of every data-on-demand source: describes the element type of
// the signal from its traits and adds the source's size and the opening and
// closing of its input, which the concrete sources replace.

#include "platform/qsig/signal_source.h"
#include "platform/qsig/signal_traits.h"
#include "platform/qstd/trace.h"
#include "qsig/array.h"

#include <mutex>
#include <string>
#include <typeinfo>
#include <vector>

namespace qsig {

template <typename T> class DataOnDemandSourceBase : public SignalSource {
public:
    using Buffer = Array<T>;

    DataOnDemandSourceBase(const std::string& name, const T& traits, const std::string& description)
        : SignalSource(name, description), m_traits(traits)
    {
        QSTD_TRACE_FNC();
    }
    ~DataOnDemandSourceBase() override { QSTD_TRACE_FNC(); }

    std::size_t AtomSize() const override { return T::c_atomSize; }
    std::size_t GroupSize() const override { return m_traits.GroupSize(); }
    const std::type_info& AtomType() const override { return typeid(typename T::Atom); }
    const std::type_info& BaseType() const override { return typeid(typename T::Base); }
    std::size_t Length() const override { return T::c_length; }
    std::vector<std::string> GetComponentNames() const override { return T::names.ToVector(); }
    SignalAccessType_e AccessType() const override { return eAccessDataOnDemand; }

    // Size of the source in atoms.
    virtual std::size_t GetSize() const { return 0; }
    // Opens and closes the source's input.
    virtual void DoOpen() {}
    virtual void DoClose() {}

    const T& GetTraits() const { return m_traits; }

protected:
    T m_traits;
    std::mutex m_sourceMutex;
};

} // namespace qsig
