#pragma once
// History buffer of the GDX board in DDR memory ("gdx_history_buf"): tells
// whether a memory is fitted, decodes its geometry and capacity, checks them
// against the memory module's SPD EEPROM and arms the buffer to start on the
// next event when the board restarts its FA chain.

#include "platform/fpga/fpga_access.h"
#include "platform/qapp/zemtra_i2c_device.h"
#include "platform/qfeature/history_buffer.h"

#include <cstdint>
#include <string>

// Register block of the GDX history buffer (0xC0 bytes of 64-bit words).
//   0x78 bits 3-0 column width, 7-4 row width, 9-8 bank width, 11-10 rank
//        width, 13-12 width factor
//   0x80, 0x88 further RAM information; zero when no memory is fitted
//   0xA0 control word: 2 stops the buffer, 4 starts it at the next event
struct tGdxHB {
    static constexpr size_t c_size = 0xC0;
    static constexpr size_t c_ram_info = 0x78;
    static constexpr size_t c_ram_info1 = 0x80;
    static constexpr size_t c_ram_info2 = 0x88;
    static constexpr size_t c_control = 0xA0;
    FPGAMem_t bytes[c_size];
};

class GdxHistoryBuffer : public qfeature::HistoryBuffer {
public:
    static constexpr uint64_t c_stop = 2;
    static constexpr uint64_t c_start_on_event = 4;

    // Raises "Failure while mapping to FPGA memory registers" for a null block.
    GdxHistoryBuffer(qapp::ZemtraBoard& board, volatile tGdxHB* block, const std::string& name);

    // True when the three RAM information words are all non-zero.
    bool DetectIsEnabled() const;
    // Decodes the geometry and returns the capacity in MiB.
    unsigned RamInfoInit();
    // True when not enabled or when capacity, rank, bank, row and column
    // widths all match the SPD's; each mismatch is traced.
    bool RamParMatchingCheck(const qapp::tRamCtrlPar& par) const;
    // When enabled: control word 2, then 4.
    void StartDodOnEvent();

    bool IsMemoryPresent() const { return m_enabled; }
    unsigned GetCapacity() const { return m_capacity; }
    unsigned GetColumnWidth() const { return m_col_width; }
    unsigned GetRowWidth() const { return m_row_width; }
    unsigned GetBankWidth() const { return m_bank_width; }
    unsigned GetRankWidth() const { return m_rank_width; }
    unsigned GetWidthFactor() const { return m_width_factor; }

private:
    volatile FPGAMem_t* Base() const { return m_block->bytes; }

    volatile tGdxHB* m_block;
    bool m_enabled = false;
    unsigned m_capacity = 0;
    unsigned m_col_width = 0;
    unsigned m_row_width = 0;
    unsigned m_bank_width = 0;
    unsigned m_rank_width = 0;
    unsigned m_width_factor = 0;
};
