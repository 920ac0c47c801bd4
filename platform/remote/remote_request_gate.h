#pragma once
// remote::RemoteRequestGate: admits remote requests while open and counts those
// in progress, so that shutting down can refuse new requests and wait for
// the running ones to return.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>

namespace remote {

class RemoteRequestGate {
public:
    // False when the gate is closed; otherwise the request counts as in
    // progress until Leave.
    bool Enter();
    void Leave();

    // Closes the gate; later Enter calls fail.
    void Close();
    bool IsOpen() const;
    // Waits until no request is in progress; false on time-out.
    bool WaitIdle(std::chrono::steady_clock::duration timeout) const;
    std::size_t Active() const;

    // Enter/Leave for one scope.
    class Pass {
    public:
        explicit Pass(RemoteRequestGate& gate) : m_gate(gate), m_admitted(gate.Enter()) {}
        ~Pass()
        {
            if (m_admitted) {
                m_gate.Leave();
            }
        }
        Pass(const Pass&) = delete;
        Pass& operator=(const Pass&) = delete;
        bool Admitted() const { return m_admitted; }

    private:
        RemoteRequestGate& m_gate;
        bool m_admitted;
    };

private:
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_idle;
    bool m_open = true;
    std::size_t m_active = 0;
};

} // namespace remote
