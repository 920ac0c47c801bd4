// Ethernet streamer on a simulated GDX board: PHY set-up and link wait,
// missing module and core status, MDIO, enable logic, payload, addresses,
// and the datagrams the simulated streamer sends over loopback; MDIO users
// and header rebuilds racing each other.
#include "gdx_support.h"
#include "udp_listener.h"

#include "gdx/gbe.h"
#include "gdx/gdx_house_keeping.h"
#include "platform/qstd/capture.h"
#include "platform/qstd/exception.h"
#include "sim/gdx_gbe.h"
#include "sim/gdx_models.h"
#include "tests/common/thrown.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

namespace {

using namespace std::chrono_literals;

constexpr size_t c_orbit = 0xF20000;
constexpr size_t c_house_keeping = 0x300000;

struct Streamer {
    Streamer()
        : hk(f.Board().RegisterObject<GdxHouseKeeping>(c_house_keeping, "house_keeping")),
          gbe(*f.Board().RegisterObject<GBE>(c_orbit, "gbe_orbit", nullptr, nullptr, hk, eSfpSlot1)), tree(f.Tree(gbe)),
          model(f.Model<sim::GbeModel>(c_orbit)), block(f.Block(c_orbit, GBE::c_blockSize))
    {
    }
    uint32_t Control() { return fpga::Read32(block, GBE::c_control); }

    gdxtest::GdxFixture f{4};
    GdxHouseKeeping* hk;
    GBE& gbe;
    mci::ClientAccess tree;
    sim::GbeModel& model;
    volatile FPGAMem_t* block;
};

std::string Message(const std::function<void()>& f)
{
    return zvtest::ThrownMessage(f, "no exception");
}

TEST(GbeStreamer, InitSetsUpThePhyAndWritesTheHeader)
{
    Streamer s;
    EXPECT_EQ(0u, s.Control());
    qstd::CaptureScope capture(false, true, 2);
    s.gbe.Init();
    EXPECT_TRUE(capture.TracedSubstring("GbE: Link-up after "));
    EXPECT_TRUE(s.gbe.GetLinkState());
    EXPECT_TRUE(s.gbe.GetFpgaReady());
    EXPECT_EQ(1u, s.model.Resets());
    EXPECT_EQ(4u, s.model.MdioTransactions());
    EXPECT_EQ(0x0140, s.model.PhyRegister(0));
    EXPECT_EQ("none", s.tree.GetText("sfp"));
    EXPECT_EQ("1G", s.tree.GetText("eth_core_status/speed"));
    EXPECT_EQ("true", s.tree.GetText("eth_core_status/RUDI/idles"));

    // Header RAM and control word as the FPGA needs them; not sending yet.
    const std::vector<unsigned char> header = s.gbe.GetHeader();
    ASSERT_EQ(42u, header.size());
    for (size_t i = 0; i < 11; ++i) {
        EXPECT_EQ(GBE::HeaderRamWord(header, 2, i), fpga::Read32(s.block, GBE::c_header_ram + 4 * i)) << i;
    }
    EXPECT_EQ(0x0202C00Bu, s.Control());
    std::vector<uint8_t> frame;
    size_t payload = 1;
    EXPECT_TRUE(s.model.CurrentFrame(frame, payload));
    EXPECT_EQ(std::vector<uint8_t>(header.begin(), header.end()), frame);
    EXPECT_EQ(0u, payload);
}

TEST(GbeStreamer, MissingModuleAndCoreStatus)
{
    Streamer s;
    // House keeping: cage 1 holds no module (bit 5 of its SFP status word).
    fpga::Write32(s.f.Block(c_house_keeping, 0x80), 0x70, 1u << 5);
    qstd::CaptureScope capture(false, true, 1);
    s.gbe.Init();
    EXPECT_TRUE(capture.Traced("GbE: SFP not present."));
    EXPECT_EQ(0u, s.model.MdioTransactions());
    EXPECT_EQ(0x0202C00Bu, s.Control());
    EXPECT_EQ("SFP not present.", Message([&] { s.tree.Execute("reconnect"); }));
    EXPECT_EQ("none", s.tree.GetText("sfp"));

    struct Case {
        unsigned speed;
        bool up;
        const char* message;
    };
    for (const Case& c :
         {Case{2, true, "no exception"}, Case{0, true, " Speed 10Mbps not supported."},
          Case{1, true, " Speed 100Mbps not supported."}, Case{3, true, " Reserved speed not supported."},
          Case{2, false, "Link down."}, Case{0, false, "Link down. Speed 10Mbps not supported."}}) {
        s.model.SetSpeed(c.speed);
        EXPECT_EQ(c.message, Message([&] { s.gbe.CheckGbeCoreStatus(c.up); }));
    }
}

TEST(GbeStreamer, LinkThatNeverComesUpIsReported)
{
    Streamer s;
    s.model.SetLinkFault(true);
    qstd::CaptureScope capture(false, true, 1);
    EXPECT_EQ("Link down.", Message([&] { s.gbe.PhyReconnect(); }));
    EXPECT_TRUE(capture.Traced("GbE: Link-down. Max up-time 0 ms."));
    s.model.SetLinkFault(false);
    EXPECT_EQ("SGMII AN NOT complete!\nSGMII link DOWN!\n", Message([&] {
                  s.model.SetLinkFault(true);
                  s.gbe.CheckSgmiiStatus();
              }));
    s.model.SetLinkFault(false);
    std::this_thread::sleep_for(25ms);
    EXPECT_EQ("no exception", Message([&] { s.gbe.CheckSgmiiStatus(); }));
    EXPECT_EQ("no exception", Message([&] { s.gbe.CheckMediaStatus(); }));
    // No SFP PHY to ask: neither auto-negotiation nor link.
    EXPECT_EQ("SFP AN NOT complete!\nSFP link DOWN!\n", Message([&] { s.gbe.CheckSfpStatus(); }));
}

TEST(GbeStreamer, MdioNodesAndRefusals)
{
    Streamer s;
    s.tree.SetInteger("mdio/addr", 3);
    s.tree.SetInteger("mdio/reg", 0x1140);
    EXPECT_EQ(0x1140, s.model.PhyRegister(3));
    EXPECT_EQ(0x1140, s.tree.GetInteger("mdio/reg"));
    EXPECT_THROW(s.tree.SetInteger("mdio/addr", 16), std::exception);
    // A PHY register holds 16 bits: a wider value is refused, not cut.
    EXPECT_EQ("[0, 65535]", s.tree.GetValidator("mdio/reg"));
    s.tree.SetInteger("mdio/reg", 0xFFFF);
    EXPECT_EQ(0xFFFF, s.model.PhyRegister(3));
    EXPECT_THROW(s.tree.SetInteger("mdio/reg", 0x10000), std::exception);
    EXPECT_EQ(0xFFFF, s.model.PhyRegister(3));

    qstd::CaptureScope capture(true, false);
    const uint64_t before = s.model.MdioTransactions();
    EXPECT_EQ("Invalid MDIO register address: 32", Message([&] { s.gbe.MdioWrite(32, 0x1234); }));
    uint16_t value = 0;
    EXPECT_EQ("Invalid MDIO register address: 40", Message([&] { s.gbe.MdioRead(40, value); }));
    EXPECT_TRUE(capture.Logged("Assertion condition: a_addr < (1<<5)"));
    EXPECT_EQ(before, s.model.MdioTransactions());

    s.model.SetMdioStuck(true);
    EXPECT_EQ("Timeout while waiting for MDIO read to complete!", Message([&] { s.gbe.MdioRead(2, value); }));
    EXPECT_EQ("Timeout while waiting for MDIO write to complete!", Message([&] { s.gbe.MdioWrite(2, 1); }));
}

TEST(GbeStreamer, EnableFollowsStartAndSurvivesHeaderRebuilds)
{
    Streamer s;
    s.tree.SetText("enable", "true");
    EXPECT_EQ(0u, s.Control() & GBE::c_enable_bit);
    s.gbe.Init();
    EXPECT_EQ(0u, s.Control() & GBE::c_enable_bit);
    s.gbe.Start();
    EXPECT_EQ(GBE::c_enable_bit, s.Control() & GBE::c_enable_bit);
    s.tree.SetText("dest/mac", "02:00:00:00:00:0a");
    EXPECT_EQ(GBE::c_enable_bit | 0x0202C00Bu, s.Control());
    s.tree.SetText("enable", "false");
    EXPECT_EQ(0x0202C00Bu, s.Control());
    EXPECT_EQ("false", s.tree.GetText("enable"));
    s.gbe.OnShutdown();
    EXPECT_EQ(0u, s.Control());
}

TEST(GbeStreamer, PayloadAndAddressNodes)
{
    Streamer s;
    GBE bare(s.f.Board(), s.f.Block(0xF18000, GBE::c_blockSize), "bare", nullptr, nullptr, nullptr, eSfpSlot0);
    EXPECT_FALSE(bare.SetPayloadSize(16)); // no node yet

    // Before Init the settings are only stored.
    s.tree.SetText("dest/ip", "localhost");
    EXPECT_EQ(0u, fpga::Read32(s.block, GBE::c_header_ram));
    s.gbe.Init();
    EXPECT_TRUE(s.gbe.SetPayloadSize(4048));
    EXPECT_EQ(0x02FFC00Bu, s.Control());
    EXPECT_EQ(4048, s.tree.GetInteger("payload"));
    EXPECT_EQ("[0, 4051]", s.tree.GetValidator("payload"));
    EXPECT_FALSE(s.gbe.SetPayloadSize(4052));
    EXPECT_EQ(4048, s.tree.GetInteger("payload"));

    EXPECT_EQ("127.0.0.1", s.tree.GetText("dest/ip"));
    EXPECT_EQ("192.168.2.1", s.tree.GetText("src/ip"));
    EXPECT_EQ("Unknown host or invalid IP: ::1", Message([&] { s.tree.SetText("dest/ip", "::1"); }));
    EXPECT_EQ("127.0.0.1", s.tree.GetText("dest/ip"));
    EXPECT_EQ("00:00:00:00:00:01", s.tree.GetText("src/mac"));
    EXPECT_THROW(s.tree.SetText("src/mac", "00:01"), std::exception);
    EXPECT_EQ("00:00:00:00:00:01", s.tree.GetText("src/mac"));
    EXPECT_THROW(s.tree.SetInteger("src/port", 1023), std::exception);
    s.tree.SetInteger("src/port", 65535);
    EXPECT_EQ(65535, s.tree.GetInteger("src/port"));
    const std::vector<unsigned char> h = s.gbe.GetHeader();
    EXPECT_EQ(0xFF, h[34]);
    EXPECT_EQ(0x7F, h[30]);
}

// Entry k of a grouped FA payload: X, Y, Sum, status.
std::array<int32_t, 4> Entry(const std::vector<uint8_t>& d, size_t k)
{
    std::array<int32_t, 4> e{};
    std::memcpy(e.data(), &d[16 * k], sizeof(e));
    return e;
}

TEST(GbeStreamer, DatagramsArriveOverLoopback)
{
    Streamer s;
    // A RAF board in slot 4 whose FA data the filter lets through.
    sim::BoardDesc d;
    d.type = sim::c_typeRaf;
    d.name = "raf4";
    d.slot = "4";
    d.registers = sim::DefaultRegisters(sim::c_typeRaf);
    sim::Board raf(d, 117440043.0);
    s.f.Sim().Gdx()->ConnectRafBoards({&raf});
    fpga::Write32(s.f.Block(0xF00000, 0x10), 0, 0x2);

    gdxtest::UdpListener first;
    gdxtest::UdpListener second;
    ASSERT_NE(0u, first.Port());
    s.gbe.Init();
    s.tree.SetText("dest/ip", "127.0.0.1");
    s.tree.SetInteger("dest/port", first.Port());
    s.gbe.SetPayloadSize(4 * 16);
    s.tree.SetText("enable", "true");
    // Nothing is sent before the streamer is started.
    EXPECT_TRUE(first.Receive(100ms).empty());
    s.gbe.Start();

    const std::vector<uint8_t> grouped = first.ReceiveSized(64);
    ASSERT_EQ(64u, grouped.size());
    // Slot 4's BPM in the centre; slots 3, 5 and 6 without a board.
    EXPECT_EQ((std::array<int32_t, 4>{0, 0, 4 * (sim::ConstantFaProducer::c_amplitude + 4000), 0}), Entry(grouped, 1));
    for (size_t k : {0u, 2u, 3u}) {
        EXPECT_EQ((std::array<int32_t, 4>{}), Entry(grouped, k)) << k;
    }

    // Another destination port and payload: the datagrams follow.
    s.tree.SetInteger("dest/port", second.Port());
    s.gbe.SetPayloadSize(10 * 16);
    EXPECT_EQ(160u, second.ReceiveSized(160).size());
    first.Drain();
    EXPECT_TRUE(first.Receive(100ms).empty());

    s.tree.SetText("enable", "false");
    second.Drain();
    EXPECT_TRUE(second.Receive(100ms).empty());
    EXPECT_EQ(0u, s.model.FramesRejected());
}

// MDIO users (reconnect, register reads and writes of two threads) and the
// header's rebuilds (Init against client writes) at the same time: every
// transaction gets its own answer and the header stays whole.
TEST(GbeConcurrency, MdioUsersAndHeaderRebuilds)
{
    Streamer s;
    qstd::CaptureScope quiet(false, false); // the sender does not route the default destination
    std::atomic<bool> wrong{false};
    std::vector<std::thread> threads;
    for (unsigned reg : {16u, 17u}) {
        threads.emplace_back([&, reg] {
            for (uint16_t v = 0; v < 150; ++v) {
                const uint16_t value = static_cast<uint16_t>(reg << 8 | v);
                s.gbe.MdioWrite(reg, value);
                uint16_t read = 0;
                s.gbe.MdioRead(reg, read);
                wrong = wrong || read != value;
            }
        });
    }
    threads.emplace_back([&] { s.tree.Execute("reconnect"); });
    threads.emplace_back([&] {
        s.gbe.Init();
        s.gbe.Start();
    });
    threads.emplace_back([&] {
        for (unsigned i = 0; i < 100; ++i) {
            s.tree.SetInteger("dest/port", 2000 + i);
            s.gbe.SetPayloadSize(16 * (i % 8));
            s.tree.SetText("enable", i % 2 ? "true" : "false");
        }
    });
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_FALSE(wrong);
    EXPECT_EQ(0u, s.model.MdioCollisions());
    std::vector<uint8_t> frame;
    size_t payload = 0;
    EXPECT_TRUE(s.model.CurrentFrame(frame, payload));
    const std::vector<unsigned char> header = s.gbe.GetHeader();
    EXPECT_EQ(std::vector<uint8_t>(header.begin(), header.end()), frame);
    EXPECT_EQ(16u * 3, payload);
}

TEST(GbeConcurrency, CoreResetsWaitForAReconnectInProgress)
{
    Streamer s;
    qstd::CaptureScope quiet(false, false);
    std::atomic<bool> done{false};
    std::thread resets([&] {
        while (!done) {
            s.gbe.Reset();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    int failed = 0;
    for (int i = 0; i < 4; ++i) {
        try {
            s.gbe.PhyReconnect();
        } catch (const std::exception&) {
            ++failed;
        }
    }
    done = true;
    resets.join();
    EXPECT_EQ(0, failed);
}

} // namespace
