#include "acquisition/signals.h"

#include "acquisition/history_buffer.h"
#include "app/fa_sync_controller.h"
#include "app/raf_board.h"
#include "app/vuna_application.h"
#include "mci/factory.h"
#include "platform/qreg/signal_node.h"
#include "platform/qsig/event_filter.h"
#include "platform/qstd/exception.h"
#include "platform/qstd/log.h"
#include "platform/qstd/trace.h"
#include "raf/raf_id.h"

#include <sstream>
#include <thread>

namespace {

std::string DeviceName(const qapp::ZemtraBoard& board)
{
    return board.Board() ? board.Board()->CreateDeviceName(bmc::eAccessEvents, 0) : board.GetName() + ".event";
}

std::string BoardName(const qapp::ZemtraBoard& board)
{
    return board.Board() ? board.Board()->GetName() : board.GetName();
}

} // namespace

Signals::Signals(RafBoard& board, const std::string& name) : qapp::ZemtraFeature(board, name), m_board(board)
{
    QSTD_TRACE_FNC();
    m_event = std::make_unique<qsig::ZemtraEventStream>(board.GetDecoratedName(GetDecoratedName("event")),
                                                        DeviceName(board), true, BoardName(board));
}

Signals::~Signals()
{
    if (m_event_node) {
        m_event_node->DetachSource();
    }
    if (m_event) {
        m_event->ShutDown();
    }
    m_event.reset();
}

void Signals::OnRegistryAdd(mci::TreeNodePtr& node)
{
    QSTD_TRACE_FNC();
    m_node = node;
    mci::TreeNodePtr eventNode = mci::factory::Create<qreg::SignalNode>("event", m_event.get(), 2);
    m_event_node = std::dynamic_pointer_cast<qreg::SignalNode>(eventNode);
    node->Add(eventNode);
}

void Signals::OnShutdown()
{
    QSTD_TRACE_FNC();
    if (m_event) {
        m_event->ShutDown();
    }
    if (m_event_node) {
        m_event_node->DetachSource();
    }
}

FaSyncController* Signals::FaPeers() const
{
    // The application owns the one meeting point of the FA chains.
    auto& app = dynamic_cast<VunaApplication&>(m_board.GetApplication());
    return app.GetFaSyncController();
}

uint64_t Signals::RestartLmt(uint64_t lmt, uint32_t period)
{
    // A product of zero (a wrapped FA decimation) would divide by zero; one
    // ADC period is then the restart's grid.
    const uint32_t p = period == 0 ? 1 : period;
    const uint32_t lead = (c_start_lead / p + 1) * p;
    return lmt + lead;
}

bool Signals::TbtSaFaRestart(uint64_t lmt)
{
    QSTD_TRACE_FNC();
    qsig::ZemtraEventStream::Client client(m_event.get(), "tbt_restart_event_client",
                                           static_cast<unsigned>(2 * (qsig::c_maxEventId + 1)));
    client.GetQueue().SetFilter(std::make_shared<qsig::EventFilter>(std::initializer_list<uint64_t>{c_start_event}));
    client.GetQueue().SetTimeout(static_cast<uint64_t>(c_start_timeout.count()));
    const qsig::SuccessCode_e opened = client.Open();
    if (opened != qsig::eSuccess) {
        QSTD_TRACE(1, "Can't open: " << opened);
        client.Close();
        return true;
    }

    m_event->WriteEvent(qsig::EventStruct::Request(c_stop_request));
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    qstd::LogInfo("TBT, FA, SA signals stopped.");

    FaSyncController* peers = FaPeers();
    bool stopped = true;
    if (peers) {
        peers->SetFaStopped();
        stopped = peers->WaitForAllStopped();
    }

    const RafIdSpecific* clock = m_board.GetClockInfo();
    const uint32_t period = clock->GetTbtDecimation() * clock->GetFADecimation() * clock->GetSADecimation();
    const uint64_t start = RestartLmt(lmt, period);

    if (HistoryBuffer* hb = m_board.GetHistoryBuffer()) {
        hb->StartTbtOnEvent();
    }
    m_event->WriteEvent(qsig::EventStruct::Request(c_start_request, start));

    qsig::EventStruct event;
    const qsig::SuccessCode_e rc = client.Read(event);
    if (rc == qsig::eTimeout) {
        qstd::LogError("Failed to restart TBT SA and FA streams. No start event within " +
                       std::to_string(c_start_timeout.count()) + " ms.");
        // The chain counts as running again, so that the peers are not held
        // back and the next restart finds the counter whole.
        if (peers) {
            peers->SetFaRunning();
        }
        client.Close();
        return false;
    }
    if (rc != qsig::eSuccess) {
        // As on the time-out: the counter stays whole for the peers.
        if (peers) {
            peers->SetFaRunning();
        }
        std::ostringstream os;
        os << "Failed to restart TBT SA and FA streams. " << "Event signal closed: " << rc;
        throw qstd::Exception(os.str(), true);
    }
    qstd::LogInfo("TBT, FA, SA signals started at LMT=" + std::to_string(start));

    bool running = true;
    if (peers) {
        peers->SetFaRunning();
        running = peers->WaitForAllRunning();
    }
    // The DDC and TDP sources' controllers are re-anchored at start here once
    // the board's on-demand sources exist.
    client.Close();
    return stopped && running;
}
