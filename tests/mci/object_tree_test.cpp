// A small object publishes its register tree through the factories; a client
// then uses only the client-access facade.

#include "mci/factory.h"
#include "platform/fpga/fpga_access.h"
#include "platform/mci/client_access.h"
#include "platform/qreg/reg_exec_node.h"
#include "platform/qreg/signal_node.h"
#include "qreg/expr.h"
#include "qreg/reg_fnc_enum_node.h"
#include "qreg/reg_fnc_node.h"
#include "qreg/reg_node.h"
#include "qreg/reg_reference_bit_node.h"
#include "tests/common/thrown.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

namespace {

using mci::factory::Create;

enum Trigger_e : int { eTrigOff = 0, eTrigInternal = 1, eTrigExternal = 3 };

} // namespace

template <>
qstd::BiMap<Trigger_e> qstd::EnumMap<Trigger_e>::items = {
    {eTrigExternal, "external"}, {eTrigOff, "off"}, {eTrigInternal, "internal"}};

namespace {

// A register whose read shows a status bit that writes cannot set (bit 31).
class StatusModel : public fpga::RegisterModel {
public:
    bool Read32(size_t, uint32_t& value) override
    {
        value = stored | 0x80000000u;
        return true;
    }
    bool Write32(size_t, uint32_t value) override
    {
        stored = value & 0x7FFFFFFFu;
        ++writes;
        return true;
    }
    uint32_t stored = 0;
    int writes = 0;
};

class Sampler {
public:
    Sampler() { fpga::RegisterRegion(m_block, sizeof(m_block), &m_model); }
    ~Sampler() { fpga::UnregisterRegion(m_block); }

    void OnRegistryAdd(const mci::TreeNodePtr& parent)
    {
        m_node = parent->Add(Create<qreg::RegNode>("sampler"));
        auto settings = m_node->Add(Create<qreg::RegNode>("settings", mci::enums::eNone));
        m_rate = mci::Node(settings->Add(Create<qreg::RegFncNode<unsigned int>>(
                               qreg::Expr<qreg::expr::Range<unsigned int, unsigned int>>(1, 10000), "rate", this,
                               &Sampler::_SetRate, &Sampler::_GetRate, 14)),
                           mci::c_noRelPath);
        settings->Add(
            Create<qreg::RegFncEnumNode<Trigger_e>>("trigger", this, &Sampler::_SetTrigger, &Sampler::_GetTrigger));
        settings->Add(Create<qreg::RegReferenceBitNode<unsigned int, volatile unsigned int>>(
            "gain", m_block[1], 8, 4, static_cast<mci::enums::Flags_e>(6)));
        settings->Add(Create<qreg::RegReferenceBitNode<bool, volatile unsigned int>>("ready", m_block[1], 31, 1, 2));
        m_node->Add(Create<qreg::RegExecNode>("reset", this, &Sampler::Reset));
        m_node->Add(Create<qreg::RegFncNode<unsigned int>>("resets", this, 0, &Sampler::_GetResets));
        m_node->Add(Create<qreg::SignalNode>("samples", m_source));
    }

    // The owner changes its rate itself, holding its own lock.
    bool SetRate(unsigned int rate)
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        return m_rate.SetValue(rate, 0);
    }

    unsigned int Stored() const { return m_model.stored; }
    qsig::SignalSource* m_source = nullptr;

private:
    bool _SetRate(const unsigned int& rate)
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        m_rateValue = rate;
        return true;
    }
    bool _GetRate(unsigned int& rate) const
    {
        std::lock_guard<std::recursive_mutex> lock(m_mutex);
        rate = m_rateValue;
        return true;
    }
    bool _SetTrigger(const Trigger_e& t)
    {
        if (t == eTrigExternal && m_rateValue > 5000) {
            return false; // the hardware cannot follow
        }
        m_trigger = t;
        return true;
    }
    bool _GetTrigger(Trigger_e& t) const
    {
        t = m_trigger;
        return true;
    }
    bool Reset()
    {
        ++m_resets;
        fpga::Write32(reinterpret_cast<volatile FPGAMem_t*>(m_block), 4, 0);
        return true;
    }
    bool _GetResets(unsigned int& n) const
    {
        n = m_resets;
        return true;
    }

    mutable std::recursive_mutex m_mutex;
    volatile unsigned int m_block[4] = {};
    StatusModel m_model;
    unsigned int m_rateValue = 100;
    Trigger_e m_trigger = eTrigOff;
    unsigned int m_resets = 0;
    mci::TreeNodePtr m_node;
    mci::Node m_rate;
};

class Samples : public qsig::SignalSource {
public:
    Samples() : SignalSource("samples", "sampler") {}
    size_t AtomSize() const override { return 8; }
    size_t GroupSize() const override { return 1; }
    const std::type_info& AtomType() const override { return typeid(double); }
    const std::type_info& BaseType() const override { return typeid(double); }
    size_t Length() const override { return 1; }
    std::vector<std::string> GetComponentNames() const override { return {"x"}; }
    qsig::SignalAccessType_e AccessType() const override { return qsig::eAccessStream; }
};

class ObjectTree : public ::testing::Test {
protected:
    void SetUp() override
    {
        sampler.m_source = &samples;
        root = Create<qreg::RegNode>("board");
        sampler.OnRegistryAdd(root);
        client.reset(new mci::ClientAccess(root));
    }
    Samples samples;
    Sampler sampler;
    mci::TreeNodePtr root;
    std::unique_ptr<mci::ClientAccess> client;
};

TEST_F(ObjectTree, ListsAndDescribes)
{
    EXPECT_EQ((std::vector<std::string>{"sampler"}), client->List(""));
    EXPECT_EQ((std::vector<std::string>{"settings", "reset", "resets", "samples"}), client->List("sampler"));
    EXPECT_EQ((std::vector<std::string>{"rate", "trigger", "gain", "ready"}), client->List("sampler/settings"));
    EXPECT_EQ(3, client->GetValueType("sampler/settings/rate"));
    EXPECT_EQ(9, client->GetValueType("sampler/settings/trigger"));
    EXPECT_EQ(1, client->GetValueType("sampler/settings/ready"));
    EXPECT_EQ(14u, client->GetFlags("sampler/settings/rate"));
    EXPECT_EQ(2u, client->GetFlags("sampler/resets"));
    EXPECT_EQ("[1, 10000]", client->GetValidator("sampler/settings/rate"));
    EXPECT_EQ("", client->GetValidator("sampler/settings/gain"));
    EXPECT_EQ((std::vector<std::string>{"off", "internal", "external"}),
              client->GetDomainValues("sampler/settings/trigger"));
    EXPECT_EQ("samples", client->GetSignal("sampler/samples").name);
}

TEST_F(ObjectTree, ReadsAndWrites)
{
    EXPECT_EQ(100, client->GetInteger("sampler/settings/rate"));
    client->SetText("sampler/settings/rate", "10000");
    EXPECT_EQ("10000", client->GetText("sampler/settings/rate"));
    client->SetText("sampler/settings/trigger", "internal");
    EXPECT_EQ("internal", client->GetText("sampler/settings/trigger"));
    client->SetInteger("sampler/settings/trigger", 0);
    EXPECT_EQ(0, client->GetInteger("sampler/settings/trigger"));
    client->SetText("sampler/settings/trigger", "1");
    EXPECT_EQ("internal", client->GetText("sampler/settings/trigger"));

    client->SetInteger("sampler/settings/gain", 9);
    EXPECT_EQ(9u << 8, sampler.Stored());
    EXPECT_EQ(9, client->GetInteger("sampler/settings/gain"));
    // The status bit reads back although it is never written.
    EXPECT_EQ("true", client->GetText("sampler/settings/ready"));
}

TEST_F(ObjectTree, RefusesWithTheNodesMessages)
{
    EXPECT_EQ("Value 10001 is refused by validator [1, 10000]",
              zvtest::ThrownMessage([&] { client->SetInteger("sampler/settings/rate", 10001); }));
    EXPECT_EQ(100, client->GetInteger("sampler/settings/rate"));
    client->SetInteger("sampler/settings/rate", 6000);
    EXPECT_EQ("qreg: Can't set value: setter function failed: trigger",
              zvtest::ThrownMessage([&] { client->SetText("sampler/settings/trigger", "external"); }));
    EXPECT_EQ("Invalid integer value",
              zvtest::ThrownMessage([&] { client->SetText("sampler/settings/trigger", "External"); }));
    EXPECT_EQ("Invalid enum value", zvtest::ThrownMessage([&] { client->SetText("sampler/settings/trigger", "2"); }));
    EXPECT_EQ("invalid value",
              zvtest::ThrownMessage([&] { client->SetInteger("sampler/settings/trigger", 4294967297LL); }));
    EXPECT_EQ("off", client->GetText("sampler/settings/trigger"));
    EXPECT_EQ("Too large value.16 for node gain",
              zvtest::ThrownMessage([&] { client->SetInteger("sampler/settings/gain", 16); }));
    EXPECT_EQ("qreg: Node is not writable: ready",
              zvtest::ThrownMessage([&] { client->SetText("sampler/settings/ready", "0"); }));
    EXPECT_EQ("qreg: Node is not writable: resets",
              zvtest::ThrownMessage([&] { client->SetInteger("sampler/resets", 1); }));
    EXPECT_EQ("qreg: Node cannot be resized: gain",
              zvtest::ThrownMessage([&] { client->Resize("sampler/settings/gain", 2); }));
}

TEST_F(ObjectTree, ExecutesAndNotifies)
{
    client->SetInteger("sampler/settings/gain", 5);
    client->Execute("sampler/reset");
    EXPECT_EQ(1, client->GetInteger("sampler/resets"));
    EXPECT_EQ(0, client->GetInteger("sampler/settings/gain"));

    auto sub = client->Subscribe("sampler/settings/rate");
    EXPECT_TRUE(sampler.SetRate(200));
    EXPECT_FALSE(sampler.SetRate(0)); // refused by the validator, not emitted
    client->SetInteger("sampler/settings/rate", 300);
    // An enum node emits its integer however it was written.
    auto trigger = client->Subscribe("sampler/settings/trigger");
    client->SetText("sampler/settings/trigger", "internal");
    client->SetInteger("sampler/settings/trigger", 0);
    client->SetTexts("sampler/settings/trigger", {"1"}, 0);
    auto emitted = trigger->Values();
    ASSERT_EQ(3u, emitted.size());
    EXPECT_EQ(1LL, qstd::any_cast<long long>(emitted[0].value));
    EXPECT_EQ(0LL, qstd::any_cast<long long>(emitted[1].value));
    EXPECT_EQ(1LL, qstd::any_cast<long long>(emitted[2].value));

    auto values = sub->Values();
    ASSERT_EQ(2u, values.size());
    EXPECT_EQ(200u, qstd::any_cast<unsigned int>(values[0].value));
    EXPECT_EQ(300u, qstd::any_cast<unsigned int>(values[1].value));
    EXPECT_EQ("rate", values[1].name);
}

} // namespace
