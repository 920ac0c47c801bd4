#pragma once
// On-demand source over a byte region of a random-access buffer, seen as a
// run of atoms. Every read goes to the buffer at the position a client's
// controller gave, in chunks of at most m_chunkSize atoms; positions wrap at
// the region's size when the buffer is circular. Reads take no lock of the
// source, so any number of clients read at once.

#include "platform/qsig/dod_history_controller.h"
#include "platform/qsig/random_access_buffer.h"
#include "platform/qstd/exception.h"
#include "platform/qstd/trace.h"
#include "platform/qstd/util.h"
#include "qsig/data_on_demand_local_source_base.h"
#include "qsig/dod_client.h"

#include <memory>
#include <string>

namespace qsig {

template <typename T> class DataOnDemandSource : public DataOnDemandLocalSourceBase<T> {
public:
    using Buffer = typename DataOnDemandSourceBase<T>::Buffer;

    // offset and length in bytes, chunk in atoms (0: a read in one call).
    DataOnDemandSource(const std::string& name, RandomAccessBufferPtr buffer, std::size_t offset, std::size_t length,
                       std::size_t chunk, RequestPriorityLevel_e priority, const T& traits,
                       const std::string& description)
        : DataOnDemandLocalSourceBase<T>(name, traits, description), m_buffer(std::move(buffer)), m_priority(priority),
          m_offset(offset), m_size(0), m_chunkSize(chunk)
    {
        QSTD_TRACE_FNC();
        const std::size_t bytes = m_buffer ? m_buffer->GetByteSize() : 0;
        if (offset >= bytes) {
            throw qstd::Exception("Starting position of input buffer is not correctly specified.", true);
        }
        if (bytes - offset < length) {
            length = bytes - offset; // the region ends with the buffer
        }
        if (length == 0) {
            throw qstd::Exception("Data range from input buffer is not correctly specified.", true);
        }
        m_size = length / T::c_atomSize;
        QSTD_TRACE(1, "DataOnDemandSource: type = " << qstd::CppName(typeid(typename T::Atom)) << " size = " << m_size
                                                    << "(atoms), "
                                                    << " chunk size = " << m_chunkSize << "(atoms), "
                                                    << " offset = " << m_offset << "(bytes)");
        std::lock_guard<std::mutex> lock(this->m_sourceMutex);
        DoOpen();
    }

    ~DataOnDemandSource() override
    {
        QSTD_TRACE_FNC();
        std::lock_guard<std::mutex> lock(this->m_sourceMutex);
        DoClose();
    }

    std::size_t GetSize() const override { return m_size; }

    void DoOpen() override
    {
        m_buffer->Open();
        if (m_size == 0) {
            m_size = m_buffer->GetByteSize() / T::c_atomSize;
            QSTD_TRACE(1, "DataOnDemandNew: queried size = " << m_size);
        }
    }

    void DoClose() override { m_buffer->Close(); }

    SuccessCode_e Read(Buffer& buffer, std::size_t position, PosControllerPtr controller) override
    {
        QSTD_TRACE(4, "Reading " << buffer.GetLength() << " atoms at position (atoms) " << position);
        SuccessCode_e rc = eRefused;
        try {
            rc = PriorityRead(buffer, position, controller);
        } catch (const qstd::Exception& e) {
            QSTD_TRACE(2, "Error reading from history buffer " << e.what());
        }
        // The atoms copied are those placed only while the acquisition has
        // not written over them meanwhile: a refused copy is dropped. Asked
        // after a failed read too, which ends the placement's check.
        const SuccessCode_e copied = controller ? controller->CheckCopied(position) : eSuccess;
        if (rc == eSuccess && copied != eSuccess) {
            buffer.Resize(0);
            rc = copied;
        }
        return rc;
    }

    // The chunked read: fills buffer from position on; its size on return is
    // the atoms read.
    SuccessCode_e PriorityRead(Buffer& buffer, std::size_t position, const PosControllerPtr& controller)
    {
        const std::size_t count = buffer.GetLength();
        const std::size_t a = T::c_atomSize;
        char* destination = reinterpret_cast<char*>(buffer.GetData());
        QSTD_TRACE(3, "ReadDod: position (atoms) " << position);
        QSTD_TRACE(3, "ReadDod: size (atoms) " << count);
        if (count == 0 || m_size == 0) {
            // A region of no atoms has nothing to read (and no modulo).
            buffer.Resize(0);
            return eSuccess;
        }
        const bool circular = m_buffer->IsCircular();
        std::size_t read = 0;
        while (read < count) {
            std::size_t n = count - read;
            if (m_chunkSize != 0 && n > m_chunkSize) {
                n = m_chunkSize;
            }
            std::size_t p = position + read;
            if (circular) {
                p %= m_size;
            } else if (p >= m_size) {
                break;
            }
            // A chunk never crosses the region's end: the next one starts at
            // the wrapped position (circular) or the read ends (not circular).
            n = std::min(n, m_size - p);
            if (!controller) {
                QSTD_TRACE(1, "Position controller becomes invalid, indicating a client, which specified the "
                              "position controller, has been closed");
                buffer.Resize(0);
                return eNotOpen;
            }
            if (!controller->IsPositionValid(static_cast<uint64_t>(p))) {
                QSTD_TRACE(1, "Invalid chunk. Skipping remaining chunks.");
                break;
            }
            const std::size_t got = m_buffer->Read(destination, n * a, m_offset + p * a, m_priority);
            // Only whole atoms count; a partial atom is overwritten by the
            // next chunk, and nothing past the n atoms asked is written.
            const std::size_t atoms = std::min(got, n * a) / a;
            if (atoms == 0) {
                QSTD_TRACE(1, "Received chunk with 0 bytes. Finish reading.");
                break;
            }
            read += atoms;
            destination += atoms * a;
        }
        buffer.Resize(static_cast<unsigned>(read));
        return eSuccess;
    }

    // A client of this source; the source must be owned by a shared pointer.
    DodClient<T> CreateClient(const std::string& name)
    {
        auto self = std::static_pointer_cast<DataOnDemandSource<T>>(this->GetSharedSelf());
        return DodClient<T>(std::shared_ptr<DodControllerInterface<T>>(self, self.get()), name, this->m_traits);
    }

    SignalClientBase* NewSignalClient(const std::string& name, unsigned) override
    {
        QSTD_TRACE_FNC();
        return NewHeapClient<T>(*this, name);
    }

    const RandomAccessBufferPtr& GetBuffer() const { return m_buffer; }
    std::size_t GetOffset() const { return m_offset; }
    std::size_t GetChunkSize() const { return m_chunkSize; }

protected:
    // A history controller installed over a board's history memory follows
    // the track of this source's region, which the acquisition writes.
    void OnInstallController(DodPositionController& controller) override
    {
        AttachHistoryTrack(controller, m_buffer, m_offset, m_size, T::c_atomSize);
    }

private:
    RandomAccessBufferPtr m_buffer;
    RequestPriorityLevel_e m_priority;
    std::size_t m_offset;
    std::size_t m_size;
    std::size_t m_chunkSize;
};

} // namespace qsig
