#include "platform/qboard/tim_board.h"

#include "platform/qapp/create.h"
#include "platform/qapp/fnc_node.h"
#include "platform/qsig/zemtra_event_stream.h"
#include "platform/qstd/trace.h"
#include "sim/board.h"

namespace qboard {

const std::vector<qfeature::Events::Description> TimBoard::c_evtDesc = {
    {0, "sync"},
    {2, "trigger"},
    {3, "interlock"},
    {16, "pll"},
};

namespace {
sim::TimingBoard* SimTimingOf(const bmc::Board* board)
{
    return (board && board->SimBoard()) ? board->SimBoard()->AsTiming() : nullptr;
}
} // namespace

TimBoard::TimBoard(qapp::ZemtraApplication& application, const bmc::Board* board,
                   const std::vector<qfeature::Events::Description>& events,
                   const std::vector<qfeature::TimTriggerGeneration::TrigConfiguration>& triggers,
                   const std::vector<qfeature::TimTriggerGeneration::RegNodeConfiguration>* nodes, bool withEvents)
    : qapp::ZemtraBoard(application, board), m_sim(SimTimingOf(board))
{
    QSTD_TRACE_FNC();
    m_id = qapp::Create<TimIdSpecific>(*this, "id_specific", m_sim ? m_sim->AdcFrequency() : 0u);
    m_trigGen = qapp::Create<qfeature::TimTriggerGeneration>(*this, "trigger_generation", triggers, nodes);
    if (m_sim != nullptr && m_sim->HasMcPll()) {
        m_mcPll = qapp::Create<McPll>(*this, "mc_pll", m_sim);
    }
    sim::TimingBoard* simBoard = m_sim;
    m_dac = qapp::Create<qapp::DAC8552>(*this, "dac", [simBoard](unsigned code) {
        if (simBoard) {
            simBoard->SetDac(code);
        }
    });
    if (board != nullptr) {
        m_events = std::make_unique<qsig::ZemtraEventStream>(
            GetDecoratedName("event"), board->CreateDeviceName(bmc::eAccessEvents, 0), true, board->GetName());
    }
    if (withEvents && m_events) {
        qapp::Create<qfeature::Events>(*this, "events", m_events.get(), events,
                                       [this](unsigned long long id, unsigned long long lmt, unsigned long long) {
                                           QSTD_TRACE(3, GetName() << ": event " << id << " at LMT " << lmt);
                                       });
    }
}

TimBoard::~TimBoard()
{
    // The children that read the stream go first.
    DeleteChildren();
    m_events.reset();
}

void TimBoard::OnShutdown()
{
    SetTrigSourceOff();
}

void TimBoard::CreateTrigEvent()
{
    QSTD_TRACE(3, GetName() << ": trigger event");
    if (m_sim) {
        m_sim->CreateTrigEvent();
    }
}

void TimBoard::SetTrigSourceOff()
{
    if (m_sim) {
        m_sim->SetTrigSourceOff();
    }
}

void TimBoard::SetTrigSourceExt()
{
    if (m_sim) {
        m_sim->SetTrigSourceExt();
    }
}

bool TimBoard::IsTrigSourceExt() const
{
    return m_sim != nullptr && m_sim->TrigSource() == sim::TimingBoard::c_trigExternal;
}

EvrxBoard::EvrxBoard(qapp::ZemtraApplication& application, const bmc::Board* board,
                     const std::vector<qfeature::Events::Description>& events,
                     const std::vector<qfeature::TimTriggerGeneration::TrigConfiguration>& triggers,
                     const std::vector<qfeature::TimTriggerGeneration::RegNodeConfiguration>* nodes)
    : TimBoard(application, board, events, triggers, nodes, false)
{
}

void EvrxBoard::SetBackplaneT0Switch(unsigned value)
{
    QSTD_TRACE(3, GetName() << ": backplane T0 switch " << value);
    m_t0.store(value);
}

void TimIdSpecific::OnRegistryAdd(mci::TreeNodePtr& node)
{
    node->Add(qapp::MakeFncNode<unsigned>("adc_frequency", mci::enums::eValue, [this](unsigned& v) {
        v = m_adcFrequency;
        return true;
    }));
}

McPll::McPll(qapp::ZemtraObject& parent, const std::string& name, sim::TimingBoard* board)
    : qapp::ZemtraFeature(parent, name), m_board(board)
{
}

bool McPll::GetMcLock() const
{
    return m_board != nullptr && m_board->McPllLocked();
}

bool McPll::SetMcPrescaler(unsigned turns)
{
    if (turns == 0 || m_board == nullptr) {
        return false;
    }
    m_board->SetMcPrescaler(turns);
    return true;
}

unsigned McPll::GetMcPrescaler() const
{
    return m_board ? m_board->McPrescaler() : 0u;
}

void McPll::OnRegistryAdd(mci::TreeNodePtr& node)
{
    node->Add(qapp::MakeFncNode<bool>("locked", mci::enums::eValue, [this](bool& v) {
        v = GetMcLock();
        return true;
    }));
    node->Add(qapp::MakeFncNode<unsigned>(
        "prescaler", mci::enums::eValue | mci::enums::eWritable,
        [this](unsigned& v) {
            v = GetMcPrescaler();
            return true;
        },
        [this](const unsigned& v) { return SetMcPrescaler(v); }));
}

} // namespace qboard
