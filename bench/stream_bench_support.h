#pragma once
// Shared pieces of the stream benchmarks: the FA-sized atom and an active
// stream whose input waits until it is closed (for start/stop churn).

#include "platform/qsig/signal_traits.h"
#include "qsig/stream.h"
#include "qsig/stream_client.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace bench_streams {

// 64 bytes, 16 signed 32-bit values: the size of the SA/FA atom.
struct FaAtom {
    int32_t v[16];
};
using FaTraits = qsig::SignalTraits<int, FaAtom, 1>;
constexpr unsigned c_faGroup = 1024; // atoms per FA buffer: 64 KiB

// Active stream whose reads wait until the input is closed.
class IdleInputStream : public qsig::Stream<FaTraits> {
public:
    explicit IdleInputStream(const std::string& name) : qsig::Stream<FaTraits>(name, "bench", 1, qsig::eActive) {}
    ~IdleInputStream() override { ShutDown(); }

protected:
    void OpenInput() override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_open = true;
    }
    void CloseInput() override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_open = false;
        m_cond.notify_all();
    }
    qsig::SuccessCode_e ReadInput(Buffer& buffer) override
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cond.wait(lock, [this] { return !m_open; });
        buffer.Resize(0);
        return qsig::eSuccess;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    bool m_open = false;
};

} // namespace bench_streams
