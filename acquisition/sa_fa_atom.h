#pragma once
// One SA or FA sample of a RAF board as the FPGA writes it: the four channel
// amplitudes, sum, charge, positions, the 64-bit LMT in two halves, five
// reserved words and a status word.

#include <cstdint>

struct SaFaAtom {
    int32_t Va;
    int32_t Vb;
    int32_t Vc;
    int32_t Vd;
    int32_t Sum;
    int32_t Q;
    int32_t X;
    int32_t Y;
    int32_t LMT_l;
    int32_t LMT_h;
    int32_t r1;
    int32_t r2;
    int32_t r3;
    int32_t r4;
    int32_t r5;
    int32_t status;
};
static_assert(sizeof(SaFaAtom) == 64, "an SA/FA atom is 16 words");
