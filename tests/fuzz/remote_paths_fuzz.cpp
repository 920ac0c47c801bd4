// Fuzzes the path names of remote requests: any path, with any position
// and count, given to the registry's requests by path is served or refused
// with a message of bounded length that names no more than a shortened path.
//
// Input: request (byte 0), position (byte 1), count (byte 2), then the path.

#include "remote_fuzz_tree.h"

#include "platform/remote/remote_registry.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static remote::RemoteRegistry registry(fuzztree::Tree(), PortableServer::POA::_nil());
    if (size < 3) {
        return 0;
    }
    const std::string path(reinterpret_cast<const char*>(data + 3), size - 3);
    const CORBA::ULong position = data[1];
    const CORBA::ULong count = data[2];
    try {
        switch (data[0] % 6) {
        case 0:
            delete registry.List(path.c_str());
            break;
        case 1:
            delete registry.Describe(path.c_str());
            break;
        case 2:
            delete registry.GetText(path.c_str(), position, count);
            break;
        case 3:
            delete registry.GetInteger(path.c_str(), position, count);
            break;
        case 4:
            delete registry.GetDouble(path.c_str(), position, count);
            break;
        default: {
            zemtra_REMOTE::StringSeq values;
            values.length(1);
            values[0] = "1";
            registry.SetText(path.c_str(), position, values);
            break;
        }
        }
    } catch (const zemtra_REMOTE::RemoteError& e) {
        // A message of at most 1024 characters and "...".
        if (std::strlen(e.message.in()) > 1027) {
            std::abort();
        }
    }
    return 0;
}
