#pragma once
// Identification of the timing board: the ADC frequency it reports.

#include "platform/qapp/zemtra_feature.h"

#include <cstdint>

namespace qboard {

class TimIdSpecific : public qapp::ZemtraFeature {
public:
    TimIdSpecific(qapp::ZemtraObject& parent, const std::string& name, uint32_t adcFrequency)
        : qapp::ZemtraFeature(parent, name), m_adcFrequency(adcFrequency)
    {
    }
    uint32_t GetADCFrequency() const { return m_adcFrequency; }
    // Node "adc_frequency" (read-only).
    void OnRegistryAdd(mci::TreeNodePtr& node) override;

private:
    uint32_t m_adcFrequency;
};

} // namespace qboard
