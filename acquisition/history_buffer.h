#pragma once
// History buffer of a RAF board ("hb"): the control words of the ADC and the
// two TBT history acquisitions, and the commands that start and stop them.

#include "platform/fpga/fpga_access.h"
#include "platform/qfeature/history_buffer.h"

#include <cstdint>
#include <string>

// Register block of the RAF history buffer (0xF8 bytes). Only the three
// 64-bit control words are used; each is written whole, low half first.
struct tHB {
    static constexpr size_t c_size = 0xF8;
    static constexpr size_t c_adc_control = 0xA0;
    static constexpr size_t c_tbt1_control = 0xC0;
    static constexpr size_t c_tbt2_control = 0xE0;
    FPGAMem_t bytes[c_size];
};

class HistoryBuffer : public qfeature::HistoryBuffer {
public:
    static constexpr uint64_t c_start_now = 1;
    static constexpr uint64_t c_stop = 2;
    static constexpr uint64_t c_start_on_event = 4;

    // block must not be null.
    HistoryBuffer(qapp::ZemtraBoard& board, volatile tHB* block, const std::string& name);

    // ADC word: stop, then start now.
    void StartAdcImmediately();
    // ADC word: stop.
    void StopAdc();
    // Both TBT words: stop, then start on the next timing event.
    void StartTbtOnEvent();

private:
    volatile FPGAMem_t* Base() const;
    void WriteWord(size_t offset, uint64_t value);

    volatile tHB* m_block;
};
