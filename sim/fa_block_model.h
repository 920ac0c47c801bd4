#pragma once
// The FA block of a simulated RAF board as its FPGA holds it: the FIR
// coefficient port with its load word, and the words of the FA position
// calculation, which the simulated acquisition reads while the server
// writes them (modelled behind the FPGA accessor layer).
//
// Region [0x40, 0x110) of the FA block (board offset 0xA00040):
//   0x40 FIR coefficient port: each write of its low half hands the FPGA one
//        coefficient of the filter being loaded
//   0x48 FIR load word: a write of 1 to its low half begins a new filter
//   0x80 to 0xC8 notch filters, 0xD0 calculation mode, 0xD8 Kx, 0xE0 Ky,
//   0xE8 Ks, 0xF0, 0xF8, 0x100, 0x108 offsets of X, Y, Q and S
// Every word reads back the last value written; the port reads the last
// coefficient.

#include "platform/fpga/fpga_access.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace sim {

class FaBlockModel : public fpga::RegisterModel {
public:
    // Board offset of the FA block and the modelled region inside it.
    static constexpr size_t c_block = 0xA00000;
    static constexpr size_t c_first = 0x40;
    static constexpr size_t c_end = 0x110;

    // Offsets inside the block.
    static constexpr size_t c_port = 0x40;
    static constexpr size_t c_load = 0x48;
    static constexpr size_t c_kx = 0xD8;
    static constexpr size_t c_ky = 0xE0;
    static constexpr size_t c_ks = 0xE8;
    static constexpr size_t c_offX = 0xF0;
    static constexpr size_t c_offY = 0xF8;
    static constexpr size_t c_offQ = 0x100;
    static constexpr size_t c_offS = 0x108;

    bool Read32(size_t offset, uint32_t& value) override;
    bool Write32(size_t offset, uint32_t value) override;

    // The word at an offset of the block (inside the region).
    uint32_t Word(size_t blockOffset) const;
    // Coefficients written since the last load word: the filter the FPGA runs.
    std::vector<uint32_t> Filter() const;
    // Loads begun (writes of 1 to the load word).
    uint64_t Loads() const;

    // Position coefficients as the FPGA's FA calculation uses them.
    struct Position {
        int64_t kx;
        int64_t ky;
        int64_t ks;
        int64_t offX;
        int64_t offY;
        int64_t offQ;
        int64_t offS;
    };
    Position GetPosition() const;

    // Name of the FIR coefficient file that the instrument's configuration
    // provides, and its contents for a FIR decimation (a scenario holds at
    // most ScenarioLimits::c_maxFirDecimation): 5 x decimation coefficients,
    // one decimal value a line, a raised-cosine low-pass window that peaks
    // at c_firPeak. The simulated acquisition does not run the filter; the
    // file lets the FA block load one at start.
    static constexpr const char* c_firFile = "fircoef_sr.conf";
    static constexpr uint32_t c_firPeak = 1u << 17;
    static std::string FirCoefficientFile(uint32_t decimation);

private:
    static constexpr size_t c_words = (c_end - c_first) / 4;
    std::atomic<uint32_t> m_words[c_words] = {};
    mutable std::mutex m_filterMutex;
    std::vector<uint32_t> m_filter;
    uint64_t m_loads = 0;
};

} // namespace sim
