// The gain controller's arithmetic on hand-made data: power and level
// decision, the second-maximum filter, the marker search, the gain and phase
// measurement and update, and the quality check with its dump file.
#include "acquisition/gain_control.h"

#include "platform/qstd/capture.h"
#include "tests/common/temp_dir.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace gain_control;

constexpr double c_pi = 3.14159265358979323846;
const uint32_t c_identity[4] = {0, 1, 2, 3};

// A capture of four-channel atoms that starts `into` atoms into the marked
// switch position (capture position 0). The atom of position k, channel c
// and turn n holds value(k, c) turned by drift * n, as I = A sin(phi),
// Q = A cos(phi), so that atan2(I, Q) gives phi.
struct Capture {
    uint32_t S;
    std::vector<int32_t> data;

    Capture(uint32_t s, uint32_t atoms, uint32_t into, const std::complex<double> (&value)[4][4], double drift = 0.0)
        : S(s), data(8 * atoms)
    {
        for (uint32_t n = 0; n < atoms; ++n) {
            const uint32_t k = ((n + into) / S) % 4;
            for (unsigned c = 0; c < 4; ++c) {
                const std::complex<double> v = value[k][c] * std::polar(1.0, drift * n);
                data[8 * n + 2 * c] = static_cast<int32_t>(std::lround(std::abs(v) * std::sin(std::arg(v))));
                data[8 * n + 2 * c + 1] = static_cast<int32_t>(std::lround(std::abs(v) * std::cos(std::arg(v))));
            }
            int32_t& ia = data[8 * n];
            ia = k == 0 ? (ia | 1) : (ia & ~1);
        }
    }
    CaptureView View() const { return CaptureView(data.data(), data.size() / 8); }
};

void Fill(std::complex<double> (&value)[4][4], double amplitude)
{
    for (auto& row : value) {
        for (auto& v : row) {
            v = std::polar(amplitude, 0.3);
        }
    }
}

TEST(AgcArithmetic, PowerAndLevelDecision)
{
    EXPECT_DOUBLE_EQ(0.0, SignalPower(10000, 20, 10000, 20));
    EXPECT_NEAR(6.0206, SignalPower(20000, 20, 10000, 20), 1e-4);
    EXPECT_NEAR(-3.0, SignalPower(10000, 17, 10000, 20), 1e-12);
    EXPECT_EQ(-std::numeric_limits<double>::infinity(), SignalPower(0, 20, 10000, 20));

    struct Case {
        double power;
        int32_t from;
        int32_t to;
    };
    const double inf = std::numeric_limits<double>::infinity();
    for (const Case& c : {Case{0.99, 0, 0}, Case{1.0, 0, 1}, Case{-1.0, 0, 0}, Case{-1.01, 0, -1}, Case{4.0, 0, 2},
                          Case{-9.0, 0, -4}, Case{3.99, 0, 1}, Case{-inf, 0, -100}, Case{inf, 0, 30}, Case{1e30, 0, 30},
                          Case{std::nan(""), 0, 0}, Case{40.0, 30, 35}}) {
        int32_t p = c.from;
        const bool changed = NextPowerLevel(c.power, 0.5, p);
        EXPECT_EQ(c.to, p) << c.power;
        EXPECT_EQ(c.to != c.from, changed) << c.power;
    }
}

TEST(AgcArithmetic, SecondMaximumFilter)
{
    double f = 2048.0;
    EXPECT_EQ(1000u, FilterSecondMax(f, 1000)); // far away: taken at once
    EXPECT_EQ(1002u, FilterSecondMax(f, 1020)); // 2 %: one eighth of the way
    EXPECT_DOUBLE_EQ(1002.5, f);
    EXPECT_EQ(1033u, FilterSecondMax(f, 1033)); // 3 %: replaced
    f = 0.0;
    EXPECT_EQ(500u, FilterSecondMax(f, 500));
}

TEST(CaptureAnalysis, MarkerAfterACutOffPosition)
{
    std::complex<double> value[4][4];
    Fill(value, 1000.0);
    const Capture cap(40, 1440, 15, value);
    qstd::CaptureScope capture(false, true, 2);
    uint32_t marker = 0;
    ASSERT_TRUE(FindMarker(cap.View(), 1440, 40, marker));
    EXPECT_EQ(4u * 40 - 15, marker);
    EXPECT_TRUE(capture.Traced("trailing_markers < m_tbt_samples_per_switch: 25, : 40"));
    EXPECT_FALSE(FindMarker(cap.View(), 0, 40, marker));

    std::vector<int32_t> unmarked(8 * 100, 2);
    EXPECT_FALSE(FindMarker(CaptureView(unmarked.data(), 100), 100, 40, marker));
    EXPECT_THROW(cap.View().I(1440, 0), std::exception);
}

TEST(CaptureAnalysis, GainsEqualiseThePositionsOfEachChannel)
{
    // Channel c at position k: 1000 * (1 + 0.1 k) * (1 + c).
    std::complex<double> value[4][4];
    for (unsigned k = 0; k < 4; ++k) {
        for (unsigned c = 0; c < 4; ++c) {
            value[k][c] = std::polar(1000.0 * (1 + 0.1 * k) * (1 + c), 0.2 * c);
        }
    }
    const Capture cap(40, 1440, 0, value);
    uint32_t ls = 8;
    uint32_t le = 8;
    tPatternByChannelDoubles amplitudes;
    ASSERT_TRUE(CalcAmplitudeCompensation(cap.View(), 0, 40, 8, ls, le, amplitudes));
    // Sums over 8 patterns of the window means of the halved amplitudes.
    EXPECT_NEAR(8 * 500.0 * 1.3 * 2, amplitudes[3][1], 8 * 1.0);
    double geo[4];
    ASSERT_TRUE(CalcAmplitudeGeoAverage(amplitudes, 400, geo));

    // Stored as they come with unit coefficients, applied to the old gains
    // with adjusted ones; positions go to their pattern slots.
    const uint32_t slots[4] = {2, 3, 0, 1};
    tCompensationEntry row = UnitCompensation();
    bool changed = false;
    ASSERT_TRUE(UpdateAmplitudeCompensation(amplitudes, geo, slots, true, row, changed));
    EXPECT_TRUE(changed);
    for (unsigned c = 0; c < 4; ++c) {
        double product = 1.0;
        for (unsigned k = 0; k < 4; ++k) {
            product *= row.gain[slots[k]][c];
            // Corrected amplitudes agree.
            EXPECT_NEAR(amplitudes[0][c] * row.gain[slots[0]][c], amplitudes[k][c] * row.gain[slots[k]][c],
                        1e-9 * amplitudes[0][c]);
        }
        EXPECT_NEAR(1.0, product, 1e-12);
    }
    // The same measurement on corrected data changes nothing more.
    tPatternByChannelDoubles corrected;
    for (unsigned k = 0; k < 4; ++k) {
        for (unsigned c = 0; c < 4; ++c) {
            corrected[k][c] = amplitudes[k][c] * row.gain[slots[k]][c];
        }
    }
    ASSERT_TRUE(CalcAmplitudeGeoAverage(corrected, 400, geo));
    const tCompensationEntry before = row;
    changed = false;
    ASSERT_TRUE(UpdateAmplitudeCompensation(corrected, geo, slots, false, row, changed));
    for (unsigned k = 0; k < 4; ++k) {
        EXPECT_NEAR(before.gain[k][2], row.gain[k][2], 1e-12);
    }
}

TEST(CaptureAnalysis, GainUpdateClampsAndCommitsAllOrNothing)
{
    tPatternByChannelDoubles amplitudes;
    for (unsigned k = 0; k < 4; ++k) {
        for (unsigned c = 0; c < 4; ++c) {
            amplitudes[k][c] = 1000.0;
        }
    }
    amplitudes[0][0] = 100.0; // ratio above 1.99
    double geo[4];
    ASSERT_TRUE(CalcAmplitudeGeoAverage(amplitudes, 0, geo));
    tCompensationEntry row = UnitCompensation();
    bool changed = false;
    ASSERT_TRUE(UpdateAmplitudeCompensation(amplitudes, geo, c_identity, true, row, changed));
    const double clamped = 1.99;
    const double others = geo[0] / 1000.0;
    const double norm = std::pow(clamped * others * others * others, 0.25);
    EXPECT_NEAR(clamped / norm, row.gain[0][0], 1e-12);

    // A channel whose gains vanish cannot be normalised: nothing changes.
    tCompensationEntry tiny = UnitCompensation();
    for (unsigned k = 0; k < 4; ++k) {
        tiny.gain[k][3] = 1e-100;
    }
    const tCompensationEntry before = tiny;
    changed = false;
    qstd::CaptureScope capture(true, false);
    EXPECT_FALSE(UpdateAmplitudeCompensation(amplitudes, geo, c_identity, false, tiny, changed));
    EXPECT_TRUE(capture.Logged(
        "Internal error: incorrectly computed coefficients for channel 3 prevents further DSC execution."));
    EXPECT_FALSE(changed);
    EXPECT_EQ(0, std::memcmp(&before, &tiny, sizeof tiny));
}

TEST(CaptureAnalysis, WeakOrMissingChannelsAreRefused)
{
    tPatternByChannelDoubles amplitudes;
    for (unsigned k = 0; k < 4; ++k) {
        for (unsigned c = 0; c < 4; ++c) {
            amplitudes[k][c] = 1000.0;
        }
    }
    amplitudes[2][1] = 1.0;
    double geo[4];
    qstd::CaptureScope capture(true, false);
    EXPECT_FALSE(CalcAmplitudeGeoAverage(amplitudes, 400, geo));
    EXPECT_TRUE(
        capture.LoggedSubstring("on channel 1 is below threshold 400. Calculation of DSC coefficients is skipped."));
    amplitudes[2][1] = 0.0;
    EXPECT_FALSE(CalcAmplitudeGeoAverage(amplitudes, 0, geo));
}

TEST(CaptureAnalysis, PhasesRelativeToTheReferenceLine)
{
    // Channel B leads A by 0.1 rad at capture position 1, channel D lags by
    // 0.2 everywhere; channel A drifts by 2 pi over 1000 turns.
    std::complex<double> value[4][4];
    for (unsigned k = 0; k < 4; ++k) {
        for (unsigned c = 0; c < 4; ++c) {
            const double phase = 0.5 + (c == 1 && k == 1 ? 0.1 : 0.0) + (c == 3 ? -0.2 : 0.0);
            value[k][c] = std::polar(100000.0, phase);
        }
    }
    const Capture cap(40, 1440, 10, value, 2 * c_pi / 1000);
    uint32_t marker = 0;
    ASSERT_TRUE(FindMarker(cap.View(), 1440, 40, marker));
    ASSERT_EQ(150u, marker);
    tPatternByChannelDoubles phases;
    double ifMeasured = 0.0;
    ASSERT_TRUE(CalcPhaseCompensation(cap.View(), marker, 40, 8, 1440, 533818.3761, phases, ifMeasured));
    EXPECT_EQ(150u, marker);
    EXPECT_NEAR(533.8183761, ifMeasured, 1e-3);
    for (unsigned k = 0; k < 4; ++k) {
        EXPECT_NEAR(0.0, phases[k][0], 1e-3) << k;
        EXPECT_NEAR(k == 1 ? 0.1 : 0.0, phases[k][1], 1e-3) << k;
        EXPECT_NEAR(-0.2, phases[k][3], 1e-3) << k;
    }

    // A marker early in its position moves one pattern on.
    const Capture early(40, 1440, 150, value);
    marker = 10;
    ASSERT_TRUE(CalcPhaseCompensation(early.View(), marker, 40, 8, 1440, 533818.3761, phases, ifMeasured));
    EXPECT_EQ(170u, marker);
    EXPECT_NEAR(0.0, ifMeasured, 1e-9);
}

TEST(CaptureAnalysis, PhaseWindowsMustLieInTheCapture)
{
    std::complex<double> value[4][4];
    Fill(value, 10000.0);
    // One pattern of phase averaging: a capture of two patterns; the marker
    // moved on by a pattern puts the windows past the end.
    const Capture cap(40, 320, 0, value);
    uint32_t marker = 20;
    tPatternByChannelDoubles phases;
    double ifMeasured = 0.0;
    qstd::CaptureScope capture(false, true, 2);
    EXPECT_FALSE(CalcPhaseCompensation(cap.View(), marker, 40, 1, 320, 533818.3761, phases, ifMeasured));
    EXPECT_TRUE(capture.Traced("Not enough samples for calculation of phase correlation coefficients."));
    marker = 40;
    EXPECT_TRUE(CalcPhaseCompensation(cap.View(), marker, 40, 1, 320, 533818.3761, phases, ifMeasured));
}

TEST(CaptureAnalysis, PhaseUpdateAndIfDelta)
{
    tPatternByChannelDoubles phases = {};
    phases[0][2] = -0.5;
    tCompensationEntry row = UnitCompensation();
    row.phase[0][2] = 3.0;
    double ifDelta = 1.0;
    bool changed = false;
    UpdateAngleCorrection(phases, 1.0, c_identity, false, row, ifDelta, changed);
    EXPECT_NEAR(3.5 - 2 * c_pi, row.phase[0][2], 1e-12);
    EXPECT_TRUE(changed);

    // Nothing moves but the IF: the IF alone is a change.
    tCompensationEntry unit = UnitCompensation();
    const tPatternByChannelDoubles zero = {};
    changed = false;
    UpdateAngleCorrection(zero, 1.0, c_identity, true, unit, ifDelta, changed);
    EXPECT_FALSE(changed);
    UpdateAngleCorrection(zero, 2.0, c_identity, true, unit, ifDelta, changed);
    EXPECT_TRUE(changed);
    EXPECT_EQ(2.0, ifDelta);

    double mean = 7.0;
    EXPECT_FALSE(CalcMeanAngleDiff({1.0}, {}, mean));
    EXPECT_FALSE(CalcMeanAngleDiff({}, {}, mean));
    EXPECT_EQ(7.0, mean);
    std::vector<double> x = {3.0, -3.0, 3.0};
    Unwrap(x);
    EXPECT_NEAR(-3.0 + 2 * c_pi, x[1], 1e-12);
    EXPECT_NEAR(3.0, x[2], 1e-12);
}

class QualityCheck : public ::testing::Test {
protected:
    QualityCheck() : m_dir(m_temp.Path())
    {
        in.S = 40;
        in.Pa = 8;
        in.LS = 8;
        in.LE = 8;
        in.channelLimit = 400;
        in.tolerance = 2.0;
        in.dumpTemporary = m_dir + "/dd_dsc_tmp3.dat";
        in.dumpFailed = m_dir + "/dd_dsc3.dat";
        in.dumpGood = m_dir + "/dd_dsc_good3.dat";
    }
    static bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }
    const zvtest::TempDir m_temp;
    const std::string m_dir;
    QualityInput in;
};

TEST_F(QualityCheck, SteadyCapturePassesAndIsKeptAsGood)
{
    std::complex<double> value[4][4];
    Fill(value, 5000.0);
    const Capture cap(40, 1440, 0, value);
    double quality = -1.0;
    bool measured = false;
    ASSERT_TRUE(CalcDataVariance(cap.View(), in, quality, measured));
    EXPECT_TRUE(measured);
    EXPECT_NEAR(0.0, quality, 1e-9);
    ASSERT_TRUE(Exists(in.dumpGood));
    EXPECT_FALSE(Exists(in.dumpTemporary));
    std::ifstream dump(in.dumpGood);
    std::string line;
    size_t lines = 0;
    while (std::getline(dump, line)) {
        ++lines;
        std::istringstream fields(line);
        long v;
        size_t n = 0;
        while (fields >> v) {
            ++n;
        }
        EXPECT_EQ(32u, n);
    }
    EXPECT_EQ(192u, lines);

    // A tolerance of 0 fails any spread; the capture becomes the failed one.
    std::vector<int32_t> noisy = cap.data;
    noisy[8 * 20 + 3] += 40;
    in.tolerance = 0.0;
    qstd::CaptureScope capture(false, true, 1);
    EXPECT_FALSE(CalcDataVariance(CaptureView(noisy.data(), 1440), in, quality, measured));
    EXPECT_TRUE(measured);
    EXPECT_GT(quality, 0.0);
    EXPECT_TRUE(capture.TracedSubstring("DSC quality failed, Raw rms / min_amp higher than tolerance: "));
    EXPECT_TRUE(Exists(in.dumpFailed));
    EXPECT_TRUE(Exists(in.dumpGood));
}

TEST_F(QualityCheck, DumpIsNeverWrittenThroughALink)
{
    const std::string victim = m_dir + "/victim";
    std::ofstream(victim) << "keep";
    ASSERT_EQ(0, symlink(victim.c_str(), in.dumpTemporary.c_str()));
    std::complex<double> value[4][4];
    Fill(value, 5000.0);
    const Capture cap(40, 1440, 0, value);
    double quality = -1.0;
    bool measured = false;
    EXPECT_TRUE(CalcDataVariance(cap.View(), in, quality, measured));
    std::string text;
    std::getline(std::ifstream(victim), text);
    EXPECT_EQ("keep", text);
    struct stat st {};
    ASSERT_EQ(0, lstat(in.dumpGood.c_str(), &st));
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_GT(st.st_size, 1000);
    std::remove(victim.c_str());
}

TEST_F(QualityCheck, WeakSampleFailsWhateverTheSpread)
{
    std::complex<double> value[4][4];
    Fill(value, 5000.0);
    Capture cap(40, 1440, 0, value);
    cap.data[8 * 50 + 4] = 0;
    cap.data[8 * 50 + 5] = 0;
    double quality = -1.0;
    bool measured = true;
    qstd::CaptureScope capture(false, true, 1);
    EXPECT_FALSE(CalcDataVariance(cap.View(), in, quality, measured));
    EXPECT_FALSE(measured);
    EXPECT_TRUE(capture.Traced("DSC quality failed, min_amp too low: 0 < 400"));
    EXPECT_TRUE(Exists(in.dumpTemporary));
    // A zero amplitude fails even without a channel limit.
    in.channelLimit = 0;
    EXPECT_FALSE(CalcDataVariance(cap.View(), in, quality, measured));
}

} // namespace
