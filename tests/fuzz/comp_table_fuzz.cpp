// Compensation table decoder: every input is either taken, giving a table of
// finite positive gains and finite phases whose file form is the input's
// first 33536 bytes, or refused with the table left as it was.
#include "acquisition/gain_tables.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::unique_ptr<CompTable> table(new CompTable);
    InitCompTable(*table);
    std::unique_ptr<CompTable> before(new CompTable(*table));
    if (!DecodeCompTable(data, size, *table)) {
        if (std::memcmp(before.get(), table.get(), sizeof(CompTable)) != 0) {
            __builtin_trap();
        }
        return 0;
    }
    for (const tCompensationEntry& entry : *table) {
        for (unsigned p = 0; p < c_dscPatternSize; ++p) {
            for (unsigned c = 0; c < c_dscChannels; ++c) {
                if (!std::isfinite(entry.gain[p][c]) || !(entry.gain[p][c] > 0.0) ||
                    !std::isfinite(entry.phase[p][c])) {
                    __builtin_trap();
                }
            }
        }
    }
    std::unique_ptr<unsigned char[]> encoded(new unsigned char[c_compTableBytes]);
    EncodeCompTable(*table, encoded.get());
    if (std::memcmp(encoded.get(), data, c_compTableBytes) != 0) {
        __builtin_trap();
    }
    return 0;
}
