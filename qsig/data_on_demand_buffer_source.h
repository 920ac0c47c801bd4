#pragma once
// On-demand source over an array that its owner keeps in memory and rewrites
// (the post-mortem captures). Nothing is copied when the source is made;
// every read copies from the owner's array as it is at that moment. When the
// owner names the mutex under which it writes the array, every read holds it
// while it copies, so a read never mixes two captures.

#include "platform/qstd/trace.h"
#include "platform/qstd/util.h"
#include "qsig/data_on_demand_local_source_base.h"
#include "qsig/dod_client.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <string>

namespace qsig {

template <typename T> class DataOnDemandBufferSource : public DataOnDemandLocalSourceBase<T> {
public:
    using Buffer = typename DataOnDemandSourceBase<T>::Buffer;

    DataOnDemandBufferSource(const std::string& name, const Buffer& array, const std::string& description)
        : DataOnDemandBufferSource(name, array, description, nullptr)
    {
    }

    // ownerMutex: the mutex the owner holds while it writes or resizes array.
    DataOnDemandBufferSource(const std::string& name, const Buffer& array, const std::string& description,
                             std::mutex* ownerMutex)
        : DataOnDemandLocalSourceBase<T>(name, array.GetTraits(), description), m_buffer(array),
          m_ownerMutex(ownerMutex)
    {
        QSTD_TRACE_FNC();
        QSTD_TRACE(1, "DataOnDemandBufferSource: type = " << qstd::CppName(typeid(typename T::Atom)));
    }

    ~DataOnDemandBufferSource() override { QSTD_TRACE_FNC(); }

    std::size_t GetSize() const override
    {
        std::unique_lock<std::mutex> lock;
        if (m_ownerMutex) {
            lock = std::unique_lock<std::mutex>(*m_ownerMutex);
        }
        return m_buffer.GetLength();
    }

    // Copies atoms from position on into out (at most its size); -6 for a
    // position at or past the end of the array.
    SuccessCode_e Read(Buffer& out, std::size_t position, PosControllerPtr) override
    {
        std::unique_lock<std::mutex> lock;
        if (m_ownerMutex) {
            lock = std::unique_lock<std::mutex>(*m_ownerMutex);
        }
        try {
            const std::size_t size = m_buffer.GetLength();
            if (position >= size) {
                return eRefused;
            }
            const std::size_t n = std::min<std::size_t>(out.GetLength(), size - position);
            out.Resize(static_cast<unsigned>(n));
            if (n > 0) {
                std::memcpy(out.GetData(), m_buffer.GetAtom(static_cast<unsigned>(position)), n * T::c_atomSize);
            }
            return eSuccess;
        } catch (const qstd::Exception&) {
            return eRefused;
        }
    }

    DodClient<T> CreateClient(const std::string& name)
    {
        auto self = std::static_pointer_cast<DataOnDemandBufferSource<T>>(this->GetSharedSelf());
        return DodClient<T>(std::shared_ptr<DodControllerInterface<T>>(self), name, this->m_traits);
    }

    SignalClientBase* NewSignalClient(const std::string& name, unsigned) override
    {
        QSTD_TRACE_FNC();
        return NewHeapClient<T>(*this, name);
    }

private:
    const Buffer& m_buffer;
    std::mutex* m_ownerMutex;
};

} // namespace qsig
