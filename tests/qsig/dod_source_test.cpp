#include "platform/qsig/circular_buffer_controller.h"
#include "platform/qsig/clonable.h"
#include "platform/qsig/random_access_zemtra.h"
#include "platform/qstd/capture.h"
#include "qsig/data_on_demand_buffer_source.h"
#include "qsig/data_on_demand_source.h"
#include "qsig/data_on_demand_synthetic_source.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

using namespace qsig;

namespace {

using AdcTraits = SignalTraits<short, std::array<short, 4>, 1>;
using TdpTraits = SignalTraits<int, std::array<int, 4>, 1>;
struct WideAtom {
    int v[64];
};
using WideTraits = SignalTraits<int, WideAtom, 1>;
struct AmplAtom {
    int v[8];
};
using AmplTraits = SignalTraits<int, AmplAtom, 1>;

// Records the order of controller calls of every controller that shares it.
struct CallLog {
    std::mutex mutex;
    std::vector<std::string> calls;
    void Add(const std::string& s)
    {
        std::lock_guard<std::mutex> lock(mutex);
        calls.push_back(s);
    }
};

// A controller whose answers the test sets; clones share the call log.
class TestController : public virtual DodPositionController, public Clonable<TestController> {
public:
    explicit TestController(std::shared_ptr<CallLog> log = std::make_shared<CallLog>(), std::string name = "main")
        : m_log(std::move(log)), m_name(std::move(name))
    {
        SetSupportedModes({eAccessNow, eAccessAtTime, eAccessStreaming, eAccessClone});
    }
    TestController(const TestController& other)
        : DodPositionController(other), Clonable<TestController>(other), m_log(other.m_log), m_name(other.m_name + "'"),
          m_throwOnReset(other.m_throwOnReset), m_validBelow(other.m_validBelow)
    {
    }
    void Reset(const uint64_t& lmt) override
    {
        m_log->Add(m_name + ".Reset(" + std::to_string(lmt) + ")");
        if (m_throwOnReset) {
            throw qstd::Exception("reset failed");
        }
        DodPositionController::Reset(lmt);
    }
    size_t GetMaxReadSize(int64_t, AccessMode_e) const override { return 1000000; }
    SuccessCode_e GetPosition(AccessMode_e, uint64_t time, int64_t, size_t, LMT& lmt, size_t& position,
                              SignalMeta&) override
    {
        position = static_cast<size_t>(time);
        lmt = time;
        return eSuccess;
    }
    bool IsPositionValid(const uint64_t& position) const override { return position < m_validBelow; }

    std::shared_ptr<CallLog> m_log;
    std::string m_name;
    bool m_throwOnReset = false;
    uint64_t m_validBelow = UINT64_MAX;
};

// A random-access buffer whose byte i holds (i % 251) and that records every
// request; it may deliver fewer bytes than asked.
class RecordingBuffer : public RandomAccessBuffer {
public:
    RecordingBuffer(size_t bytes, bool circular) : m_bytes(bytes), m_circular(circular) {}
    bool IsCircular() const override { return m_circular; }
    size_t GetByteSize() const override { return m_bytes; }
    bool Open() override
    {
        ++opened;
        return true;
    }
    bool Close() override
    {
        ++closed;
        return true;
    }
    size_t Read(void* destination, size_t bytes, size_t offset, RequestPriorityLevel_e priority) override
    {
        requests.push_back({offset, bytes});
        lastPriority = priority;
        if (throwOnRead) {
            throw qstd::Exception("device gone");
        }
        size_t n = bytes;
        if (deliverAtMost != 0 && n > deliverAtMost) {
            n = deliverAtMost;
        }
        if (offset >= m_bytes) {
            n = 0; // nothing exists past the end of the buffer
        } else if (offset + n > m_bytes) {
            ADD_FAILURE() << "read of " << bytes << " bytes at " << offset << " runs past the buffer's end";
            n = m_bytes - offset;
        }
        auto* out = static_cast<unsigned char*>(destination);
        for (size_t i = 0; i < n; ++i) {
            out[i] = static_cast<unsigned char>((offset + i) % 251);
        }
        return n;
    }
    struct Request {
        size_t offset;
        size_t bytes;
    };
    std::vector<Request> requests;
    size_t deliverAtMost = 0;
    bool throwOnRead = false;
    int opened = 0;
    int closed = 0;
    RequestPriorityLevel_e lastPriority = ePriorityLow;

private:
    size_t m_bytes;
    bool m_circular;
};

unsigned char ByteAt(const void* data, size_t i)
{
    return static_cast<const unsigned char*>(data)[i];
}

template <typename T>
std::shared_ptr<DataOnDemandSource<T>> MakeSource(std::shared_ptr<RecordingBuffer> buffer, size_t offset, size_t length,
                                                  size_t chunk)
{
    return std::make_shared<DataOnDemandSource<T>>("src", buffer, offset, length, chunk, ePriorityHigh, T(), "board");
}

// ---------------------------------------------------------------- source base

TEST(DodSourceBase, DescribesTheAtomsOfItsTraits)
{
    WideTraits::names = {"a", "b"};
    std::vector<std::string> names;
    for (int i = 0; i < 64; ++i) {
        names.push_back("n" + std::to_string(i));
    }
    WideTraits::names.Set(names);
    DataOnDemandSourceBase<WideTraits> wide("wide", WideTraits(3), "owner");
    EXPECT_EQ(256u, wide.AtomSize());
    EXPECT_EQ(64u, wide.Length());
    EXPECT_EQ(3u, wide.GroupSize());
    EXPECT_EQ(typeid(int), wide.BaseType());
    EXPECT_EQ(typeid(WideAtom), wide.AtomType());
    EXPECT_EQ(eAccessDataOnDemand, wide.AccessType());
    EXPECT_EQ(0u, wide.GetSize());
    auto first = wide.GetComponentNames();
    auto second = wide.GetComponentNames();
    EXPECT_EQ(64u, first.size());
    EXPECT_EQ(first, second);
    EXPECT_NE(first.data(), second.data());
    DataOnDemandSourceBase<AdcTraits> adc("adc", AdcTraits(), "owner");
    EXPECT_EQ(8u, adc.AtomSize());
    EXPECT_EQ(4u, adc.Length());
    EXPECT_EQ("owner", adc.GetOwner());
}

// ------------------------------------------------------------- bookkeeping

class Bookkeeping : public ::testing::Test {
protected:
    Bookkeeping()
        : buffer(std::make_shared<RecordingBuffer>(8000, true)), source(MakeSource<AdcTraits>(buffer, 0, 8000, 0)),
          log(std::make_shared<CallLog>()), main(std::make_shared<TestController>(log))
    {
    }
    std::shared_ptr<RecordingBuffer> buffer;
    std::shared_ptr<DataOnDemandSource<AdcTraits>> source;
    std::shared_ptr<CallLog> log;
    std::shared_ptr<TestController> main;
};

TEST_F(Bookkeeping, WithoutMainControllerEveryGetterIsEmpty)
{
    EXPECT_FALSE(source->GetPositionController());
    EXPECT_FALSE(source->GetPositionController(eAccessNow));
    EXPECT_FALSE(source->GetPositionControllerCopy(eAccessStreaming));
    EXPECT_EQ(0u, source->GetControllerCopyCount());
}

TEST_F(Bookkeeping, InstallingStartsTheMainControllerAndListsItAlone)
{
    source->m_controller_copies.push_back(std::make_shared<TestController>());
    source->SetPositionController(main);
    EXPECT_TRUE(main->IsStarted());
    ASSERT_EQ(1u, source->m_controller_copies.size());
    EXPECT_EQ(main, source->m_controller_copies.front());
    EXPECT_EQ(main, source->GetPositionController());
    EXPECT_EQ(main, source->GetPositionController(eAccessNow));
    EXPECT_FALSE(source->GetPositionController(eAccessDefault)); // not supported
}

TEST_F(Bookkeeping, CopiesAreStartedClonesListedUntilReleased)
{
    source->SetPositionController(main);
    EXPECT_FALSE(source->GetPositionControllerCopy(eAccessDefault));
    EXPECT_EQ(1u, source->GetControllerCopyCount());
    auto first = source->GetPositionControllerCopy(eAccessStreaming);
    auto second = source->GetPositionControllerCopy(eAccessClone);
    ASSERT_TRUE(first && second);
    EXPECT_NE(main, first);
    EXPECT_NE(first, second);
    EXPECT_TRUE(first->IsStarted());
    EXPECT_EQ(second, source->m_controller_copies.back());
    source->ReleasePositionControllerCopy(first);
    ASSERT_EQ(2u, source->m_controller_copies.size());
    EXPECT_EQ(second, source->m_controller_copies.back());
    qstd::CaptureScope capture;
    source->ReleasePositionControllerCopy(first);
    EXPECT_TRUE(capture.Traced("Position controller copy not found."));
    EXPECT_EQ(2u, source->m_controller_copies.size());
    EXPECT_TRUE(first); // the caller's pointer is left as it was
}

TEST_F(Bookkeeping, AnnouncedLmtDisablesEveryListedControllerAndAdjustedResetsThenEnables)
{
    source->SetPositionController(main);
    auto clone = source->GetPositionControllerCopy(eAccessStreaming);
    source->OnAnnouncedTimestampChange();
    EXPECT_FALSE(main->IsEnabled());
    EXPECT_FALSE(clone->IsEnabled());
    log->calls.clear();
    source->OnAdjustedTimestamp(-5, 777);
    EXPECT_TRUE(main->IsEnabled());
    EXPECT_TRUE(clone->IsEnabled());
    EXPECT_EQ(777u, main->GetResetLmt());
    EXPECT_EQ(777u, clone->GetResetLmt());
    EXPECT_EQ((std::vector<std::string>{"main.Reset(777)", "main'.Reset(777)"}), log->calls);
    source->ResetAllControllers(900);
    EXPECT_EQ(900u, clone->GetResetLmt());
    EXPECT_EQ(900u, main->GetResetLmt());
}

TEST_F(Bookkeeping, ResetIsCompleteBeforeAnyControllerIsEnabled)
{
    source->SetPositionController(main);
    auto clone = std::dynamic_pointer_cast<TestController>(source->GetPositionControllerCopy(eAccessStreaming));
    source->OnAnnouncedTimestampChange();
    // The clone's reset looks at the main controller: it must still be disabled.
    struct Probe : TestController {
        using TestController::TestController;
        void Reset(const uint64_t& lmt) override
        {
            sawOtherEnabled = other->IsEnabled();
            TestController::Reset(lmt);
        }
        PosControllerPtr other;
        bool sawOtherEnabled = true;
    };
    auto probe = std::make_shared<Probe>(log, "probe");
    probe->other = main;
    source->m_controller_copies.push_back(probe);
    source->OnAdjustedTimestamp(0, 5);
    EXPECT_FALSE(probe->sawOtherEnabled);
    EXPECT_TRUE(probe->IsEnabled());
}

TEST_F(Bookkeeping, ControllerThrowingOnResetDoesNotLeaveOthersDisabled)
{
    source->SetPositionController(main);
    auto faulty = std::make_shared<TestController>(log, "faulty");
    faulty->m_throwOnReset = true;
    {
        std::lock_guard<std::mutex> lock(source->m_mutex);
        source->m_controller_copies.insert(source->m_controller_copies.begin(), faulty);
    }
    auto clone = source->GetPositionControllerCopy(eAccessClone);
    source->OnAnnouncedTimestampChange();
    qstd::CaptureScope capture;
    EXPECT_NO_THROW(source->OnAdjustedTimestamp(0, 42));
    EXPECT_TRUE(main->IsEnabled());
    EXPECT_TRUE(clone->IsEnabled());
    EXPECT_TRUE(faulty->IsEnabled());
    EXPECT_EQ(42u, clone->GetResetLmt());
    EXPECT_TRUE(capture.TracedSubstring("reset failed"));
}

TEST_F(Bookkeeping, DestroyedSourceLeavesAClientsCloneAlive)
{
    source->SetPositionController(main);
    auto clone = source->GetPositionControllerCopy(eAccessClone);
    std::weak_ptr<DodPositionController> watch = clone;
    source.reset();
    EXPECT_FALSE(watch.expired());
    EXPECT_EQ(1, clone.use_count());
}

// ----------------------------------------------------- buffer-backed source

TEST(DodBufferBackedSource, RegionIsCutAtTheBufferEndAndChecked)
{
    auto buffer = std::make_shared<RecordingBuffer>(8000, false);
    EXPECT_EQ(10u, MakeSource<AdcTraits>(buffer, 8000 - 80, 8000, 0)->GetSize());
    try {
        MakeSource<AdcTraits>(buffer, 8000, 8, 0);
        FAIL() << "offset at the end was accepted";
    } catch (const qstd::Exception& e) {
        EXPECT_STREQ("Starting position of input buffer is not correctly specified.", e.what());
    }
    try {
        MakeSource<AdcTraits>(buffer, 0, 0, 0);
        FAIL() << "empty range was accepted";
    } catch (const qstd::Exception& e) {
        EXPECT_STREQ("Data range from input buffer is not correctly specified.", e.what());
    }
    EXPECT_EQ(2u, MakeSource<AdcTraits>(buffer, 0, 23, 0)->GetSize());   // partial atom dropped
    EXPECT_EQ(1000u, MakeSource<AdcTraits>(buffer, 0, 5, 0)->GetSize()); // below one atom: whole buffer
    EXPECT_EQ(3, buffer->opened); // the two refused sources never opened the buffer
    EXPECT_EQ(3, buffer->closed); // the three made sources are gone
}

TEST(DodBufferBackedSource, ReadsInChunksAtTheGivenPositionWithExactBytes)
{
    auto buffer = std::make_shared<RecordingBuffer>(100000, true);
    auto source = MakeSource<AdcTraits>(buffer, 800, 8000, 40); // 1000 atoms, chunks of 40
    auto controller = std::make_shared<TestController>();
    Array<AdcTraits> out(AdcTraits(), 100);
    ASSERT_EQ(eSuccess, source->Read(out, 10, controller));
    EXPECT_EQ(100u, out.GetLength());
    ASSERT_EQ(3u, buffer->requests.size());
    EXPECT_EQ(800u + 10 * 8, buffer->requests[0].offset);
    EXPECT_EQ(40u * 8, buffer->requests[0].bytes);
    EXPECT_EQ(800u + 50 * 8, buffer->requests[1].offset);
    EXPECT_EQ(800u + 90 * 8, buffer->requests[2].offset);
    EXPECT_EQ(20u * 8, buffer->requests[2].bytes);
    EXPECT_EQ(ePriorityHigh, buffer->lastPriority);
    for (size_t i = 0; i < 100 * 8; ++i) {
        ASSERT_EQ((800 + 80 + i) % 251, ByteAt(out.GetData(), i)) << i;
    }
    // Chunk size 0 asks once for everything; a read of 0 atoms asks nothing.
    auto whole = MakeSource<AdcTraits>(buffer, 0, 8000, 0);
    buffer->requests.clear();
    Array<AdcTraits> big(AdcTraits(), 300);
    ASSERT_EQ(eSuccess, whole->Read(big, 0, controller));
    EXPECT_EQ(1u, buffer->requests.size());
    Array<AdcTraits> none(AdcTraits(), 0);
    EXPECT_EQ(eSuccess, whole->Read(none, 5, nullptr));
    EXPECT_EQ(1u, buffer->requests.size());
}

TEST(DodBufferBackedSource, CircularReadWrapsAtTheRegionEndWithoutCrossingIt)
{
    // Three regions like the RAF buffer: a read of the middle one must never
    // return bytes of the last one, and the last one never reads past the end.
    auto buffer = std::make_shared<RecordingBuffer>(3 * 8000, true);
    auto middle = MakeSource<AdcTraits>(buffer, 8000, 8000, 400); // 1000 atoms
    auto controller = std::make_shared<TestController>();
    Array<AdcTraits> out(AdcTraits(), 300);
    ASSERT_EQ(eSuccess, middle->Read(out, 1500 + 200, controller)); // starts at atom 700 of the region
    ASSERT_EQ(300u, out.GetLength());
    for (const auto& r : buffer->requests) {
        EXPECT_GE(r.offset, 8000u);
        EXPECT_LE(r.offset + r.bytes, 16000u);
    }
    for (size_t atom = 0; atom < 300; ++atom) {
        const size_t regionAtom = (700 + atom) % 1000;
        ASSERT_EQ((8000 + regionAtom * 8) % 251, ByteAt(out.GetData(), atom * 8)) << atom;
    }
    auto last = MakeSource<TdpTraits>(buffer, 16000, 8000, 0); // 500 atoms
    Array<TdpTraits> tail(TdpTraits(), 500);
    buffer->requests.clear();
    ASSERT_EQ(eSuccess, last->Read(tail, 450, controller));
    EXPECT_EQ(500u, tail.GetLength());
    ASSERT_EQ(2u, buffer->requests.size());
    EXPECT_EQ(16000u + 450 * 16, buffer->requests[0].offset);
    EXPECT_EQ(50u * 16, buffer->requests[0].bytes);
    EXPECT_EQ(16000u, buffer->requests[1].offset);
}

TEST(DodBufferBackedSource, NonCircularReadStopsAtTheRegionEnd)
{
    auto buffer = std::make_shared<RecordingBuffer>(16000, false);
    auto source = MakeSource<AdcTraits>(buffer, 0, 8000, 0);
    auto controller = std::make_shared<TestController>();
    Array<AdcTraits> out(AdcTraits(), 100);
    ASSERT_EQ(eSuccess, source->Read(out, 950, controller));
    EXPECT_EQ(50u, out.GetLength());
    EXPECT_EQ(8000u, buffer->requests.back().offset + buffer->requests.back().bytes);
    qstd::CaptureScope capture(true, true, 1);
    Array<AdcTraits> past(AdcTraits(), 10);
    EXPECT_EQ(eSuccess, source->Read(past, 1000, nullptr));
    EXPECT_EQ(0u, past.GetLength());
    EXPECT_TRUE(capture.Sink().Texts(qstd::Record::Kind::Trace).empty());
}

TEST(DodBufferBackedSource, PartialAtomDeliveryKeepsAtomsAligned)
{
    auto buffer = std::make_shared<RecordingBuffer>(8000, true);
    buffer->deliverAtMost = 8 * 5 + 3; // five atoms and three bytes per call
    auto source = MakeSource<AdcTraits>(buffer, 0, 8000, 0);
    auto controller = std::make_shared<TestController>();
    Array<AdcTraits> out(AdcTraits(), 12);
    ASSERT_EQ(eSuccess, source->Read(out, 0, controller));
    ASSERT_EQ(12u, out.GetLength());
    for (size_t i = 0; i < 12 * 8; ++i) {
        ASSERT_EQ(i % 251, ByteAt(out.GetData(), i)) << i;
    }
    // Fewer bytes than one atom end the read instead of looping forever.
    buffer->deliverAtMost = 5;
    Array<AdcTraits> small(AdcTraits(), 4);
    qstd::CaptureScope capture;
    ASSERT_EQ(eSuccess, source->Read(small, 0, controller));
    EXPECT_EQ(0u, small.GetLength());
    EXPECT_TRUE(capture.Traced("Received chunk with 0 bytes. Finish reading."));
}

TEST(DodBufferBackedSource, InvalidChunkEmptyControllerAndFailingBuffer)
{
    auto buffer = std::make_shared<RecordingBuffer>(8000, true);
    auto source = MakeSource<AdcTraits>(buffer, 0, 8000, 10);
    auto controller = std::make_shared<TestController>();
    controller->m_validBelow = 10;
    qstd::CaptureScope capture;
    Array<AdcTraits> out(AdcTraits(), 25);
    ASSERT_EQ(eSuccess, source->Read(out, 0, controller));
    EXPECT_EQ(10u, out.GetLength());
    EXPECT_TRUE(capture.Traced("Invalid chunk. Skipping remaining chunks."));
    Array<AdcTraits> orphan(AdcTraits(), 5);
    EXPECT_EQ(eNotOpen, source->Read(orphan, 3, nullptr));
    EXPECT_EQ(0u, orphan.GetLength());
    buffer->throwOnRead = true;
    Array<AdcTraits> failing(AdcTraits(), 5);
    EXPECT_EQ(eRefused, source->Read(failing, 0, controller));
    EXPECT_EQ(5u, failing.GetLength());
    EXPECT_TRUE(capture.TracedSubstring("Error reading from history buffer device gone"));
}

TEST(DodBufferBackedSource, ZeroAtomCircularRegionReadsNothing)
{
    // A buffer smaller than one atom: the region has no atoms at all.
    auto buffer = std::make_shared<RecordingBuffer>(200, true);
    auto source = MakeSource<WideTraits>(buffer, 0, 200, 0);
    EXPECT_EQ(0u, source->GetSize());
    Array<WideTraits> out(WideTraits(), 3);
    EXPECT_EQ(eSuccess, source->Read(out, 7, std::make_shared<TestController>()));
    EXPECT_EQ(0u, out.GetLength());
    EXPECT_TRUE(buffer->requests.empty());
}

TEST(DodBufferBackedSource, ClientsNeedSharedOwnershipAndDoNotKeepTheSourceAlive)
{
    auto buffer = std::make_shared<RecordingBuffer>(800, true);
    DataOnDemandSource<AdcTraits> local("local", buffer, 0, 800, 0, ePriorityHigh, AdcTraits(), "");
    EXPECT_THROW(local.CreateClient("c"), std::bad_weak_ptr);
    auto shared = MakeSource<AdcTraits>(buffer, 0, 800, 0);
    std::weak_ptr<DataOnDemandSource<AdcTraits>> watch = shared;
    auto client = shared->CreateClient("c");
    std::unique_ptr<SignalClientBase> remote(shared->NewSignalClient("remote", 12345));
    EXPECT_EQ("remote_copy", remote->GetName());
    EXPECT_EQ(eAccessDataOnDemand, remote->SignalAccessType());
    shared.reset();
    EXPECT_TRUE(watch.expired());
    EXPECT_EQ(eNotOpen, client.Open(eAccessNow, 10, 0));
}

TEST(DodBufferBackedSource, ReadsTheSimulatedHistoryMemory)
{
    auto memory = std::make_shared<sim::HistoryMemory>(4 * 1024);
    // The acquisition writes the second half as 64 atoms of 32 bytes.
    auto track = sim::HistoryMemory::GetTrack(memory, 2048, 64, 32);
    std::vector<int> atoms(70 * 8);
    for (size_t i = 0; i < atoms.size(); ++i) {
        atoms[i] = static_cast<int>(i / 8); // every component holds the atom's index
    }
    track->Restart(0);
    track->Append(atoms.data(), 70, 0, 4); // atoms 64..69 wrapped into slots 0..5
    using IqTraits = SignalTraits<int, std::array<int, 8>, 1>;
    auto source = std::make_shared<DataOnDemandSource<IqTraits>>(
        "ddc", std::make_shared<RandomAccessZemtra>(memory, ""), 2048, 2048, 16, ePriorityHigh, IqTraits(), "");
    auto controller = std::make_shared<CircularBufferController>(64, 1000000, 2);
    controller->SetDecimation(4);
    source->SetPositionController(controller); // follows the region's track from now on
    EXPECT_EQ(track, controller->GetHistory());
    auto client = source->CreateClient("now");
    ASSERT_EQ(eSuccess, client.Open(eAccessNow, 0, -10));
    Array<IqTraits> out(IqTraits(), 10);
    SignalMeta meta;
    ASSERT_EQ(eSuccess, client.Read(out, meta, 0));
    ASSERT_EQ(10u, out.GetLength());
    for (unsigned i = 0; i < 10; ++i) {
        EXPECT_EQ(int(60 + i), out[i][0]);
        EXPECT_EQ(int(60 + i), out[i][7]);
    }
    EXPECT_EQ(60 * 4, meta[eMetaLmt]);
}

// -------------------------------------------------------- in-memory source

TEST(DodInMemorySource, ServesTheOwnersArrayInPlace)
{
    Array<AmplTraits> owned(AmplTraits(), 20);
    for (unsigned i = 0; i < 20; ++i) {
        owned[i].v[0] = static_cast<int>(i);
    }
    auto source = std::make_shared<DataOnDemandBufferSource<AmplTraits>>("pm", owned, "board");
    EXPECT_EQ(20u, source->GetSize());
    Array<AmplTraits> out(AmplTraits(), 10);
    ASSERT_EQ(eSuccess, source->Read(out, 19, nullptr));
    ASSERT_EQ(1u, out.GetLength());
    EXPECT_EQ(19, out[0].v[0]);
    Array<AmplTraits> large(AmplTraits(), 50);
    ASSERT_EQ(eSuccess, source->Read(large, 0, nullptr));
    EXPECT_EQ(20u, large.GetLength());
    Array<AmplTraits> empty(AmplTraits(), 0);
    EXPECT_EQ(eSuccess, source->Read(empty, 3, nullptr));
    Array<AmplTraits> past(AmplTraits(), 4);
    EXPECT_EQ(eRefused, source->Read(past, 20, nullptr));
    EXPECT_EQ(4u, past.GetLength());
    // The owner's changes are seen by the next read.
    owned[5].v[0] = 555;
    owned.Resize(6);
    EXPECT_EQ(6u, source->GetSize());
    Array<AmplTraits> again(AmplTraits(), 3);
    ASSERT_EQ(eSuccess, source->Read(again, 4, nullptr));
    ASSERT_EQ(2u, again.GetLength());
    EXPECT_EQ(555, again[1].v[0]);
    Array<AmplTraits> nothing;
    auto none = std::make_shared<DataOnDemandBufferSource<AmplTraits>>("none", nothing, "board");
    EXPECT_EQ(0u, none->GetSize());
    EXPECT_EQ(eRefused, none->Read(out, 0, nullptr));
}

TEST(DodInMemorySourceConcurrency, ReadsNeverMixTwoCapturesOfTheOwner)
{
    Array<AmplTraits> capture(AmplTraits(), 2000);
    std::memset(capture.GetData(), 0, 2000 * sizeof(AmplAtom));
    std::mutex captureMutex;
    auto source = std::make_shared<DataOnDemandBufferSource<AmplTraits>>("pm", capture, "board", &captureMutex);
    std::atomic<bool> stop{false};
    std::thread owner([&] {
        for (int round = 1; round <= 200; ++round) {
            std::lock_guard<std::mutex> lock(captureMutex);
            for (unsigned i = 0; i < capture.GetLength(); ++i) {
                capture[i].v[0] = round;
            }
        }
        stop = true;
    });
    bool torn = false;
    Array<AmplTraits> out(AmplTraits(), 2000);
    while (!stop) {
        out.Resize(2000);
        ASSERT_EQ(eSuccess, source->Read(out, 0, nullptr));
        for (unsigned i = 1; i < out.GetLength(); ++i) {
            torn = torn || out[i].v[0] != out[0].v[0];
        }
    }
    owner.join();
    EXPECT_FALSE(torn);
}

// ----------------------------------------------------------- derived source

using Derived = DataOnDemandSyntheticSource<TdpTraits, AmplTraits>;

// Converts atom i into output atom i (v[0] = sum of the components), sizing
// the output to the source's count, and returns the code it was given.
SuccessCode_e SumConversion(const Array<TdpTraits>& in, SuccessCode_e rc, Array<AmplTraits>& out)
{
    out.Resize(in.GetLength());
    for (unsigned i = 0; i < in.GetLength(); ++i) {
        out[i].v[0] = static_cast<int>(0u + in[i][0] + in[i][1] + in[i][2] + in[i][3]);
    }
    return rc;
}

class DerivedSource : public ::testing::Test {
protected:
    DerivedSource()
        : buffer(std::make_shared<RecordingBuffer>(16 * 100, true)), tdp(MakeSource<TdpTraits>(buffer, 0, 1600, 0)),
          main(std::make_shared<TestController>())
    {
        tdp->SetPositionController(main);
    }
    std::shared_ptr<Derived> Make(size_t srcRead, size_t fixedOut, size_t outSize)
    {
        return std::make_shared<Derived>("ampl", tdp, SumConversion, AmplTraits(), srcRead, fixedOut, outSize, "b");
    }
    std::shared_ptr<RecordingBuffer> buffer;
    std::shared_ptr<DataOnDemandSource<TdpTraits>> tdp;
    std::shared_ptr<TestController> main;
};

TEST_F(DerivedSource, SizeLimitsAreChecked)
{
    EXPECT_EQ(100u, Make(0, 0, 0)->GetSize());
    EXPECT_EQ(100u, Make(0, 0, 100)->GetSize());
    EXPECT_EQ(40u, Make(0, 0, 40)->GetSize());
    auto message = [&](size_t a, size_t b, size_t c) {
        try {
            Make(a, b, c);
        } catch (const qstd::Exception& e) {
            return std::string(e.what());
        }
        return std::string();
    };
    EXPECT_EQ("Not possible to output more samples than the source signal provides.", message(0, 0, 101));
    EXPECT_EQ("Not possible to get more samples than the source signal provides.", message(101, 0, 0));
    EXPECT_EQ("", message(100, 0, 0));
    EXPECT_EQ("Not possible to set fixed output buffer grater than available output samples.", message(8, 8, 0));
    EXPECT_EQ("", message(8, 7, 0));
    EXPECT_EQ("Not possible to set fixed output buffer grater than available output samples.", message(0, 41, 40));
}

TEST_F(DerivedSource, ConvertsIntoTheCallersBufferAtTheSamePosition)
{
    auto derived = Make(0, 0, 0);
    Array<AmplTraits> out(AmplTraits(), 10);
    ASSERT_EQ(eSuccess, derived->Read(out, 95, main));
    ASSERT_EQ(10u, out.GetLength());
    // Source atom (95 + i) % 100 has ints whose bytes are (offset + k) % 251.
    Array<TdpTraits> raw(TdpTraits(), 10);
    ASSERT_EQ(eSuccess, tdp->Read(raw, 95, main));
    for (unsigned i = 0; i < 10; ++i) {
        EXPECT_EQ(static_cast<int>(0u + raw[i][0] + raw[i][1] + raw[i][2] + raw[i][3]), out[i].v[0]) << i;
    }
    // More than the source holds: capped at its size, with a trace.
    qstd::CaptureScope capture;
    Array<AmplTraits> big(AmplTraits(), 150);
    ASSERT_EQ(eSuccess, derived->Read(big, 0, main));
    EXPECT_EQ(100u, big.GetLength());
    EXPECT_TRUE(
        capture.Traced("DataOnDemandSyntheticSource: Read requestred too many atoms, resizing output buffer to 100"));
}

TEST_F(DerivedSource, FixedAndSourceReadSizesUseATemporaryWhenTheCallersBufferIsSmaller)
{
    auto derived = Make(20, 0, 0);
    buffer->requests.clear();
    Array<AmplTraits> small(AmplTraits(), 5);
    ASSERT_EQ(eSuccess, derived->Read(small, 0, main));
    EXPECT_EQ(5u, small.GetLength());
    EXPECT_EQ(20u * 16, buffer->requests.back().bytes);
    auto fixed = Make(0, 6, 0);
    Array<AmplTraits> roomy(AmplTraits(), 50);
    ASSERT_EQ(eSuccess, fixed->Read(roomy, 0, main));
    EXPECT_EQ(6u, roomy.GetLength());
    // A short source read (one-atom chunks, valid below 3): the caller gets
    // what was converted, no more.
    auto chunked = MakeSource<TdpTraits>(buffer, 0, 1600, 1);
    chunked->SetPositionController(main);
    auto shortRead = std::make_shared<Derived>("ampl", chunked, SumConversion, AmplTraits(), 20, 0, 0, "b");
    Array<AmplTraits> whole(AmplTraits(), 3);
    ASSERT_EQ(eSuccess, Make(0, 0, 0)->Read(whole, 0, main));
    main->m_validBelow = 3;
    small.Resize(5);
    ASSERT_EQ(eSuccess, shortRead->Read(small, 0, main));
    ASSERT_EQ(3u, small.GetLength());
    EXPECT_EQ(whole[2].v[0], small[2].v[0]);
}

TEST_F(DerivedSource, FailedAndEmptySourceReads)
{
    auto derived = Make(0, 0, 0);
    Array<AmplTraits> out(AmplTraits(), 4);
    out[0].v[0] = 1234;
    qstd::CaptureScope capture;
    EXPECT_EQ(eNotOpen, derived->Read(out, 0, nullptr));
    EXPECT_TRUE(capture.TracedSubstring("SyntheticDod read error: "));
    EXPECT_EQ(4u, out.GetLength());
    EXPECT_EQ(1234, out[0].v[0]);
    buffer->throwOnRead = true;
    EXPECT_EQ(eRefused, derived->Read(out, 0, main));
    buffer->throwOnRead = false;
    // The source delivers nothing with success: the result is empty, not the
    // atoms that the caller's buffer held before.
    main->m_validBelow = 0;
    EXPECT_EQ(eSuccess, derived->Read(out, 0, main));
    EXPECT_EQ(0u, out.GetLength());
}

TEST_F(DerivedSource, HandsOutTheSharedSourcesControllers)
{
    auto derived = Make(0, 0, 0);
    EXPECT_EQ(main, derived->GetPositionController());
    EXPECT_EQ(main, derived->GetPositionController(eAccessNow));
    EXPECT_FALSE(derived->GetPositionController(eAccessDefault));
    auto copy = derived->GetPositionControllerCopy(eAccessStreaming);
    EXPECT_EQ(2u, tdp->GetControllerCopyCount());
    tdp->ReleasePositionControllerCopy(copy);
    EXPECT_EQ(1u, tdp->GetControllerCopyCount());
    auto again = derived->GetPositionControllerCopy(eAccessStreaming);
    derived->ReleasePositionControllerCopy(again);
    EXPECT_EQ(1u, tdp->GetControllerCopyCount());
    // With a main controller of its own, the own one answers.
    auto own = std::make_shared<TestController>();
    own->SetSupportedModes({eAccessAtTime});
    derived->SetPositionController(own);
    EXPECT_EQ(own, derived->GetPositionController());
    EXPECT_FALSE(derived->GetPositionController(eAccessNow));
    EXPECT_FALSE(derived->GetPositionControllerCopy(eAccessStreaming));
}

TEST_F(DerivedSource, ClientReadsConvertedAtoms)
{
    auto derived = Make(0, 0, 0);
    std::unique_ptr<SignalClientBase> remote(derived->NewSignalClient("ampl-client", 0));
    EXPECT_EQ("ampl-client_copy", remote->GetName());
    auto client = derived->CreateClient("c");
    ASSERT_EQ(eSuccess, client.Open(eAccessAtTime, 0, 0));
    std::vector<int> values(8 * 3 + 5);
    unsigned count = static_cast<unsigned>(values.size());
    SignalMeta meta;
    ASSERT_EQ(eSuccess, client.Read(values.data(), count, 7, meta));
    EXPECT_EQ(24u, count);
    Array<AmplTraits> direct(AmplTraits(), 3);
    ASSERT_EQ(eSuccess, derived->Read(direct, 7, main));
    EXPECT_EQ(direct[2].v[0], values[16]);
}

} // namespace
