#pragma once
// Bookkeeping of a source's position controllers: the main controller, which
// answers the reads of clients in the ordinary access modes, and the list of
// controllers that follow the LMT synchronisation (the started clones handed
// to clients in access modes 13 and 14, and the main controller once it is
// installed). Owners of a source may use the members directly, always under
// m_mutex, which is the last lock taken: only controller operations and
// tracing run under it.

#include "platform/qsig/dod_position_controller.h"
#include "platform/qstd/trace.h"
#include "qsig/array.h"

#include <exception>
#include <mutex>
#include <vector>

namespace qsig {

template <typename T> class DodControllerInterface {
public:
    DodControllerInterface() = default;
    DodControllerInterface(const DodControllerInterface&) = delete;
    DodControllerInterface& operator=(const DodControllerInterface&) = delete;
    // Releases the list and the main controller without calling them; a clone
    // that a client still holds lives on with it.
    virtual ~DodControllerInterface() = default;

    virtual PosControllerPtr GetPositionController() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_controller;
    }

    // The main controller when it serves the mode; else empty.
    virtual PosControllerPtr GetPositionController(AccessMode_e mode) const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_controller || !m_controller->IsModeSupported(mode)) {
            return nullptr;
        }
        return m_controller;
    }

    // A new started clone of the main controller, listed until released.
    virtual PosControllerPtr GetPositionControllerCopy(AccessMode_e mode) const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_controller || !m_controller->IsModeSupported(mode)) {
            return nullptr;
        }
        PosControllerPtr clone = m_controller->Clone();
        clone->Start();
        m_controller_copies.push_back(clone);
        return clone;
    }

    virtual void ReleasePositionControllerCopy(PosControllerPtr& copy) const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto it = m_controller_copies.begin(); it != m_controller_copies.end(); ++it) {
            if (*it == copy) {
                m_controller_copies.erase(it);
                return;
            }
        }
        QSTD_TRACE(2, "Position controller copy not found.");
    }

    // Fills buffer with atoms from position on; the count asked is the
    // buffer's size, the count read its size on return.
    virtual SuccessCode_e Read(Array<T>& buffer, std::size_t position, PosControllerPtr controller) = 0;

    // Installs the main controller: it is started and becomes the only entry
    // of the list, so the synchronisation follows it like every clone.
    void SetPositionController(const PosControllerPtr& controller)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_controller = controller;
        m_controller_copies.clear();
        if (m_controller) {
            OnInstallController(*m_controller);
            m_controller->Start();
            m_controller_copies.push_back(m_controller);
        }
    }

    // Every listed controller re-anchored at lmt.
    void ResetAllControllers(const uint64_t& lmt)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ForEachListed([&](DodPositionController& c) { c.Reset(lmt); });
    }

    // Every listed controller enabled or disabled.
    void EnableAllControllers(bool enable)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto& c : m_controller_copies) {
            c->SetEnable(enable);
        }
    }

    std::size_t GetControllerCopyCount() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_controller_copies.size();
    }

    mutable std::mutex m_mutex;
    PosControllerPtr m_controller;
    mutable std::vector<PosControllerPtr> m_controller_copies;

protected:
    // Lets a source tie a newly installed main controller to its data (under
    // m_mutex; only controller operations may run here).
    virtual void OnInstallController(DodPositionController&) {}

    // Calls f on every listed controller, under m_mutex held by the caller.
    // A controller that throws is traced and skipped: the others are still
    // served, so one faulty controller cannot leave the rest behind.
    template <typename F> void ForEachListed(F f)
    {
        for (auto& c : m_controller_copies) {
            try {
                f(*c);
            } catch (const std::exception& e) {
                QSTD_TRACE(1, "Position controller failed: " << e.what());
            }
        }
    }
};

} // namespace qsig
