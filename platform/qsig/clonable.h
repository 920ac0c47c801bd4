#pragma once
// Supplies Clone for a position controller class D that derives from
// Clonable<D>: the clone is a copy of the most derived object.

#include "platform/qsig/dod_position_controller.h"

#include <memory>

namespace qsig {

template <class D> class Clonable : public virtual DodPositionController {
public:
    PosControllerPtr Clone() const override { return std::make_shared<D>(static_cast<const D&>(*this)); }
};

} // namespace qsig
