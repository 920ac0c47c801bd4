#include "platform/qsig/dod_position_controller.h"

#include <limits>

namespace qsig {

namespace {

// The reader's cancel of the waits of this thread (see WaitCancel::Scope).
thread_local const WaitCancel* t_waitCancel = nullptr;

bool WaitCancelled()
{
    return t_waitCancel != nullptr && t_waitCancel->IsCancelled();
}

} // namespace

WaitCancel::Scope::Scope(WaitCancel& cancel, DodPositionController& controller)
    : m_cancel(cancel), m_outer(t_waitCancel)
{
    std::lock_guard<std::mutex> lock(cancel.m_mutex);
    cancel.m_waitingIn = &controller;
    t_waitCancel = &cancel;
}

WaitCancel::Scope::~Scope()
{
    std::lock_guard<std::mutex> lock(m_cancel.m_mutex);
    m_cancel.m_waitingIn = nullptr;
    t_waitCancel = m_outer;
}

void WaitCancel::Cancel()
{
    m_cancelled.store(true);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_waitingIn != nullptr) {
        // A wait checks the flag under the controller's lock before it
        // sleeps, so this wake is not lost.
        m_waitingIn->Wake();
    }
}

DodPositionController::DodPositionController() = default;

DodPositionController::DodPositionController(const DodPositionController& other)
    : m_enabled(other.m_enabled.load()), m_resetLmt(other.m_resetLmt.load())
{
    std::lock_guard<std::mutex> lock(other.m_mutex);
    m_modes = other.m_modes;
}

DodPositionController::~DodPositionController() = default;

void DodPositionController::Reset(const uint64_t& lmt)
{
    m_resetLmt.store(lmt);
    Wake();
}

void DodPositionController::Start()
{
    m_stopped.store(false);
    m_started.store(true);
    Wake();
}

void DodPositionController::Stop()
{
    m_stopped.store(true);
    Wake();
}

bool DodPositionController::IsPositionValid(const uint64_t&) const
{
    return true;
}

void DodPositionController::SetSupportedModes(const std::set<AccessMode_e>& modes)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_modes = modes;
}

std::string DodPositionController::Explain(AccessMode_e mode, uint64_t, int64_t, size_t, SuccessCode_e code,
                                           RefusalKind* kind) const
{
    if (kind != nullptr) {
        *kind = RefusalKind();
    }
    if (code == eBadRequest && !IsModeSupported(mode)) {
        std::set<AccessMode_e> modes;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            modes = m_modes;
        }
        std::string served;
        size_t left = modes.size();
        for (const AccessMode_e m : modes) {
            served += std::to_string(m) + (--left > 1 ? ", " : left == 1 ? " and " : "");
        }
        return "the signal does not serve access mode " + std::to_string(mode) +
               (modes.empty() ? std::string("; it serves none") : "; it serves " + served);
    }
    if (code == eCancelled && IsStopped()) {
        return "the signal is stopped";
    }
    if (code == eTryAgain && !IsEnabled()) {
        return "the signal is disabled";
    }
    return std::string();
}

size_t DodPositionController::GetMaxReadSizeFrom(size_t) const
{
    return std::numeric_limits<size_t>::max();
}

SuccessCode_e DodPositionController::CheckCopied(size_t)
{
    return eSuccess;
}

bool DodPositionController::IsModeSupported(AccessMode_e mode) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_modes.count(mode) != 0;
}

void DodPositionController::SetEnable(bool enable)
{
    m_enabled.store(enable);
    Wake();
}

void DodPositionController::Wake()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_wakes;
    }
    m_cond.notify_all();
}

DodPositionController::WaitResult_e DodPositionController::WaitFor(const std::function<bool(Duration&)>& ready,
                                                                   std::chrono::steady_clock::time_point deadline,
                                                                   Duration recheck,
                                                                   const std::function<bool(Duration&)>& whileDisabled)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        if (m_stopped.load() || WaitCancelled()) {
            return eStoppedWait;
        }
        const uint64_t seen = m_wakes;
        Duration next = recheck;
        const bool enabled = m_enabled.load();
        if (enabled || whileDisabled) {
            lock.unlock();
            const bool ok = enabled ? ready(next) : whileDisabled(next);
            lock.lock();
            if (ok) {
                return eReady;
            }
            if (m_stopped.load() || WaitCancelled()) {
                return eStoppedWait;
            }
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            return eTimedOut;
        }
        const auto until = deadline - now > next ? now + next : deadline;
        m_cond.wait_until(lock, until, [&] { return m_wakes != seen; });
    }
}

SuccessCode_e DodPositionController::Admit(AccessMode_e mode, bool streamingWaits) const
{
    if (!IsModeSupported(mode)) {
        return eBadRequest;
    }
    if (IsStopped()) {
        return eCancelled;
    }
    if (!IsEnabled() && !(streamingWaits && mode == eAccessStreaming)) {
        return eTryAgain;
    }
    return eSuccess;
}

size_t DodPositionController::Remaining(size_t size, int64_t offset)
{
    if (offset <= 0) {
        return size;
    }
    return static_cast<uint64_t>(offset) >= size ? 0 : size - static_cast<size_t>(offset);
}

} // namespace qsig
