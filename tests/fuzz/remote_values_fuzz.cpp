// Fuzzes the text and number conversions of remote writes and reads by
// path: texts, integers and doubles written at any position of a node of
// every value type are refused or applied, and what a read then gives is
// taken back by a write and read again the same.
//
// Input: node (byte 0), kind (byte 1: 0 texts, 1 integers, 2 doubles),
// position (byte 2), then the values: texts separated by '\n', or 8 bytes
// per number.

#include "remote_fuzz_tree.h"

#include "platform/mci/client_access.h"
#include "platform/qstd/exception.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

template <typename T> std::vector<T> Numbers(const std::uint8_t* data, std::size_t size)
{
    std::vector<T> values(size / sizeof(T));
    if (!values.empty()) { // an empty vector's data() may be null, which memcpy may not take
        std::memcpy(values.data(), data, values.size() * sizeof(T));
    }
    return values;
}

std::vector<std::string> Texts(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::string> texts(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == '\n') {
            texts.emplace_back();
        } else {
            texts.back().push_back(static_cast<char>(data[i]));
        }
    }
    return texts;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static mci::ClientAccess access(fuzztree::Tree());
    if (size < 3) {
        return 0;
    }
    const std::string& path = fuzztree::ValuePaths()[data[0] % fuzztree::ValuePaths().size()];
    const std::size_t position = data[2];
    std::size_t count = 0;
    try {
        switch (data[1] % 3) {
        case 0: {
            const std::vector<std::string> texts = Texts(data + 3, size - 3);
            count = texts.size();
            access.SetTexts(path, texts, position);
            break;
        }
        case 1: {
            const std::vector<long long> values = Numbers<long long>(data + 3, size - 3);
            count = values.size();
            access.SetIntegers(path, values, position);
            break;
        }
        default: {
            const std::vector<double> values = Numbers<double>(data + 3, size - 3);
            count = values.size();
            access.SetDoubles(path, values, position);
            break;
        }
        }
    } catch (const qstd::Exception&) {
        return 0; // refused with a message
    }
    if (count == 0) {
        return 0;
    }
    // Applied: the values read back are taken as they are.
    const std::vector<std::string> read = access.GetTexts(path, position, count);
    try {
        access.SetTexts(path, read, position);
    } catch (const qstd::Exception&) {
        std::abort(); // a value read was refused when written back
    }
    if (access.GetTexts(path, position, count) != read) {
        std::abort(); // the text of a value changed on its way back
    }
    return 0;
}
