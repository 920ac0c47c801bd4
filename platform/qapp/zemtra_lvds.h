#pragma once
// LVDS links between the boards of the chassis: the receiver (block of
// 0x4008 bytes) and the transmitter (0x18 bytes). The system only creates
// them; their registers are published by the objects that use them.

#include "platform/qapp/zemtra_fpga_object.h"

namespace qapp {

class ZemtraLvdsReceiver : public ZemtraFpgaObject {
public:
    static constexpr int c_blockSize = 0x4008;
    ZemtraLvdsReceiver(ZemtraBoard& board, volatile FPGAMem_t* block, const std::string& name)
        : ZemtraFpgaObject(board, block, name)
    {
    }
};

class ZemtraLvdsTransmitter : public ZemtraFpgaObject {
public:
    static constexpr int c_blockSize = 0x18;
    ZemtraLvdsTransmitter(ZemtraBoard& board, volatile FPGAMem_t* block, const std::string& name)
        : ZemtraFpgaObject(board, block, name)
    {
    }
};

} // namespace qapp
