#pragma once
// qsig::SyntheticStream: an active stream whose input is computed from
// another stream. It holds its own client on the source stream exactly while
// it has clients of its own; for every read of its dispatcher it takes one
// source buffer (or a time-out of the source client's queue) and hands it to
// a converter that fills one destination atom.

#include "platform/qstd/exception.h"
#include "platform/qstd/trace.h"
#include "platform/qstd/util.h"
#include "qsig/stream.h"
#include "qsig/stream_client.h"

#include <functional>
#include <string>
#include <typeinfo>

namespace qsig {

template <typename SRC, typename DEST> class SyntheticStream : public Stream<DEST> {
public:
    using Buffer = typename Stream<DEST>::Buffer;
    using SourceBuffer = Array<SRC>;
    using Converter =
        std::function<SuccessCode_e(const Array<SRC>& source, SuccessCode_e code, Array<DEST>& destination)>;

    SyntheticStream(const std::string& name, Stream<SRC>* source, const Converter& converter, StreamMode_e mode,
                    const std::string& owner)
        : Stream<DEST>(name, owner, 1, mode), m_source(source), m_converter(converter),
          m_sourceClient(source, "syn_" + qstd::CppName(typeid(typename DEST::Atom)), 64),
          m_emptySource(m_sourceClient.GetTraits(), 0)
    {
    }

    ~SyntheticStream() override { this->ShutDown(); }

    // The client on the source; its owner sets the queue's filter and
    // time-out before the first client of this stream arrives.
    StreamClient<SRC>& GetSourceClient() { return m_sourceClient; }
    Stream<SRC>* GetSource() const { return m_source; }

    // The source client's statistics: the source's rows, then its queue's.
    SignalStats GetStatistics() const override { return m_sourceClient.GetStatistics(); }

protected:
    void OpenInput() override
    {
        if (m_sourceClient.Open() != eSuccess) {
            throw qstd::Exception("qsig: Synthetic stream. Can't open source stream.", true);
        }
    }

    void CloseInput() override { m_sourceClient.Close(); }

    SuccessCode_e ReadInput(Buffer& destination) override
    {
        if (this->GetMode() == ePassive) {
            throw qstd::Exception(this->GetName() + ": Passive mode not supported.", true);
        }
        SuccessCode_e rc = eNotOpen;
        if (m_sourceClient.IsOpen()) {
            // A source queue that was cancelled for good is never popped
            // again: its final code ends this stream's dispatcher as well.
            bool ended = false;
            rc = m_sourceClient.GetQueue().PopUnlessEnded(m_held, ended);
            if (!ended) {
                // A buffer, or a one-time time-out or incomplete data: the converter decides.
                return m_converter(m_held ? m_held->data : m_emptySource, rc, destination);
            }
            if (rc == eIncompleteData) {
                // The dispatcher would read on after -2: for us the source queue is gone.
                rc = eNotOpen;
            }
        }
        QSTD_TRACE(1, "SyntheticStream read error: " << rc);
        return rc;
    }

private:
    Stream<SRC>* const m_source;
    const Converter m_converter;
    StreamClient<SRC> m_sourceClient;
    const SourceBuffer m_emptySource;
    typename MetaBufferPair<SRC>::MetaBufferPtr m_held;
};

} // namespace qsig
