#include "app/vuna_application.h"

#include "app/fa_sync_controller.h"
#include "app/gdx_board.h"
#include "app/pll_output.h"
#include "app/raf_board.h"
#include "gdx/gdx_fa_filter.h"
#include "mci/factory.h"
#include "mci/node_flags.h"
#include "platform/qapp/create.h"
#include "platform/qboard/tim_board.h"
#include "platform/qfeature/local_timing.h"
#include "platform/qfeature/tsm.h"
#include "platform/qreg/signal_node.h"
#include "platform/qsig/event_filter.h"
#include "platform/qstd/exception.h"
#include "platform/qstd/log.h"
#include "platform/qstd/trace.h"
#include "qreg/expr.h"
#include "qreg/reg_fnc_enum_node.h"
#include "qreg/reg_fnc_node.h"
#include "qreg/reg_reference_node.h"
#include "raf/raf_id.h"

#include <algorithm>
#include <sstream>
#include <time.h>
#include <unistd.h>

template <>
qstd::BiMap<CustomFnc_e> qstd::EnumMap<CustomFnc_e>::items = {{fofb_switch, "fofb_switch"}, {fa_clk, "fa_clk"}};

namespace {

// Counter of boards announced and not yet synchronised: start count, longest
// single sleep of a wait and time-out, both in milliseconds.
constexpr unsigned c_sync_start = 0;
constexpr unsigned c_sync_poll_ms = 10;
constexpr unsigned c_sync_timeout_ms = 1000;

} // namespace

VunaApplication::VunaApplication()
    : qapp::ZemtraApplication(c_name, true, true), m_sync_lmt(qfeature::LocalTimingSync::c_unsynchronizedLMT),
      m_synchronizer(c_sync_start, c_sync_poll_ms, c_sync_timeout_ms)
{
}

// Deleting what OnShutdown would delete keeps an application that never ran
// its shutdown (a failed start) from leaking its PLL stream and output.
VunaApplication::~VunaApplication()
{
    if (m_pll_signal) {
        m_pll_signal->ShutDown();
    }
    if (m_pll_node) {
        m_pll_node->DetachSource();
    }
    delete m_pll_output;
    m_pll_output = nullptr;
    delete m_pll_signal;
    m_pll_signal = nullptr;
}

std::string VunaApplication::ApplicationName() const
{
    static const std::string name(c_name);
    return name;
}

bool VunaApplication::CheckTim(int line, const char* function) const
{
    if (m_tim == nullptr) {
        qstd::LoggedAssert(__FILE__, line, function, "m_tim != NULL");
        return false;
    }
    return true;
}

std::vector<RafBoard*> VunaApplication::GetRafBoards() const
{
    std::vector<qapp::ZemtraBoard*> boards;
    GetBoards(boards, bmc::eBoardRaf);
    std::vector<RafBoard*> rafs;
    for (qapp::ZemtraBoard* b : boards) {
        if (auto* raf = dynamic_cast<RafBoard*>(b)) {
            rafs.push_back(raf);
        }
    }
    return rafs;
}

GdxBoard* VunaApplication::GetGdxBoard() const
{
    return dynamic_cast<GdxBoard*>(GetBoard(bmc::eBoardGdx));
}

qapp::ZemtraBoard* VunaApplication::CreateBoard(const bmc::Board* board)
{
    QSTD_TRACE_FNC();
    if (board == nullptr) {
        return nullptr;
    }
    const std::vector<qfeature::TimTriggerGeneration::RegNodeConfiguration> nodes = {
        {1, "source", mci::flags::c_setting}};
    QSTD_TRACE(2, "Creating board for type " << board->GetType() << ".");
    qapp::ZemtraBoard* made = nullptr;
    switch (board->GetType()) {
    case bmc::eBoardGdx:
        made = new GdxBoard(*this, board, this);
        QueryChild(made);
        break;
    case bmc::eBoardRaf:
        made = new RafBoard(*this, board);
        QueryChild(made);
        break;
    case bmc::eBoardEvrx: {
        if (m_tim != nullptr) {
            throw qstd::Exception("Vuna application expects exactly one timing board.", true);
        }
        auto* evrx = new qboard::EvrxBoard(*this, board, qboard::TimBoard::c_evtDesc,
                                           qfeature::TimTriggerGeneration::c_trigConfigurations, &nodes);
        QueryChild(evrx);
        m_tim = evrx;
        evrx->SetBackplaneT0Switch(1);
        made = evrx;
        break;
    }
    case bmc::eBoardTim: {
        if (m_tim != nullptr) {
            throw qstd::Exception("Vuna application expects exactly one timing board.", true);
        }
        auto* tim = new qboard::TimBoard(*this, board, qboard::TimBoard::c_evtDesc,
                                         qfeature::TimTriggerGeneration::c_trigConfigurations, &nodes, false);
        QueryChild(tim);
        m_tim = tim;
        made = tim;
        break;
    }
    default:
        return nullptr;
    }
    QSTD_TRACE(2, "Board instance created.");
    return made;
}

void VunaApplication::OnPreInit()
{
    QSTD_TRACE_FNC();
    if (!CheckTim(__LINE__, __PRETTY_FUNCTION__)) {
        // Everything below needs the timing board: its ADC frequency, event
        // stream, DAC, trigger generation and tree node.
        throw qstd::Exception("No timing board present. Vuna application needs exactly one.", true);
    }
    RetrieveCommonData();

    m_pll = qapp::Create<PhaseLockedLoop>(*m_tim, std::string("pll"), static_cast<PllHooks*>(this));

    PhaseLockedLoop* pll = m_pll;
    m_pll_signal = new PllSignal(
        GetDecoratedName("pll"), m_tim->GetEventStream(),
        [pll](const qsig::Array<qsig::EventTraits>& in, qsig::SuccessCode_e code, qsig::Array<PllTraits>& out) {
            return (*pll)(in, code, out);
        },
        qsig::eActive, m_tim->GetName());
    auto& queue = m_pll_signal->GetSourceClient().GetQueue();
    queue.SetTimeout(c_pll_timeout_ms);
    queue.SetFilter(std::make_shared<qsig::EventFilter>(std::initializer_list<uint64_t>{c_pll_event_id}));

    m_pll_output = new PllOutput(*m_pll_signal, m_tim->GetDac());

    m_fa_sync_controller = qapp::Create<FaSyncController>(*this, std::string("fa_sync_controller"),
                                                          static_cast<uint32_t>(GetRafBoards().size()));
}

void VunaApplication::RetrieveCommonData()
{
    QSTD_TRACE_FNC();
    if (GetState() != eStatePreInit) {
        throw qstd::Exception("Internal error: RetrieveCommonData() is not properly called.", true);
    }
    const std::vector<RafBoard*> rafs = GetRafBoards();
    if (rafs.empty()) {
        throw qstd::Exception("No RAF board present. Vuna application needs at least one.", true);
    }
    RafBoard* first = rafs.front();
    const RafIdSpecific& reference = *first->GetClockInfo();
    bool mixed = false;
    for (RafBoard* raf : rafs) {
        if (*raf->GetClockInfo() != reference) {
            qstd::LogError("RAF board - " + raf->GetName() + " application settings does not match with RAF board - " +
                           first->GetName() + " settings.");
            mixed = true;
        }
    }
    if (mixed) {
        throw qstd::Exception("Mixed Raf board configuration.", true);
    }
    if (!CheckTim(__LINE__, __PRETTY_FUNCTION__)) {
        throw qstd::Exception("No timing board present. Vuna application needs exactly one.", true);
    }
    const uint32_t timAdc = m_tim->GetIdSpecific() ? m_tim->GetIdSpecific()->GetADCFrequency() : 0;
    const uint32_t rafAdc = reference.GetADCFrequency();
    if (timAdc != rafAdc) {
        qstd::LogError("RAF board ADC frequency - " + std::to_string(rafAdc) +
                       " does not match with TIM board ADC frequency - " + std::to_string(timAdc) + ".");
        throw qstd::Exception("RAF board ADC frequency does not match with TIM board.", true);
    }
    RafClockValues::operator=(reference.GetClockValues());
}

void VunaApplication::OnRegistryAdd(mci::TreeNodePtr& node)
{
    QSTD_TRACE_FNC();
    using namespace mci::flags;
    using U64 = unsigned long long;
    using qfeature::LocalTimingSync;
    node->Add(mci::factory::Create<qreg::RegFncNode<U64>>(
        qreg::Expr<qreg::expr::Range<U64, U64>>(LocalTimingSync::c_min_syncLMT, LocalTimingSync::c_max_syncLMT),
        "synchronize_lmt", this, &VunaApplication::SetSynchronizeLMT, &VunaApplication::GetSynchronizeLMT));
    node->Add(mci::factory::Create<qreg::RegFncEnumNode<CustomFnc_e>>(
        "custom", this, &VunaApplication::SetCustomConnFnc, &VunaApplication::GetCustomConnFnc, c_setting));

    using UNode = qreg::RegReferenceNode<unsigned int, uint32_t>;
    using DNode = qreg::RegReferenceNode<double, double>;
    mci::TreeNodePtr clock = mci::factory::Create<qreg::RegNode>("clock_info", c_aux);
    mci::TreeNodePtr decimation = mci::factory::Create<qreg::RegNode>("decimation", c_branch);
    decimation->Add(mci::factory::Create<UNode>("tbt", m_tbt_decimation, c_readOnly));
    mci::TreeNodePtr fa = mci::factory::Create<UNode>("fa", m_fa_decimation, c_readOnly);
    fa->Add(mci::factory::Create<UNode>("cic", m_cic_decimation, c_readOnly));
    fa->Add(mci::factory::Create<UNode>("fir", m_fir_decimation, c_readOnly));
    decimation->Add(fa);
    decimation->Add(mci::factory::Create<UNode>("sa", m_sa_decimation, c_readOnly));
    decimation->Add(mci::factory::Create<UNode>("sw", m_sw_decimation, c_readOnly));
    clock->Add(decimation);
    clock->Add(mci::factory::Create<UNode>("harmonic_number", m_harmonic_number, c_readOnly));
    clock->Add(mci::factory::Create<DNode>("rf_frequency", m_rf_freq, c_readOnly));
    clock->Add(mci::factory::Create<DNode>("if_frequency", m_if_freq, c_readOnly));
    clock->Add(mci::factory::Create<DNode>("tbt_frequency", m_tbt_freq, c_readOnly));
    clock->Add(mci::factory::Create<DNode>("nco_frequency", m_nco_freq, c_readOnly));
    clock->Add(mci::factory::Create<UNode>("adc_frequency", m_adc_freq, c_readOnly));
    node->Add(clock);

    if (!CheckTim(__LINE__, __PRETTY_FUNCTION__)) {
        return;
    }
    mci::TreeNodePtr pll = mci::factory::Create<qreg::SignalNode>("pll", m_pll_signal);
    m_pll_node = std::dynamic_pointer_cast<qreg::SignalNode>(pll);
    m_tim->GetTreeNode()->Add(pll);
}

bool VunaApplication::IsPllLocked() const
{
    return m_pll != nullptr && m_pll->IsLocked();
}

bool VunaApplication::GetCustomConnFnc(CustomFnc_e& f) const
{
    std::lock_guard<std::mutex> lock(m_custom_mutex);
    f = m_custom_fnc;
    return true;
}

bool VunaApplication::SetCustomConnFnc(const CustomFnc_e& f)
{
    QSTD_TRACE_FNC();
    std::lock_guard<std::mutex> lock(m_custom_mutex);
    if (CheckTim(__LINE__, __PRETTY_FUNCTION__) && m_tim->GetTriggerGeneration()) {
        const unsigned control = f == fa_clk ? c_lemo_fa_clk : c_lemo_fofb_switch;
        m_tim->GetTriggerGeneration()->SetLemoControl(control);
    }
    m_custom_fnc = f;
    return true;
}

bool VunaApplication::GetSynchronizeLMT(unsigned long long& lmt) const
{
    lmt = m_sync_lmt.load();
    return true;
}

bool VunaApplication::SetSynchronizeLMT(const unsigned long long& lmt)
{
    QSTD_TRACE_FNC();
    qstd::LogInfo("Synchronize LMT for all application boards to - " + std::to_string(lmt) + ".");
    bool all = true;
    const auto announce = [&all, lmt](qapp::ZemtraBoard& board, const std::function<bool()>& call) {
        try {
            if (!call()) {
                qstd::LogError("Board " + board.GetName() + " did not accept LMT " + std::to_string(lmt) + ".");
                all = false;
            }
        } catch (const std::exception& e) {
            qstd::LogError("Could not announce LMT " + std::to_string(lmt) + " to board " + board.GetName() + ": " +
                           e.what());
            all = false;
        }
    };
    for (RafBoard* raf : GetRafBoards()) {
        announce(*raf, [raf, lmt] { return raf->AnnounceLMTSync(lmt); });
    }
    if (GdxBoard* gdx = GetGdxBoard()) {
        announce(*gdx, [gdx, lmt] { return gdx->AnnounceLMTSync(lmt); });
    }
    if (!all) {
        return false;
    }
    m_sync_lmt.store(lmt);
    return true;
}

void VunaApplication::OnSyncAnnounced(qfeature::LocalTimingSync& sync)
{
    QSTD_TRACE(1, sync.GetBoard().GetName() << " is announced for synchronization");
    m_synchronizer.Increment();
}

void VunaApplication::OnSynchronized(qfeature::LocalTimingSync& sync)
{
    QSTD_TRACE(1, sync.GetBoard().GetName() << " gets synchronized");
    m_synchronizer.Decrement();
}

void VunaApplication::ApplyLocalSynchronization()
{
    QSTD_TRACE_FNC();
    m_synchronizer.Reset(0);
    SetSynchronizeLMT(0);
    if (CheckTim(__LINE__, __PRETTY_FUNCTION__)) {
        m_tim->CreateTrigEvent();
    }
    QSTD_TRACE(1, " waiting for boards to become synchronized ");
    if (!m_synchronizer.Wait()) {
        qstd::LogWarning("Not all boards get synchronized in expected timeout  " +
                         std::to_string(m_synchronizer.Timeout()) + " ms.");
    }
    QSTD_TRACE(1, " waiting for boards to become synchronized is finished");
}

bool VunaApplication::SetNCOFreq(unsigned value)
{
    bool all = true;
    for (RafBoard* raf : GetRafBoards()) {
        if (!raf->SetNCOFreq(value)) {
            qstd::LogError("Could not set NCO frequency on board " + raf->GetName() + " to value " +
                           std::to_string(value));
            all = false;
        }
    }
    return all;
}

void VunaApplication::SetSyncStateMachines(SyncStateMachine::State_e state)
{
    for (RafBoard* raf : GetRafBoards()) {
        raf->SetSyncState(state);
    }
    if (GdxBoard* gdx = GetGdxBoard()) {
        gdx->SetSyncState(state);
    }
}

void VunaApplication::SetPllStatusLocked(bool locked)
{
    for (RafBoard* raf : GetRafBoards()) {
        if (!raf->SetPllStatusLocked(locked)) {
            qstd::LogError("Could not set PLL status on board " + raf->GetName() + " to value " + (locked ? "1" : "0"));
        }
    }
}

void VunaApplication::OnPostInit()
{
    QSTD_TRACE_FNC();
    AdjustOversampling();
}

void VunaApplication::AdjustOversampling()
{
    QSTD_TRACE_FNC();
    const std::vector<RafBoard*> rafs = GetRafBoards();
    if (rafs.empty()) {
        return;
    }
    for (unsigned pass = 0; pass < c_oversampling_passes; ++pass) {
        bool pending = false;
        for (RafBoard* raf : rafs) {
            if (!raf->AdjustSignalOversampling(c_trigger_signal)) {
                qstd::LogWarning("Could not adjust trigger oversampling on RAF board" + raf->GetName() +
                                 " iteration: " + std::to_string(pass));
                pending = true;
            }
        }
        if (!pending) {
            return;
        }
        usleep(c_oversampling_pause_us);
        if (CheckTim(__LINE__, __PRETTY_FUNCTION__)) {
            m_tim->CreateTrigEvent();
        }
    }
    qstd::LogWarning("Could not adjust trigger oversampling on RAF board(s). ");
}

void VunaApplication::OnPreConfig()
{
    QSTD_TRACE_FNC();
    if (CheckTim(__LINE__, __PRETTY_FUNCTION__) && m_tim->GetTriggerGeneration()) {
        m_tim->GetTriggerGeneration()->SetTriggerSource(1, 1u);
    }
}

bool VunaApplication::GetMaxAdcDuration(uint32_t& out) const
{
    const std::vector<RafBoard*> rafs = GetRafBoards();
    if (rafs.empty()) {
        return false;
    }
    uint32_t longest = 0;
    for (RafBoard* raf : rafs) {
        unsigned duration = 0;
        if (raf->GetTsm() && raf->GetTsm()->GetDuration(duration)) {
            longest = std::max<uint32_t>(longest, duration);
        }
    }
    out = longest;
    return true;
}

void VunaApplication::OnPostConfig()
{
    QSTD_TRACE_FNC();
    if (CheckTim(__LINE__, __PRETTY_FUNCTION__)) {
        m_tim->SetTrigSourceOff();
        qfeature::TimTriggerGeneration* triggers = m_tim->GetTriggerGeneration();
        uint32_t duration = 0;
        if (triggers && GetMaxAdcDuration(duration)) {
            QSTD_ASSERT(m_adc_freq != 0);
            const uint32_t debouncer = std::max<uint32_t>(m_adc_freq / 20, 2 * duration);
            triggers->SetTriggerDebouncer(2, debouncer);
        }
        auto* first = dynamic_cast<RafBoard*>(GetBoard(bmc::eBoardRaf));
        if (triggers && first) {
            const uint32_t debouncer = (first->GetTbtDecimation() * 4u) / 5u;
            triggers->SetTriggerDebouncer(3, debouncer);
        }
    }
    if (m_pll_output) {
        m_pll_output->SetEnabled(true);
    }
}

uint32_t VunaApplication::GetPresentRafs() const
{
    uint32_t mask = 0;
    for (RafBoard* raf : GetRafBoards()) {
        std::istringstream in(raf->Uri().GetId());
        unsigned slot = 0;
        if (!(in >> slot)) {
            throw qstd::Exception("Error converting bmc::board slot string to integer.", true);
        }
        if (slot - 3u > 3u) {
            throw qstd::Exception("Cannot determine unique ID, based on slot number " + std::to_string(slot), true);
        }
        mask |= 1u << (slot - 3u);
    }
    return mask;
}

void VunaApplication::EnableFaBuf()
{
    if (GetGdxBoard() == nullptr) {
        return;
    }
    for (RafBoard* raf : GetRafBoards()) {
        raf->EnableFaBuf();
    }
}

void VunaApplication::OnStartRunning()
{
    QSTD_TRACE_FNC();
    if (GdxBoard* gdx = GetGdxBoard()) {
        if (GdxFaFilter* filter = gdx->GetFaFilter()) {
            filter->SetLvdsSerializer(GetPresentRafs());
        }
        EnableFaBuf();
        gdx->CreateSignals();
        gdx->StartGroupingGbe();
    }
    ApplyLocalSynchronization();
    if (!CheckTim(__LINE__, __PRETTY_FUNCTION__)) {
        return;
    }
    const timespec pause{0, c_external_trigger_pause_ns};
    nanosleep(&pause, nullptr);
    m_tim->SetTrigSourceExt();
}

void VunaApplication::OnShutdown()
{
    QSTD_TRACE_FNC();
    // The stream goes down first: its clients' reads end, among them the
    // output's, whose thread then leaves its loop. The node lets go of the
    // stream before the output is joined and the stream deleted.
    if (m_pll_signal) {
        m_pll_signal->ShutDown();
    }
    if (m_pll_node) {
        m_pll_node->DetachSource();
    }
    if (m_pll_output) {
        delete m_pll_output;
        m_pll_output = nullptr;
    }
    if (m_pll_signal) {
        delete m_pll_signal;
        m_pll_signal = nullptr;
    }
    if (m_tim) {
        m_tim->SetTrigSourceOff();
    }
}
