#include "acquisition/algorithm.h"

#include <climits>
#include <cmath>
#include <cstdint>

namespace {

// Start of both CORDIC routines: rotates (x, y) into the right half plane;
// the angle taken off is returned in quarter turns (0, +1, -1).
int StartVector(short x, short y, int32_t& X, int32_t& Y)
{
    if (x >= 0) {
        X = x;
        Y = y;
        return 0;
    }
    if (y > 0) {
        X = y;
        Y = -static_cast<int32_t>(x);
        return 1;
    }
    X = -static_cast<int32_t>(y);
    Y = x;
    return -1;
}

// One vectoring step: rotates towards Y = 0; true when it turned clockwise.
// Both right-hand sides use the old X and Y (arithmetic shifts).
bool Step(int32_t& X, int32_t& Y, int i)
{
    const int32_t x = X;
    const int32_t y = Y;
    if (y >= 0) {
        X = x + (y >> i);
        Y = y - (x >> i);
        return true;
    }
    X = x - (y >> i);
    Y = y + (x >> i);
    return false;
}

// Inverse CORDIC gain as a 32-bit fraction: 2608131600 / 2^32 = 0.6072529591.
constexpr int64_t c_inverseGain = 2608131600LL;
// pi/2 in units of 2^-60 rad.
constexpr int64_t c_halfPi = 0x1921FB54442D17D8LL;
// atan(2^-i) in units of 2^-60 rad, as the FPGA's table holds them.
constexpr int64_t c_atanTable[12] = {
    0x0C90FDAA22168C00LL, 0x076B19C1586ED3C2LL, 0x03EB6EBF25901BACLL, 0x01FD5BA9AAC2F6DCLL,
    0x00FFAADDB967EF4ELL, 0x007FF556EEA5D893LL, 0x003FFEAAB776E535LL, 0x001FFFD555BBBA97LL,
    0x000FFFFAAAADDDDCLL, 0x0007FFFF55556EEFLL, 0x0003FFFFEAAAAB77LL, 0x0001FFFFFD55555CLL,
};

} // namespace

double Algorithm::Angle(const int& a, const int& b)
{
    return std::atan2(static_cast<double>(a), static_cast<double>(b));
}

int Algorithm::Amplitude(const int& i, const int& q, const double& gain)
{
    const double di = static_cast<double>(i);
    const double dq = static_cast<double>(q);
    const double a = std::sqrt(di * di + dq * dq) * gain + 0.5;
    // Converting a double outside the int range is undefined: hold the limit.
    if (std::isnan(a)) {
        return 0;
    }
    if (a >= static_cast<double>(INT_MAX)) {
        return INT_MAX;
    }
    if (a <= static_cast<double>(INT_MIN)) {
        return INT_MIN;
    }
    return static_cast<int>(a);
}

int Algorithm::CordicAmp(short x, short y)
{
    int32_t X = 0;
    int32_t Y = 0;
    StartVector(x, y, X, Y);
    for (int i = 0; i < 10; ++i) {
        Step(X, Y, i);
    }
    return static_cast<int>((static_cast<int64_t>(X) * c_inverseGain) >> 32);
}

double Algorithm::CordicPhase(short x, short y)
{
    int32_t X = 0;
    int32_t Y = 0;
    int64_t z = static_cast<int64_t>(StartVector(x, y, X, Y)) * c_halfPi;
    for (int i = 0; i < 12; ++i) {
        z += Step(X, Y, i) ? c_atanTable[i] : -c_atanTable[i];
    }
    return std::ldexp(static_cast<double>(z), -60);
}
