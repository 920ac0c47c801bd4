// Requests of the remote registry against the test tree: listing and
// description, reads and writes in every form, commands, and the refusals,
// whose messages must be exactly those a local client gets.

#include "remote_test_support.h"

#include "platform/mci/client_access.h"
#include "platform/remote/remote_registry.h"
#include "qreg/reg_fnc_node.h"
#include "tests/common/resident_memory.h"

#include <gtest/gtest.h>

#include <malloc.h>

#include <algorithm>
#include <memory>

using namespace remotetest;

namespace {

std::vector<std::string> Texts(const zemtra_REMOTE::StringSeq& seq)
{
    std::vector<std::string> v;
    for (CORBA::ULong i = 0; i < seq.length(); ++i) {
        v.emplace_back(seq[i].in());
    }
    return v;
}

zemtra_REMOTE::StringSeq Seq(const std::vector<std::string>& texts)
{
    zemtra_REMOTE::StringSeq seq;
    seq.length(static_cast<CORBA::ULong>(texts.size()));
    for (CORBA::ULong i = 0; i < seq.length(); ++i) {
        seq[i] = texts[i].c_str();
    }
    return seq;
}

// The memory (kB) that what make returns takes while it is held.
template <typename F> long HeldKb(F&& make)
{
    const auto allocated = [] {
        const struct mallinfo2 info = ::mallinfo2();
        return static_cast<long>((info.uordblks + info.hblkhd) / 1024);
    };
    const long before = allocated();
    const auto held = make();
    return allocated() - before;
}

// The message a local client gets for the same request.
template <typename F> std::string LocalMessage(F&& f)
{
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

class RemoteRegistryTest : public ::testing::Test {
protected:
    Server server;
    zemtra_REMOTE::Registry_ptr reg() { return server.registry.in(); }
};

TEST(RemotePath, DotsBecomeTreeSeparators)
{
    EXPECT_EQ("tim/pll/locked", remote::TreePathOf("tim.pll.locked"));
    EXPECT_EQ("", remote::TreePathOf(""));
    EXPECT_EQ("synchronize_lmt", remote::TreePathOf("synchronize_lmt"));
}

TEST_F(RemoteRegistryTest, ListGivesChildrenInOrderWithKindTypeSizeAndFlags)
{
    zemtra_REMOTE::NodeInfoSeq_var root = reg()->List("");
    std::vector<std::string> names;
    for (CORBA::ULong i = 0; i < root->length(); ++i) {
        names.emplace_back(root[i].name.in());
    }
    EXPECT_EQ((std::vector<std::string>{"synchronize_lmt", "custom", "clock_info", "name", "arr", "reset", "fail",
                                        "block", "tim", "signals"}),
              names);
    // synchronize_lmt: unsigned 64-bit value, writable.
    EXPECT_STREQ("value", root[0].kind.in());
    EXPECT_EQ(5, root[0].value_type);
    EXPECT_EQ(1u, root[0].size);
    EXPECT_EQ(6u, root[0].flags);
    EXPECT_STREQ("[0, 1000]", root[0].validator.in());
    // custom: enum with its names in value order.
    EXPECT_EQ(9, root[1].value_type);
    EXPECT_EQ((std::vector<std::string>{"fofb_switch", "fa_clk"}), Texts(root[1].domain_values));
    EXPECT_EQ(14u, root[1].flags);
    EXPECT_STREQ("branch", root[2].kind.in());
    EXPECT_EQ(64u, root[2].flags);
    EXPECT_EQ(4u, root[4].size);
    EXPECT_EQ(0x206u, root[4].flags);
    EXPECT_STREQ("command", root[5].kind.in());

    zemtra_REMOTE::NodeInfoSeq_var signals = reg()->List("signals");
    ASSERT_EQ(2u, signals->length());
    EXPECT_STREQ("signal", signals[0].kind.in());
    EXPECT_STREQ("signal", signals[1].kind.in());

    zemtra_REMOTE::NodeInfoSeq_var deep = reg()->List("clock_info.decimation");
    ASSERT_EQ(1u, deep->length());
    EXPECT_STREQ("tbt", deep[0].name.in());
    EXPECT_EQ(3, deep[0].value_type);
    // A leaf has no children.
    EXPECT_EQ(0u, zemtra_REMOTE::NodeInfoSeq_var(reg()->List("tim.pll.locked"))->length());
}

TEST_F(RemoteRegistryTest, BranchAndSignalOfOneNameAreBothListedAndTheSignalOpens)
{
    zemtra_REMOTE::NodeInfoSeq_var tim = reg()->List("tim");
    ASSERT_EQ(2u, tim->length());
    EXPECT_STREQ("pll", tim[0].name.in());
    EXPECT_STREQ("branch", tim[0].kind.in());
    EXPECT_STREQ("pll", tim[1].name.in());
    EXPECT_STREQ("signal", tim[1].kind.in());
    // Register requests reach the branch, signal requests the signal.
    EXPECT_EQ(1u, zemtra_REMOTE::NodeInfoSeq_var(reg()->List("tim.pll"))->length());
    zemtra_REMOTE::SignalInfo_var info = reg()->GetSignal("tim.pll");
    EXPECT_STREQ("tim.pll", info->name.in());
    EXPECT_EQ(1, info->access_type);
}

TEST_F(RemoteRegistryTest, DescribeNamesTheNodeItself)
{
    zemtra_REMOTE::NodeInfo_var info = reg()->Describe("clock_info.adc_frequency");
    EXPECT_STREQ("adc_frequency", info->name.in());
    EXPECT_EQ(6, info->value_type);
    EXPECT_EQ(2u, info->flags);
    EXPECT_STREQ("", info->validator.in());
}

TEST_F(RemoteRegistryTest, ReadsAndWritesInEveryForm)
{
    EXPECT_EQ((std::vector<std::string>{"117440000.5"}),
              Texts(zemtra_REMOTE::StringSeq_var(reg()->GetText("clock_info.adc_frequency", 0, 0)).in()));
    EXPECT_EQ(382, zemtra_REMOTE::LongLongSeq_var(reg()->GetInteger("clock_info.decimation.tbt", 0, 1))[0]);

    // Enum by name and by integer text; reads back by name and as integer.
    reg()->SetText("custom", 0, Seq({"fa_clk"}));
    EXPECT_EQ(eFaClk, server.tree.owner.custom);
    EXPECT_EQ("fa_clk", Texts(zemtra_REMOTE::StringSeq_var(reg()->GetText("custom", 0, 1)).in()).at(0));
    reg()->SetText("custom", 0, Seq({"0"}));
    EXPECT_EQ(eFofbSwitch, server.tree.owner.custom);

    zemtra_REMOTE::LongLongSeq lmt;
    lmt.length(1);
    lmt[0] = 1000; // the upper bound itself is allowed
    reg()->SetInteger("synchronize_lmt", 0, lmt);
    EXPECT_EQ(1000, zemtra_REMOTE::LongLongSeq_var(reg()->GetInteger("synchronize_lmt", 0, 1))[0]);

    // Array: a run from position 1, then a read of the rest and of a middle slice.
    zemtra_REMOTE::LongLongSeq run;
    run.length(3);
    run[0] = -1;
    run[1] = 2;
    run[2] = 3;
    reg()->SetInteger("arr", 1, run);
    EXPECT_EQ((std::vector<std::string>{"0", "-1", "2", "3"}),
              Texts(zemtra_REMOTE::StringSeq_var(reg()->GetText("arr", 0, 0)).in()));
    EXPECT_EQ((std::vector<std::string>{"2", "3"}),
              Texts(zemtra_REMOTE::StringSeq_var(reg()->GetText("arr", 2, 0)).in()));
    q_NET::DoubleSeq_var d = reg()->GetDouble("arr", 1, 2);
    ASSERT_EQ(2u, d->length());
    EXPECT_EQ(-1.0, d[0]);
    EXPECT_EQ(2.0, d[1]);

    q_NET::DoubleSeq one;
    one.length(1);
    one[0] = 7.0;
    reg()->SetDouble("arr", 3, one);
    EXPECT_EQ(7, zemtra_REMOTE::LongLongSeq_var(reg()->GetInteger("arr", 3, 1))[0]);

    reg()->SetText("name", 0, Seq({"with space"}));
    EXPECT_EQ("with space", Texts(zemtra_REMOTE::StringSeq_var(reg()->GetText("name", 0, 1)).in()).at(0));
}

// Requests and answers take the memory of what they carry: omniORB gives a
// bounded sequence the buffer of its whole bound (8 MiB for one value), and
// the server sizes the sequences it makes and decodes itself; a count past
// the bound is refused before anything is sized by it.
TEST_F(RemoteRegistryTest, SequencesTakeTheMemoryOfWhatTheyCarry)
{
    const auto decoded = [](CORBA::ULong count) {
        cdrMemoryStream stream;
        count >>= stream;
        for (CORBA::ULong i = 0; i < std::min(count, 2u); ++i) {
            CORBA::LongLong(i) >>= stream;
        }
        auto values = std::make_unique<zemtra_REMOTE::LongLongSeq>();
        remote::ReadWriteValues(stream, *values);
        return values;
    };
    for (const CORBA::ULong count : {1048577u, 1u << 29, 0xffffffffu}) {
        EXPECT_THROW(decoded(count), CORBA::MARSHAL) << count;
    }
    EXPECT_EQ(1, (*decoded(2))[1]);
    if (!zvtest::c_freedMemoryGoesBack) {
        GTEST_SKIP() << "the sanitizer's allocator counts otherwise";
    }
    EXPECT_LT(HeldKb([&] { return decoded(1); }), 1024);
    EXPECT_LT(HeldKb([&] { return zemtra_REMOTE::LongLongSeq_var(reg()->GetInteger("arr", 0, 1)); }), 1024);
    EXPECT_LT(HeldKb([&] { return q_NET::DoubleSeq_var(reg()->GetDouble("arr", 1, 2)); }), 1024);
    EXPECT_LT(HeldKb([&] { return zemtra_REMOTE::SignalData_var(reg()->ReadSignal("signals.adc", 10, 2, 0, 0, 0)); }),
              1024);
}

TEST_F(RemoteRegistryTest, RefusalsCarryTheMessageALocalClientGets)
{
    mci::ClientAccess local(server.tree.root);
    struct Case {
        const char* what;
        std::string remote;
        std::string local;
    };
    std::vector<Case> cases;
    cases.push_back({"read-only node",
                     RemoteMessage([&] { reg()->SetText("clock_info.adc_frequency", 0, Seq({"1"})); }),
                     LocalMessage([&] { local.SetText("clock_info/adc_frequency", "1"); })});
    cases.push_back({"out of range", RemoteMessage([&] { reg()->SetText("synchronize_lmt", 0, Seq({"1001"})); }),
                     LocalMessage([&] { local.SetText("synchronize_lmt", "1001"); })});
    cases.push_back({"wrong type", RemoteMessage([&] { reg()->SetText("synchronize_lmt", 0, Seq({"abc"})); }),
                     LocalMessage([&] { local.SetText("synchronize_lmt", "abc"); })});
    cases.push_back({"position past the end", RemoteMessage([&] { reg()->GetText("arr", 4, 1); }),
                     LocalMessage([&] { local.GetTexts("arr", 4, 1); })});
    cases.push_back({"count past the end", RemoteMessage([&] { reg()->GetText("arr", 2, 3); }),
                     LocalMessage([&] { local.GetTexts("arr", 2, 3); })});
    cases.push_back({"write past the end", RemoteMessage([&] {
                         reg()->SetText("arr", 3, Seq({"1", "2"}));
                     }),
                     LocalMessage([&] {
                         local.SetTexts("arr", {"1", "2"}, 3);
                     })});
    // A huge count is refused by the range check before anything is sized by it.
    cases.push_back({"huge count", RemoteMessage([&] { reg()->GetInteger("arr", 0, 0xFFFFFFFFu); }),
                     LocalMessage([&] { server.tree.arr->VerifySetArgs(0, 0xFFFFFFFFu); })});
    cases.push_back({"huge position", RemoteMessage([&] { reg()->GetDouble("arr", 0xFFFFFFFFu, 1); }),
                     LocalMessage([&] { local.GetDoubles("arr", 0xFFFFFFFFu, 1); })});
    cases.push_back({"failing command", RemoteMessage([&] { reg()->Execute("fail"); }),
                     LocalMessage([&] { local.Execute("fail"); })});
    cases.push_back({"command on a value", RemoteMessage([&] { reg()->Execute("name"); }),
                     LocalMessage([&] { local.Execute("name"); })});
    for (const auto& c : cases) {
        EXPECT_FALSE(c.local.empty()) << c.what;
        EXPECT_EQ(c.local, c.remote) << c.what;
    }
    // Nothing refused was stored.
    EXPECT_EQ("0", Texts(zemtra_REMOTE::StringSeq_var(reg()->GetText("synchronize_lmt", 0, 1)).in()).at(0));
    EXPECT_EQ("0", Texts(zemtra_REMOTE::StringSeq_var(reg()->GetText("arr", 3, 1)).in()).at(0));
}

// An enum node that refuses a value (a name it does not know, a number that
// none of its values has), written in any form, names the value refused and
// the values it takes; so does one given more values than it holds.
TEST_F(RemoteRegistryTest, EnumRefusalsNameTheValuesTheNodeTakes)
{
    const std::string takes = "custom takes fofb_switch, fa_clk (or their numbers), not ";
    zemtra_REMOTE::LongLongSeq seven;
    seven.length(1);
    seven[0] = 7;
    const struct {
        const char* what;
        std::string message;
        std::string expected;
    } cases[] = {
        {"name", RemoteMessage([&] { reg()->SetText("custom", 0, Seq({"nope"})); }), takes + "'nope'"},
        {"number text", RemoteMessage([&] { reg()->SetText("custom", 0, Seq({"7"})); }), takes + "'7'"},
        {"number", RemoteMessage([&] { reg()->SetInteger("custom", 0, seven); }), takes + "'7'"},
        {"too many", RemoteMessage([&] {
             reg()->SetText("custom", 0, Seq({"fa_clk", "fa_clk"}));
         }),
         "custom takes one value (fofb_switch, fa_clk or their numbers), not 2"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.expected, c.message) << c.what;
    }
    EXPECT_EQ("fofb_switch", Texts(zemtra_REMOTE::StringSeq_var(reg()->GetText("custom", 0, 1)).in()).at(0));
}

TEST_F(RemoteRegistryTest, ReadWhoseGetterFailsIsRefused)
{
    // A node whose getter fails (a temperature sensor that cannot measure):
    // every remote read form refuses, with the message a local read gets.
    auto broken = std::make_shared<qreg::RegFncNode<double>>(
        "broken", qreg::RegFncNode<double>::ScalarSetter(), [](double&) { return false; },
        qreg::RegFncNode<double>::ArraySetter(), qreg::RegFncNode<double>::ArrayGetter(), 1, 2ull);
    broken->SetNodeStructure(new mci::LocalNodeStructure(broken.get()));
    server.tree.root->Add(broken);
    mci::ClientAccess local(server.tree.root);
    const std::string expected = LocalMessage([&] { local.GetDouble("broken"); });
    EXPECT_EQ("qreg: Can't get value: getter function failed: broken", expected);
    EXPECT_EQ(expected, RemoteMessage([&] { reg()->GetText("broken", 0, 0); }));
    EXPECT_EQ(expected, RemoteMessage([&] { reg()->GetDouble("broken", 0, 1); }));
    EXPECT_EQ(expected, RemoteMessage([&] { reg()->GetInteger("broken", 0, 1); }));
}

TEST_F(RemoteRegistryTest, UnknownPathsAreNamedAsTheClientWroteThem)
{
    EXPECT_EQ("mci: No such node: tim.pll.nothing", RemoteMessage([&] { reg()->GetText("tim.pll.nothing", 0, 1); }));
    EXPECT_EQ("mci: No such node: tim.nothing", RemoteMessage([&] { reg()->List("tim.nothing"); }));
    EXPECT_EQ("mci: No such node: a..b", RemoteMessage([&] { reg()->Describe("a..b"); }));
    EXPECT_EQ("mci: Not a signal node: tim.pll.locked", RemoteMessage([&] { reg()->GetSignal("tim.pll.locked"); }));
    // The server goes on serving after every refusal.
    EXPECT_EQ("false", Texts(zemtra_REMOTE::StringSeq_var(reg()->GetText("tim.pll.locked", 0, 1)).in()).at(0));
}

TEST_F(RemoteRegistryTest, ExecuteRunsTheCommandOnce)
{
    reg()->Execute("reset");
    EXPECT_EQ(1, server.tree.owner.executed.load());
    reg()->Execute("reset");
    EXPECT_EQ(2, server.tree.owner.executed.load());
}

TEST_F(RemoteRegistryTest, SignalDescriptionHasComponentNames)
{
    // A signal is named by its path, whatever its source calls itself.
    zemtra_REMOTE::SignalInfo_var pll = reg()->GetSignal("signals.pll");
    EXPECT_STREQ("signals.pll", pll->name.in());
    EXPECT_EQ(1, pll->access_type);
    EXPECT_EQ(2u, pll->length);
    EXPECT_EQ(16u, pll->atom_size);
    EXPECT_EQ((std::vector<std::string>{"phase", "dac"}), Texts(pll->component_names));
    zemtra_REMOTE::SignalInfo_var adc = reg()->GetSignal("signals.adc");
    EXPECT_EQ(2, adc->access_type);
    EXPECT_EQ(4u, adc->length);

    server.tree.pllNode->DetachSource();
    EXPECT_EQ("qreg: Signal source is not available: pll", RemoteMessage([&] { reg()->GetSignal("signals.pll"); }));
}

} // namespace
