// Fuzzes the GIOP messages that clients send back to the liveness probes of
// the remote export (platform/remote/remote_probe.cpp): any bytes are taken
// apart into whole messages, found incomplete or found malformed, and no
// message is read past the bytes given.

#include "platform/remote/remote_probe.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::size_t at = 0;
    for (;;) {
        remote::giop::Message message;
        std::size_t used = 0;
        if (remote::giop::ParseMessage(data + at, size - at, message, used) != remote::giop::Parsed::eMessage) {
            return 0;
        }
        if (used < 12 || used > size - at || message.exceptionId.size() > used) {
            std::abort();
        }
        at += used;
    }
}
