#pragma once
// Base of the objects that own a block of their board's FPGA registers.

#include "platform/fpga/fpga_access.h"
#include "platform/qapp/zemtra_object.h"

namespace qapp {

class ZemtraBoard;

class ZemtraFpgaObject : public ZemtraObject {
public:
    ZemtraFpgaObject(ZemtraBoard& board, const std::string& name);
    ZemtraFpgaObject(ZemtraBoard& board, volatile FPGAMem_t* block, const std::string& name);

    // The board whose FPGA block the object owns.
    ZemtraBoard& GetParentBoard() const { return m_board; }
    // The block given at construction (null when the class keeps its own).
    volatile FPGAMem_t* GetBlock() const { return m_block; }

private:
    ZemtraBoard& m_board;
    volatile FPGAMem_t* m_block = nullptr;
};

} // namespace qapp
