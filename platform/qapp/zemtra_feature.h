#pragma once
// Base of the objects that own no FPGA block.

#include "platform/qapp/zemtra_object.h"

namespace qapp {

class ZemtraFeature : public ZemtraObject {
public:
    ZemtraFeature(ZemtraObject& parent, const std::string& name) : ZemtraObject(&parent, name) {}
};

} // namespace qapp
