#pragma once
// Stream-device calls of the signal library: open a board's stream device
// by path, read whole atoms from it, close it, report its statistics.
// Descriptors are never reused, so a read on a descriptor that was closed
// can never reach another device.

#include "platform/qsig/signal_types.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace qsig {

// A descriptor, or -1 when no device has that path.
int OpenZemtraStreamDevice(const std::string& path, unsigned atomSize, unsigned groupSize);

// Reads up to bytes (whole atoms) into storage, waiting for at least one
// atom; count is the number of atoms read. 0 on success; 0 with no atoms
// when the descriptor was closed while the read waited; -1 for a descriptor
// that is not open, a zero-byte read or a zero atom size; -4 when the device
// itself was closed behind the descriptor.
SuccessCode_e ZemtraStreamRead(int descriptor, void* storage, std::size_t bytes, unsigned atomSize, unsigned& count);
// The same; dropped is the count of the atoms that the device dropped (its
// buffer full, or overwritten before they were read) between the atoms read
// before and those of this read.
SuccessCode_e ZemtraStreamRead(int descriptor, void* storage, std::size_t bytes, unsigned atomSize, unsigned& count,
                               uint64_t& dropped);

// 0, or -1 for a descriptor that is not open. Wakes a read that waits on it.
int CloseZemtraStreamDevice(int descriptor);

// Appends {path, atoms read, atoms dropped by the device, atom size};
// 0, or -1 for a descriptor that is not open.
int GetZemtraDeviceStatistics(int descriptor, unsigned atomSize, SignalStats& rows);

} // namespace qsig
