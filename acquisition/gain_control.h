#pragma once
// The arithmetic of the gain controller, apart from its thread and its board:
// the power measurement and level decision of the automatic gain control,
// and the analysis of a capture of turn-by-turn DDC data into gain and phase
// compensation per pattern slot and channel.
//
// A capture is a run of atoms of four channels, each I then Q (signed
// 32-bit). Bit 0 of channel A's I is the switch marker: set in the atoms of
// the marked switch position. From the first atom of a complete marked
// position (the marker index m) the capture is read as consecutive switch
// positions of S atoms: pattern p, capture position k (0 the marked one) and
// sample j lie at m + 4Sp + Sk + j.

#include "raf/compensation_entry.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Which coefficients reach the hardware: unit ones, or the adjusted row.
enum tAppliedCoefficients : int { eCoefficientsUnity = 0, eCoefficientsAdjusted = 1 };
// Quality check of a capture before its gains are used: none, on the
// amplitudes, or on the raw I and Q values.
enum tQualityEstimation : int { eQualityOff = 0, eQualityAmp = 1, eQualityRaw = 2 };

namespace gain_control {

// [capture position or pattern slot][channel]
using tPatternByChannelDoubles = double[c_dscPatternSize][c_dscChannels];

// Read-only view of a capture; an index at or past its end raises
// "array: index out of range".
class CaptureView {
public:
    static constexpr unsigned c_valuesPerAtom = 2 * c_dscChannels;

    CaptureView(const int32_t* data, size_t atoms) : m_data(data), m_atoms(atoms) {}
    size_t Atoms() const { return m_atoms; }
    int32_t I(size_t atom, unsigned channel) const { return At(atom)[2 * channel]; }
    int32_t Q(size_t atom, unsigned channel) const { return At(atom)[2 * channel + 1]; }
    bool Marker(size_t atom) const { return (I(atom, 0) & 1) != 0; }

private:
    const int32_t* At(size_t atom) const;
    const int32_t* m_data;
    size_t m_atoms;
};

// --- automatic gain control -------------------------------------------------

// Low-pass filter of the second maximum: a reading more than 2.5 % away from
// the filtered value f replaces it, a closer one moves it by one eighth of
// the difference. Returns the filtered reading.
uint32_t FilterSecondMax(double& f, uint32_t secondMax);

// Input power in dB relative to the 0 dBm reference: 20 log10(s / adc0) +
// att - att0.
double SignalPower(uint32_t secondMax, uint32_t att, uint32_t adc0, uint32_t att0);

// The level decision: from level p with the hysteresis h of its row, a
// power 4 dB or more away moves the level by half the difference, one
// outside [p - 0.5 - h, p + 0.5 + h) by one dBm. A step beyond the 32-bit
// range (an infinite power) goes to the table bound in its direction; a
// power that is not a number changes nothing. Returns whether p changed.
bool NextPowerLevel(double power, double hysteresis, int32_t& p);

// --- capture analysis ----------------------------------------------------------

// Index of the first atom of the first run of S marked atoms among the
// first allAtoms atoms; shorter runs are traced and skipped.
bool FindMarker(const CaptureView& capture, uint32_t allAtoms, uint32_t S, uint32_t& marker);

// Per capture position and channel, the window means of the amplitude
// (leaving out LS samples at the start and LE at the end of each position,
// smoothed), summed over the Pa patterns. Too short windows are widened,
// decrementing LS and LE; false for a window that would start before the
// capture.
bool CalcAmplitudeCompensation(const CaptureView& capture, uint32_t marker, uint32_t S, uint32_t Pa, uint32_t& LS,
                               uint32_t& LE, tPatternByChannelDoubles& amplitudes);

// Geometric mean over the positions per channel; false (logged) when the
// smallest is below the channel limit or not positive.
bool CalcAmplitudeGeoAverage(const tPatternByChannelDoubles& amplitudes, uint32_t channelLimit,
                             double (&geo)[c_dscChannels]);

// New gains of the row from the ratios geo / amplitude (as they are with
// "unity" coefficients, times the old gain with "adjusted"), clamped at 1.99
// and normalised to a geometric mean of 1 per channel. slots maps capture
// position to pattern slot. The row and changed are updated only when every
// channel normalises; otherwise false (logged) and nothing changes.
bool UpdateAmplitudeCompensation(const tPatternByChannelDoubles& amplitudes, const double (&geo)[c_dscChannels],
                                 const uint32_t (&slots)[c_dscPatternSize], bool unity, tCompensationEntry& row,
                                 bool& changed);

// Phases of the channels per capture position relative to channel A's
// reference line over Pp patterns, and the residual frequency (Hz) of that
// line. A marker in the first three quarters of a position moves one pattern
// on. False (traced) when the reference or a window would run past the
// first allAtoms atoms.
bool CalcPhaseCompensation(const CaptureView& capture, uint32_t& marker, uint32_t S, uint32_t Pp, uint32_t allAtoms,
                           double tbtFrequency, tPatternByChannelDoubles& phases, double& ifMeasured);

// Stores the measured phases (with "unity") or subtracts them from the
// row's phases (with "adjusted"), wrapped into [-pi, pi], and takes the IF
// measurement into ifDelta.
void UpdateAngleCorrection(const tPatternByChannelDoubles& phases, double ifMeasured,
                           const uint32_t (&slots)[c_dscPatternSize], bool unity, tCompensationEntry& row,
                           double& ifDelta, bool& changed);

// Unwraps jumps of more than 3 pi / 2 by whole turns.
void Unwrap(std::vector<double>& x);
// Mean of a[i] - b[i]; false for vectors of different or zero length.
bool CalcMeanAngleDiff(std::vector<double> a, std::vector<double> b, double& mean);
// Into [-pi, pi].
double WrapPhase(double phase);
// atan2(I, Q), 0 when both are 0.
double IqPhase(int32_t i, int32_t q);

// --- quality check ---------------------------------------------------------

struct QualityInput {
    uint32_t marker = 0;
    uint32_t S = 0;
    uint32_t Pa = 0;
    uint32_t LS = 0;
    uint32_t LE = 0;
    uint32_t channelLimit = 0;
    tQualityEstimation selector = eQualityRaw;
    double tolerance = 0.0;
    // Dump file names: written, last failure, last success.
    std::string dumpTemporary;
    std::string dumpFailed;
    std::string dumpGood;
};

// The spread of the capture's samples relative to its smallest amplitude.
// Writes the samples to the temporary dump file and renames it after the
// failed or the good capture by the result. quality is set (and
// qualityMeasured true) once the spread has been measured.
bool CalcDataVariance(const CaptureView& capture, const QualityInput& in, double& quality, bool& qualityMeasured);

} // namespace gain_control
