#include "platform/qapp/zemtra_fpga_object.h"

#include "platform/qapp/zemtra_board.h"

namespace qapp {

ZemtraFpgaObject::ZemtraFpgaObject(ZemtraBoard& board, const std::string& name)
    : ZemtraObject(&board, name), m_board(board)
{
}

ZemtraFpgaObject::ZemtraFpgaObject(ZemtraBoard& board, volatile FPGAMem_t* block, const std::string& name)
    : ZemtraObject(&board, name), m_board(board), m_block(block)
{
}

} // namespace qapp
