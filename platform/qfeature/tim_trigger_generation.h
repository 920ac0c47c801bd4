#pragma once
// Trigger generation of the timing board: four triggers, each with a source,
// a debouncer and an event code, and the control of the board's custom
// (LEMO) connector.

#include "platform/qapp/zemtra_feature.h"

#include <array>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace qfeature {

class TimTriggerGeneration : public qapp::ZemtraFeature {
public:
    // Source of a trigger: 0 off, 1 software, 2 external input, 3 backplane.
    // Debouncers count ADC periods (the dead time after a trigger).
    using TriggerSourceType = unsigned;
    static constexpr unsigned c_triggers = 4;

    struct TrigConfiguration {
        std::string name;
        TriggerSourceType source;
        unsigned debouncer;
        unsigned code;
    };
    // The four triggers as the board starts them.
    static const std::vector<TrigConfiguration> c_trigConfigurations;

    // Flags of one node of one trigger ("source", "debouncer", "code"),
    // replacing the default 6.
    struct RegNodeConfiguration {
        unsigned trigger;
        std::string name;
        unsigned long long flags;
    };

    // Called with (trigger, source) after each change of a source.
    using SourceListener = std::function<void(unsigned, TriggerSourceType)>;

    TimTriggerGeneration(qapp::ZemtraObject& parent, const std::string& name,
                         const std::vector<TrigConfiguration>& configurations,
                         const std::vector<RegNodeConfiguration>* nodes, SourceListener listener = nullptr);

    // Each is false (nothing changed) for a trigger above 3.
    bool SetTriggerSource(unsigned trigger, const TriggerSourceType& source);
    bool GetTriggerSource(unsigned trigger, TriggerSourceType& source) const;
    bool SetTriggerDebouncer(unsigned trigger, const unsigned& debouncer);
    bool GetTriggerDebouncer(unsigned trigger, unsigned& debouncer) const;
    bool SetTriggerCode(unsigned trigger, const unsigned& code);
    bool GetTriggerCode(unsigned trigger, unsigned& code) const;
    bool SetLemoControl(const unsigned& control);
    bool GetLemoControl(unsigned& control) const;

    // A branch per trigger (named after its configuration) with "source",
    // "debouncer" and "code"; then "lemo_control".
    void OnRegistryAdd(mci::TreeNodePtr& node) override;

private:
    struct Trigger {
        std::string name;
        TriggerSourceType source = 0;
        unsigned debouncer = 0;
        unsigned code = 0;
    };
    unsigned long long FlagsOf(unsigned trigger, const std::string& name) const;

    mutable std::mutex m_mutex;
    std::array<Trigger, c_triggers> m_triggers;
    unsigned m_lemo = 0;
    std::vector<RegNodeConfiguration> m_nodes;
    SourceListener m_listener;
};

} // namespace qfeature
