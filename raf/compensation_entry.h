#pragma once
// Gain and phase compensation of the four RF channels at the four positions
// of the switching pattern: the record that the gain controller computes and
// keeps per power level, and that the signal conditioning turns into FIR
// taps. 16 gains, then 16 phases (radians), each indexed [pattern position]
// [channel], so the gain of position p and channel c is element 4p + c of
// the record and its phase element 16 + 4p + c. The layout is also the
// layout of the compensation table files (little-endian doubles).

#include <cstddef>

constexpr unsigned c_dscPatternSize = 4; // positions in a switching pattern
constexpr unsigned c_dscChannels = 4;    // RF channels A to D

struct tCompensationEntry {
    double gain[c_dscPatternSize][c_dscChannels];
    double phase[c_dscPatternSize][c_dscChannels];
};

static_assert(sizeof(tCompensationEntry) == 256, "a compensation entry is 32 doubles");

// The unit entry: every gain 1.0, every phase 0.0.
inline void InitCompensation(tCompensationEntry& entry)
{
    for (unsigned p = 0; p < c_dscPatternSize; ++p) {
        for (unsigned c = 0; c < c_dscChannels; ++c) {
            entry.gain[p][c] = 1.0;
            entry.phase[p][c] = 0.0;
        }
    }
}

inline tCompensationEntry UnitCompensation()
{
    tCompensationEntry entry;
    InitCompensation(entry);
    return entry;
}
