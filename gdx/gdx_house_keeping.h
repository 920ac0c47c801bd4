#pragma once
// House keeping of the GDX board ("house_keeping"): checks at construction
// that the ADC clock is present, drives the transmit enable and rate of the
// four SFP cages and reports for each cage whether a module is present,
// whether it signals a transmit fault and whether it receives a signal.
//
// Block (0x80 bytes, 32-bit words; the field of cage i starts at bit 3i):
//   0x58 bits 0-1 ADC clock status, both 0 when the clock is detected
//   0x60 written 0 at construction
//   0x68 SFP control: rate code (bits 3i, 3i+1), transmit enable (3i+2);
//        bit 12 set at construction and cleared at shutdown
//   0x70 SFP status: signal lost (3i), transmit fault (3i+1), module absent
//        (3i+2)
//
// Array accessors handle cages start to start + count - 1; a range past the
// four cages is reported as the failed assertion "end <= c_sfp_max": getters
// then serve the cages that exist, setters write nothing and fail. Every
// read-modify-write of word 0x68 holds the block's mutex, so that writes of
// "enable" and "rate" never undo each other.

#include "platform/qapp/zemtra_board.h"
#include "platform/qapp/zemtra_fpga_object.h"

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

class GdxHouseKeeping : public qapp::ZemtraFpgaObject {
public:
    static constexpr int c_blockSize = 0x80;
    static constexpr size_t c_sfp_max = 4;
    static constexpr unsigned c_bits_per_sfp = 3;
    static constexpr uint32_t c_sfp_rate_max = 3;

    static constexpr size_t c_adc_clock_status = 0x58;
    static constexpr size_t c_clear = 0x60;
    static constexpr size_t c_sfp_control = 0x68;
    static constexpr size_t c_sfp_status = 0x70;
    static constexpr uint32_t c_adc_clock_missing = 0x3;
    static constexpr uint32_t c_sfp_control_init = 0x1000;

    // Throws "ADC clock is not detected"; switches every transmitter on with
    // rate codes {0, 0, 3, 3}.
    GdxHouseKeeping(qapp::ZemtraBoard& board, volatile FPGAMem_t* block, const std::string& name);
    ~GdxHouseKeeping() override;

    // Getters return the number of cages served; setters true when written.
    bool SetSfpTx(const bool* values, size_t start, size_t count);
    size_t GetSfpTx(bool* values, size_t start, size_t count) const;
    // Rate codes 0 to 3; a larger one fails and writes nothing.
    bool SetSfpRate(const uint32_t* values, size_t start, size_t count);
    size_t GetSfpRate(uint32_t* values, size_t start, size_t count) const;
    size_t GetSfpPresent(bool* values, size_t start, size_t count) const;
    size_t GetSfpTxFault(bool* values, size_t start, size_t count) const;
    size_t GetSfpSignalPresent(bool* values, size_t start, size_t count) const;
    // Throws "Internal error: failure while checking if SFP is present." for
    // a slot that is not a cage.
    bool IsSfpPresent(unsigned int slot) const;

    void OnRegistryAdd(mci::TreeNodePtr& node) override;
    void OnPostConfig() override;
    // Transmitters off, rate codes 0, bit 12 cleared.
    void OnShutdown() override;

private:
    // Cages of the range that exist; reports a range past them.
    static size_t CagesWithin(size_t start, size_t count, const char* function);
    // Replaces the field (mask at bit 3i + shift) of each cage of the range.
    template <typename T>
    bool WriteFields(const T* values, size_t start, size_t count, unsigned shift, uint32_t mask, const char* function);
    // The field (mask at bit 3i + shift) of each cage of the range of word
    // offset, inverted when asked.
    template <typename T>
    size_t ReadFields(T* values, size_t start, size_t count, size_t offset, unsigned shift, uint32_t mask, bool invert,
                      const char* function) const;

    volatile FPGAMem_t* m_block;
    mutable std::mutex m_control_mutex; // read-modify-writes and reads of word 0x68
};
