#include "platform/qfeature/local_timing.h"

#include "platform/qapp/fnc_node.h"
#include "platform/qapp/signal_sources.h"
#include "platform/qapp/zemtra_application.h"
#include "platform/qsig/event_struct.h"
#include "platform/qsig/signal_source.h"
#include "platform/qsig/zemtra_event_stream.h"
#include "platform/qstd/log.h"
#include "platform/qstd/trace.h"
#include "sim/board.h"

#include <cmath>

namespace qfeature {

LocalTiming::LocalTiming(qapp::ZemtraBoard& board, const std::string& name, qsig::ZemtraEventStream* events)
    : qapp::ZemtraFeature(board, name), m_board(board), m_events(events)
{
}

bool LocalTiming::EnableEvent(unsigned long long id)
{
    return SetEventEnabled(id, true);
}

bool LocalTiming::DisableEvent(unsigned long long id)
{
    return SetEventEnabled(id, false);
}

bool LocalTiming::SetEventEnabled(unsigned long long id, bool enabled)
{
    if (id > qsig::c_maxEventId) {
        return false;
    }
    uint64_t mask = 0;
    {
        std::lock_guard<std::mutex> lock(m_eventMutex);
        if (enabled) {
            m_disabled.erase(id);
        } else {
            m_disabled.insert(id);
        }
        for (unsigned long long e = 0; e <= qsig::c_maxEventId; ++e) {
            mask |= m_disabled.count(e) ? 0 : (1ull << e);
        }
    }
    if (m_events) {
        m_events->WriteControl(mask);
    }
    return true;
}

bool LocalTiming::IsEventEnabled(unsigned long long id) const
{
    if (id > qsig::c_maxEventId) {
        return false;
    }
    std::lock_guard<std::mutex> lock(m_eventMutex);
    return m_disabled.count(id) == 0;
}

unsigned long long LocalTiming::GetCurrentLmt() const
{
    const bmc::Board* desc = m_board.Board();
    if (desc == nullptr || desc->SimBoard() == nullptr) {
        return 0;
    }
    return desc->SimBoard()->Clock().Now();
}

LocalTimingSync::LocalTimingSync(qapp::ZemtraBoard& board, const std::string& name, qsig::ZemtraEventStream* events,
                                 HistoryBuffer* history)
    : LocalTiming(board, name, events), m_history(history)
{
}

LocalTimingSync::~LocalTimingSync()
{
    const bmc::Board* desc = GetBoard().Board();
    if (desc != nullptr && desc->SimBoard() != nullptr) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_pending) {
            desc->SimBoard()->CancelPendingLmt();
        }
    }
}

void LocalTimingSync::OnAnnounced() {}
void LocalTimingSync::OnStartAdjustment() {}
void LocalTimingSync::OnStopAdjustment(bool) {}

bool LocalTimingSync::IsSyncPending() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_pending;
}

bool LocalTimingSync::AnnounceSync(unsigned long long lmt)
{
    QSTD_TRACE_FNC();
    if (lmt < c_min_syncLMT || lmt > c_max_syncLMT) {
        qstd::LogWarning("LMT " + std::to_string(lmt) + " announced to " + GetBoard().GetName() +
                         " is out of range; not accepted.");
        return false;
    }
    sim::Board* simBoard = GetBoard().Board() ? GetBoard().Board()->SimBoard() : nullptr;
    // From the arming of the clock to the last hook: the next trigger may
    // take the LMT before this thread runs the hooks (a busy machine, or a
    // second client announcing at once), and the synchronisation it completes
    // must enable the sources after they were disabled here, not before.
    std::lock_guard<std::mutex> hooks(m_hookMutex);
    bool first = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        first = !m_pending;
        m_pending = true;
        m_announced.store(lmt);
        if (simBoard != nullptr) {
            m_timeAtAnnounce = std::chrono::steady_clock::now();
            m_lmtAtAnnounce = simBoard->Clock().At(m_timeAtAnnounce);
            simBoard->SetLmtAtNextTrigger(lmt);
        }
    }
    QSTD_TRACE(2, GetBoard().GetName() << ": LMT " << lmt << " announced");
    try {
        GetBoard().OnAnnounceSync();
        qapp::ForEachSignalSource(GetBoard().GetTreeNode(),
                                  [](qsig::SignalSource& source) { source.OnAnnouncedTimestampChange(); });
        OnAnnounced();
    } catch (...) {
        // Not accepted: a first announcement is withdrawn, so that no trigger
        // completes a synchronisation the application never counted.
        if (first) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_pending = false;
            if (simBoard != nullptr) {
                simBoard->CancelPendingLmt();
            }
        }
        throw;
    }
    if (first) {
        GetBoard().GetApplication().OnSyncAnnounced(*this);
    }
    return true;
}

void LocalTimingSync::Synchronize(unsigned long long id, unsigned long long parameter, unsigned long long count)
{
    QSTD_TRACE_FNC();
    if (id != c_syncEventId) {
        return;
    }
    sim::Board* simBoard = GetBoard().Board() ? GetBoard().Board()->SimBoard() : nullptr;
    unsigned long long lmt = 0;
    long long delta = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_pending) {
            return;
        }
        lmt = m_announced.load();
        if (simBoard != nullptr) {
            // The board numbers its triggers and latches the number of the
            // one that took the LMT. Every trigger before it is stale, from
            // whichever announcement, read late by a reader that lags behind
            // (a restart runs on it): the one that took the LMT follows in
            // the same queue. While the LMT is pending every trigger is stale.
            const unsigned long long taken = simBoard->TriggerThatTookLmt();
            if (taken == 0 || count < taken) {
                QSTD_TRACE(2, GetBoard().GetName() << ": trigger " << count << " at LMT " << parameter
                                                   << " from before LMT " << lmt << " was taken; ignored");
                return;
            }
            if (count > taken) {
                // The event of the trigger that took it was lost (a full
                // queue); the board has taken the LMT all the same.
                QSTD_TRACE(2, GetBoard().GetName() << ": trigger " << taken << " that took LMT " << lmt
                                                   << " was not read; trigger " << count << " completes");
                parameter = lmt;
            }
        }
        m_pending = false;
        if (simBoard != nullptr) {
            const double f = simBoard->Clock().Frequency();
            const auto trigger = simBoard->Clock().WhenAt(parameter);
            const double elapsed = std::chrono::duration<double>(trigger - m_timeAtAnnounce).count();
            const double old = static_cast<double>(m_lmtAtAnnounce) + elapsed * f;
            delta = static_cast<long long>(std::llround(static_cast<double>(parameter) - old));
        }
    }
    if (parameter != lmt) {
        qstd::LogError("Trigger on " + GetBoard().GetName() + " carries LMT " + std::to_string(parameter) +
                       " instead of the announced " + std::to_string(lmt) + ".");
        OnStopAdjustment(false);
        return;
    }
    OnStartAdjustment();
    try {
        {
            // After every hook of the announcement that this completes.
            std::lock_guard<std::mutex> hooks(m_hookMutex);
            qapp::ForEachSignalSource(GetBoard().GetTreeNode(), [delta, lmt](qsig::SignalSource& source) {
                source.OnAdjustedTimestamp(delta, lmt);
            });
        }
        GetBoard().OnAdjustedTimestamp(delta, lmt);
    } catch (const std::exception& e) {
        qstd::LogError("Timestamp adjustment of " + GetBoard().GetName() + " failed: " + e.what());
        OnStopAdjustment(false);
        return;
    }
    m_synchronized.store(lmt);
    QSTD_TRACE(2, GetBoard().GetName() << ": synchronized to LMT " << lmt);
    OnStopAdjustment(true);
    GetBoard().GetApplication().OnSynchronized(*this);
}

void LocalTimingSync::OnRegistryAdd(mci::TreeNodePtr& node)
{
    node->Add(qapp::MakeFncNode<unsigned long long>("announced_lmt", mci::enums::eValue, [this](unsigned long long& v) {
        v = GetAnnouncedLMT();
        return true;
    }));
    node->Add(
        qapp::MakeFncNode<unsigned long long>("synchronized_lmt", mci::enums::eValue, [this](unsigned long long& v) {
            v = GetSynchronizedLMT();
            return true;
        }));
}

} // namespace qfeature
