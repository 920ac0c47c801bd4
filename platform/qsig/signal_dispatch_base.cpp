#include "platform/qsig/signal_dispatch_base.h"

#include "platform/qstd/trace.h"

namespace qsig {

void SignalDispatchBase::RefuseDispatch(const char* type, unsigned count)
{
    QSTD_TRACE(1, "qsig: Dispatch of " << count << " values of type " << type
                                       << " refused: the signal does not carry this type.");
}

void SignalDispatchBase::Dispatch(const double*, unsigned count, const SignalMeta&)
{
    RefuseDispatch("double", count);
}
void SignalDispatchBase::Dispatch(const float*, unsigned count, const SignalMeta&)
{
    RefuseDispatch("float", count);
}
void SignalDispatchBase::Dispatch(const unsigned long long*, unsigned count, const SignalMeta&)
{
    RefuseDispatch("unsigned long long", count);
}
void SignalDispatchBase::Dispatch(const long long*, unsigned count, const SignalMeta&)
{
    RefuseDispatch("long long", count);
}
void SignalDispatchBase::Dispatch(const unsigned int*, unsigned count, const SignalMeta&)
{
    RefuseDispatch("unsigned int", count);
}
void SignalDispatchBase::Dispatch(const int*, unsigned count, const SignalMeta&)
{
    RefuseDispatch("int", count);
}
void SignalDispatchBase::Dispatch(const unsigned short*, unsigned count, const SignalMeta&)
{
    RefuseDispatch("unsigned short", count);
}
void SignalDispatchBase::Dispatch(const short*, unsigned count, const SignalMeta&)
{
    RefuseDispatch("short", count);
}
void SignalDispatchBase::Dispatch(const unsigned char*, unsigned count, const SignalMeta&)
{
    RefuseDispatch("unsigned char", count);
}
void SignalDispatchBase::Dispatch(const signed char*, unsigned count, const SignalMeta&)
{
    RefuseDispatch("signed char", count);
}

} // namespace qsig
