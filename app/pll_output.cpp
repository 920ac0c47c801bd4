#include "app/pll_output.h"

#include "platform/qstd/log.h"
#include "platform/qstd/trace.h"

#include <cmath>
#include <exception>

const std::string c_pll_stream_client = "pll_stream_client";

namespace {
// Queue length of the output's client.
constexpr unsigned c_pll_client_queue = 64;
} // namespace

PllOutput::PllOutput(qsig::Stream<PllTraits>& stream, qapp::DAC8552& dac) : m_stream(stream), m_dac8552(dac) {}

PllOutput::~PllOutput()
{
    QSTD_TRACE_FNC();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_event_thread.joinable()) {
        // An output deleted while enabled would otherwise join a read that
        // nothing ends. Cancelling its own queue wakes the read without
        // touching the stream, which may already be gone; a queue that the
        // stream's shutdown has cancelled keeps that final code.
        if (m_client) {
            m_client->GetQueue().Cancel(qsig::eNotOpen);
        }
        QSTD_TRACE(1, "PllOutput:: m_event_thread.join");
        m_event_thread.join();
    }
    m_client.reset();
}

bool PllOutput::IsEnabled() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_enabled;
}

bool PllOutput::SetEnabled(bool enabled)
{
    QSTD_TRACE_FNC();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (enabled == m_enabled) {
        return true;
    }
    if (enabled) {
        // A thread of an earlier enabling that ended on its own is joined first.
        if (m_event_thread.joinable()) {
            m_event_thread.join();
        }
        // The client is opened here, before the thread exists: a disabling
        // right after this call then always has a registered client to cancel.
        m_client.reset(new Client(&m_stream, c_pll_stream_client, c_pll_client_queue));
        const qsig::SuccessCode_e rc = m_client->Open();
        if (rc != qsig::eSuccess) {
            QSTD_TRACE(1, c_pll_stream_client << ": can't open: " << rc);
            m_client.reset();
        } else {
            m_event_thread = std::thread(&PllOutput::UpdatePllStatus, this);
        }
        m_enabled = true;
        return true;
    }

    m_stream.Cancel(c_pll_stream_client);
    if (m_event_thread.joinable()) {
        QSTD_TRACE(1, "PllOutput:: m_event_thread.join");
        m_event_thread.join();
    }
    m_client.reset();
    m_enabled = false;
    return true;
}

void PllOutput::ApplyDac(PllStruct& atom)
{
    if (!std::isfinite(atom.Dac)) {
        // No code computed yet (hardware mode from the start): the
        // oscillator keeps whatever it has.
        return;
    }
    const unsigned code = static_cast<unsigned>(atom.Dac);
    m_dac8552.SetValueA(code);
}

void PllOutput::UpdatePllStatus()
{
    QSTD_TRACE_FNC();
    Client& client = *m_client;
    try {
        for (;;) {
            PllStruct atom;
            const qsig::SuccessCode_e rc = client.Read(atom);
            if (rc != qsig::eSuccess) {
                QSTD_TRACE(1, c_pll_stream_client << ": can't read: " << rc);
                break;
            }
            ApplyDac(atom);
        }
    } catch (const std::exception& e) {
        QSTD_TRACE(1, "Error: " << e.what());
    } catch (...) {
        QSTD_TRACE(1, "Unknown Exception");
    }
    client.Close();
}
