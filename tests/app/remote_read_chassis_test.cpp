// A post-mortem capture on the default chassis read by a remote client in
// one-shot reads (access modes 10, 11 and 12): each read returns the atoms
// at the position that the post-mortem position controller gives, with its
// metadata, and refusals of the controller come back with their code.
#include "app_support.h"
#include "tests/common/wait_for.h"

#include "acquisition/postmortem.h"
#include "app/raf_board.h"
#include "platform/mci/remote_export.h"
#include "sim/beam.h"
#include "tests/common/free_port.h"

#include "zemtra_remote.hh"

#include <gtest/gtest.h>

#include <map>
#include <vector>

namespace {

using namespace std::chrono_literals;
using apptest::RunningApp;
using zvtest::WaitFor;

std::vector<int> Values(const zemtra_REMOTE::SignalData& d)
{
    return std::vector<int>(d.long_values.get_buffer(), d.long_values.get_buffer() + d.long_values.length());
}

std::map<long, long long> Meta(const zemtra_REMOTE::SignalData& d)
{
    std::map<long, long long> meta;
    for (CORBA::ULong i = 0; i < d.meta.length(); ++i) {
        meta[d.meta[i].id] = d.meta[i].value;
    }
    return meta;
}

std::string Message(const std::function<void()>& call)
{
    try {
        call();
    } catch (const zemtra_REMOTE::RemoteError& e) {
        return e.message.in();
    }
    return "";
}

TEST(RemoteReadChassis, PostMortemCaptureIsReadOnceAtTheControllersPositions)
{
    RunningApp run;
    ASSERT_TRUE(run.WaitRunning());
    // Noise makes every atom differ from its neighbours.
    run.Chassis().GetBeam().SetNoise(5000);
    RafBoard* raf = run.App().GetRafBoards().front();
    PostMortem& pm = *raf->GetPostMortem();
    const uint64_t d = raf->GetTbtDecimation();
    mci::ClientAccess client = run.Client();
    const std::string node = raf->GetName() + "/postmortem/";
    client.SetText(node + "source_select", "external");

    // Captures until the DDC history held the whole window before the event.
    ASSERT_TRUE(WaitFor(
        [&] {
            client.SetText(node + "capture", "true");
            raf->Board()->SimBoard()->Interlock()->ExternalPostMortem(raf->Board()->SimBoard()->Clock().Now());
            return WaitFor([&] { return client.GetText(node + "capture") == "false"; }, 2s) &&
                   client.GetInteger(node + "length") == 65536;
        },
        20s));
    const PostMortem::tCapture c = pm.GetCapture();

    mci::RemoteExport exporter;
    exporter.Start(run.App().GetTreeNode(), "127.0.0.1", zvtest::FreePort());
    int argc = 0;
    char* argv[] = {nullptr};
    CORBA::ORB_var orb = CORBA::ORB_init(argc, argv, "omniORB4");
    CORBA::Object_var obj = orb->string_to_object(exporter.GetUri().c_str());
    zemtra_REMOTE::Registry_var registry = zemtra_REMOTE::Registry::_narrow(obj);
    const std::string path = raf->GetName() + ".postmortem.signals.ddc_synthetic";

    // Mode 10: the time is the position in the capture.
    zemtra_REMOTE::SignalData_var byIndex = registry->ReadSignal(path.c_str(), 10, 100, 0, 5, 0);
    ASSERT_EQ(100u, byIndex->atoms);
    zemtra_REMOTE::SignalData_var last = registry->ReadSignal(path.c_str(), 10, 100, 0, 65436, 0);
    ASSERT_EQ(100u, last->atoms);
    EXPECT_NE(Values(byIndex.in()), Values(last.in()));

    struct Case {
        int mode;
        long long offset;
        unsigned long long time;
        uint64_t position;
    };
    // Mode 11: the 100 atoms that end at the event, moved by the offset;
    // mode 12: from the LMT given (to the nearest TBT sample) on.
    const std::vector<Case> cases = {
        {11, 0, 0, 65436},
        {11, -65431, 0, 5},
        {12, 0, c.first_lmt + 5 * d + d / 3, 5},
        {12, 65436, c.first_lmt, 65436},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE("mode " + std::to_string(k.mode) + ", offset " + std::to_string(k.offset));
        zemtra_REMOTE::SignalData_var data = registry->ReadSignal(path.c_str(), k.mode, 100, k.offset, k.time, 0);
        ASSERT_EQ(100u, data->atoms);
        EXPECT_EQ(Values(k.position == 5 ? byIndex.in() : last.in()), Values(data.in()));
        const auto meta = Meta(data.in());
        ASSERT_EQ(1u, meta.count(0));
        EXPECT_EQ(static_cast<long long>(k.time == 0 || k.offset != 0 ? c.first_lmt + k.position * d : k.time),
                  meta.at(0));
        EXPECT_EQ(static_cast<long long>(k.position), meta.at(2));
    }

    // The controller's refusals, with their codes.
    EXPECT_EQ("qsig: Can't read signal " + path + " in access mode 12: -7 (try again)",
              Message([&] { registry->ReadSignal(path.c_str(), 12, 1, 0, c.last_lmt + d, 0); }));
    EXPECT_EQ("qsig: Can't read signal " + path + " in access mode 10: -1 (bad request)",
              Message([&] { registry->ReadSignal(path.c_str(), 10, 1, 0, 65536, 0); }));
    EXPECT_EQ("qsig: Can't open signal " + path + " in access mode 14: -1 (bad request)",
              Message([&] { registry->ReadSignal(path.c_str(), 14, 1, 0, 0, 0); }));

    registry = zemtra_REMOTE::Registry::_nil();
    exporter.Stop();
    EXPECT_TRUE(run.Stop());
}

} // namespace
