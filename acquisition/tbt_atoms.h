#pragma once
// Atoms of the RAF board's turn-by-turn data and of the values derived from
// them, with the signal traits of every data signal of the board.

#include "acquisition/sa_fa_atom.h"
#include "platform/qsig/signal_traits.h"

#include <array>
#include <cstdint>

// One channel of a DDC atom: in-phase and quadrature value.
struct IQAtom {
    int32_t I;
    int32_t Q;
};

// Amplitudes of the four channels with the sum, charge and positions
// computed from them.
struct TbtAmplAtom {
    int32_t Va;
    int32_t Vb;
    int32_t Vc;
    int32_t Vd;
    int32_t Sum;
    int32_t Q;
    int32_t X;
    int32_t Y;
};

// Phases of the four channels in radians.
struct TbtPhaseAtom {
    double Aa;
    double Ab;
    double Ac;
    double Ad;
};

// Four channels of I and Q: Ia, Qa, Ib, Qb, Ic, Qc, Id, Qd.
using DdcAtom = std::array<IQAtom, 4>;
// Four channel amplitudes Va to Vd.
using TdpAtom = std::array<int, 4>;
// Four ADC samples, channels A to D.
using AdcAtom = std::array<short, 4>;

using AdcTraits = qsig::SignalTraits<short, AdcAtom, 1>;
using DdcTraits = qsig::SignalTraits<int, DdcAtom, 1>;
using TdpTraits = qsig::SignalTraits<int, TdpAtom, 1>;
using TbtAmplTraits = qsig::SignalTraits<int, TbtAmplAtom, 1>;
using TbtPhaseTraits = qsig::SignalTraits<double, TbtPhaseAtom, 1>;
using SaFaTraits = qsig::SignalTraits<int, SaFaAtom, 1>;

static_assert(sizeof(DdcAtom) == 32 && sizeof(TdpAtom) == 16 && sizeof(AdcAtom) == 8, "history atom sizes");
