// Fuzzes the values of remote writes as a request carries them (SetInteger,
// SetDouble): any bytes are read into a sequence, or refused with MARSHAL,
// and a sequence read holds no more values than the bytes carried and than
// its bound. (AddressSanitizer sees a read past the buffer of their count.)
//
// Input: byte 0 picks the sequence (bit 0: doubles) and the byte order
// (bit 1: little-endian); then the count and the values in CDR.

#include "platform/remote/remote_registry.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

template <typename SEQ> void Read(const std::uint8_t* data, std::size_t size, bool littleEndian)
{
    cdrMemoryStream stream(const_cast<std::uint8_t*>(data), size);
    stream.setByteSwapFlag(littleEndian);
    SEQ values;
    try {
        remote::ReadWriteValues(stream, values);
    } catch (const CORBA::MARSHAL&) {
        return;
    }
    // The count (4 bytes) and the values came with the input.
    if (values.length() > values.maximum() || 4 + values.length() * sizeof(double) > size) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1) {
        return 0;
    }
    const bool doubles = (data[0] & 1) != 0;
    const bool littleEndian = (data[0] & 2) != 0;
    if (doubles) {
        Read<q_NET::DoubleSeq>(data + 1, size - 1, littleEndian);
    } else {
        Read<zemtra_REMOTE::LongLongSeq>(data + 1, size - 1, littleEndian);
    }
    return 0;
}
