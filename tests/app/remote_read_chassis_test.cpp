// A post-mortem capture on the default chassis read by a remote client in
// one-shot reads (access modes 10, 11 and 12): each read returns the atoms
// at the position that the post-mortem position controller gives, with its
// metadata, up to the capture's end, and refusals of the controller come
// back with their code and what it means.
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

    // The whole capture by number (mode 10), in two chunks of 1 MiB.
    std::vector<int> all;
    for (const unsigned long long at : {0ull, 32768ull}) {
        zemtra_REMOTE::SignalData_var half = registry->ReadSignal(path.c_str(), 10, 32768, 0, at, 0);
        const std::vector<int> values = Values(half.in());
        all.insert(all.end(), values.begin(), values.end());
    }
    ASSERT_EQ(65536u * 8, all.size());
    EXPECT_NE(std::vector<int>(all.begin(), all.begin() + 800), std::vector<int>(all.end() - 800, all.end()));

    const uint64_t f = c.first_lmt;
    const uint64_t event = (c.event_lmt - f) / d;
    ASSERT_EQ(65535u, event);
    // The event's "timestamp" is in turns, rounded: as an LMT it is within
    // half a turn of the event's atom.
    const uint64_t timestamp = static_cast<uint64_t>(client.GetInteger(node + "timestamp")) * d;
    struct Case {
        int mode;
        long long offset;
        unsigned long long time;
        CORBA::ULong count;
        uint64_t first; // number of the first atom read
        CORBA::ULong atoms;
        uint64_t lmt; // LMT of the metadata
    };
    const std::vector<Case> cases = {
        // Mode 10: the time plus the offset is the number of the first atom;
        // a read that runs past the capture's end gets the atoms up to it,
        // one that starts there none.
        {10, 0, 5, 100, 5, 100, f + 5 * d},
        {10, 500, 65000, 100, 65500, 36, f + 65500 * d},
        {10, 0, 65536, 1, 65536, 0, f + 65536 * d},
        // Mode 11: the count atoms that end at the event, moved by the offset.
        {11, 0, 0, 100, 65436, 100, f + 65436 * d},
        {11, -65431, 0, 100, 5, 100, f + 5 * d},
        {11, 5, 0, 10, 65531, 5, f + 65531 * d},
        {11, 100, 0, 10, 65536, 0, f + 65626 * d},
        // Mode 12: from the atom nearest to the LMT given.
        {12, 0, f + 5 * d + d / 3, 100, 5, 100, f + 5 * d + d / 3},
        {12, 65436, f, 100, 65436, 100, f + 65436 * d},
        {12, 0, f - d / 2, 3, 0, 3, f - d / 2},
        {12, 0, timestamp, 10, event, 1, timestamp},
        {12, 0, c.last_lmt + d, 1, 65536, 0, c.last_lmt + d},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE("mode " + std::to_string(k.mode) + ", time " + std::to_string(k.time) + ", offset " +
                     std::to_string(k.offset));
        zemtra_REMOTE::SignalData_var data = registry->ReadSignal(path.c_str(), k.mode, k.count, k.offset, k.time, 0);
        ASSERT_EQ(k.atoms, data->atoms);
        EXPECT_EQ(std::vector<int>(all.begin() + static_cast<long>(k.first * 8),
                                   all.begin() + static_cast<long>((k.first + k.atoms) * 8)),
                  Values(data.in()));
        const auto meta = Meta(data.in());
        ASSERT_EQ(1u, meta.count(0));
        EXPECT_EQ(static_cast<long long>(k.lmt), meta.at(0));
        EXPECT_EQ(static_cast<long long>(k.first), meta.at(2));
    }

    // The controller's refusals, with their codes and what they mean.
    const std::string holds = "the capture holds 65536 atoms, LMT " + std::to_string(f) + " to " +
                              std::to_string(c.last_lmt) + " (220 a turn), the event at atom 65535";
    const std::string refused = "qsig: Can't read signal " + path + " in access mode ";
    EXPECT_EQ(refused + "12: -7 (try again), LMT " + std::to_string(f - d) + " lies before the capture: " + holds,
              Message([&] { registry->ReadSignal(path.c_str(), 12, 1, 0, f - d, 0); }));
    EXPECT_EQ(refused + "10: -1 (bad request), atom -1 is no atom number: " + holds,
              Message([&] { registry->ReadSignal(path.c_str(), 10, 1, -6, 5, 0); }));
    EXPECT_EQ(refused + "11: -7 (try again), the 100 atoms up to atom 35 start before the capture: " + holds,
              Message([&] { registry->ReadSignal(path.c_str(), 11, 100, -65500, 0, 0); }));
    EXPECT_EQ(refused + "11: -1 (bad request), the offset 70000 reaches past the capture: " + holds,
              Message([&] { registry->ReadSignal(path.c_str(), 11, 1, 70000, 0, 0); }));
    EXPECT_EQ("qsig: Can't open signal " + path +
                  " in access mode 14: -1 (bad request), the post-mortem signals serve access modes 10 to 13",
              Message([&] { registry->ReadSignal(path.c_str(), 14, 1, 0, 0, 0); }));

    registry = zemtra_REMOTE::Registry::_nil();
    exporter.Stop();
    EXPECT_TRUE(run.Stop());
}

} // namespace
