#pragma once
// Derived on-demand source: stores nothing; each read reads the shared source
// at the same position with the same controller and converts its atoms with
// the conversion function. Without a main controller of its own it hands out
// the shared source's controllers and clones.

#include "platform/qstd/exception.h"
#include "platform/qstd/trace.h"
#include "platform/qstd/util.h"
#include "qsig/data_on_demand_source.h"

#include <algorithm>
#include <functional>
#include <memory>
#include <string>

namespace qsig {

template <typename SRC_TRAITS, typename DEST_TRAITS>
class DataOnDemandSyntheticSource : public DataOnDemandLocalSourceBase<DEST_TRAITS> {
public:
    using Source = DataOnDemandSource<SRC_TRAITS>;
    using SrcBuffer = typename Source::Buffer;
    using Buffer = typename DataOnDemandSourceBase<DEST_TRAITS>::Buffer;
    using Conversion = std::function<SuccessCode_e(const SrcBuffer&, SuccessCode_e, Buffer&)>;

    // srcReadSize: source atoms read per request (0: as many as output
    // atoms); fixedOutSize: output atoms per request (0: not fixed);
    // outSize: the derived signal's size (0: the source's).
    DataOnDemandSyntheticSource(const std::string& name, std::shared_ptr<Source> source, const Conversion& conversion,
                                const DEST_TRAITS& traits, std::size_t srcReadSize, std::size_t fixedOutSize,
                                std::size_t outSize, const std::string& description)
        : DataOnDemandLocalSourceBase<DEST_TRAITS>(name, traits, description), m_source(std::move(source)),
          m_conversion(conversion), m_src_read_size(srcReadSize), m_fixed_out_size(fixedOutSize), m_out_size(0)
    {
        QSTD_TRACE_FNC();
        QSTD_TRACE(1, "DataOnDemandSyntheticSource: "
                          << "src type = " << qstd::CppName(m_source->AtomType())
                          << "dest type = " << qstd::CppName(typeid(typename DEST_TRAITS::Atom)));
        const std::size_t sourceSize = m_source->GetSize();
        if (outSize != 0 && outSize < sourceSize) {
            m_out_size = outSize;
        } else if (outSize > sourceSize) {
            throw qstd::Exception("Not possible to output more samples than the source signal provides.", true);
        } else {
            m_out_size = sourceSize;
        }
        if (m_src_read_size > sourceSize) {
            throw qstd::Exception("Not possible to get more samples than the source signal provides.", true);
        }
        if (m_fixed_out_size > m_out_size || (m_src_read_size != 0 && m_fixed_out_size >= m_src_read_size)) {
            throw qstd::Exception("Not possible to set fixed output buffer grater than available output samples.",
                                  true);
        }
    }

    ~DataOnDemandSyntheticSource() override { QSTD_TRACE_FNC(); }

    std::size_t GetSize() const override { return m_out_size; }

    PosControllerPtr GetPositionController() const override
    {
        if (!HasOwnController()) {
            return m_source->GetPositionController();
        }
        return DodControllerInterface<DEST_TRAITS>::GetPositionController();
    }
    PosControllerPtr GetPositionController(AccessMode_e mode) const override
    {
        if (!HasOwnController()) {
            return m_source->GetPositionController(mode);
        }
        return DodControllerInterface<DEST_TRAITS>::GetPositionController(mode);
    }
    PosControllerPtr GetPositionControllerCopy(AccessMode_e mode) const override
    {
        if (!HasOwnController()) {
            return m_source->GetPositionControllerCopy(mode);
        }
        return DodControllerInterface<DEST_TRAITS>::GetPositionControllerCopy(mode);
    }
    void ReleasePositionControllerCopy(PosControllerPtr& copy) const override
    {
        if (!HasOwnController()) {
            m_source->ReleasePositionControllerCopy(copy);
            return;
        }
        DodControllerInterface<DEST_TRAITS>::ReleasePositionControllerCopy(copy);
    }

    SuccessCode_e Read(Buffer& buffer, std::size_t position, PosControllerPtr controller) override
    {
        const std::size_t n0 = buffer.GetLength();
        std::size_t n = n0;
        if (m_out_size != 0 && m_out_size < n0) {
            QSTD_TRACE(1, "DataOnDemandSyntheticSource: "
                              << "Read requestred too many atoms, resizing output buffer to " << m_out_size);
            n = m_out_size;
        }
        std::size_t outCount = n;
        if (m_fixed_out_size != 0) {
            outCount = m_fixed_out_size;
        } else if (m_src_read_size != 0) {
            outCount = std::min(m_src_read_size, m_out_size);
        }
        const std::size_t srcCount = m_src_read_size != 0 ? m_src_read_size : outCount;

        SrcBuffer source(m_source->GetTraits(), static_cast<unsigned>(srcCount));
        const SuccessCode_e rc = m_source->Read(source, position, controller);
        switch (rc) {
        case eBadRequest:
        case eNotOpen:
        case eCancelled:
        case eRefused:
        case eTryAgain:
        case eDerivedError:
            QSTD_TRACE(1, "SyntheticDod read error: " << rc);
            return rc;
        default:
            break;
        }
        if (source.GetLength() == 0) {
            // Nothing came: no atoms of an earlier read may pass as this one's.
            buffer.Resize(0);
            return rc;
        }
        if (n0 >= outCount) {
            QSTD_TRACE(1, "DataOnDemandSyntheticSource: Calculation from buffer to buffer - no copies");
            buffer.Resize(static_cast<unsigned>(outCount));
            return m_conversion(source, rc, buffer);
        }
        QSTD_TRACE(1, "DataOnDemandSyntheticSource: Calculation from buffer to tmp-buffer - it uses copies");
        Buffer temporary(this->m_traits, static_cast<unsigned>(outCount));
        const SuccessCode_e result = m_conversion(source, rc, temporary);
        // The conversion may give fewer atoms than the caller's buffer holds
        // (a short source read): the caller gets those, no more.
        const unsigned copied = std::min<unsigned>(static_cast<unsigned>(n0), temporary.GetLength());
        buffer.Resize(copied);
        for (unsigned i = 0; i < copied; ++i) {
            buffer[i] = temporary[i];
        }
        return result;
    }

    DodClient<DEST_TRAITS> CreateClient(const std::string& name)
    {
        auto self = std::static_pointer_cast<DataOnDemandSyntheticSource>(this->GetSharedSelf());
        return DodClient<DEST_TRAITS>(std::shared_ptr<DodControllerInterface<DEST_TRAITS>>(self), name, this->m_traits);
    }

    SignalClientBase* NewSignalClient(const std::string& name, unsigned) override
    {
        QSTD_TRACE_FNC();
        return NewHeapClient<DEST_TRAITS>(*this, name);
    }

    const std::shared_ptr<Source>& GetSource() const { return m_source; }

private:
    bool HasOwnController() const
    {
        std::lock_guard<std::mutex> lock(this->m_mutex);
        return static_cast<bool>(this->m_controller);
    }

    std::shared_ptr<Source> m_source;
    Conversion m_conversion;
    std::size_t m_src_read_size;
    std::size_t m_fixed_out_size;
    std::size_t m_out_size;
};

} // namespace qsig
