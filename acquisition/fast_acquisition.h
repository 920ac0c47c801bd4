#pragma once
// The RAF board's fast-acquisition block ("signal_processing"): the FIR
// decimation filter loaded from a coefficient file, two notch filters, the
// FA position calculation (mode, Kx, Ky, Ks and the X, Y, Q and S offsets),
// and two words of the board as a whole: the PLL status word (bit 0: PLL
// locked) and the board's unique identifier (slot - 3).
//
// Block (0x120 bytes): 64-bit words, written whole with a high half of 0:
//   0x40 FIR coefficient port, 0x48 FIR load word,
//   0x80 to 0xA0 notch filter 0 (numerators 0-2, denominators 0-1),
//   0xA8 to 0xC8 notch filter 1, 0xD0 position calculation mode (bits 0-3);
// 32-bit words: 0xD8 Kx, 0xE0 Ky, 0xE8 Ks (unsigned), 0xF0 X, 0xF8 Y,
//   0x100 Q, 0x108 S offsets (signed), 0x110 PLL status, 0x118 identifier.
//
// A FIR load reads and checks the whole file before it writes anything:
// only a file with no bad line and exactly 5 x the FIR decimation
// coefficients reaches the FPGA (load word, then the coefficients in file
// order); otherwise the block keeps its filter, and "fir" the path of that
// filter. The path is an instrument path, resolved inside the instrument's
// root. Loads are serialised. A stored path whose file is missing at start
// is not loaded: the configuration store keeps it stored, and the block
// keeps its filter.

#include "platform/mci/tree_node.h"
#include "platform/qapp/zemtra_fpga_object.h"

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

class FastAcquisition : public qapp::ZemtraFpgaObject {
public:
    static constexpr int c_blockSize = 0x120;

    static constexpr size_t c_fir_port = 0x40;
    static constexpr size_t c_fir_load = 0x48;
    static constexpr size_t c_notch_0 = 0x80;
    static constexpr size_t c_notch_1 = 0xA8;
    static constexpr size_t c_calc_mode = 0xD0;
    static constexpr size_t c_kx = 0xD8;
    static constexpr size_t c_ky = 0xE0;
    static constexpr size_t c_ks = 0xE8;
    static constexpr size_t c_off_x = 0xF0;
    static constexpr size_t c_off_y = 0xF8;
    static constexpr size_t c_off_q = 0x100;
    static constexpr size_t c_off_s = 0x108;
    static constexpr size_t c_pll_status = 0x110;
    static constexpr size_t c_unique_id = 0x118;

    // Coefficients per FIR decimation in a coefficient file.
    static constexpr unsigned c_taps_per_decimation = 5;
    // Largest FIR coefficient file read (the filters have a few thousand
    // coefficients of at most a dozen characters each).
    static constexpr std::size_t c_max_fir_file_bytes = 1u << 20;
    static constexpr const char* c_default_fir_file = "/var/opt/zemtra/cfg/fircoef_sr.conf";

    // Writes the block's defaults and the identifier of the board's slot;
    // raises "Error converting bmc::board slot string to integer." or
    // "Cannot determine unique ID, based on slot number " and the slot.
    FastAcquisition(qapp::ZemtraBoard& board, volatile FPGAMem_t* base, const std::string& name);
    ~FastAcquisition() override;

    // Nodes "filter_coefs" (with "fir" and the notch filters), "pll_status"
    // with "locked", "id" and "position"; loads the default FIR file.
    void OnRegistryAdd(mci::TreeNodePtr& node) override;
    virtual void SetDefault();

    // Setter of "fir": loads the file; true when it was applied, and only
    // then does the path become the value of "fir". A path longer than
    // qapp::c_maxInstrumentPath is refused unread.
    bool _SetFIR(const std::string& path);
    bool _GetFIR(std::string& path) const;
    // The setter of the node: a refused file raises, with what the log says.
    bool _SetFIRTelling(const std::string& path);

    // Bit 0 of the PLL status word through "locked", then "pll_status" is
    // emitted; false when the write fails.
    bool SetPllStatusLocked(const bool& locked);

    mci::Node NodeKx() const;
    mci::Node NodeKy() const;
    mci::Node NodeOfsX() const;
    mci::Node NodeOfsY() const;
    mci::Node NodeOfsQ() const;

private:
    // Loads the file at path into the filter; false, with the reason that is
    // logged, when it is refused.
    bool LoadFIR(const std::string& path, std::string& refusal);
    void WriteWord64(size_t offset, uint64_t value);
    void WriteWord32(size_t offset, uint32_t value);

    volatile FPGAMem_t* m_base;
    mutable std::mutex m_fir_mutex; // serialises loads and guards the path
    std::string m_fir_path;
    mci::Node m_fir_node;
    mci::Node m_notch_nodes[10];
    mci::Node m_calc_mode_node;
    mci::TreeNodePtr m_kx;
    mci::TreeNodePtr m_ky;
    mci::TreeNodePtr m_ks;
    mci::TreeNodePtr m_off_x;
    mci::TreeNodePtr m_off_y;
    mci::TreeNodePtr m_off_q;
    mci::TreeNodePtr m_off_s;
    mci::TreeNodePtr m_pll_status;
    mci::TreeNodePtr m_locked;
};
