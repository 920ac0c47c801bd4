#pragma once
// qsig::ZemtraStream: a stream whose input is a board's stream device. The
// device is opened when dispatching starts (first client) and closed when it
// stops; the dispatcher reads one group of atoms per read. The atoms that
// the device dropped before a read count as lost for the stream's readers,
// right before the atoms of that read.

#include "platform/qsig/zemtra_stream_device.h"
#include "platform/qstd/trace.h"
#include "qsig/stream.h"

#include <atomic>
#include <cstdint>
#include <string>

namespace qsig {

template <typename T> class ZemtraStream : public Stream<T> {
public:
    using Buffer = typename Stream<T>::Buffer;

    ZemtraStream(const std::string& name, const std::string& owner, const std::string& path, unsigned groupSize,
                 StreamMode_e mode)
        : Stream<T>(name, owner, groupSize, mode), m_path(path)
    {
    }

    ~ZemtraStream() override { this->ShutDown(); }

    const std::string& GetPath() const { return m_path; }

    // The device's rows, or none while it is closed.
    SignalStats GetStatistics() const override
    {
        QSTD_TRACE_FNC();
        SignalStats rows;
        const int descriptor = m_descriptor.load();
        if (descriptor != -1) {
            GetZemtraDeviceStatistics(descriptor, static_cast<unsigned>(this->AtomSize()), rows);
        }
        return rows;
    }

protected:
    void OpenInput() override
    {
        QSTD_TRACE_FNC();
        if (m_descriptor.load() == -1) {
            m_descriptor.store(OpenZemtraStreamDevice(m_path, static_cast<unsigned>(this->AtomSize()),
                                                      static_cast<unsigned>(this->GroupSize())));
        } else {
            QSTD_TRACE(4, "File: " << m_path << " already open.");
        }
    }

    // The descriptor is taken out before the device is closed, so a read that
    // the close wakes is never followed by a read on a stale descriptor.
    void CloseInput() override
    {
        QSTD_TRACE_FNC();
        const int descriptor = m_descriptor.exchange(-1);
        if (descriptor != -1) {
            QSTD_TRACE(2, "Closing file: " << m_path);
            CloseZemtraStreamDevice(descriptor);
        }
    }

    SuccessCode_e ReadInput(Buffer& buffer) override
    {
        const std::size_t bytes = static_cast<std::size_t>(buffer.GetLength()) * this->AtomSize();
        if (bytes == 0) {
            return eBadRequest;
        }
        unsigned count = 0;
        uint64_t dropped = 0;
        const SuccessCode_e code = ZemtraStreamRead(m_descriptor.load(), buffer.GetData(), bytes,
                                                    static_cast<unsigned>(this->AtomSize()), count, dropped);
        if (code != eSuccess) {
            return code;
        }
        if (dropped > 0) {
            this->InputLost(dropped);
        }
        buffer.Resize(count);
        return eSuccess;
    }

private:
    const std::string m_path;
    std::atomic<int> m_descriptor{-1};
};

} // namespace qsig
