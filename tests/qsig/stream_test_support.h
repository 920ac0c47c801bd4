#pragma once
// Shared test aids of the stream tests: atom types of the sizes the system
// uses, and a stream whose input is scripted by the test.

#include "platform/qsig/signal_traits.h"
#include "qsig/stream.h"
#include "qsig/stream_client.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

namespace qsig_test {

// 64-byte atom of 16 ints (the size of the SA/FA atom).
struct Atom16 {
    int32_t v[16];
};
using Traits16 = qsig::SignalTraits<int, Atom16, 1>;

// 64-byte atom of 8 doubles (the size of the PLL atom).
struct Atom8d {
    double v[8];
};
using Traits8d = qsig::SignalTraits<double, Atom8d, 1>;

inline Atom16 MakeAtom(int32_t first)
{
    Atom16 a{};
    for (int i = 0; i < 16; ++i) {
        a.v[i] = first + i;
    }
    return a;
}

// An active stream whose input is a queue of atoms that the test feeds; a
// read waits for one atom (or the close). Reads can be made to fail or
// throw. Counts opens and closes.
template <typename T> class ScriptedStream : public qsig::Stream<T> {
public:
    using Buffer = typename qsig::Stream<T>::Buffer;
    using Atom = typename T::Atom;

    ScriptedStream(const std::string& name, unsigned groupSize = 1, qsig::StreamMode_e mode = qsig::eActive)
        : qsig::Stream<T>(name, "test", groupSize, mode)
    {
    }
    ~ScriptedStream() override { this->ShutDown(); }

    void Feed(const Atom& atom)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_input.push_back(atom);
        m_cond.notify_all();
    }
    // The next read answers this code instead of data.
    void FailNextRead(qsig::SuccessCode_e code)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_failCode = code;
        m_cond.notify_all();
    }
    // The next read throws.
    void ThrowOnNextRead()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_throw = true;
        m_cond.notify_all();
    }
    // OpenInput throws while set.
    std::atomic<bool> failOpen{false};
    // Time between CloseInput waking the reader and releasing the input.
    std::chrono::milliseconds closeDelay{0};

    int Opens() const { return m_opens.load(); }
    int Closes() const { return m_closes.load(); }
    bool InputOpen() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_open;
    }

protected:
    void OpenInput() override
    {
        if (failOpen) {
            throw std::runtime_error("open failed");
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        m_open = true;
        ++m_opens;
    }
    void CloseInput() override
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_open = false;
            ++m_closes;
            m_cond.notify_all();
        }
        if (closeDelay.count() > 0) {
            // A slow close: the reader is woken first, the handle released later.
            std::this_thread::sleep_for(closeDelay);
            std::lock_guard<std::mutex> lock(m_mutex);
            m_open = false;
        }
    }
    qsig::SuccessCode_e ReadInput(Buffer& buffer) override
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cond.wait(lock, [&] { return !m_open || !m_input.empty() || m_failCode != qsig::eSuccess || m_throw; });
        if (m_throw) {
            m_throw = false;
            buffer.Resize(1);
            throw std::runtime_error("input broke");
        }
        if (m_failCode != qsig::eSuccess) {
            const qsig::SuccessCode_e code = m_failCode;
            m_failCode = qsig::eSuccess;
            return code;
        }
        if (!m_open) {
            buffer.Resize(0);
            return qsig::eSuccess;
        }
        unsigned n = 0;
        while (n < buffer.GetLength() && !m_input.empty()) {
            buffer[n++] = m_input.front();
            m_input.pop_front();
        }
        buffer.Resize(n);
        return qsig::eSuccess;
    }

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_cond;
    std::deque<Atom> m_input;
    bool m_open = false;
    qsig::SuccessCode_e m_failCode = qsig::eSuccess;
    bool m_throw = false;
    std::atomic<int> m_opens{0};
    std::atomic<int> m_closes{0};
};

} // namespace qsig_test
