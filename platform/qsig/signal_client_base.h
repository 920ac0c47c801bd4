#pragma once
// Base of every signal client: the operations the framework calls on a
// client of a stream or of an on-demand signal, and the forwarding of one
// buffer to a remote receiver (DoDispatch).

#include "platform/qsig/signal_types.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

namespace q_NET {
class _objref_SignalReceiver;
}

namespace qsig {

class SignalClientBase {
public:
    SignalClientBase() = default;
    virtual ~SignalClientBase() = default;
    SignalClientBase(const SignalClientBase&) = delete;
    SignalClientBase& operator=(const SignalClientBase&) = delete;

    // Stream clients open without arguments; on-demand clients with an
    // access mode, a count of atoms and an offset. The base refuses both.
    virtual SuccessCode_e Open() { return eDerivedError; }
    virtual SuccessCode_e Open(AccessMode_e /*mode*/, unsigned /*size*/, long long /*offset*/) { return eDerivedError; }
    virtual void Close() {}
    virtual bool IsOpen() const { return false; }
    // Ends, from another thread, a read of this client that waits for data,
    // without waiting for the read: it and every later read answer -5. The
    // client stays open until Close. The base has no waits to end.
    virtual void Cancel() {}
    // 1 for stream clients, 2 for on-demand clients.
    virtual SignalAccessType_e SignalAccessType() const = 0;
    virtual std::string GetName() const = 0;
    virtual SignalStats GetStatistics() const { return {}; }
    // Words that say what a refusal (code) of this client's last open or
    // read means for its signal, for a reader who gets the code; empty when
    // the code says all. kind, when given, gets how the read stands to what
    // the signal holds. The base has no words and tells nothing of it.
    virtual std::string Explain(SuccessCode_e /*code*/, RefusalKind* kind = nullptr) const
    {
        if (kind != nullptr) {
            *kind = RefusalKind();
        }
        return std::string();
    }

    // Sends queued buffers to a remote receiver; called by the library.
    virtual SuccessCode_e ForwardTo(q_NET::_objref_SignalReceiver* /*receiver*/) { return eDerivedError; }

    // Reads of base values at a time; the base answers -99.
    virtual SuccessCode_e Read(double* data, unsigned& count, unsigned long long time, SignalMeta& meta);
    virtual SuccessCode_e Read(float* data, unsigned& count, unsigned long long time, SignalMeta& meta);
    virtual SuccessCode_e Read(unsigned long long* data, unsigned& count, unsigned long long time, SignalMeta& meta);
    virtual SuccessCode_e Read(long long* data, unsigned& count, unsigned long long time, SignalMeta& meta);
    virtual SuccessCode_e Read(unsigned int* data, unsigned& count, unsigned long long time, SignalMeta& meta);
    virtual SuccessCode_e Read(int* data, unsigned& count, unsigned long long time, SignalMeta& meta);
    virtual SuccessCode_e Read(unsigned short* data, unsigned& count, unsigned long long time, SignalMeta& meta);
    virtual SuccessCode_e Read(short* data, unsigned& count, unsigned long long time, SignalMeta& meta);
    virtual SuccessCode_e Read(unsigned char* data, unsigned& count, unsigned long long time, SignalMeta& meta);
    virtual SuccessCode_e Read(signed char* data, unsigned& count, unsigned long long time, SignalMeta& meta);

protected:
    // Sends one buffer of count base values with its metadata to the
    // receiver before returning; the receiver's values are not copied into
    // a local buffer on the way. Answers 0 when the receiver took it, -1 for
    // a null receiver, -99 when the remote call failed (traced at level 1).
    SuccessCode_e DoDispatch(q_NET::_objref_SignalReceiver* receiver, const short* values, unsigned count,
                             const SignalMeta& meta);
    SuccessCode_e DoDispatch(q_NET::_objref_SignalReceiver* receiver, const int* values, unsigned count,
                             const SignalMeta& meta);
    SuccessCode_e DoDispatch(q_NET::_objref_SignalReceiver* receiver, const double* values, unsigned count,
                             const SignalMeta& meta);
    SuccessCode_e DoDispatch(q_NET::_objref_SignalReceiver* receiver, const unsigned long long* values, unsigned count,
                             const SignalMeta& meta);

    // The most base values that one DoDispatch carries: the bound of the
    // receiver's sequence of that type (what one remote message holds).
    static unsigned MaxDispatchValues(const short*);
    static unsigned MaxDispatchValues(const int*);
    static unsigned MaxDispatchValues(const double*);
    static unsigned MaxDispatchValues(const unsigned long long*);

    // Sends a buffer of atoms (atomValues base values each) in as many
    // DoDispatch calls of whole atoms as that bound needs; eMetaOfferedAtom,
    // when meta has it, numbers each call's own first atom. Answers 0 once
    // all went, else the code of the first call that failed (the rest are
    // not sent).
    template <typename VALUE>
    SuccessCode_e DispatchInParts(q_NET::_objref_SignalReceiver* receiver, const VALUE* values, std::size_t atoms,
                                  std::size_t atomValues, SignalMeta meta)
    {
        const std::size_t most = std::max<std::size_t>(MaxDispatchValues(values) / atomValues, 1);
        const auto number = meta.find(eMetaOfferedAtom);
        const int64_t first = number != meta.end() ? number->second : 0;
        std::size_t sent = 0;
        do {
            const std::size_t n = std::min(most, atoms - sent);
            if (number != meta.end()) {
                number->second = first + static_cast<int64_t>(sent);
            }
            const SuccessCode_e rc =
                DoDispatch(receiver, values + sent * atomValues, static_cast<unsigned>(n * atomValues), meta);
            if (rc != eSuccess) {
                return rc;
            }
            sent += n;
        } while (sent < atoms);
        return eSuccess;
    }
};

} // namespace qsig
