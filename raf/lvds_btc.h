#pragma once
// LVDS bus traffic control of the RAF board ("LvdsBusTrafCop"): whether the
// board's FA data buffer is put on the LVDS bus towards the feedback board.
//
// Block (8 bytes): 0x00 bit 0 FA buffer enabled (32-bit word; other bits kept).

#include "platform/qapp/zemtra_board.h"
#include "platform/qapp/zemtra_fpga_object.h"

#include <mutex>
#include <string>

class LvdsBusTrafCop : public qapp::ZemtraFpgaObject {
public:
    static constexpr int c_blockSize = 0x8;
    static constexpr size_t c_control = 0x00;

    // Writes nothing: the bit stays as the FPGA holds it.
    LvdsBusTrafCop(qapp::ZemtraBoard& board, volatile FPGAMem_t* base, const std::string& name);
    ~LvdsBusTrafCop() override;

    void EnableFaBuf();
    void DisableFaBuf();

    // The FA buffer leaves the bus.
    void OnShutdown() override;

private:
    void SetBit(bool on);

    volatile FPGAMem_t* m_reg;
};
