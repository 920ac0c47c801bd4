#pragma once
// A DDC atom: four channels of I and Q (Ia, Qa, Ib, Qb, Ic, Qc, Id, Qd).

#include "platform/qsig/signal_traits.h"
#include "qsig/array.h"

#include <array>
#include <cstdint>

struct IQAtom {
    int32_t I;
    int32_t Q;
};

using DdcAtom = std::array<IQAtom, 4>;
using DdcTraits = qsig::SignalTraits<int, DdcAtom, 1>;
using DdcArray = qsig::Array<DdcTraits>;
