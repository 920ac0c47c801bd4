#pragma once
// Base of a phase-locked loop feature of a board.

#include "platform/qapp/zemtra_feature.h"

namespace qfeature {

class PhaseLockedLoopBase : public qapp::ZemtraFeature {
public:
    PhaseLockedLoopBase(qapp::ZemtraObject& parent, const std::string& name) : qapp::ZemtraFeature(parent, name) {}
    // Back to the loop's initial settings.
    virtual void SetDefault() {}
};

} // namespace qfeature
