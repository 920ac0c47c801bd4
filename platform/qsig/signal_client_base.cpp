#include "platform/qsig/signal_client_base.h"

#include "platform/qstd/trace.h"

#include "q_net.hh"

namespace qsig {

#define QSIG_BASE_READ(TYPE)                                                                                           \
    SuccessCode_e SignalClientBase::Read(TYPE*, unsigned&, unsigned long long, SignalMeta&)                            \
    {                                                                                                                  \
        return eDerivedError;                                                                                          \
    }
QSIG_BASE_READ(double)
QSIG_BASE_READ(float)
QSIG_BASE_READ(unsigned long long)
QSIG_BASE_READ(long long)
QSIG_BASE_READ(unsigned int)
QSIG_BASE_READ(int)
QSIG_BASE_READ(unsigned short)
QSIG_BASE_READ(short)
QSIG_BASE_READ(unsigned char)
QSIG_BASE_READ(signed char)
#undef QSIG_BASE_READ

namespace {

q_NET::MetaSeq ToMetaSeq(const SignalMeta& meta)
{
    q_NET::MetaSeq seq;
    seq.length(static_cast<CORBA::ULong>(meta.size()));
    CORBA::ULong i = 0;
    for (const auto& entry : meta) {
        seq[i].id = static_cast<CORBA::Long>(entry.first);
        seq[i].value = static_cast<CORBA::LongLong>(entry.second);
        ++i;
    }
    return seq;
}

// Wraps the caller's values in a sequence that does not own them (no copy
// on the way to the receiver), sends it and maps failures to codes.
template <typename SEQ, typename ELEM, typename VALUE, typename SEND>
SuccessCode_e Send(q_NET::_objref_SignalReceiver* receiver, const VALUE* values, unsigned count, const SignalMeta& meta,
                   SEND send)
{
    static_assert(sizeof(ELEM) == sizeof(VALUE), "CORBA element type matches the base type");
    if (receiver == nullptr) {
        return eBadRequest;
    }
    try {
        // The sequence only reads the values; release = false leaves them to
        // the caller. A count past the sequence's bound raises BAD_PARAM.
        SEQ seq(count, reinterpret_cast<ELEM*>(const_cast<VALUE*>(values)), false);
        q_NET::MetaSeq metaSeq = ToMetaSeq(meta);
        send(seq, metaSeq);
        return eSuccess;
    } catch (const CORBA::Exception& e) {
        QSTD_TRACE(1, "qsig: Forwarding to the remote receiver failed: " << e._name());
    }
    return eDerivedError;
}

} // namespace

SuccessCode_e SignalClientBase::DoDispatch(q_NET::_objref_SignalReceiver* receiver, const short* values, unsigned count,
                                           const SignalMeta& meta)
{
    const std::string name = GetName();
    return Send<q_NET::ShortSeq, CORBA::Short>(
        receiver, values, count, meta,
        [&](const q_NET::ShortSeq& v, const q_NET::MetaSeq& m) { receiver->ReceiveShort(name.c_str(), v, m); });
}

SuccessCode_e SignalClientBase::DoDispatch(q_NET::_objref_SignalReceiver* receiver, const int* values, unsigned count,
                                           const SignalMeta& meta)
{
    const std::string name = GetName();
    return Send<q_NET::LongSeq, CORBA::Long>(
        receiver, values, count, meta,
        [&](const q_NET::LongSeq& v, const q_NET::MetaSeq& m) { receiver->ReceiveLong(name.c_str(), v, m); });
}

SuccessCode_e SignalClientBase::DoDispatch(q_NET::_objref_SignalReceiver* receiver, const double* values,
                                           unsigned count, const SignalMeta& meta)
{
    const std::string name = GetName();
    return Send<q_NET::DoubleSeq, CORBA::Double>(
        receiver, values, count, meta,
        [&](const q_NET::DoubleSeq& v, const q_NET::MetaSeq& m) { receiver->ReceiveDouble(name.c_str(), v, m); });
}

SuccessCode_e SignalClientBase::DoDispatch(q_NET::_objref_SignalReceiver* receiver, const unsigned long long* values,
                                           unsigned count, const SignalMeta& meta)
{
    const std::string name = GetName();
    return Send<q_NET::ULongLongSeq, CORBA::ULongLong>(
        receiver, values, count, meta,
        [&](const q_NET::ULongLongSeq& v, const q_NET::MetaSeq& m) { receiver->ReceiveULongLong(name.c_str(), v, m); });
}

unsigned SignalClientBase::MaxDispatchValues(const short*)
{
    return q_NET::ShortSeq().maximum();
}

unsigned SignalClientBase::MaxDispatchValues(const int*)
{
    return q_NET::LongSeq().maximum();
}

unsigned SignalClientBase::MaxDispatchValues(const double*)
{
    return q_NET::DoubleSeq().maximum();
}

unsigned SignalClientBase::MaxDispatchValues(const unsigned long long*)
{
    return q_NET::ULongLongSeq().maximum();
}

} // namespace qsig
