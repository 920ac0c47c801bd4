// Beam positions, DDC amplitudes and phases, and the software spike removal.
#include "acquisition/position_arithmetic.h"

#include "platform/qstd/exception.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

namespace {

using PA = PositionArithmetic;

template <typename T> void Notify(PA& pa, void (PA::*set)(const mci::NotificationData&), T value)
{
    mci::NotificationData data;
    data.value = value;
    (pa.*set)(data);
}

void SetCoefficients(PA& pa, unsigned kx, unsigned ky, int offX, int offY, int offQ)
{
    Notify(pa, &PA::SetKx, kx);
    Notify(pa, &PA::SetKy, ky);
    Notify(pa, &PA::SetOffsetX, offX);
    Notify(pa, &PA::SetOffsetY, offY);
    Notify(pa, &PA::SetOffsetQ, offQ);
}

void SetSpikes(PA& pa, bool on, int averageStop, unsigned averageWindow, int start, unsigned window)
{
    Notify(pa, &PA::SetSpikeRemoval, on);
    Notify(pa, &PA::SetAverageStop, averageStop);
    Notify(pa, &PA::SetAverageWindow, averageWindow);
    Notify(pa, &PA::SetSpikeStart, start);
    Notify(pa, &PA::SetSpikeWindow, window);
}

TbtAmplAtom Atom(int a, int b, int c, int d)
{
    return TbtAmplAtom{a, b, c, d, 0, 0, 0, 0};
}

TEST(PositionArithmetic, PositionsOfOneAtom)
{
    const struct {
        unsigned kx, ky;
        int offX, offY, offQ;
        TbtAmplAtom in;
        int sum, q, x, y;
    } cases[] = {
        {1000, 1000, 0, 0, 0, Atom(100, 0, 0, 0), 25, 1000, 1000, 1000},
        // The FA block's default coefficients with offsets.
        {10000000, 10000000, 100, -200, 300, Atom(1000, 2000, 3000, 4000), 2500, -2000300, -100, -3999800},
        // No sum: nothing, whatever the offsets.
        {1000, 1000, 7, 8, 9, Atom(0, 0, 0, 0), 0, 0, 0, 0},
        {1000, 1000, 0, 0, 0, Atom(5, -5, 5, -5), 0, 0, 0, 0},
        // Divisions truncate toward zero: -7 / 4 = -1.
        {1000, 1000, 0, 0, 0, Atom(-7, 0, 0, 0), -1, 1000, 1000, 1000},
        {1, 1, 0, 0, 0, Atom(1, 2, 0, 0), 0, 0, 0, 1},
        // Results keep their low 32 bits, the offset subtracted modulo 2^32.
        {536870911, 1, -536870912, 0, 0, Atom(100, -99, 0, 0), 0,
         static_cast<int32_t>(static_cast<uint32_t>(199ull * 536870911ull)),
         static_cast<int32_t>(static_cast<uint32_t>(199ull * 536870911ull + 536870912ull)), 1},
        // Register values beyond the validators: the quotient lies within 2^31
        // of the 64-bit limit and the offset is still subtracted modulo 2^32.
        {0x80000003u, 1, 2147483647, 0, 0, Atom(2147483646, -2147483645, 0, 0), 0, 2147483633, -14, 1},
    };
    for (const auto& c : cases) {
        PA pa;
        SetCoefficients(pa, c.kx, c.ky, c.offX, c.offY, c.offQ);
        TbtAmplAtom atom = c.in;
        pa.CalculateTbtData(atom);
        EXPECT_EQ(c.sum, atom.Sum) << c.in.Va;
        EXPECT_EQ(c.q, atom.Q) << c.in.Va;
        EXPECT_EQ(c.x, atom.X) << c.in.Va;
        EXPECT_EQ(c.y, atom.Y) << c.in.Va;
    }
}

TEST(PositionArithmetic, TdpAndDdcAtoms)
{
    PA pa;
    SetCoefficients(pa, 1000, 1000, 0, 0, 0);
    TbtAmplAtom out = Atom(0, 0, 0, 0);
    out.Sum = 77;
    pa.MoveTdpAmp(TdpAtom{{1, 2, 3, 4}}, out);
    EXPECT_EQ(4, out.Vd);
    EXPECT_EQ(77, out.Sum); // only the amplitudes move

    pa.TransformTdpAtom(TdpAtom{{100, 0, 0, 0}}, out);
    EXPECT_EQ(25, out.Sum);
    EXPECT_EQ(1000, out.X);

    // Amplitude trunc(5 x 1.64676 + 0.5) = 8; Va takes the marker of Ia (1).
    const DdcAtom ddc{{{3, 4}, {3, 4}, {0, 0}, {-3, -4}}};
    pa.CalculateDdcAmp(ddc, out);
    EXPECT_EQ(9, out.Va);
    EXPECT_EQ(8, out.Vb);
    EXPECT_EQ(0, out.Vc);
    EXPECT_EQ(8, out.Vd);
    pa.TransformDdcAtom(ddc, out);
    EXPECT_EQ(25 / 4, out.Sum);

    TbtPhaseAtom phase{};
    pa.CalculateDdcPhase(DdcAtom{{{1, 0}, {0, 1}, {0, -1}, {-1, 0}}}, phase);
    EXPECT_DOUBLE_EQ(M_PI / 2, phase.Aa);
    EXPECT_DOUBLE_EQ(0.0, phase.Ab);
    EXPECT_DOUBLE_EQ(M_PI, phase.Ac);
    EXPECT_DOUBLE_EQ(-M_PI / 2, phase.Ad);
}

TEST(PositionArithmetic, NotificationsOfTheWrongTypeAreRefused)
{
    PA pa;
    Notify(pa, &PA::SetKx, 1000u);
    try {
        Notify(pa, &PA::SetKx, 2000);
        FAIL() << "no exception";
    } catch (const qstd::Exception& e) {
        EXPECT_STREQ("Invalid value type", e.what());
    }
    EXPECT_EQ(1000, pa.GetCoefficients().kx);
    EXPECT_THROW(Notify(pa, &PA::SetOffsetX, 5u), qstd::Exception);
    EXPECT_THROW(Notify(pa, &PA::SetSpikeRemoval, 1), qstd::Exception);
    // Offsets are sign-extended, coefficients zero-extended.
    Notify(pa, &PA::SetOffsetY, -5);
    Notify(pa, &PA::SetKy, 0xFFFFFFFFu);
    EXPECT_EQ(-5, pa.GetCoefficients().offset_y);
    EXPECT_EQ(0xFFFFFFFFll, pa.GetCoefficients().ky);
}

TEST(PositionArithmetic, MarkedRunNeedsThreeMarkerChanges)
{
    const struct {
        std::vector<int> markers;
        bool found;
        unsigned start, end;
    } cases[] = {
        {{0, 0, 1, 1, 1, 0, 0}, false, 0, 0},
        {{0, 0, 1, 1, 1, 0, 0, 1}, true, 2, 5},
        {{1, 1, 0, 0, 1, 1, 1, 0}, true, 4, 7},
        {{1}, false, 0, 0},
        {{1, 1, 1, 1}, false, 0, 0},
    };
    for (const auto& c : cases) {
        unsigned start = 0;
        unsigned end = 0;
        const bool found = PA::FindMarkedRun(
            static_cast<unsigned>(c.markers.size()), [&](unsigned i) { return c.markers[i] != 0; }, start, end);
        EXPECT_EQ(c.found, found) << c.markers.size();
        if (found) {
            EXPECT_EQ(c.start, start);
            EXPECT_EQ(c.end, end);
        }
    }
}

// A TDP block with the markers given, amplitudes 1000..4000 and a spike of
// 9000..9003 in each listed atom.
std::vector<TdpAtom> Block(const std::vector<int>& markers, const std::vector<unsigned>& spikes)
{
    std::vector<TdpAtom> block;
    for (size_t i = 0; i < markers.size(); ++i) {
        TdpAtom a{{1000, 2000, 3000, 4000}};
        for (unsigned s : spikes) {
            if (s == i) {
                a = TdpAtom{{9000, 9001, 9002, 9003}};
            }
        }
        a[0] = (a[0] & ~1) | markers[i];
        block.push_back(a);
    }
    return block;
}

std::vector<TbtAmplAtom> Transform(const PA& pa, const std::vector<TdpAtom>& block)
{
    std::vector<TbtAmplAtom> out(block.size());
    pa.TransformTdpSignal(block.data(), out.data(), static_cast<unsigned>(block.size()));
    return out;
}

class SpikeRemoval : public ::testing::Test {
protected:
    SpikeRemoval() { SetCoefficients(pa, 10000000, 10000000, 0, 0, 0); }

    // The atom as it is without a spike, with the marker of atom i.
    TbtAmplAtom Clean(int marker) const
    {
        TbtAmplAtom a = Atom(1000 | marker, 2000, 3000, 4000);
        pa.CalculateTbtData(a);
        return a;
    }

    static void ExpectAtom(const TbtAmplAtom& expected, const TbtAmplAtom& actual, size_t i)
    {
        EXPECT_EQ(expected.Va, actual.Va) << i;
        EXPECT_EQ(expected.Vd, actual.Vd) << i;
        EXPECT_EQ(expected.Sum, actual.Sum) << i;
        EXPECT_EQ(expected.X, actual.X) << i;
        EXPECT_EQ(expected.Y, actual.Y) << i;
    }

    PA pa;
    // Marker runs of ones [2, 6) and zeros [6, 8): P = 4.
    const std::vector<int> markers{0, 0, 1, 1, 1, 1, 0, 0, 1, 1};
};

TEST_F(SpikeRemoval, ReplacesTheSpikesOfEveryPeriodKeepingTheMarkers)
{
    // Windows of two atoms at 2 and 6, each the mean of the two atoms before it.
    SetSpikes(pa, true, -1, 2, 0, 2);
    const auto out = Transform(pa, Block(markers, {2, 3, 6, 7}));
    for (size_t i = 0; i < out.size(); ++i) {
        ExpectAtom(Clean(markers[i]), out[i], i);
    }
    // Off: the spikes stay.
    SetSpikes(pa, false, -1, 2, 0, 2);
    EXPECT_EQ(9001, Transform(pa, Block(markers, {2, 3, 6, 7}))[2].Va);
}

TEST_F(SpikeRemoval, NothingIsReplacedWithoutThreeMarkerChanges)
{
    SetSpikes(pa, true, -1, 2, 0, 2);
    const std::vector<int> two{0, 0, 1, 1, 1, 0, 0};
    const auto out = Transform(pa, Block(two, {2, 3}));
    EXPECT_EQ(9001, out[2].Va);
    EXPECT_EQ(9002, out[3].Vc);
}

TEST_F(SpikeRemoval, UnsoundSettingsLeaveTheBlockWhole)
{
    const auto block = Block(markers, {2, 3, 6, 7});
    const struct {
        const char* what;
        int averageStop;
        unsigned averageWindow;
        int start;
        unsigned window;
    } cases[] = {
        {"averaging window 0", -1, 0, 0, 2},
        {"spike window 0", -1, 2, 0, 0},
        // Every averaging range lies past the block's end.
        {"averaging past the end", 15, 2, 0, 2},
    };
    for (const auto& c : cases) {
        SetSpikes(pa, true, c.averageStop, c.averageWindow, c.start, c.window);
        const auto out = Transform(pa, block);
        for (unsigned i : {0u, 1u, 2u, 3u, 6u, 7u}) {
            EXPECT_EQ(block[i][0], out[i].Va) << c.what << " atom " << i;
        }
    }
}

TEST_F(SpikeRemoval, WindowsBeforeTheBlockAndClippedAveraging)
{
    // Spike start -8: the windows at -6 and -2 lie wholly before the block and
    // leave atom 0 alone; the window at 2 takes the mean of atoms 0 and 1.
    SetSpikes(pa, true, -1, 2, -8, 2);
    auto out = Transform(pa, Block(markers, {0, 2, 3}));
    EXPECT_EQ(9000, out[0].Va);
    EXPECT_EQ(5001, out[2].Va);

    // Averaging three atoms ending four after the window start: the range of
    // the window at 6 ends at atom 10 and is clipped to [8, 9].
    SetSpikes(pa, true, 4, 3, 0, 2);
    out = Transform(pa, Block(markers, {6, 7}));
    ExpectAtom(Clean(0), out[6], 6);
}

TEST_F(SpikeRemoval, MeansOfNegativeAmplitudesAreSigned)
{
    SetSpikes(pa, true, -1, 2, 0, 2);
    std::vector<TbtAmplAtom> atoms(10, Atom(1000, -5, 3000, 4000));
    atoms[1].Vb = -8;
    atoms[2].Vb = 5000;
    for (size_t i = 0; i < atoms.size(); ++i) {
        atoms[i].Va = (atoms[i].Va & ~1) | markers[i];
    }
    pa.RemoveTbtSpikes(atoms.data(), 10, 2, 6);
    EXPECT_EQ(-6, atoms[2].Vb);
    EXPECT_EQ(-6, atoms[3].Vb);
    EXPECT_EQ(1001, atoms[3].Va);
}

TEST(PositionArithmeticConversion, OutputSizeAndCode)
{
    PA pa;
    SetCoefficients(pa, 1000, 1000, 0, 0, 0);
    qsig::Array<TdpTraits> in(TdpTraits(), 3);
    for (unsigned i = 0; i < 3; ++i) {
        in[i] = TdpAtom{{100, 0, 0, 0}};
    }
    // An owned output grows; the code passes unchanged.
    qsig::Array<TbtAmplTraits> out;
    EXPECT_EQ(qsig::eIncompleteData, pa.ConvertTdpAmplSignal(in, qsig::eIncompleteData, out));
    ASSERT_EQ(3u, out.GetLength());
    EXPECT_EQ(1000, out[2].X);
    // An empty input empties the output.
    EXPECT_EQ(qsig::eTimeout, pa.ConvertTdpAmplSignal(qsig::Array<TdpTraits>(), qsig::eTimeout, out));
    EXPECT_EQ(0u, out.GetLength());
    // A wrapped output cannot grow.
    int storage[8 * 2] = {};
    qsig::Array<TbtAmplTraits> wrapped(TbtAmplTraits(), storage, 2);
    try {
        pa.ConvertTdpAmplSignal(in, qsig::eSuccess, wrapped);
        FAIL() << "no exception";
    } catch (const qstd::Exception& e) {
        EXPECT_STREQ("array: Cannot extend non-owned array.", e.what());
    }

    qsig::Array<DdcTraits> ddc(DdcTraits(), 1);
    ddc[0] = DdcAtom{{{1, 0}, {0, 1}, {0, 0}, {0, 0}}};
    qsig::Array<TbtPhaseTraits> phases;
    EXPECT_EQ(qsig::eSuccess, pa.ConvertDdcPhaseSynthSignal(ddc, qsig::eSuccess, phases));
    EXPECT_DOUBLE_EQ(M_PI / 2, phases[0].Aa);
    qsig::Array<TbtAmplTraits> amplitudes;
    EXPECT_EQ(qsig::eSuccess, pa.ConvertDdcAmplSynthSignal(ddc, qsig::eSuccess, amplitudes));
    EXPECT_EQ(3, amplitudes[0].Va); // trunc(1.6468 + 0.5) with the marker of Ia
}

// Coefficients change while readers convert: each conversion works with one
// whole set of values.
TEST(PositionArithmeticConcurrency, ConversionsSeeWholeCoefficients)
{
    PA pa;
    SetCoefficients(pa, 1000, 1000, -1, 0, 0);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (unsigned i = 0; !stop.load(); ++i) {
            Notify(pa, &PA::SetKx, i % 2 ? 1000u : 2000u);
            Notify(pa, &PA::SetOffsetX, i % 2 ? -1 : -2);
        }
    });
    std::vector<TdpAtom> in(256, TdpAtom{{100, 0, 0, 0}});
    std::vector<TbtAmplAtom> out(in.size());
    bool whole = true;
    for (int round = 0; round < 200 && whole; ++round) {
        pa.TransformTdpSignal(in.data(), out.data(), static_cast<unsigned>(in.size()));
        for (const TbtAmplAtom& a : out) {
            // One block, one set of values: kx - offset with kx 1000 or 2000
            // and offset -1 or -2.
            whole = whole && a.X == out[0].X && (a.X % 1000 == 1 || a.X % 1000 == 2);
        }
    }
    stop.store(true);
    writer.join();
    EXPECT_TRUE(whole) << out[0].X;
}

} // namespace
