// Beam position feature outside a running application: its nodes, and the
// enable refused before the running state.
#include "raf_fixture.h"

#include "acquisition/beam_info.h"
#include "platform/mci/client_access.h"
#include "platform/qapp/zemtra_application.h"

#include <gtest/gtest.h>

namespace {

TEST(BeamInfo, EnableIsRefusedBeforeTheApplicationRuns)
{
    acqtest::RafFixture fixture(sim::c_typeRaf, "raf3", "3");
    RafBoard& board = fixture.Build();
    mci::TreeNodePtr node = qapp::MakeBranchNode("beam", 0);
    board.GetBeamInfo()->OnRegistryAdd(node);
    mci::ClientAccess client(node);
    EXPECT_EQ((std::vector<std::string>{"enabled", "position"}), client.List(""));
    EXPECT_EQ((std::vector<std::string>{"X", "Y"}), client.List("position"));
    for (auto state : {qapp::ZemtraApplication::eStateCreated, qapp::ZemtraApplication::eStateConfig}) {
        fixture.App().SetState(state);
        try {
            client.SetText("enabled", "true");
            ADD_FAILURE() << "enabled in state " << state;
        } catch (const std::exception& e) {
            EXPECT_STREQ("qreg: Can't set value: setter function failed: enabled", e.what());
        }
        EXPECT_EQ("false", client.GetText("enabled"));
    }
    EXPECT_EQ(0, client.GetInteger("position/X"));
    fixture.App().SetState(qapp::ZemtraApplication::eStateCreated);
}

} // namespace
