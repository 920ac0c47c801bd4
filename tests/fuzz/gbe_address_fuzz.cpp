// Fuzzes the address texts that clients write to the Ethernet streamers'
// "mac" and "ip" nodes: a MAC text is parsed into six octets or refused with
// a qstd::Exception, and a parsed MAC prints back to the same octets; a
// dotted IPv4 text is read or refused the same way. (Host names are not
// fuzzed: resolving them asks the system's resolver.)

#include "gdx/gbe.h"
#include "platform/qstd/exception.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        std::vector<unsigned char> mac;
        GBE::String2Mac(text, mac, ':');
        if (mac.size() != 6) {
            __builtin_trap();
        }
        std::array<unsigned char, 6> octets{};
        std::copy(mac.begin(), mac.end(), octets.begin());
        std::vector<unsigned char> again;
        GBE::String2Mac(GBE::Mac2String(octets), again, ':');
        if (again != mac) {
            __builtin_trap();
        }
    } catch (const qstd::Exception&) {
        // Refused with a reason, as the node reports it.
    }
    try {
        GBE::IpAddress2Uint32(text.c_str());
    } catch (const qstd::Exception&) {
    }
    return 0;
}
