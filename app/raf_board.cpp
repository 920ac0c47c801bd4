#include "app/raf_board.h"

#include "acquisition/average_sum.h"
#include "acquisition/beam_info.h"
#include "acquisition/fast_acquisition.h"
#include "acquisition/history_buffer.h"
#include "acquisition/postmortem.h"
#include "acquisition/signal_controller.h"
#include "acquisition/signals.h"
#include "app/local_timing_raf.h"
#include "mci/node_flags.h"
#include "platform/qapp/create.h"
#include "platform/qapp/zemtra_application.h"
#include "platform/qapp/zemtra_lvds.h"
#include "platform/qfeature/tsm.h"
#include "platform/qstd/trace.h"
#include "raf/dsc.h"
#include "raf/dsc_conf.h"
#include "raf/hp_temperature.h"
#include "raf/lvds_btc.h"
#include "raf/raf_id.h"
#include "raf/raf_interlock.h"
#include "raf/synthetic_generator.h"
#include "raf/tbt.h"

#include <algorithm>

const std::vector<qfeature::Events::Description> RafBoard::c_event_table = {
    {0, "sync"},
    {2, "trigger"},
    {3, "interlock"},
};

RafBoard::RafBoard(qapp::ZemtraApplication& application, const bmc::Board* board)
    : qapp::ZemtraBoard(application, board)
{
    QSTD_TRACE_FNC();
    // The gain controller comes first; its attenuator goes out once the
    // signal conditioning has its nodes (OnPostInit).
    m_signal_controller =
        qapp::Create<SignalController>(*this, std::string("conditioning"), GetApplication().ConfDir(), false);
    m_clock_info = RegisterObject<RafIdSpecific>(c_clock_info_offset, "clock_info");
    m_dsc = RegisterObject<DSCConfig>(c_conf_offset, "conf");
    m_sig_cond = RegisterObject<DigSigCond>(c_conditioning_offset, "conditioning");
    m_tbt = RegisterObject<TurnByTurnDSP>(c_tbt_offset, "tbt");
    m_house_keeping = RegisterObject<HouseKeeping>(c_house_keeping_offset, "house_keeping");
    m_house_keeping->SetRegistryFlags(mci::flags::c_aux);
    m_tsm = RegisterObject<qfeature::Tsm>(c_tsm_offset, "tsm");
    m_synth_tsm = RegisterObject<qfeature::Tsm>(c_synth_tsm_offset, "synth_tsm");

    volatile FPGAMem_t* hbBlock = qapp::RequireMapped(MapRegisters(c_hb_offset, c_hb_length));
    m_hb = qapp::Create<HistoryBuffer>(*this, reinterpret_cast<volatile tHB*>(hbBlock), std::string("hb"));

    m_interlock = RegisterObject<RafInterlock>(c_interlock_offset, "interlock");
    m_postmortem = RegisterObject<PostMortem>(c_postmortem_offset, "postmortem");
    m_synth_generator = RegisterObject<SyntheticGenerator>(c_synth_generator_offset, "synth_generator", m_synth_tsm);
    m_fa = RegisterObject<FastAcquisition>(c_fa_offset, "signal_processing");
    m_lvds_btc = RegisterObject<LvdsBusTrafCop>(c_lvds_btc_offset, "LvdsBusTrafCop");
    m_lvds_tx = RegisterObject<qapp::ZemtraLvdsTransmitter>(c_lvds_tx_offset, "LvdsTx");
    m_temperature = RegisterObject<HighPrecisionTemperature>(c_hp_temp_offset, "hp_temp");

    m_signals = qapp::Create<Signals>(*this, std::string("signals"));

    QSTD_TRACE(1, "Creating qfeature::Events.");
    qapp::Create<qfeature::Events>(*this, std::string("events"), m_signals->GetEventStream(), c_event_table,
                                   [this](unsigned long long id, unsigned long long first, unsigned long long second) {
                                       EventReceived(id, first, second);
                                   });

    QSTD_TRACE(1, "Creating LocalTimingRaf.");
    volatile FPGAMem_t* ltBlock = qapp::RequireMapped(MapRegisters(c_local_timing_offset, c_local_timing_length));
    m_local_timing =
        qapp::Create<LocalTimingRaf>(*this, ltBlock, std::string("local_timing"), m_signals->GetEventStream(),
                                     static_cast<qfeature::HistoryBuffer*>(m_hb));

    m_tsm->SetRegistryFlags(mci::flags::c_aux);
    m_synth_tsm->SetRegistryFlags(mci::flags::c_aux);
    m_hb->SetRegistryFlags(mci::flags::c_aux);
    m_average_sum = qapp::Create<AverageSum>(*this, std::string("average_sum"));
    m_average_sum->SetRegistryFlags(mci::flags::c_aux);
    m_beam_info = qapp::Create<BeamInfo>(*this, std::string("beam"));
    m_beam_info->SetRegistryFlags(mci::flags::c_aux);
}

RafBoard::~RafBoard()
{
    QSTD_TRACE_FNC();
    // No tuning step may reach an object that goes before the gain
    // controller (it is the first child, so the last to go). The framework
    // may have deleted the children already.
    const std::vector<qapp::ZemtraObject*> children = GetChildren();
    if (std::find(children.begin(), children.end(), m_signal_controller) != children.end()) {
        m_signal_controller->StopThread();
    }
    // The objects go while the board is still whole: their destructors reach
    // the board (the local timing its simulated clock).
    DeleteChildren();
    m_node.reset();
}

void RafBoard::OnRegistryAdd(mci::TreeNodePtr& node)
{
    QSTD_TRACE_FNC();
    m_node = node;
}

void RafBoard::OnPostInit()
{
    QSTD_TRACE_FNC();
    // Before the configuration step, so that a stored attenuator or power
    // level still overrides the gain controller's start.
    if (m_signal_controller) {
        m_signal_controller->ApplyStartAttenuator();
    }
    AttachToNotifications();
}

void RafBoard::AttachToNotifications()
{
    if (m_signals) {
        m_signals->AttachToRegistry();
    }
}

void RafBoard::OnPostConfig()
{
    QSTD_TRACE_FNC();
    if (m_signal_controller) {
        m_signal_controller->SetSamplesPerSwitchPosition(m_clock_info->GetSwitchDecimation());
        m_signal_controller->SetEnabled(true);
    }
    if (m_hb) {
        m_hb->StartAdcImmediately();
    }
}

void RafBoard::OnShutdown()
{
    QSTD_TRACE_FNC();
}

void RafBoard::OnAnnounceSync()
{
    QSTD_TRACE_FNC();
    if (m_signals) {
        m_signals->EnableControllers(false);
        m_signals->OnSyncAnnounced();
    }
}

void RafBoard::OnAdjustedTimestamp(long long /*timestamp*/, unsigned long long lmt)
{
    QSTD_TRACE_FNC();
    QSTD_TRACE(1, "RafBoard::OnAdjustedTimestamp ");
    if (m_signals) {
        m_signals->TbtSaFaRestart(lmt);
    }
}

void RafBoard::EventReceived(unsigned long long id, unsigned long long first, unsigned long long second)
{
    if (id == 2 && m_local_timing) {
        m_local_timing->Synchronize(2, first, second);
    }
}

bool RafBoard::AnnounceLMTSync(unsigned long long lmt)
{
    QSTD_TRACE_FNC();
    return m_local_timing != nullptr && m_local_timing->AnnounceSync(lmt);
}

bool RafBoard::SetSyncState(SyncStateMachine::State_e state)
{
    return m_local_timing != nullptr && m_local_timing->SetSyncState(state);
}

bool RafBoard::EnableEvent(unsigned char id)
{
    return m_local_timing != nullptr && m_local_timing->EnableEvent(static_cast<unsigned long long>(id));
}

bool RafBoard::DisableEvent(unsigned char id)
{
    return m_local_timing != nullptr && m_local_timing->DisableEvent(static_cast<unsigned long long>(id));
}

double RafBoard::GetADCFrequency() const
{
    return static_cast<double>(m_clock_info->GetADCFrequency());
}

unsigned RafBoard::GetTbtDecimation() const
{
    return m_clock_info->GetTbtDecimation();
}

unsigned RafBoard::GetFIRDecimation() const
{
    return m_clock_info->GetFIRDecimation();
}

unsigned RafBoard::GetSwitchDecimation() const
{
    return m_clock_info->GetSwitchDecimation();
}

double RafBoard::GetIFFrequency() const
{
    return m_clock_info->GetIFFrequency();
}

double RafBoard::GetTbtFrequency() const
{
    return m_clock_info->GetTbtFrequency();
}

double RafBoard::GetNcoFrequency() const
{
    return m_clock_info->GetNcoFrequency();
}

std::string RafBoard::GetId() const
{
    return Uri().GetId();
}

bool RafBoard::SetPllStatusLocked(const bool& locked)
{
    return m_fa != nullptr && m_fa->SetPllStatusLocked(locked);
}

bool RafBoard::SetNCOFreq(const unsigned int& value)
{
    return m_tbt != nullptr && m_tbt->SetNCOFreq(value);
}

bool RafBoard::GetNCOFreq(unsigned int& value) const
{
    return m_tbt != nullptr && m_tbt->_GetNCOFreq(value);
}

unsigned RafBoard::GetADCDelay() const
{
    unsigned delay = 0;
    if (m_tbt) {
        m_tbt->_GetADCDelay(delay);
    }
    return delay;
}

unsigned RafBoard::GetSwHisDelayOffset() const
{
    return m_dsc ? m_dsc->GetSwHisDelayOffset() : 0;
}

bool RafBoard::SetSwitch2HistoryDelay(unsigned int value)
{
    return m_dsc != nullptr && m_dsc->SetSwitch2HistoryDelay(value);
}

bool RafBoard::AdjustSignalOversampling(SignalType_e signal)
{
    return m_house_keeping != nullptr && m_house_keeping->AdjustSignalOversampling(signal);
}

void RafBoard::EnableFaBuf()
{
    if (m_lvds_btc) {
        m_lvds_btc->EnableFaBuf();
    }
}

bool RafBoard::Get2ndMax(unsigned int& value) const
{
    return m_dsc != nullptr && m_dsc->Get2ndMaxA(value);
}

bool RafBoard::GetSwitchMarkPosition(unsigned int& value) const
{
    return m_dsc != nullptr && m_dsc->GetSwitchMarkPosition(value);
}

bool RafBoard::SetSwitchMarkPosition(const unsigned int& value)
{
    return m_dsc != nullptr && m_dsc->SetSwitchMarkPosition(value);
}

bool RafBoard::UpdateMarkerPosition(unsigned (&pattern)[4])
{
    unsigned marker = 0;
    if (!GetSwitchMarkPosition(marker)) {
        return false;
    }
    for (unsigned position : pattern) {
        if (position == marker) {
            return true;
        }
    }
    QSTD_TRACE(2, "Marker is automatically set to switch position " << pattern[0] << ".");
    return SetSwitchMarkPosition(pattern[0]);
}

GainControllerLock::Lock_t RafBoard::LockSignalController()
{
    return m_signal_controller ? m_signal_controller->Lock() : GainControllerLock::Lock_t();
}

void RafBoard::UnlockSignalController(GainControllerLock::Lock_t& lock)
{
    if (m_signal_controller) {
        m_signal_controller->Unlock(lock);
    }
}

mci::Node RafBoard::NodeSwSpikeRemovalEnable() const
{
    return m_tbt ? m_tbt->NodeSwSpikeRemovalEnable() : mci::Node();
}

mci::Node RafBoard::NodeAveragingStop() const
{
    return m_tbt ? m_tbt->NodeAveragingStop() : mci::Node();
}

mci::Node RafBoard::NodeAveragingWindow() const
{
    return m_tbt ? m_tbt->NodeAveragingWindow() : mci::Node();
}

mci::Node RafBoard::NodeSpikeStart() const
{
    return m_tbt ? m_tbt->NodeSpikeStart() : mci::Node();
}

mci::Node RafBoard::NodeSpikeWindow() const
{
    return m_tbt ? m_tbt->NodeSpikeWindow() : mci::Node();
}

bool RafBoard::IsSwitchingEnabled() const
{
    bool switching = false;
    return m_sig_cond != nullptr && m_sig_cond->GetSwitching(switching) && switching;
}

bool RafBoard::GetSwPattern(unsigned int (&pattern)[4]) const
{
    if (m_sig_cond == nullptr) {
        return false;
    }
    m_sig_cond->GetSwPattern(pattern);
    return true;
}

void RafBoard::SetUnitCompensation()
{
    if (m_sig_cond) {
        m_sig_cond->SetUnitCompensation();
    }
}

void RafBoard::SetCompensation(const tCompensationEntry& entry, double ifDelta)
{
    if (m_sig_cond) {
        m_sig_cond->SetCompensation(entry, ifDelta);
    }
}

bool RafBoard::GetAtt(unsigned int& value) const
{
    return m_sig_cond != nullptr && m_sig_cond->GetAtt(value);
}

void RafBoard::SetAtt(const unsigned int& value)
{
    if (m_sig_cond) {
        m_sig_cond->SetAtt(value);
    }
}

bool RafBoard::WakeUpSignalConditioning()
{
    if (m_signal_controller == nullptr) {
        return false;
    }
    m_signal_controller->WakeUp();
    return true;
}

void RafBoard::ConvertPowerLevel(const int& dBm, unsigned int& att)
{
    if (m_signal_controller) {
        uint32_t value = att;
        m_signal_controller->ConvertPowerLevel(dBm, value);
        att = value;
    }
}

bool RafBoard::UpdateMarkerPosition()
{
    unsigned int pattern[4];
    return GetSwPattern(pattern) && UpdateMarkerPosition(pattern);
}

uint64_t RafBoard::Count2Threshold(int count)
{
    const uint64_t x = static_cast<uint64_t>(static_cast<int64_t>(count)) >> 4;
    const uint64_t square = x * x;
    return (square >> 8) & 0xFFFF;
}

qsig::SuccessCode_e RafBoard::ConvertDdcAmplSynthSignal(const qsig::Array<DdcTraits>& input, qsig::SuccessCode_e code,
                                                        qsig::Array<TbtAmplTraits>& output)
{
    return m_signals->ConvertDdcAmplSynthSignal(input, code, output);
}

namespace {

// Opens a new DDC client in mode at offset, reads data at time and closes:
// the atoms read when the read gives 0 or -2, else 0.
unsigned ReadDdcClient(Signals* signals, const char* name, qsig::AccessMode_e mode, long long offset,
                       qsig::Array<DdcTraits>& data, uint64_t time)
{
    std::shared_ptr<Signals::DdcClient> client = signals ? signals->GetDdcClient(name) : nullptr;
    if (!client || client->Open(mode, 0, offset) != qsig::eSuccess) {
        return 0;
    }
    qsig::SignalMeta meta;
    const qsig::SuccessCode_e rc = client->Read(data, meta, time);
    client->Close();
    return rc == qsig::eSuccess || rc == qsig::eIncompleteData ? data.GetLength() : 0;
}

} // namespace

int RafBoard::ReadDDC(qsig::Array<DdcTraits>& data, int count)
{
    const unsigned atoms = count < 0 ? 0u - static_cast<unsigned>(count) : static_cast<unsigned>(count);
    data.Resize(atoms);
    const long long offset = count < 0 ? count : 0;
    return static_cast<int>(ReadDdcClient(m_signals, "ddc-client-now", qsig::eAccessNow, offset, data, 0));
}

unsigned RafBoard::ReadDDC(qsig::Array<DdcTraits>& data, qsig::ZemtraMachineTime& time,
                           qsig::RequestPriorityLevel_e /*priority*/)
{
    return ReadDdcClient(m_signals, "ddc-client-lmt", qsig::eAccessAtTime, 0, data, time.Value());
}

mci::Node RafBoard::NodeKx() const
{
    return m_fa ? m_fa->NodeKx() : mci::Node();
}

mci::Node RafBoard::NodeKy() const
{
    return m_fa ? m_fa->NodeKy() : mci::Node();
}

mci::Node RafBoard::NodeOfsX() const
{
    return m_fa ? m_fa->NodeOfsX() : mci::Node();
}

mci::Node RafBoard::NodeOfsY() const
{
    return m_fa ? m_fa->NodeOfsY() : mci::Node();
}

mci::Node RafBoard::NodeOfsQ() const
{
    return m_fa ? m_fa->NodeOfsQ() : mci::Node();
}
