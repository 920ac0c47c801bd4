#include "platform/qfeature/tim_trigger_generation.h"

#include "platform/qapp/fnc_node.h"
#include "platform/qstd/trace.h"

namespace qfeature {

const std::vector<TimTriggerGeneration::TrigConfiguration> TimTriggerGeneration::c_trigConfigurations = {
    {"trigger0", 0, 0, 0},
    {"trigger1", 0, 0, 2},
    {"trigger2", 0, 0, 2},
    {"trigger3", 0, 0, 3},
};

TimTriggerGeneration::TimTriggerGeneration(qapp::ZemtraObject& parent, const std::string& name,
                                           const std::vector<TrigConfiguration>& configurations,
                                           const std::vector<RegNodeConfiguration>* nodes, SourceListener listener)
    : qapp::ZemtraFeature(parent, name), m_listener(std::move(listener))
{
    for (unsigned t = 0; t < c_triggers; ++t) {
        if (t < configurations.size()) {
            m_triggers[t].name = configurations[t].name;
            m_triggers[t].source = configurations[t].source;
            m_triggers[t].debouncer = configurations[t].debouncer;
            m_triggers[t].code = configurations[t].code;
        } else {
            m_triggers[t].name = "trigger" + std::to_string(t);
        }
    }
    if (nodes) {
        m_nodes = *nodes;
    }
}

bool TimTriggerGeneration::SetTriggerSource(unsigned trigger, const TriggerSourceType& source)
{
    if (trigger >= c_triggers) {
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_triggers[trigger].source = source;
    }
    QSTD_TRACE(3, "Trigger " << trigger << " source " << source);
    if (m_listener) {
        m_listener(trigger, source);
    }
    return true;
}

bool TimTriggerGeneration::GetTriggerSource(unsigned trigger, TriggerSourceType& source) const
{
    if (trigger >= c_triggers) {
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    source = m_triggers[trigger].source;
    return true;
}

bool TimTriggerGeneration::SetTriggerDebouncer(unsigned trigger, const unsigned& debouncer)
{
    if (trigger >= c_triggers) {
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_triggers[trigger].debouncer = debouncer;
    return true;
}

bool TimTriggerGeneration::GetTriggerDebouncer(unsigned trigger, unsigned& debouncer) const
{
    if (trigger >= c_triggers) {
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    debouncer = m_triggers[trigger].debouncer;
    return true;
}

bool TimTriggerGeneration::SetTriggerCode(unsigned trigger, const unsigned& code)
{
    if (trigger >= c_triggers) {
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_triggers[trigger].code = code;
    return true;
}

bool TimTriggerGeneration::GetTriggerCode(unsigned trigger, unsigned& code) const
{
    if (trigger >= c_triggers) {
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    code = m_triggers[trigger].code;
    return true;
}

bool TimTriggerGeneration::SetLemoControl(const unsigned& control)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lemo = control;
    return true;
}

bool TimTriggerGeneration::GetLemoControl(unsigned& control) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    control = m_lemo;
    return true;
}

unsigned long long TimTriggerGeneration::FlagsOf(unsigned trigger, const std::string& name) const
{
    for (const auto& n : m_nodes) {
        if (n.trigger == trigger && n.name == name) {
            return n.flags;
        }
    }
    return mci::enums::eValue | mci::enums::eWritable;
}

void TimTriggerGeneration::OnRegistryAdd(mci::TreeNodePtr& node)
{
    using qapp::MakeFncNode;
    for (unsigned t = 0; t < c_triggers; ++t) {
        mci::TreeNodePtr branch = node->Add(qapp::MakeBranchNode(m_triggers[t].name, 0));
        if (!branch) {
            continue;
        }
        branch->Add(MakeFncNode<unsigned>(
            "source", FlagsOf(t, "source"), [this, t](unsigned& v) { return GetTriggerSource(t, v); },
            [this, t](const unsigned& v) { return SetTriggerSource(t, v); }));
        branch->Add(MakeFncNode<unsigned>(
            "debouncer", FlagsOf(t, "debouncer"), [this, t](unsigned& v) { return GetTriggerDebouncer(t, v); },
            [this, t](const unsigned& v) { return SetTriggerDebouncer(t, v); }));
        branch->Add(MakeFncNode<unsigned>(
            "code", FlagsOf(t, "code"), [this, t](unsigned& v) { return GetTriggerCode(t, v); },
            [this, t](const unsigned& v) { return SetTriggerCode(t, v); }));
    }
    node->Add(MakeFncNode<unsigned>(
        "lemo_control", mci::enums::eValue | mci::enums::eWritable, [this](unsigned& v) { return GetLemoControl(v); },
        [this](const unsigned& v) { return SetLemoControl(v); }));
}

} // namespace qfeature
