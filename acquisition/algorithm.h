#pragma once
// Numeric routines of the TBT arithmetic: phase and rounded amplitude of an
// I/Q pair in floating point, and the integer CORDIC magnitude and angle that
// the FPGA uses.

class Algorithm {
public:
    // atan2(a, b) in radians.
    static double Angle(const int& a, const int& b);
    // sqrt(i^2 + q^2) x gain + 0.5, truncated toward zero; a result beyond the
    // int range is held at its limit.
    static int Amplitude(const int& i, const int& q, const double& gain);
    // Magnitude of (x, y) by a 10-step CORDIC, scaled by the inverse CORDIC
    // gain.
    static int CordicAmp(short x, short y);
    // atan2(y, x) in radians by a 12-step CORDIC on a 2^-60 rad fixed point.
    static double CordicPhase(short x, short y);
};
