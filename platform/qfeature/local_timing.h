#pragma once
// Local timing of a board: which timing events the board's event device
// delivers, and the synchronisation of the board's LMT (LocalTimingSync).
//
// Synchronisation protocol:
//  - AnnounceSync(lmt) while no announcement is pending: the board's machine
//    clock is armed to take lmt at its next trigger, and, before the call
//    returns, the board's OnAnnounceSync, the exported signal sources'
//    OnAnnouncedTimestampChange, this object's OnAnnounced and the
//    application's OnSyncAnnounced run (in that order). A second
//    announcement while one is pending re-arms the clock with the new LMT
//    and runs the board's, the sources' and OnAnnounced hooks again, but not
//    the application's: each accepted announcement is counted once.
//    An LMT outside [c_min_syncLMT, c_max_syncLMT] is not accepted. An
//    exception of the board's, a source's or this object's hook passes out
//    of AnnounceSync; a first announcement is then withdrawn.
//  - Synchronize(id, lmt, count) for the trigger event (id 2, its LMT and
//    its count) that took the announced LMT: OnStartAdjustment, the sources'
//    OnAdjustedTimestamp (once the announcement's hooks have run: the
//    trigger may come before its thread runs them), the board's
//    OnAdjustedTimestamp (difference of the new to the old LMT at the
//    trigger, and the LMT), OnStopAdjustment(true) and the application's
//    OnSynchronized. The board tells by the count
//    which trigger took the LMT: every trigger before it is ignored, however
//    many announcements back it lies, and so is every trigger while the LMT
//    is pending; a later one (the event of the one that took it was lost)
//    completes. The trigger that took it with another LMT than the announced
//    one ends the adjustment with OnStopAdjustment(false) and no
//    OnSynchronized; so does an exception of the board's hook (logged).

#include "platform/qapp/zemtra_board.h"
#include "platform/qapp/zemtra_feature.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace qsig {
class ZemtraEventStream;
class SignalSource;
} // namespace qsig

namespace qfeature {

class HistoryBuffer;

class LocalTiming : public qapp::ZemtraFeature {
public:
    LocalTiming(qapp::ZemtraBoard& board, const std::string& name, qsig::ZemtraEventStream* events);

    // Event ids the board delivers; all are enabled at start. False for an id
    // above the signal library's largest event id.
    bool EnableEvent(unsigned long long id);
    bool DisableEvent(unsigned long long id);
    bool IsEventEnabled(unsigned long long id) const;

    qapp::ZemtraBoard& GetBoard() const { return m_board; }
    qsig::ZemtraEventStream* GetEventStream() const { return m_events; }
    // The board's LMT now (0 without a simulated board).
    unsigned long long GetCurrentLmt() const;

private:
    // Updates the set of disabled ids and writes the resulting enable mask.
    bool SetEventEnabled(unsigned long long id, bool enabled);
    qapp::ZemtraBoard& m_board;
    qsig::ZemtraEventStream* m_events;
    mutable std::mutex m_eventMutex;
    std::set<unsigned long long> m_disabled;
};

class LocalTimingSync : public LocalTiming {
public:
    static constexpr unsigned long long c_unsynchronizedLMT = 0xFFFFFFFFFFFFFFFFull;
    static constexpr unsigned long long c_min_syncLMT = 0;
    // Leaves room to count for centuries at any ADC frequency without the
    // LMT's sign bit, which signed consumers of the LMT would misread.
    static constexpr unsigned long long c_max_syncLMT = 0x3FFFFFFFFFFFFFFFull;
    static constexpr unsigned long long c_syncEventId = 2;

    LocalTimingSync(qapp::ZemtraBoard& board, const std::string& name, qsig::ZemtraEventStream* events,
                    HistoryBuffer* history);
    ~LocalTimingSync() override;

    // True when the announcement is accepted.
    bool AnnounceSync(unsigned long long lmt);
    // id, LMT and count of an event of the board.
    void Synchronize(unsigned long long id, unsigned long long parameter, unsigned long long count);

    bool IsSyncPending() const;
    // The LMT announced last and the LMT taken at the last synchronisation
    // (c_unsynchronizedLMT before either).
    unsigned long long GetAnnouncedLMT() const { return m_announced.load(); }
    unsigned long long GetSynchronizedLMT() const { return m_synchronized.load(); }
    HistoryBuffer* GetHistoryBuffer() const { return m_history; }

    // Nodes "announced_lmt" and "synchronized_lmt" (read-only).
    void OnRegistryAdd(mci::TreeNodePtr& node) override;

protected:
    virtual void OnAnnounced();
    virtual void OnStartAdjustment();
    virtual void OnStopAdjustment(bool success);

private:
    HistoryBuffer* m_history;
    mutable std::mutex m_mutex; // guards the pending announcement
    // Held by an announcement from the clock's arming to its last hook, and by
    // a synchronisation around the sources' OnAdjustedTimestamp: the sources
    // serve again after a synchronisation however late the thread of the
    // announcement it completes ran that announcement's hooks.
    std::mutex m_hookMutex;
    bool m_pending = false;
    // LMT and steady-clock time of the board's clock when the pending
    // announcement was made, to tell the adjustment's difference.
    unsigned long long m_lmtAtAnnounce = 0;
    std::chrono::steady_clock::time_point m_timeAtAnnounce;
    std::atomic<unsigned long long> m_announced{c_unsynchronizedLMT};
    std::atomic<unsigned long long> m_synchronized{c_unsynchronizedLMT};
};

} // namespace qfeature
