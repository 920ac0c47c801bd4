#include "acquisition/signals.h"

#include "acquisition/history_buffer.h"
#include "app/fa_sync_controller.h"
#include "app/local_timing_raf.h"
#include "app/raf_board.h"
#include "app/vuna_application.h"
#include "mci/factory.h"
#include "platform/qfeature/tsm.h"
#include "platform/qreg/signal_node.h"
#include "platform/qsig/circular_buffer_controller.h"
#include "platform/qsig/event_filter.h"
#include "platform/qsig/random_access_zemtra.h"
#include "platform/qstd/exception.h"
#include "platform/qstd/log.h"
#include "platform/qstd/trace.h"
#include "raf/raf_id.h"

#include <functional>
#include <sstream>
#include <thread>

namespace {

// Component names of the board's signals, as clients see them.
const bool c_names_filled = [] {
    AdcTraits::names = {"ChannelA", "ChannelB", "ChannelC", "ChannelD"};
    DdcTraits::names = {"Ia", "Qa", "Ib", "Qb", "Ic", "Qc", "Id", "Qd"};
    TdpTraits::names = {"Va", "Vb", "Vc", "Vd"};
    TbtAmplTraits::names = {"Va", "Vb", "Vc", "Vd", "Sum", "Q", "X", "Y"};
    TbtPhaseTraits::names = {"Aa", "Ab", "Ac", "Ad"};
    SaFaTraits::names = {"Va",    "Vb",    "Vc", "Vd", "Sum", "Q",  "X",  "Y",
                         "LMT_l", "LMT_h", "r1", "r2", "r3",  "r4", "r5", "status"};
    return true;
}();

// Queue of an event consumer: every event id twice.
constexpr unsigned c_event_queue = static_cast<unsigned>(2 * (qsig::c_maxEventId + 1));

std::string DeviceName(const qapp::ZemtraBoard& board, bmc::DataStreamAccessType_e type, int index)
{
    if (board.Board()) {
        return board.Board()->CreateDeviceName(type, index);
    }
    return board.GetName() + "." + std::to_string(static_cast<unsigned>(type)) + "." + std::to_string(index);
}

std::string BoardName(const qapp::ZemtraBoard& board)
{
    return board.Board() ? board.Board()->GetName() : board.GetName();
}

} // namespace

// Counts the chain running again on the way out of a restart, unless Run or
// an overtaking announcement did.
class Signals::RunningAgain {
public:
    RunningAgain(Signals& signals, FaSyncController* peers) : m_signals(signals), m_peers(peers) {}
    ~RunningAgain()
    {
        uint64_t mark = 0;
        m_signals.CountFaRunning(mark);
    }
    RunningAgain(const RunningAgain&) = delete;
    RunningAgain& operator=(const RunningAgain&) = delete;

    // Counts the chain running and waits for all peers; false at once when
    // an announcement has overtaken the restart.
    bool Run()
    {
        if (!m_peers) {
            return true;
        }
        uint64_t mark = 0;
        return m_signals.CountFaRunning(mark) &&
               m_peers->WaitForAllRunning(mark, [this] { return m_signals.RestartOvertaken(); });
    }

private:
    Signals& m_signals;
    FaSyncController* m_peers;
};

Signals::Signals(RafBoard& board, const std::string& name) : qapp::ZemtraFeature(board, name), m_board(board)
{
    QSTD_TRACE_FNC();
    (void)c_names_filled;
    m_event = std::make_unique<qsig::ZemtraEventStream>(SourceName("event"), DeviceName(board, bmc::eAccessEvents, 0),
                                                        true, BoardName(board));
    m_dma = std::make_shared<qsig::RandomAccessZemtra>(DeviceName(board, bmc::eAccessRandom, 0), "");
    CreateSaFaSignal();
    CreateTbtTdpSignal();
    CreateTbtDdcSignal();
}

Signals::~Signals()
{
    QSTD_TRACE_FNC();
    OnShutdown();
    m_tdp_ampl.reset();
    m_tdp.reset();
    m_ddc_phase.reset();
    m_ddc_ampl.reset();
    m_ddc.reset();
    m_adc.reset();
    m_fa.reset();
    m_sa.reset();
    m_event.reset();
}

std::string Signals::SourceName(const std::string& base) const
{
    return m_board.GetDecoratedName(GetDecoratedName(base));
}

void Signals::CreateSaFaSignal()
{
    QSTD_TRACE_FNC();
    m_sa = std::make_unique<SaFaStream>(SourceName("sa"), BoardName(m_board),
                                        DeviceName(m_board, bmc::eAccessStream, 1), c_sa_group, qsig::eActive);
    m_fa = std::make_unique<SaFaStream>(SourceName("fa"), BoardName(m_board),
                                        DeviceName(m_board, bmc::eAccessStream, 0), c_fa_group, qsig::eActive);
}

template <typename Traits>
std::shared_ptr<qsig::DataOnDemandSource<Traits>>
Signals::CreateTbtSource(const std::string& base, std::size_t start, std::size_t length, std::size_t chunk,
                         const std::string& client, const char* configuring)
{
    auto source = std::make_shared<qsig::DataOnDemandSource<Traits>>(SourceName(base), m_dma, start, length, chunk,
                                                                     qsig::ePriorityHigh, Traits(), BoardName(m_board));
    const std::size_t size = length / source->AtomSize();
    const uint64_t f = static_cast<uint64_t>(m_board.GetADCFrequency());
    const unsigned d = m_board.GetTbtDecimation();
    QSTD_TRACE(1, "Creating CircualBufferController: "
                      << " size: " << size << ", ADC frequency: " << f << ", decimation: " << d);
    auto controller = std::make_shared<qsig::CircularBufferController>(size, f, qsig::ePriorityHigh);
    QSTD_TRACE(1, "Configuring SegmentedBufferController");
    controller->SetTimeout(c_controller_timeout_s);
    controller->SetDecimation(d);
    {
        qsig::ZemtraEventStream::Client events(m_event.get(), client, c_event_queue);
        controller->SetEventClient(events);
    }
    QSTD_TRACE(1, configuring);
    source->SetPositionController(controller);
    return source;
}

void Signals::CreateTbtTdpSignal()
{
    QSTD_TRACE_FNC();
    QSTD_TRACE(1, "Creating TdpDodSource");
    const std::size_t quarter = m_dma->GetByteSize() / 4;
    m_tdp = CreateTbtSource<TdpTraits>("tdp-source", quarter, quarter, c_tdp_chunk, "tdp-ctrl-client",
                                       "Configuring TdpDodSource");
    QSTD_TRACE(1, "Creating TdpAmplDodSource");
    using namespace std::placeholders;
    m_tdp_ampl = std::make_shared<TdpAmplSource>(SourceName("tdp-ampl-source"), m_tdp,
                                                 std::bind(&Signals::ConvertTdpAmplSignal, this, _1, _2, _3),
                                                 TbtAmplTraits(), 0, 0, 0, BoardName(m_board));
}

void Signals::CreateTbtDdcSignal()
{
    QSTD_TRACE_FNC();
    QSTD_TRACE(1, "Creating TbtDodSource");
    const std::size_t half = m_dma->GetByteSize() / 2;
    m_ddc = CreateTbtSource<DdcTraits>("ddc-source", half, half, c_ddc_chunk, "tbt-ctrl-client",
                                       "Configuring TbtDodSource");
    using namespace std::placeholders;
    QSTD_TRACE(1, "Creating DdcAmplDodSource");
    m_ddc_ampl = std::make_shared<DdcAmplSource>(SourceName("ddc-ampl-source"), m_ddc,
                                                 std::bind(&Signals::ConvertDdcAmplSynthSignal, this, _1, _2, _3),
                                                 TbtAmplTraits(), 0, 0, 0, BoardName(m_board));
    QSTD_TRACE(1, "Creating DdcPhaseDodSource");
    m_ddc_phase = std::make_shared<DdcPhaseSource>(SourceName("ddc-phase-source"), m_ddc,
                                                   std::bind(&Signals::ConvertDdcPhaseSynthSignal, this, _1, _2, _3),
                                                   TbtPhaseTraits(), 0, 0, 0, BoardName(m_board));
}

void Signals::CreateAdcSignal()
{
    QSTD_TRACE_FNC();
    const std::size_t length = m_dma->GetByteSize() / 4;
    unsigned duration = 0;
    unsigned offset = 0;
    if (qfeature::Tsm* tsm = m_board.GetTsm()) {
        tsm->GetDuration(duration);
        tsm->GetOffset(offset);
    }
    if (duration == 0) {
        // Sections of no atoms cannot be told apart (and the section count
        // would divide by zero): without an acquisition there is no "adc".
        QSTD_TRACE(1, "No AdcSource: the ADC acquisition duration of the timing state machine is 0.");
        return;
    }
    QSTD_TRACE(1, "Creating AdcSource");
    auto adc = std::make_shared<AdcSource>(SourceName("adc-source"), m_dma, 0, length, c_adc_chunk, qsig::ePriorityHigh,
                                           AdcTraits(), BoardName(m_board));
    const std::size_t size = length / adc->AtomSize();
    QSTD_TRACE(1, "Creating SegmentedBufferController: "
                      << " size: " << size << ", section size: " << duration << ", sections: " << size / duration);
    m_adc_controller = std::make_shared<qsig::SegmentedBufferController>(size, size / duration, qsig::ePriorityHigh);
    QSTD_TRACE(1, "Configuring SegmentedBufferController");
    m_adc_controller->SetTimeout(c_controller_timeout_s);
    m_adc_controller->SetAcquisitionOffset(offset);
    {
        qsig::ZemtraEventStream::Client events(m_event.get(), "adc-ctrl-client", c_event_queue);
        m_adc_controller->SetEventClient(events);
    }
    m_event->WriteControl(c_adc_event_control);
    QSTD_TRACE(1, "Configuring AdcDodSource");
    adc->SetPositionController(m_adc_controller);
    m_adc = adc;
}

void Signals::AddSignalNode(const char* name, qsig::SignalSource* source, unsigned long long flags)
{
    mci::TreeNodePtr node = mci::factory::Create<qreg::SignalNode>(name, source, flags);
    if (auto signal = std::dynamic_pointer_cast<qreg::SignalNode>(node)) {
        m_signal_nodes.emplace_back(source, signal);
    }
    m_node->Add(node);
}

void Signals::OnRegistryAdd(mci::TreeNodePtr& node)
{
    QSTD_TRACE_FNC();
    m_node = node;
    AddSignalNode("ddc_raw", m_ddc.get(), 2);
    AddSignalNode("ddc_synthetic", m_ddc_ampl.get(), 2);
    AddSignalNode("ddc_phase", m_ddc_phase.get(), 66);
    AddSignalNode("tdp_synthetic", m_tdp_ampl.get(), 2);
    AddSignalNode("sa", m_sa.get(), 2);
    AddSignalNode("fa", m_fa.get(), 2);
    AddSignalNode("event", m_event.get(), 2);
}

void Signals::OnPostConfig()
{
    QSTD_TRACE_FNC();
    CreateAdcSignal();
    if (m_adc && m_node) {
        AddSignalNode("adc", m_adc.get(), 2);
    }
}

void Signals::OnShutdown()
{
    QSTD_TRACE_FNC();
    // The source is shut down (its clients' reads end), then its node lets
    // go of it once no client uses it.
    auto withdraw = [this](qsig::SignalSource* source) {
        if (!source) {
            return;
        }
        source->ShutDown();
        for (const auto& entry : m_signal_nodes) {
            if (entry.first == source) {
                entry.second->DetachSource();
            }
        }
    };
    // The sources stay until the destructor: the board's threads (a restart
    // on the event reader's thread, the gain controller's DDC reads) may
    // still reach them while the objects shut down one after the other.
    withdraw(m_adc.get());
    withdraw(m_ddc.get());
    withdraw(m_ddc_ampl.get());
    withdraw(m_ddc_phase.get());
    withdraw(m_tdp.get());
    withdraw(m_tdp_ampl.get());
    withdraw(m_fa.get());
    withdraw(m_sa.get());
    withdraw(m_event.get());
}

void Signals::AttachToRegistry()
{
    QSTD_TRACE_FNC();
    struct Entry {
        mci::Node node;
        void (PositionArithmetic::*set)(const mci::NotificationData&);
        int kind; // 0 int, 1 unsigned, 2 bool
    };
    // Reads the node's value into its parameter and subscribes the callback.
    auto attach = [this](const Entry& e) {
        qstd::Any value;
        bool read = false;
        if (e.kind == 0) {
            int v = 0;
            read = e.node.GetValue(v, 0);
            value = v;
        } else if (e.kind == 1) {
            unsigned int v = 0;
            read = e.node.GetValue(v, 0);
            value = v;
        } else {
            bool v = false;
            read = e.node.GetValue(v, 0);
            value = v;
        }
        if (read) {
            mci::NotificationData data;
            data.name = e.node.GetTreeNode()->GetName();
            data.value = value;
            (this->*e.set)(data);
        }
        auto set = e.set;
        const bool registered = m_notification_client.Register(
            e.node, mci::Callback([this, set](const mci::NotificationData& d) { (this->*set)(d); }));
        return read && registered;
    };
    // A group whose object is not part of the board (or has not made its
    // nodes) gives no handle at all.
    auto attachGroup = [&](const char* object, const std::vector<Entry>& entries) {
        bool any = false;
        for (const Entry& e : entries) {
            any = any || static_cast<bool>(e.node);
        }
        if (!any) {
            QSTD_TRACE(1, "Signals: no nodes of the " << object << " on board " << m_board.GetName()
                                                      << "; its parameters keep their defaults.");
            return true;
        }
        bool ok = true;
        for (const Entry& e : entries) {
            ok = attach(e) && ok;
        }
        return ok;
    };

    bool ok = attachGroup("FA block", {{m_board.NodeOfsX(), &PositionArithmetic::SetOffsetX, 0},
                                       {m_board.NodeOfsY(), &PositionArithmetic::SetOffsetY, 0},
                                       {m_board.NodeOfsQ(), &PositionArithmetic::SetOffsetQ, 0},
                                       {m_board.NodeKx(), &PositionArithmetic::SetKx, 1},
                                       {m_board.NodeKy(), &PositionArithmetic::SetKy, 1}});
    ok = attachGroup("turn-by-turn DSP", {{m_board.NodeSwSpikeRemovalEnable(), &PositionArithmetic::SetSpikeRemoval, 2},
                                          {m_board.NodeAveragingStop(), &PositionArithmetic::SetAverageStop, 0},
                                          {m_board.NodeAveragingWindow(), &PositionArithmetic::SetAverageWindow, 1},
                                          {m_board.NodeSpikeStart(), &PositionArithmetic::SetSpikeStart, 0},
                                          {m_board.NodeSpikeWindow(), &PositionArithmetic::SetSpikeWindow, 1}}) &&
         ok;
    if (!ok) {
        throw qstd::Exception("Signals cannot attach to the registry", true);
    }
}

void Signals::EnableControllers(bool enable)
{
    QSTD_TRACE_FNC();
    if (m_ddc) {
        m_ddc->EnableAllControllers(enable);
    }
    if (m_tdp) {
        m_tdp->EnableAllControllers(enable);
    }
    if (m_adc) {
        m_adc->EnableAllControllers(enable);
    }
}

void Signals::RestartControllers(const uint64_t* start)
{
    // Only sources reached through a signal node of their own are re-enabled
    // by the framework's timestamp hook; the TDP source is exported through
    // its derived source only, so the restart enables both sources itself.
    auto restart = [start](auto& source) {
        if (!source) {
            return;
        }
        if (start) {
            source->ResetAllControllers(*start);
        }
        source->EnableAllControllers(true);
    };
    restart(m_ddc);
    restart(m_tdp);
}

std::shared_ptr<Signals::DdcClient> Signals::GetDdcClient(const std::string& name)
{
    if (!m_ddc) {
        return nullptr;
    }
    return std::make_shared<DdcClient>(m_ddc->CreateClient(name));
}

qsig::ZemtraEventStream::Client Signals::GetEventClient(const std::string& name)
{
    return qsig::ZemtraEventStream::Client(m_event.get(), name, c_event_queue);
}

std::unique_ptr<qsig::ZemtraEventStream::Client> Signals::OpenEventClient(qsig::ZemtraEventStream* stream,
                                                                          const std::string& name, uint64_t id)
{
    auto client = std::make_unique<qsig::ZemtraEventStream::Client>(stream, name, c_event_queue);
    client->GetQueue().SetFilter(std::make_shared<qsig::EventFilter>(std::initializer_list<uint64_t>{id}));
    const qsig::SuccessCode_e opened = client->Open();
    if (opened != qsig::eSuccess) {
        QSTD_TRACE(1, name << ": can't open: " << opened);
        client.reset();
    }
    return client;
}

FaSyncController* Signals::FaPeers() const
{
    // The application owns the one meeting point of the FA chains.
    auto* app = dynamic_cast<VunaApplication*>(&m_board.GetApplication());
    return app ? app->GetFaSyncController() : nullptr;
}

bool Signals::RestartLmt(uint64_t lmt, uint64_t period, uint64_t& start)
{
    if (period == 0) {
        return false;
    }
    // For a period beyond the lead the quotient is 0 and the lead one period.
    const uint64_t periods = c_start_lead / period + 1;
    uint64_t lead = 0;
    if (__builtin_mul_overflow(periods, period, &lead) || __builtin_add_overflow(lmt, lead, &start)) {
        return false;
    }
    return true;
}

uint64_t Signals::DecimationPeriod(uint32_t tbt, uint32_t fa, uint32_t sa)
{
    uint64_t period = 0;
    if (__builtin_mul_overflow(static_cast<uint64_t>(tbt) * fa, static_cast<uint64_t>(sa), &period)) {
        return 0;
    }
    return period;
}

uint64_t Signals::StartWait(const qsig::ZemtraEventStream::Client& client, uint64_t start) const
{
    const uint64_t now = client.GetCurrentMachineTime().Value();
    const double f = m_board.GetADCFrequency();
    const double ahead = start > now && f > 0.0 ? static_cast<double>(start - now) / f * 1000.0 : 0.0;
    const double wait = ahead + static_cast<double>(c_start_margin.count());
    const double most = static_cast<double>(c_start_wait_max.count());
    return static_cast<uint64_t>(wait < most ? wait : most);
}

bool Signals::TbtSaFaRestart(uint64_t lmt)
{
    QSTD_TRACE_FNC();
    const RafIdSpecific* clock = m_board.GetClockInfo();
    uint64_t start = 0;
    if (!clock ||
        !RestartLmt(lmt,
                    DecimationPeriod(clock->GetTbtDecimation(), clock->GetFADecimation(), clock->GetSADecimation()),
                    start)) {
        qstd::LogError("Failed to restart TBT SA and FA streams. No valid start LMT after " + std::to_string(lmt) +
                       " for the TBT, FA and SA decimations.");
        RestartControllers(nullptr);
        return false;
    }

    qsig::ZemtraEventStream::Client client(m_event.get(), "tbt_restart_event_client", c_event_queue);
    client.GetQueue().SetFilter(std::make_shared<qsig::EventFilter>(std::initializer_list<uint64_t>{c_start_event}));
    const qsig::SuccessCode_e opened = client.Open();
    if (opened != qsig::eSuccess) {
        QSTD_TRACE(1, "Can't open: " << opened);
        client.Close();
        RestartControllers(nullptr);
        return false;
    }

    m_event->WriteEvent(qsig::EventStruct::Request(c_stop_request));
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    qstd::LogInfo("TBT, FA, SA signals stopped.");

    FaSyncController* peers = FaPeers();
    // From the stop on the chain counts as running again on every way out,
    // so that the peers are not held back and the next restart finds the
    // counter whole.
    RunningAgain running(*this, peers);
    bool stopped = true;
    uint64_t mark = 0;
    if (peers) {
        stopped = CountFaStopped(*peers, mark) && peers->WaitForAllStopped(mark, [this] { return RestartOvertaken(); });
    }
    if (GiveWay(client)) {
        return false;
    }

    if (HistoryBuffer* hb = m_board.GetHistoryBuffer()) {
        hb->StartTbtOnEvent();
    }
    m_event->WriteEvent(qsig::EventStruct::Request(c_start_request, start));

    const uint64_t wait = StartWait(client, start);
    client.GetQueue().SetTimeout(wait);
    qsig::EventStruct event;
    const qsig::SuccessCode_e rc = client.Read(event);
    if (rc == qsig::eTimeout) {
        qstd::LogError("Failed to restart TBT SA and FA streams. No start event within " + std::to_string(wait) +
                       " ms.");
        if (!GiveWay(client)) {
            RestartControllers(nullptr);
            client.Close();
        }
        return false;
    }
    if (rc != qsig::eSuccess) {
        RestartControllers(nullptr);
        client.Close();
        std::ostringstream os;
        os << "Failed to restart TBT SA and FA streams. "
           << "Event signal closed: " << rc;
        throw qstd::Exception(os.str(), true);
    }
    qstd::LogInfo("TBT, FA, SA signals started at LMT=" + std::to_string(start));

    const bool allRunning = running.Run();
    if (GiveWay(client)) {
        return false;
    }
    RestartControllers(&start);
    client.Close();
    return stopped && allRunning;
}

void Signals::OnSyncAnnounced()
{
    uint64_t mark = 0;
    CountFaRunning(mark);
}

bool Signals::RestartOvertaken() const
{
    const LocalTimingRaf* timing = m_board.GetLocalTiming();
    return timing != nullptr && timing->IsSyncPending();
}

bool Signals::GiveWay(qsig::ZemtraEventStream::Client& client) const
{
    if (!RestartOvertaken()) {
        return false;
    }
    QSTD_TRACE(1, "TBT, FA, SA restart gives way to the synchronisation to LMT "
                      << m_board.GetLocalTiming()->GetAnnouncedLMT() << ".");
    client.Close();
    return true;
}

bool Signals::CountFaStopped(FaSyncController& peers, uint64_t& mark)
{
    std::lock_guard<std::mutex> lock(m_fa_count_mutex);
    // Under the lock that the announcement's OnSyncAnnounced takes: a stop
    // counted here is counted running again by that announcement.
    if (RestartOvertaken()) {
        return false;
    }
    mark = peers.SetFaStopped();
    m_fa_counted_stopped = &peers;
    return true;
}

bool Signals::CountFaRunning(uint64_t& mark)
{
    std::lock_guard<std::mutex> lock(m_fa_count_mutex);
    if (m_fa_counted_stopped == nullptr) {
        return false;
    }
    mark = m_fa_counted_stopped->SetFaRunning();
    m_fa_counted_stopped = nullptr;
    return true;
}
