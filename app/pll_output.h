#pragma once
// Carries the software PLL's DAC code to the timing board's DAC: a thread of
// its own reads the "pll" stream and writes each atom's code to channel A.
// Its stream client is also what keeps the "pll" stream (and the PLL) running.

#include "app/phase_locked_loop.h"
#include "platform/qapp/dac8552.h"
#include "qsig/stream.h"
#include "qsig/stream_client.h"

#include <memory>
#include <mutex>
#include <thread>

// Name of the output's client on the "pll" stream.
extern const std::string c_pll_stream_client;

class PllOutput {
public:
    using Client = qsig::StreamClient<PllTraits>;

    // stream: the "pll" stream (any stream of PLL atoms).
    PllOutput(qsig::Stream<PllTraits>& stream, qapp::DAC8552& dac);
    virtual ~PllOutput();
    PllOutput(const PllOutput&) = delete;
    PllOutput& operator=(const PllOutput&) = delete;

    // true: opens the client and starts the thread; false: cancels the client
    // and joins the thread. Always true.
    bool SetEnabled(bool enabled);
    bool IsEnabled() const;

    void ApplyDac(PllStruct& atom);

private:
    void UpdatePllStatus();

    qsig::Stream<PllTraits>& m_stream;
    qapp::DAC8552& m_dac8552;
    std::thread m_event_thread;
    bool m_enabled = false;
    // Serialises SetEnabled and the destructor.
    mutable std::mutex m_mutex;
    // Opened by SetEnabled(true) before the thread starts, so that a disabling
    // always finds a client to cancel; read and closed by the thread.
    std::unique_ptr<Client> m_client;
};
