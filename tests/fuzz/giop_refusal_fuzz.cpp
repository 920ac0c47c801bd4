// Fuzzes the refusal that the remote export writes itself, from the start
// of a request as it waits in the socket of a connection it refuses: any
// bytes give no reply or one well-formed GIOP reply of the request's version,
// whose size field counts its body and which ends with the minor code and
// COMPLETED_NO. A GIOP 1.0 or 1.1 LocateRequest told that the object is
// here gets a LocateReply OBJECT_HERE of its version once it is whole, and
// is no longer than the bytes.

#include "platform/remote/giop_refusal.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::uint32_t minor = 0x5a560001;
    const remote::GiopLocateHere here = remote::GiopLocateHereReply(data, size);
    if (here.size != 0 && (size < 12 || data[5] > 1 || data[7] != 3 || here.size < 12)) {
        __builtin_trap();
    }
    if (!here.reply.empty()) {
        std::uint32_t fields[3] = {};
        std::memcpy(fields, &here.reply[8], sizeof(fields));
        if (here.size > size || here.reply.size() != 20 || here.reply.compare(0, 4, "GIOP") != 0 ||
            here.reply[5] != static_cast<char>(data[5]) || here.reply[7] != 4 || fields[0] != 8 || fields[2] != 1) {
            __builtin_trap();
        }
    }
    const std::string reply = remote::GiopRefusalReply(data, size, minor);
    if (reply.empty()) {
        return 0;
    }
    std::uint32_t body = 0;
    std::uint32_t tail[2] = {};
    if (reply.size() < 24 || reply.compare(0, 4, "GIOP") != 0 || reply[5] != static_cast<char>(data[5])) {
        __builtin_trap();
    }
    std::memcpy(&body, &reply[8], 4);
    std::memcpy(tail, &reply[reply.size() - 8], 8);
    if (body != reply.size() - 12 || tail[0] != minor || tail[1] != 1) {
        __builtin_trap();
    }
    return 0;
}
