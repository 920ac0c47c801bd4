#pragma once
// Number sequences of the remote interface that take the memory of what they
// carry. The interface bounds them (by what one message holds), and omniORB
// gives a bounded sequence a buffer of its whole bound as soon as it holds
// anything: 8 MiB for one value of zemtra_REMOTE::LongLongSeq, mapped and
// unmapped again by the allocator for every request that carries one. The
// server gives each sequence it makes a buffer of its values instead.

#include <omniORB4/CORBA.h>

#include <type_traits>

namespace remote {

// Makes seq hold n values (not set yet) in a buffer of n, which it owns. It
// may be shortened afterwards, never lengthened: its type takes the buffer
// for one of its bound. More than the bound raises BAD_PARAM.
template <typename SEQ> void SizeExactly(SEQ& seq, CORBA::ULong n)
{
    using Element = std::remove_reference_t<decltype(seq[0])>;
    if (n > seq.maximum()) {
        throw CORBA::BAD_PARAM(0, CORBA::COMPLETED_NO);
    }
    seq.replace(n, n > 0 ? new Element[n] : nullptr, true);
}

} // namespace remote
