// A post-mortem capture on the default chassis read by a remote client in
// one-shot reads (access modes 10, 11 and 12): each read returns the atoms
// at the position that the post-mortem position controller gives, with its
// metadata, up to the capture's end, and refusals of the controller come
// back with their code and what it means. The controller's own answers at
// the capture's edges first.
#include "app_support.h"
#include "tests/common/wait_for.h"

#include "acquisition/postmortem.h"
#include "app/raf_board.h"
#include "platform/remote/remote_export.h"
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
    ASSERT_EQ(c.event_lmt, c.last_lmt);
    ASSERT_EQ(0, c.offset);

    // The controller at the capture's edges: mode 10 by number (no offset),
    // 11 the window at the event, 12 from the atom nearest to the time
    // (halves up; half a turn after the last atom is the last).
    {
        const uint64_t f = c.first_lmt;
        const uint64_t last = c.last_lmt;
        const int64_t n = 65536;
        struct Edge {
            qsig::AccessMode_e mode;
            uint64_t time;
            int64_t offset;
            size_t count;
            qsig::SuccessCode_e rc;
            int64_t position;
        };
        using qsig::eAccessAtTime;
        using qsig::eAccessDefault;
        using qsig::eAccessNow;
        const qsig::SuccessCode_e ok = qsig::eSuccess;
        const qsig::SuccessCode_e again = qsig::eTryAgain;
        const qsig::SuccessCode_e bad = qsig::eBadRequest;
        const std::vector<Edge> edges = {
            {eAccessDefault, n - 1, 0, 1, ok, n - 1},
            {eAccessDefault, n, 0, 1, bad, 0},
            {eAccessDefault, 1ull << 32, 0, 1, bad, 0},
            {eAccessDefault, 5, 3, 1, ok, 5},
            {eAccessNow, 0, 0, 100, ok, n - 100},
            {eAccessNow, 0, 100 - n, 100, ok, 0},
            {eAccessNow, 0, 99 - n, 100, again, 0},
            {eAccessNow, 0, 5, 10, ok, n - 5},
            {eAccessNow, 0, 1, 1, again, 0},
            {eAccessNow, 0, n + 1, 1, bad, 0},
            {eAccessAtTime, f, 0, 1, ok, 0},
            {eAccessAtTime, f - d / 2, 0, 1, ok, 0},
            {eAccessAtTime, f - d / 2 - 1, 0, 1, again, 0},
            {eAccessAtTime, f + d / 2 - 1, 0, 1, ok, 0},
            {eAccessAtTime, f + d / 2, 0, 1, ok, 1},
            {eAccessAtTime, f, -1, 1, again, 0},
            {eAccessAtTime, f, n - 1, 1, ok, n - 1},
            {eAccessAtTime, f, n, 1, again, 0},
            {eAccessAtTime, last - d / 2, 0, 1, ok, n - 1},
            {eAccessAtTime, last + d / 2, 0, 1, ok, n - 1},
            {eAccessAtTime, last + d / 2, -1, 1, ok, n - 2},
            {eAccessAtTime, last + d / 2 + 1, 0, 1, again, 0},
            {eAccessAtTime, 0, 0, 1, again, 0},
            {eAccessAtTime, f, n + 1, 1, bad, 0},
            {qsig::eAccessClone, f, 0, 1, qsig::eDerivedError, 0},
        };
        auto& controller = *pm.GetPositionController();
        for (const Edge& e : edges) {
            SCOPED_TRACE("mode " + std::to_string(e.mode) + ", time " + std::to_string(e.time) + ", offset " +
                         std::to_string(e.offset) + ", count " + std::to_string(e.count));
            qsig::LMT lmt = 1;
            size_t position = 0;
            qsig::SignalMeta meta;
            ASSERT_EQ(e.rc, controller.GetPosition(e.mode, e.time, e.offset, e.count, lmt, position, meta));
            if (e.rc != ok) {
                continue;
            }
            EXPECT_EQ(e.position, static_cast<int64_t>(position));
            if (e.mode == eAccessDefault) {
                EXPECT_EQ(1u, lmt);
                EXPECT_TRUE(meta.empty());
                continue;
            }
            const uint64_t start = (e.mode == eAccessNow ? c.event_lmt + (1 - e.count) * d : e.time) + e.offset * d;
            EXPECT_EQ(start, lmt);
            EXPECT_EQ((qsig::SignalMeta{{qsig::eMetaLmt, static_cast<int64_t>(start)},
                                        {qsig::eMetaPosition, controller.LmtToMt(start)},
                                        {qsig::eMetaSequence, e.position}}),
                      meta);
        }
    }

    remote::RemoteExport exporter;
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
        uint64_t lmt; // LMT of the metadata (none in mode 10)
    };
    const std::vector<Case> cases = {
        // Mode 10: the time plus the offset is the number of the first atom;
        // a read that runs past the capture's end gets the atoms up to it.
        {10, 0, 5, 100, 5, 100, 0},
        {10, 500, 65000, 100, 65500, 36, 0},
        {10, -5, 5, 2, 0, 2, 0},
        // Mode 11: the count atoms that end at the event, moved by the offset.
        {11, 0, 0, 100, 65436, 100, f + 65436 * d},
        {11, -65431, 0, 100, 5, 100, f + 5 * d},
        {11, 5, 0, 10, 65531, 5, f + 65531 * d},
        // Mode 12: from the atom nearest to the LMT given.
        {12, 0, f + 5 * d + d / 3, 100, 5, 100, f + 5 * d + d / 3},
        {12, 65436, f, 100, 65436, 100, f + 65436 * d},
        {12, 0, f - d / 2, 3, 0, 3, f - d / 2},
        {12, 0, timestamp, 10, event, 1, timestamp},
        {12, 0, c.last_lmt + d / 2, 10, event, 1, c.last_lmt + d / 2},
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
        if (k.mode == 10) {
            EXPECT_TRUE(meta.empty());
            continue;
        }
        ASSERT_EQ(1u, meta.count(0));
        EXPECT_EQ(static_cast<long long>(k.lmt), meta.at(0));
        EXPECT_EQ(static_cast<long long>(k.first), meta.at(2));
    }

    // The controller's refusals, with their codes and what they mean.
    const std::string holds = "the capture holds 65536 atoms, LMT " + std::to_string(f) + " to " +
                              std::to_string(c.last_lmt) + " (220 a turn), the event at atom 65535";
    const std::string refused = "qsig: Can't read signal " + path + " in access mode ";
    struct Refusal {
        int mode;
        long long offset;
        unsigned long long time;
        CORBA::ULong count;
        std::string message;
    };
    const std::vector<Refusal> refusals = {
        {10, -6, 5, 1, "10: -1 (bad request), atom -1 is no atom number: "},
        {10, 0, 65536, 1, "10: -1 (bad request), atom 65536 lies past the capture's end: "},
        {10, 536, 65000, 1, "10: -1 (bad request), atom 65536 lies past the capture's end: "},
        {10, 1, UINT64_MAX, 1, "10: -1 (bad request), atom 18446744073709551615+1 lies past the capture's end: "},
        {11, -65500, 0, 100, "11: -7 (try again), the 100 atoms up to atom 35 start before the capture: "},
        {11, 100, 0, 10, "11: -7 (try again), the 10 atoms up to atom 65635 start past the capture's end: "},
        {11, 70000, 0, 1, "11: -1 (bad request), the offset 70000 reaches past the capture: "},
        {12, 0, f - d, 1, "12: -7 (try again), LMT " + std::to_string(f - d) + " lies before the capture: "},
        {12, 0, c.last_lmt + d, 1,
         "12: -7 (try again), LMT " + std::to_string(c.last_lmt + d) + " lies past the capture's end: "},
        {12, 1, c.last_lmt, 1,
         "12: -7 (try again), LMT " + std::to_string(c.last_lmt + d) + " lies past the capture's end: "},
    };
    for (const Refusal& k : refusals) {
        EXPECT_EQ(refused + k.message + holds,
                  Message([&] { registry->ReadSignal(path.c_str(), k.mode, k.count, k.offset, k.time, 0); }));
    }
    EXPECT_EQ("qsig: Can't open signal " + path +
                  " in access mode 14: -1 (bad request), the post-mortem signals serve access modes 10 to 13",
              Message([&] { registry->ReadSignal(path.c_str(), 14, 1, 0, 0, 0); }));

    registry = zemtra_REMOTE::Registry::_nil();
    exporter.Stop();
    EXPECT_TRUE(run.Stop());
}

} // namespace
