// Clock information of a RAF board: derived values, the refusal of a zero TBT
// decimation, the comparison of two boards and the read-only nodes.
#include "raf/raf_id.h"

#include "platform/fpga/fpga_access.h"
#include "platform/mci/client_access.h"
#include "platform/qapp/zemtra_application.h"
#include "platform/qapp/zemtra_board.h"
#include "platform/qstd/exception.h"
#include "tests/common/simulated_board.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

struct ClockWords {
    uint32_t adc = 100;
    uint32_t tbt = 10;
    uint32_t fir = 2;
    uint32_t cic = 3;
    uint32_t sa = 1000;
    uint32_t sw = 40;
    uint32_t harmonic = 25;
};

// One simulated RAF board with its clock block filled from ClockWords.
class ClockBoard {
public:
    explicit ClockBoard(const ClockWords& w, const std::string& name = "raf3")
        : m_raf(App(), sim::c_typeRaf, name, "3", {}, 1e6), m_block(m_raf.Block(0x100, RafIdSpecific::c_blockSize))
    {
        fpga::Write32(m_block, 0x00, w.adc);
        fpga::Write32(m_block, 0x08, w.tbt);
        fpga::Write32(m_block, 0x10, w.fir);
        fpga::Write32(m_block, 0x14, w.cic);
        fpga::Write32(m_block, 0x18, w.sa);
        fpga::Write32(m_block, 0x20, w.sw);
        fpga::Write32(m_block, 0x28, w.harmonic);
    }

    std::unique_ptr<RafIdSpecific> Make()
    {
        return std::make_unique<RafIdSpecific>(m_raf.Board(), m_block, "clock_info");
    }
    volatile FPGAMem_t* Block() const { return m_block; }
    qapp::ZemtraBoard& Board() { return m_raf.Board(); }

private:
    static qapp::ZemtraApplication& App()
    {
        static qapp::ZemtraApplication app("raf-test", false, false);
        return app;
    }

    zvtest::SimulatedBoard m_raf;
    volatile FPGAMem_t* m_block;
};

TEST(RafIdSpecific, DerivesFrequenciesFromTheBlock)
{
    ClockBoard b(ClockWords{});
    auto id = b.Make();
    EXPECT_EQ(100u, id->GetADCFrequency());
    EXPECT_EQ(10u, id->GetTbtDecimation());
    EXPECT_EQ(2u, id->GetFIRDecimation());
    EXPECT_EQ(3u, id->GetCICDecimation());
    EXPECT_EQ(6u, id->GetFADecimation());
    EXPECT_EQ(1000u, id->GetSADecimation());
    EXPECT_EQ(40u, id->GetSwitchDecimation());
    EXPECT_EQ(25u, id->GetHarmonicNumber());
    EXPECT_DOUBLE_EQ(10.0, id->GetTbtFrequency());
    EXPECT_DOUBLE_EQ(250.0, id->GetRFFrequency());
    EXPECT_DOUBLE_EQ(50.0, id->GetIFFrequency());
    EXPECT_DOUBLE_EQ(2147483648.0, id->GetNcoFrequency());
}

TEST(RafIdSpecific, IfFrequencyAtTheEdgesOfTheHarmonicNumber)
{
    ClockWords below;
    below.harmonic = 7; // smaller than the TBT decimation: nothing aliased
    ClockBoard b1(below);
    auto id1 = b1.Make();
    EXPECT_DOUBLE_EQ(id1->GetRFFrequency(), id1->GetIFFrequency());
    EXPECT_DOUBLE_EQ(70.0, id1->GetIFFrequency());

    ClockWords multiple;
    multiple.harmonic = 30; // exact multiple: the carrier aliases to 0
    ClockBoard b2(multiple);
    auto id2 = b2.Make();
    EXPECT_DOUBLE_EQ(0.0, id2->GetIFFrequency());
    EXPECT_DOUBLE_EQ(0.0, id2->GetNcoFrequency());
}

TEST(RafIdSpecific, WrapsLikeTheFpgaIn32Bits)
{
    // q x ADC frequency wraps modulo 2^32 before it is subtracted.
    ClockWords w;
    w.adc = 0x80000000u;
    w.tbt = 1;
    w.harmonic = 2;
    w.fir = 0x10000;
    w.cic = 0x10000; // FA decimation wraps to 0
    ClockBoard b(w);
    auto id = b.Make();
    EXPECT_EQ(0u, id->GetFADecimation());
    EXPECT_DOUBLE_EQ(2.0 * 2147483648.0, id->GetRFFrequency());
    EXPECT_DOUBLE_EQ(2.0 * 2147483648.0, id->GetIFFrequency()); // 2 x 2^31 wrapped to 0
}

TEST(RafIdSpecific, RefusesZeroTbtDecimationButNotZeroAdcFrequency)
{
    ClockWords w;
    w.tbt = 0;
    ClockBoard b(w);
    try {
        b.Make();
        FAIL() << "no exception";
    } catch (const qstd::Exception& e) {
        EXPECT_STREQ("Invalid FPGA value for TBT decimation", e.what());
    }

    ClockWords noAdc;
    noAdc.adc = 0;
    noAdc.harmonic = 7;
    ClockBoard b2(noAdc);
    EXPECT_NO_THROW(b2.Make());
}

TEST(RafIdSpecific, ReadsTheBlockOnlyAtConstruction)
{
    ClockBoard b(ClockWords{});
    auto id = b.Make();
    fpga::Write32(b.Block(), 0x00, 12345);
    EXPECT_EQ(100u, id->GetADCFrequency());
}

TEST(RafIdSpecific, ComparesTheSevenBlockValues)
{
    ClockBoard base(ClockWords{});
    auto a = base.Make();
    ClockBoard same(ClockWords{});
    EXPECT_FALSE(*a != *same.Make());

    const auto differs = [&a](ClockWords w) {
        ClockBoard other(w);
        return *a != *other.Make();
    };
    ClockWords w;
    w.adc = 101;
    EXPECT_TRUE(differs(w));
    w = ClockWords{};
    w.tbt = 11;
    EXPECT_TRUE(differs(w));
    w = ClockWords{};
    w.fir = 4;
    EXPECT_TRUE(differs(w));
    w = ClockWords{};
    w.fir = 3;
    w.cic = 2; // same FA decimation, factors swapped
    EXPECT_TRUE(differs(w));
    w = ClockWords{};
    w.sa = 999;
    EXPECT_TRUE(differs(w));
    w = ClockWords{};
    w.sw = 41;
    EXPECT_TRUE(differs(w));
    w = ClockWords{};
    w.harmonic = 26;
    EXPECT_TRUE(differs(w));
}

TEST(RafIdSpecific, PublishesReadOnlyNodes)
{
    ClockBoard b(ClockWords{});
    auto id = b.Make();
    mci::TreeNodePtr node = qapp::MakeBranchNode("clock_info", 0);
    id->OnRegistryAdd(node);
    mci::ClientAccess client(node);

    EXPECT_EQ((std::vector<std::string>{"adc_frequency", "decimation", "harmonic_number", "rf_frequency",
                                        "if_frequency", "tbt_frequency", "nco_frequency"}),
              client.List(""));
    EXPECT_EQ((std::vector<std::string>{"tbt", "fa", "sa", "sw"}), client.List("decimation"));
    EXPECT_EQ((std::vector<std::string>{"cic", "fir"}), client.List("decimation/fa"));

    EXPECT_EQ(6, client.GetInteger("decimation/fa"));
    EXPECT_EQ(2, client.GetInteger("decimation/fa/fir"));
    EXPECT_EQ(3, client.GetInteger("decimation/fa/cic"));
    EXPECT_EQ(100, client.GetInteger("adc_frequency"));
    EXPECT_DOUBLE_EQ(50.0, client.GetDouble("if_frequency"));

    EXPECT_EQ(66u, client.GetFlags("decimation/fa/cic"));
    EXPECT_EQ(66u, client.GetFlags("nco_frequency"));
    EXPECT_EQ(2u, client.GetFlags("rf_frequency"));
    EXPECT_EQ(3, client.GetValueType("adc_frequency"));
    EXPECT_EQ(6, client.GetValueType("tbt_frequency"));
    EXPECT_ANY_THROW(client.SetInteger("adc_frequency", 5));
    EXPECT_EQ(100u, id->GetADCFrequency());
}

} // namespace
