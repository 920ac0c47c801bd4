// Reads of on-demand signals: large buffer-backed reads in modes 11 and 12
// next to a plain memcpy of the same size, concurrent readers of one source,
// a derived read next to its parts, and the mode-13 read-ahead with
// forwarding.

#include "platform/qsig/circular_buffer_controller.h"
#include "platform/qsig/random_access_zemtra.h"
#include "platform/qsig/simple_position_controller.h"
#include "qsig/data_on_demand_source.h"
#include "qsig/data_on_demand_synthetic_source.h"
#include "qsig/dod_client.h"

#include "q_net.hh"

#include <benchmark/benchmark.h>

#include <array>
#include <cstring>
#include <memory>
#include <vector>

using namespace qsig;

namespace {

struct IqAtom {
    int v[8];
};
using DdcTraits = SignalTraits<int, IqAtom, 1>;
struct AmplAtom {
    int v[8];
};
using AmplTraits = SignalTraits<int, AmplAtom, 1>;

constexpr size_t c_mb = 1024 * 1024;
constexpr size_t c_regionBytes = 256 * c_mb;
constexpr size_t c_atoms = c_regionBytes / sizeof(IqAtom);
constexpr uint64_t c_decimation = 4;

// One 256 MiB history region of DDC atoms, written once and a half around so
// that the newest data cross the wrap.
struct Setup {
    Setup()
        : memory(std::make_shared<sim::HistoryMemory>(c_regionBytes)),
          track(std::make_shared<sim::HistoryMemory::Track>(memory, 0, c_atoms, sizeof(IqAtom)))
    {
        track->Restart(0);
        std::vector<IqAtom> block(1 << 16);
        uint64_t written = 0;
        while (written < c_atoms + c_atoms / 2) {
            for (size_t i = 0; i < block.size(); ++i) {
                for (int k = 0; k < 8; ++k) {
                    block[i].v[k] = static_cast<int>(written + i);
                }
            }
            track->Append(block.data(), block.size(), written * c_decimation, c_decimation);
            written += block.size();
        }
        source =
            std::make_shared<DataOnDemandSource<DdcTraits>>("ddc", std::make_shared<RandomAccessZemtra>(memory, ""), 0,
                                                            c_regionBytes, 125000, ePriorityHigh, DdcTraits(), "");
        auto controller = std::make_shared<CircularBufferController>(c_atoms, 117440043, 2);
        controller->SetDecimation(c_decimation);
        controller->SetHistory(track);
        source->SetPositionController(controller);
    }
    uint64_t Newest() const { return track->Snapshot().newestLmt; }

    std::shared_ptr<sim::HistoryMemory> memory;
    std::shared_ptr<sim::HistoryMemory::Track> track;
    std::shared_ptr<DataOnDemandSource<DdcTraits>> source;
};

Setup& Shared()
{
    static Setup setup;
    return setup;
}

void PreFault(void* p, size_t bytes)
{
    std::memset(p, 1, bytes);
}

void BM_Memcpy(benchmark::State& state)
{
    const size_t bytes = static_cast<size_t>(state.range(0)) * c_mb;
    std::vector<char> src(bytes, 2);
    std::vector<char> dst(bytes);
    PreFault(dst.data(), bytes);
    for (auto _ : state) {
        std::memcpy(dst.data(), src.data(), bytes);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}
BENCHMARK(BM_Memcpy)->Arg(4)->Arg(32)->Arg(128)->Unit(benchmark::kMillisecond);

// Mode 11: the newest atoms, which cross the wrap of the region.
void BM_ReadNow(benchmark::State& state)
{
    auto& s = Shared();
    const unsigned atoms = static_cast<unsigned>(static_cast<size_t>(state.range(0)) * c_mb / sizeof(IqAtom));
    auto client = s.source->CreateClient("now");
    client.Open(eAccessNow, 0, -static_cast<long long>(atoms));
    Array<DdcTraits> out(DdcTraits(), atoms);
    PreFault(out.GetData(), atoms * sizeof(IqAtom));
    SignalMeta meta;
    for (auto _ : state) {
        out.Resize(atoms);
        if (client.Read(out, meta, 0) != eSuccess || out.GetLength() != atoms) {
            state.SkipWithError("read failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * atoms * sizeof(IqAtom)));
}
BENCHMARK(BM_ReadNow)->Arg(4)->Arg(32)->Arg(128)->Unit(benchmark::kMillisecond);

// Mode 12: at an LMT; the 4 MiB read lies inside the region, the larger ones
// start before its end and wrap.
void BM_ReadAtLmt(benchmark::State& state)
{
    auto& s = Shared();
    const unsigned atoms = static_cast<unsigned>(static_cast<size_t>(state.range(0)) * c_mb / sizeof(IqAtom));
    auto client = s.source->CreateClient("lmt");
    client.Open(eAccessAtTime, 0, 0);
    // The oldest kept atom is written + 1 - c_atoms; start a little after it.
    const uint64_t oldest = s.Newest() - (c_atoms - 1) * c_decimation;
    const uint64_t start =
        state.range(0) == 4 ? oldest + 1000 * c_decimation : oldest + (c_atoms / 2 - atoms / 2) * c_decimation;
    Array<DdcTraits> out(DdcTraits(), atoms);
    PreFault(out.GetData(), atoms * sizeof(IqAtom));
    SignalMeta meta;
    for (auto _ : state) {
        out.Resize(atoms);
        if (client.Read(out, meta, start) != eSuccess || out.GetLength() != atoms) {
            state.SkipWithError("read failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * atoms * sizeof(IqAtom)));
}
BENCHMARK(BM_ReadAtLmt)->Arg(4)->Arg(32)->Arg(128)->Unit(benchmark::kMillisecond);

// Several threads read from the one source at once, each its own range (in
// KiB): 32 MiB reads are bound by the memory's bandwidth, 256 KiB reads by the
// cores, which shows whether the readers wait for each other.
void BM_ConcurrentReaders(benchmark::State& state)
{
    auto& s = Shared();
    const unsigned atoms = static_cast<unsigned>(static_cast<size_t>(state.range(0)) * 1024 / sizeof(IqAtom));
    auto client = s.source->CreateClient("reader");
    // Each thread reads its own range, ending state.thread_index() ranges
    // before the newest atom.
    client.Open(eAccessNow, 0, -static_cast<long long>(atoms) * (state.thread_index() + 1));
    Array<DdcTraits> out(DdcTraits(), atoms);
    PreFault(out.GetData(), atoms * sizeof(IqAtom));
    SignalMeta meta;
    for (auto _ : state) {
        out.Resize(atoms);
        if (client.Read(out, meta, 0) != eSuccess) {
            state.SkipWithError("read failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * atoms * sizeof(IqAtom)));
}
BENCHMARK(BM_ConcurrentReaders)
    ->Arg(32 * 1024)
    ->Arg(256)
    ->Threads(1)
    ->Threads(2)
    ->Threads(4)
    ->Threads(8)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

SuccessCode_e ConvertAmpl(const Array<DdcTraits>& in, SuccessCode_e rc, Array<AmplTraits>& out)
{
    out.Resize(in.GetLength());
    const int* src = in.GetData();
    int* dst = out.GetData();
    for (unsigned i = 0; i < in.GetLength(); ++i) {
        for (int k = 0; k < 4; ++k) {
            const int64_t iv = src[i * 8 + 2 * k];
            const int64_t qv = src[i * 8 + 2 * k + 1];
            dst[i * 8 + k] = static_cast<int>((iv * iv + qv * qv) >> 16);
        }
        dst[i * 8 + 4] = dst[i * 8] + dst[i * 8 + 1] + dst[i * 8 + 2] + dst[i * 8 + 3];
        dst[i * 8 + 5] = dst[i * 8] - dst[i * 8 + 1];
        dst[i * 8 + 6] = dst[i * 8 + 2] - dst[i * 8 + 3];
        dst[i * 8 + 7] = dst[i * 8 + 4] >> 2;
    }
    return rc;
}

constexpr unsigned c_derivedAtoms = 1000000;

void BM_DerivedRead(benchmark::State& state)
{
    auto& s = Shared();
    auto derived = std::make_shared<DataOnDemandSyntheticSource<DdcTraits, AmplTraits>>("ampl", s.source, ConvertAmpl,
                                                                                        AmplTraits(), 0, 0, 0, "");
    auto client = derived->CreateClient("ampl");
    client.Open(eAccessNow, 0, -static_cast<long long>(c_derivedAtoms));
    Array<AmplTraits> out(AmplTraits(), c_derivedAtoms);
    PreFault(out.GetData(), c_derivedAtoms * sizeof(AmplAtom));
    SignalMeta meta;
    for (auto _ : state) {
        out.Resize(c_derivedAtoms);
        if (client.Read(out, meta, 0) != eSuccess || out.GetLength() != c_derivedAtoms) {
            state.SkipWithError("read failed");
            break;
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * c_derivedAtoms));
}
BENCHMARK(BM_DerivedRead)->Unit(benchmark::kMillisecond);

// The parts of a derived read alone: the source read into a new buffer and
// the conversion loop.
void BM_DerivedParts(benchmark::State& state)
{
    auto& s = Shared();
    auto controller = s.source->GetPositionController();
    Array<AmplTraits> out(AmplTraits(), c_derivedAtoms);
    PreFault(out.GetData(), c_derivedAtoms * sizeof(AmplAtom));
    for (auto _ : state) {
        Array<DdcTraits> in(DdcTraits(), c_derivedAtoms);
        s.source->Read(in, 12345, controller);
        ConvertAmpl(in, eSuccess, out);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * c_derivedAtoms));
}
BENCHMARK(BM_DerivedParts)->Unit(benchmark::kMillisecond);

// Mode 13 over a controller that never waits: the dispatching thread reads
// ahead as fast as it can, the reader takes the queued buffers over.
void BM_ReadAhead(benchmark::State& state)
{
    auto& s = Shared();
    auto source =
        std::make_shared<DataOnDemandSource<DdcTraits>>("window", std::make_shared<RandomAccessZemtra>(s.memory, ""), 0,
                                                        2048 * sizeof(IqAtom), 0, ePriorityHigh, DdcTraits(), "");
    source->SetPositionController(std::make_shared<SimplePositionController>(2048));
    auto client = source->CreateClient("ahead");
    const unsigned atoms = static_cast<unsigned>(state.range(0));
    client.Open(eAccessStreaming, atoms, 0);
    Array<DdcTraits> out(DdcTraits(), 1);
    SignalMeta meta;
    int64_t buffers = 0;
    size_t peakQueued = 0;
    for (auto _ : state) {
        peakQueued = std::max(peakQueued, client.GetQueuedCount());
        if (client.Read(out, meta, 0) == eSuccess) {
            ++buffers;
        }
    }
    client.Close();
    state.SetItemsProcessed(buffers);
    state.counters["peak_queued"] = static_cast<double>(peakQueued);
    state.counters["lost_atoms"] = client.GetQueueCounters().lost;
}
BENCHMARK(BM_ReadAhead)->Arg(64)->Arg(2048)->UseRealTime();

class NullReceiver : public POA_q_NET::SignalReceiver {
public:
    CORBA::Long ReceiveShort(const char*, const q_NET::ShortSeq&, const q_NET::MetaSeq&) override { return 0; }
    CORBA::Long ReceiveLong(const char*, const q_NET::LongSeq& v, const q_NET::MetaSeq&) override
    {
        values += v.length();
        return 0;
    }
    CORBA::Long ReceiveDouble(const char*, const q_NET::DoubleSeq&, const q_NET::MetaSeq&) override { return 0; }
    CORBA::Long ReceiveULongLong(const char*, const q_NET::ULongLongSeq&, const q_NET::MetaSeq&) override { return 0; }
    uint64_t values = 0;
};

// Mode 13 forwarding to a colocated CORBA servant.
void BM_Forwarding(benchmark::State& state)
{
    static CORBA::ORB_ptr orb = [] {
        int argc = 0;
        CORBA::ORB_ptr o = CORBA::ORB_init(argc, nullptr);
        CORBA::Object_var obj = o->resolve_initial_references("RootPOA");
        PortableServer::POA_var poa = PortableServer::POA::_narrow(obj);
        poa->the_POAManager()->activate();
        return o;
    }();
    (void)orb;
    auto* servant = new NullReceiver;
    q_NET::SignalReceiver_var ref = servant->_this();
    auto& s = Shared();
    auto source =
        std::make_shared<DataOnDemandSource<DdcTraits>>("window", std::make_shared<RandomAccessZemtra>(s.memory, ""), 0,
                                                        2048 * sizeof(IqAtom), 0, ePriorityHigh, DdcTraits(), "");
    source->SetPositionController(std::make_shared<SimplePositionController>(2048));
    auto client = source->CreateClient("fwd");
    client.Open(eAccessStreaming, static_cast<unsigned>(state.range(0)), 0);
    for (auto _ : state) {
        client.ForwardTo(ref.in());
    }
    client.Close();
    state.SetItemsProcessed(static_cast<int64_t>(servant->values / (state.range(0) * 8)));
    servant->_remove_ref();
}
BENCHMARK(BM_Forwarding)->Arg(64)->Arg(2048)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
