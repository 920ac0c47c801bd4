#include "raf/raf_registers.h"

#include "app/raf_board.h"

namespace raf {

RafBoard& ParentRaf(const qapp::ZemtraFpgaObject& object)
{
    return dynamic_cast<RafBoard&>(object.GetParentBoard());
}

} // namespace raf
