#pragma once
// Base of the concrete on-demand sources: the source base joined with the
// controller bookkeeping, answering the LMT synchronisation hooks on every
// listed controller.

#include "qsig/data_on_demand_source_base.h"
#include "qsig/dod_controller_interface.h"

namespace qsig {

template <typename T>
class DataOnDemandLocalSourceBase : public DataOnDemandSourceBase<T>, public DodControllerInterface<T> {
public:
    DataOnDemandLocalSourceBase(const std::string& name, const T& traits, const std::string& description)
        : DataOnDemandSourceBase<T>(name, traits, description)
    {
        QSTD_TRACE_FNC();
    }
    ~DataOnDemandLocalSourceBase() override = default;

    // A new LMT is announced: every listed controller stops serving.
    void OnAnnouncedTimestampChange() override
    {
        std::lock_guard<std::mutex> lock(this->m_mutex);
        for (auto& c : this->m_controller_copies) {
            c->SetEnable(false);
        }
    }

    // The adjusted timestamp is known: every listed controller is reset to
    // the new LMT, then every one is enabled (two passes, so none serves
    // before all are re-anchored). A controller whose reset fails is still
    // enabled with the others.
    void OnAdjustedTimestamp(long long, unsigned long long lmt) override
    {
        const uint64_t at = lmt;
        {
            std::lock_guard<std::mutex> lock(this->m_mutex);
            this->ForEachListed([&](DodPositionController& c) { c.Reset(at); });
        }
        std::lock_guard<std::mutex> lock(this->m_mutex);
        for (auto& c : this->m_controller_copies) {
            c->SetEnable(true);
        }
    }
};

} // namespace qsig
