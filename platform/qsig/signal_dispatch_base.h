#pragma once
// Typed entry points through which the framework pushes runs of base values
// into a signal. A stream replaces the one of its own base type; the others
// trace and drop what they are given.

#include "platform/qsig/signal_types.h"

#include <cstdint>

namespace qsig {

class SignalDispatchBase {
public:
    SignalDispatchBase() = default;
    virtual ~SignalDispatchBase() = default;

    virtual void Cancel(SuccessCode_e /*code*/) {}

    virtual void Dispatch(const double* values, unsigned count, const SignalMeta& meta);
    virtual void Dispatch(const float* values, unsigned count, const SignalMeta& meta);
    virtual void Dispatch(const unsigned long long* values, unsigned count, const SignalMeta& meta);
    virtual void Dispatch(const long long* values, unsigned count, const SignalMeta& meta);
    virtual void Dispatch(const unsigned int* values, unsigned count, const SignalMeta& meta);
    virtual void Dispatch(const int* values, unsigned count, const SignalMeta& meta);
    virtual void Dispatch(const unsigned short* values, unsigned count, const SignalMeta& meta);
    virtual void Dispatch(const short* values, unsigned count, const SignalMeta& meta);
    virtual void Dispatch(const unsigned char* values, unsigned count, const SignalMeta& meta);
    virtual void Dispatch(const signed char* values, unsigned count, const SignalMeta& meta);

protected:
    // Trace of a push of a base type the signal does not carry.
    static void RefuseDispatch(const char* type, unsigned count);
};

} // namespace qsig
