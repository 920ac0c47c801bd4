// Serial magnet outputs: start values, line rate from the prescalers, mode
// from the feedback state, the outputs' fields, shutdown.
#include "gdx_support.h"

#include "gdx/fofb.h"
#include "gdx/fofb_state_machine.h"
#include "gdx/ser_output.h"
#include "qreg/reg_node.h"

#include <gtest/gtest.h>

namespace {

constexpr size_t c_ser = 0xF38000;

struct Outputs {
    Outputs()
        : fofb(*f.Board().RegisterObject<FOFB>(0xF28000, "fofb", eUbDelta)), relay(fofb, "state", stateWord, nullptr),
          ser(*f.Board().RegisterObject<SerOutput>(c_ser, "ser_output", &relay)), tree(f.Tree(ser)),
          block(f.Block(c_ser, SerOutput::c_blockSize))
    {
    }
    uint32_t Word(size_t offset) { return fpga::Read32(block, offset); }

    gdxtest::GdxFixture f{4};
    volatile uint32_t stateWord = 1;
    FOFB& fofb;
    FofbStateMachine relay;
    SerOutput& ser;
    mci::ClientAccess tree;
    volatile FPGAMem_t* block;
};

TEST(SerOutputLink, StartValuesAndLineRate)
{
    Outputs o;
    EXPECT_EQ(0xFu, o.Word(SerOutput::c_enable));
    EXPECT_EQ(0x0064006400640064ull, fpga::Read64(o.block, SerOutput::c_prescaler));
    EXPECT_EQ(0u, o.Word(SerOutput::c_id));
    EXPECT_DOUBLE_EQ(1619600.0, o.tree.GetDouble("link/baud_rate"));

    struct Case {
        uint64_t word;
        double rate;
    };
    for (const Case& c :
         {Case{0x0064009600640032ull, 1619600.0}, Case{0x0032003200320032ull, 3239200.0}, Case{0, 161960000.0}}) {
        fpga::Write64(o.block, SerOutput::c_prescaler, c.word);
        EXPECT_DOUBLE_EQ(c.rate, o.tree.GetDouble("link/baud_rate"));
    }
    // Clients cannot write the prescalers; the system's own writes keep
    // within [50, 65535].
    EXPECT_THROW(o.tree.SetInteger("link/presc_C", 150), std::exception);
    auto* presc = dynamic_cast<qreg::RegNode*>(o.tree.Find("link/presc_C").get());
    ASSERT_NE(nullptr, presc);
    EXPECT_TRUE(presc->SetValue(150u, 0));
    EXPECT_FALSE(presc->SetValue(49u, 0));
    EXPECT_EQ(150, o.tree.GetInteger("link/presc_C"));
    EXPECT_EQ(0x96u, (fpga::Read64(o.block, SerOutput::c_prescaler) >> 32) & 0xFFFF);
}

TEST(SerOutputLink, ModeIsAutoOnlyWhileTheFeedbackIsOn)
{
    Outputs o;
    for (const auto& c :
         std::vector<std::pair<uint32_t, const char*>>{{2, "auto"}, {4, "manual"}, {1, "manual"}, {0x12, "manual"}}) {
        o.stateWord = c.first;
        EXPECT_EQ(c.second, o.tree.GetText("mode")) << c.first;
    }
    SerOutput alone(o.f.Board(), o.block, "alone", nullptr);
    soMode_e mode = eSoAuto;
    EXPECT_TRUE(alone.GetMode(mode));
    EXPECT_EQ(eSoManual, mode);
}

TEST(SerOutputMagnets, FieldsOfTheFourOutputs)
{
    Outputs o;
    EXPECT_EQ((std::vector<std::string>{"mode", "link", "m1", "m2", "m3", "m4"}), o.tree.List(""));
    o.tree.SetText("m3/enable", "false");
    EXPECT_EQ(0xBu, o.Word(SerOutput::c_enable));
    o.tree.SetInteger("m4/id", 0x7F);
    EXPECT_EQ(0x7F000000u, o.Word(SerOutput::c_id));
    EXPECT_THROW(o.tree.SetInteger("m4/id", 256), std::exception);

    fpga::Write32(o.block, SerOutput::c_source, 2u << 3);
    EXPECT_EQ("manual", o.tree.GetText("m2/output_value"));
    EXPECT_EQ("off", o.tree.GetText("m1/output_value"));

    o.tree.SetInteger("m2/values/manual", -32768);
    EXPECT_EQ(0x8000u, o.Word(SerOutput::c_value + 8));
    EXPECT_THROW(o.tree.SetInteger("m2/values/manual", 32768), std::exception);
    fpga::Write64(o.block, SerOutput::c_value + 8, 0xFFFF0000ull | 0x8000ull);
    EXPECT_EQ(-1, o.tree.GetInteger("m2/values/fofb"));
    EXPECT_EQ(-32768, o.tree.GetInteger("m2/values/manual"));

    // Shutdown disables the outputs and leaves everything else.
    o.ser.OnShutdown();
    EXPECT_EQ(0u, o.Word(SerOutput::c_enable));
    EXPECT_EQ(0x7F000000u, o.Word(SerOutput::c_id));
    EXPECT_EQ(-1, o.tree.GetInteger("m2/values/fofb"));
}

} // namespace
