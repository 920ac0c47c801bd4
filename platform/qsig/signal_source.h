#pragma once
// Base of every signal the framework exports: streams and data-on-demand
// sources. It keeps the signal's name and its owner's name, describes the
// element type and hands out shared ownership of itself.

#include "platform/qsig/signal_types.h"

#include <cstddef>
#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

namespace qsig {

class SignalClientBase;

class SignalSource : public std::enable_shared_from_this<SignalSource> {
public:
    SignalSource(const std::string& name, const std::string& owner) : m_name(name), m_owner(owner) {}
    virtual ~SignalSource() = default;
    SignalSource(const SignalSource&) = delete;
    SignalSource& operator=(const SignalSource&) = delete;

    virtual std::size_t AtomSize() const = 0;
    virtual std::size_t GroupSize() const = 0;
    virtual const std::type_info& AtomType() const = 0;
    virtual const std::type_info& BaseType() const = 0;
    // Base values per atom.
    virtual std::size_t Length() const = 0;
    virtual std::vector<std::string> GetComponentNames() const = 0;
    // 1 for streams, 2 for data-on-demand signals.
    virtual SignalAccessType_e AccessType() const = 0;
    virtual int SourceType() const { return 0; }
    virtual SignalStats GetStatistics() const { return {}; }
    // A client for a remote reader; the caller owns it. Null when the
    // signal has no clients of its own. length: the queue length of a
    // stream's client (0: 64); for an on-demand signal the atoms the reader
    // reads in all (0: not known), which most sources do not need.
    virtual SignalClientBase* NewSignalClient(const std::string& /*name*/, unsigned /*length*/) { return nullptr; }
    virtual void ShutDown() {}
    virtual void OnAnnouncedTimestampChange() {}
    virtual void OnAdjustedTimestamp(long long /*time*/, unsigned long long /*lmt*/) {}
    virtual void Cancel(SuccessCode_e /*code*/) {}

    const std::string& GetName() const { return m_name; }
    const std::string& GetOwner() const { return m_owner; }

    // Shared ownership of this source; std::bad_weak_ptr when no
    // std::shared_ptr owns it.
    std::shared_ptr<SignalSource> GetSharedSelf() { return shared_from_this(); }
    std::shared_ptr<const SignalSource> GetSharedSelf() const { return shared_from_this(); }

private:
    std::string m_name;
    std::string m_owner;
};

} // namespace qsig
