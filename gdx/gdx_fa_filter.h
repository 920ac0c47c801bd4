#pragma once
// FA filter of the GDX board ("filter"): selects which RAF boards' LVDS
// serializers feed FA data into the board and holds one configuration word.
// The nodes "raf3" to "raf6" write the selector bits directly; the selector
// last given to SetLvdsSerializer is what Reset writes back.
//
// Block (16 bytes, 32-bit words):
//   0x00 bits 0-3 LVDS serializer selector: bit k the RAF board in slot k + 3
//   0x08 configuration word, 0x80D0

#include "platform/qapp/zemtra_board.h"
#include "platform/qapp/zemtra_fpga_object.h"

#include <atomic>
#include <cstdint>
#include <string>

class GdxFaFilter : public qapp::ZemtraFpgaObject {
public:
    // State of one RAF input.
    enum State_e : unsigned { disable = 0, enable = 1 };

    static constexpr int c_blockSize = 0x10;
    static constexpr size_t c_selector = 0x00;
    static constexpr size_t c_config = 0x08;
    static constexpr uint32_t c_config_init = 0x80D0;
    static constexpr uint32_t c_selector_max = 0xF;

    // All RAF inputs off; writes both words.
    GdxFaFilter(qapp::ZemtraBoard& board, volatile FPGAMem_t* block, const std::string& name);
    ~GdxFaFilter() override;

    // Stores and writes the selector; a value above 15 is reported as a
    // failed assertion and written all the same.
    void SetLvdsSerializer(uint32_t a_val);
    uint32_t GetLvdsSerializer() const { return m_selector.load(); }
    // Both words 0, then the configuration word and the stored selector.
    void Reset();

    void OnRegistryAdd(mci::TreeNodePtr& node) override;
    void OnPostConfig() override;

private:
    // Writes the selector word under the lock that its bit-field nodes take.
    void WriteSelector(uint32_t value);

    volatile FPGAMem_t* m_block;
    std::atomic<uint32_t> m_selector{0};
    const uint32_t m_config = c_config_init;
};
