#pragma once
// Position controller of on-demand signals: turns a client's access mode,
// time, offset and count into the start position (in atoms) of a read and the
// metadata of that position. A source holds one main controller; clients that
// need their own state (access modes 13 and 14) get started clones of it.

#include "platform/qsig/signal_types.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>

namespace qsig {

class DodPositionController;
using PosControllerPtr = std::shared_ptr<DodPositionController>;

// Ends the waits of one reader in GetPosition, from another thread, while
// the controller goes on serving its other readers: the reader's thread
// waits inside a Scope, and from Cancel on each of its waits answers -5 at
// once. A cancelled reader stays cancelled.
class WaitCancel {
public:
    class Scope {
    public:
        // Waits of this thread in controller end when cancel is cancelled.
        Scope(WaitCancel& cancel, DodPositionController& controller);
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

    private:
        WaitCancel& m_cancel;
        const WaitCancel* m_outer;
    };

    void Cancel();
    bool IsCancelled() const { return m_cancelled.load(); }

private:
    std::atomic<bool> m_cancelled{false};
    std::mutex m_mutex;
    DodPositionController* m_waitingIn = nullptr; // guarded by m_mutex
};

class DodPositionController {
public:
    DodPositionController();
    // A copy has the same supported modes, enable state and reset LMT; it is
    // neither started nor stopped.
    DodPositionController(const DodPositionController& other);
    DodPositionController& operator=(const DodPositionController&) = delete;
    virtual ~DodPositionController();

    // Re-anchors the controller at a new LMT (a restart of the acquisition).
    virtual void Reset(const uint64_t& lmt);
    virtual void Start();
    // Ends every wait in GetPosition now and refuses later ones (-5).
    virtual void Stop();
    // Most atoms one read may ask for at this offset in this mode.
    virtual size_t GetMaxReadSize(int64_t offset, AccessMode_e mode) const = 0;
    // 0: position (in atoms) and meta hold the start of the read.
    virtual SuccessCode_e GetPosition(AccessMode_e mode, uint64_t time, int64_t offset, size_t count, LMT& lmt,
                                      size_t& position, SignalMeta& meta) = 0;
    virtual bool IsPositionValid(const uint64_t& position) const;
    virtual PosControllerPtr Clone() const = 0;
    virtual void SetSupportedModes(const std::set<AccessMode_e>& modes);
    // What the refusal code of a read (mode, time, offset, count) means, in
    // words for its reader, from the arguments and the controller's present
    // state; empty when the code says all. kind, when given, gets how the
    // read stands to what the signal holds, told with the same words. The
    // base explains the refusals of Admit: a mode not served, a stopped or a
    // disabled controller.
    virtual std::string Explain(AccessMode_e mode, uint64_t time, int64_t offset, size_t count, SuccessCode_e code,
                                RefusalKind* kind = nullptr) const;
    // The atoms that a reader ahead (mode 13) passed over when its last
    // GetPosition answered -2 (it fell behind and goes on further on), taken
    // once: its reader counts them as lost there. The base passes over none.
    virtual uint64_t TakePassedOver() { return 0; }
    // Most atoms one read may take from the start position that GetPosition
    // gave it on: where the start lies is known only then (in a history kept
    // in sections, a read at an LMT starts inside its section), so the
    // client clamps its count to this once more. The base sets no bound
    // beyond GetMaxReadSize.
    virtual size_t GetMaxReadSizeFrom(size_t position) const;
    // After a source copied the atoms of a read from the start position that
    // GetPosition gave this thread: eSuccess while they are still the atoms
    // it placed there, else the code that refuses the read (a history that
    // the acquisition wrote over meanwhile, so that the copy may hold atoms
    // of other LMTs than its metadata give). The base has nothing to check.
    virtual SuccessCode_e CheckCopied(size_t position);

    bool IsModeSupported(AccessMode_e mode) const;
    void SetEnable(bool enable);
    bool IsEnabled() const { return m_enabled.load(); }
    bool IsStarted() const { return m_started.load(); }
    bool IsStopped() const { return m_stopped.load(); }
    // LMT of the last Reset (0 before any).
    uint64_t GetResetLmt() const { return m_resetLmt.load(); }

protected:
    // First checks of every GetPosition: an unsupported mode is a bad
    // request, a stopped controller is cancelled, a disabled one asks to try
    // again (a streaming read waits for the re-enable itself when
    // streamingWaits is true). eSuccess when the read may go on.
    SuccessCode_e Admit(AccessMode_e mode, bool streamingWaits) const;
    // Atoms left in a region of size atoms after a start offset (offsets up
    // to 0 leave the whole region).
    static size_t Remaining(size_t size, int64_t offset);

    enum WaitResult_e { eReady, eStoppedWait, eTimedOut };
    using Duration = std::chrono::steady_clock::duration;
    // Waits until ready() holds while the controller is enabled, the
    // controller is stopped, or the deadline passes. ready() is asked again
    // after every Wake (a state change of the controller, or a signal of the
    // data that it looks at) and, when nothing wakes the wait, after the
    // interval that ready() sets in its argument (recheck, unless it sets one).
    // While the controller is disabled, whileDisabled (when given) is asked
    // in its place.
    WaitResult_e WaitFor(const std::function<bool(Duration& next)>& ready,
                         std::chrono::steady_clock::time_point deadline, Duration recheck,
                         const std::function<bool(Duration& next)>& whileDisabled = nullptr);
    // Wakes the waits (after a change that ready() should see). A wake that
    // comes while ready() runs is not lost.
    void Wake();

private:
    friend class WaitCancel;

    mutable std::mutex m_mutex;
    std::condition_variable m_cond;
    uint64_t m_wakes = 0; // guarded by m_mutex
    std::set<AccessMode_e> m_modes;
    std::atomic<bool> m_enabled{true};
    std::atomic<bool> m_started{false};
    std::atomic<bool> m_stopped{false};
    std::atomic<uint64_t> m_resetLmt{0};
};

} // namespace qsig
