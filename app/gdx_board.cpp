#include "app/gdx_board.h"

#include "app/fa_sync_controller.h"
#include "app/local_timing_raf.h"
#include "app/vuna_application.h"
#include "gdx/fofb.h"
#include "gdx/fofb_interlock.h"
#include "gdx/fofb_state_machine.h"
#include "gdx/gbe.h"
#include "gdx/gdx_fa_filter.h"
#include "gdx/gdx_history_buffer.h"
#include "gdx/gdx_house_keeping.h"
#include "gdx/gdx_sfp_control.h"
#include "gdx/ser_output.h"
#include "gdx/zemtra_grouping.h"
#include "mci/factory.h"
#include "mci/node_flags.h"
#include "platform/fpga/fpga_access.h"
#include "platform/qapp/create.h"
#include "platform/qapp/zemtra_i2c_bus_controller.h"
#include "platform/qapp/zemtra_i2c_device.h"
#include "platform/qapp/zemtra_lvds.h"
#include "platform/qapp/zemtra_runtime_builder.h"
#include "platform/qapp/zemtra_spi_bus_controller.h"
#include "platform/qreg/signal_node.h"
#include "platform/qsig/circular_buffer_controller.h"
#include "platform/qsig/event_filter.h"
#include "platform/qsig/random_access_zemtra.h"
#include "platform/qstd/exception.h"
#include "platform/qstd/log.h"
#include "platform/qstd/trace.h"
#include "qreg/expr.h"
#include "qreg/reg_fnc_node.h"

#include <algorithm>
#include <sstream>
#include <time.h>

const std::vector<qfeature::Events::Description> GdxBoard::c_event_table = {
    {0, "sync"},
    {2, "trigger"},
    {3, "interlock"},
};

namespace {

// Component names of the GDX FA atom: the sixteen SA/FA names of each RAF
// slot, suffixed with the slot (the r fields with an underscore).
std::vector<std::string> GdxFaNames()
{
    static const char* const base[] = {"Va",    "Vb",    "Vc", "Vd", "Sum", "Q",  "X",  "Y",
                                       "LMT_l", "LMT_h", "r1", "r2", "r3",  "r4", "r5", "status"};
    std::vector<std::string> names;
    for (int slot = 3; slot <= 6; ++slot) {
        for (const char* b : base) {
            const std::string name(b);
            const bool reserved = name.size() == 2 && name[0] == 'r';
            names.push_back(name + (reserved ? "_" : "") + std::to_string(slot));
        }
    }
    return names;
}

const bool c_gdx_fa_names_filled = (GdxFaTraits::names.Set(GdxFaNames()), true);

} // namespace

const char* const GdxBoard::c_user_block_config = "/var/opt/zemtra/cfg/gdx_user_block.xml";

GdxBoard::GdxBoard(qapp::ZemtraApplication& application, const bmc::Board* board, PllHooks* hooks)
    : qapp::ZemtraBoard(application, board), m_hooks(hooks), m_user_block_config(c_user_block_config)
{
    QSTD_TRACE_FNC();
    m_feature = RegisterObject<GdxFeature>(c_feature_offset, "feature");

    volatile FPGAMem_t* hbBlock = qapp::RequireMapped(MapRegisters(c_history_offset, c_history_length));
    m_history_buffer = qapp::Create<GdxHistoryBuffer>(*this, reinterpret_cast<volatile tGdxHB*>(hbBlock),
                                                      std::string("gdx_history_buf"));

    m_i2c_controller = RegisterObject<qapp::ZemtraI2cBusController>(c_i2c_offset, "i2c_controller", 11u);
    m_spi_controller = RegisterObject<qapp::ZemtraSpiBusController>(c_spi_offset, "spi_controller", 1u, false);
    m_lvds_rx = RegisterObject<qapp::ZemtraLvdsReceiver>(c_lvds_rx_offset, "LvdsRx");
    m_house_keeping = RegisterObject<GdxHouseKeeping>(c_house_keeping_offset, "house_keeping");

    using Byte = unsigned char;
    m_si57x = qapp::Create<qapp::SI57x>(*m_i2c_controller, std::string("SI57x"), Byte(0), Byte(0x55), Byte(0));
    m_si57x->GetDevice().SetVcxoFreq(125000000u);
    m_si57x->GetDevice().SetDeviceState(bmc::eDeviceOn);
    m_si5338 = qapp::Create<qapp::SI5338>(*m_i2c_controller, std::string("SI5338"), Byte(1), Byte(0x70), Byte(1));
    m_sfp_eeprom =
        qapp::Create<qapp::SFP_EEPROM>(*m_i2c_controller, std::string("SFP_EEPROM"), Byte(4), Byte(0xA0), Byte(3));
    m_sfp_phy = qapp::Create<qapp::SFP_PHY>(*m_i2c_controller, std::string("SFP_PHY"), Byte(5), Byte(0xAC), Byte(3));
    m_spd_eeprom =
        qapp::Create<qapp::SPD_EEPROM>(*m_i2c_controller, std::string("SPD_EEPROM"), Byte(10), Byte(0x53), Byte(6));

    try {
        m_serial_flash =
            qapp::Create<qapp::SerialFlash>(*m_spi_controller, std::string("serial_flash"), Byte(0), false);
    } catch (const qstd::Exception& e) {
        QSTD_TRACE(1, "serial_flash device could not be instantiated: " << e.what() << ".");
        m_serial_flash = nullptr;
    } catch (...) {
        QSTD_TRACE(1, "serial_flash device could not be instantiated because of unknown reason.");
        m_serial_flash = nullptr;
    }

    m_feature->SetRegistryFlags(mci::flags::c_aux);
    m_i2c_controller->SetRegistryFlags(mci::flags::c_aux);
    m_spi_controller->SetRegistryFlags(mci::flags::c_aux);
    m_si57x->SetRegistryFlags(mci::flags::c_readOnly);
    m_si5338->SetRegistryFlags(mci::flags::c_readOnly);
    m_house_keeping->SetRegistryFlags(mci::flags::c_aux);

    const std::string boardName = board ? board->GetName() : GetName();
    const std::string device = board ? board->CreateDeviceName(bmc::eAccessEvents, 0) : GetName() + ".event";
    m_event = std::make_unique<qsig::ZemtraEventStream>(GetDecoratedName("event"), device, true, boardName);

    if (IsFofbUserblock()) {
        m_fa_filter = RegisterObject<GdxFaFilter>(c_fa_filter_offset, "filter");
        m_grouping = RegisterObject<ZemtraGrouping>(c_grouping_offset, "grouping");
        m_sfp_control = RegisterObject<GdxSfpControl>(c_sfp_control_offset, "sfp_control");
        CreateFeedbackBlocks();
        m_fa_filter->SetRegistryFlags(mci::flags::c_aux);
    }

    if (m_history_buffer->IsMemoryPresent() && board != nullptr) {
        m_fa_buffer = std::make_shared<qsig::RandomAccessZemtra>(board->CreateDeviceName(bmc::eAccessRandom, 0), "");
    }

    QSTD_TRACE(1, "Creating qfeature::Events.");
    qapp::Create<qfeature::Events>(
        *this, std::string("events"), m_event.get(), c_event_table,
        [this](unsigned long long id, unsigned long long a, unsigned long long b) { EventReceived(id, a, b); });

    QSTD_TRACE(1, "Creating LocalTimingRaf.");
    volatile FPGAMem_t* ltBlock = qapp::RequireMapped(MapRegisters(c_local_timing_offset, c_local_timing_length));
    m_local_timing = qapp::Create<LocalTimingRaf>(*this, ltBlock, std::string("local_timing"), m_event.get(),
                                                  static_cast<qfeature::HistoryBuffer*>(m_history_buffer));
}

GdxBoard::~GdxBoard()
{
    QSTD_TRACE_FNC();
    // The objects go while the board is still whole, and the event stream
    // only after its consumers ("events", "local_timing") are gone.
    DeleteChildren();
    if (m_fa_node) {
        m_fa_node->DetachSource();
    }
    m_fa_source.reset();
    m_fa_buffer.reset();
    if (m_event_node) {
        m_event_node->DetachSource();
    }
    if (m_event) {
        m_event->ShutDown();
    }
    m_event.reset();
}

eGDXUserblockType_e GdxBoard::GetUserblock() const
{
    return m_feature->GetUserblock();
}

void GdxBoard::CreateFeedbackBlocks()
{
    const eGDXUserblockType_e type = GetUserblock();
    if (type == eUbBeta || type == eUbDelta) {
        m_fofb = RegisterObject<FOFB>(c_fofb_offset, "fofb", type);
    }
    m_gbe_orbit = RegisterObject<GBE>(c_gbe_orbit_offset, type == eUbBeta ? "gbe" : "gbe_orbit", m_sfp_eeprom,
                                      m_sfp_phy, m_house_keeping, eSfpSlot1);
    if (type != eUbDelta) {
        return;
    }
    m_gbe_magnet =
        RegisterObject<GBE>(c_gbe_magnet_offset, "gbe_magnet", m_sfp_eeprom, m_sfp_phy, m_house_keeping, eSfpSlot0);
    volatile uint32_t& state = fpga::Word32(m_grouping->GetBlock(), c_fofb_state_word);
    m_fofb_state = qapp::Create<FofbStateMachine>(*m_fofb, std::string("state"), state, m_event.get());
    m_ser_output = RegisterObject<SerOutput>(c_ser_output_offset, "ser_output", m_fofb_state);
    volatile FPGAMem_t* interlock = qapp::RequireMapped(MapRegisters(c_fofb_interlock_offset, c_fofb_interlock_length));
    qapp::Create<FofbInterlock>(*m_fofb, interlock, std::string("interlock"));
}

bool GdxBoard::IsFofbUserblock() const
{
    const eGDXUserblockType_e type = GetUserblock();
    return type == eUbBeta || type == eUbGamma || type == eUbDelta;
}

void GdxBoard::OnRegistryAdd(mci::TreeNodePtr& node)
{
    QSTD_TRACE_FNC();
    using namespace mci::flags;
    m_node = node;
    const eGDXUserblockType_e type = GetUserblock();
    if (type == eUbAlpha) {
        qstd::LogInfo("Detected GDX-BASE ZQT userblock.");
        OnRegistryAddXml(node);
    } else if (type == eUbTest) {
        qstd::LogInfo("Detected GDX-SFPTEST ZQT userblock.");
        OnRegistryAddXml(node);
    } else if (IsFofbUserblock()) {
        qstd::LogInfo("Detected FOFB-SUV ZQT userblock.");
        node->Add(mci::factory::Create<qreg::RegFncNode<unsigned>>(
            qreg::Expr<qreg::expr::Range<unsigned, unsigned>>(c_group_size_min, c_group_size_max), "group_size", this,
            &GdxBoard::SetGroupSize, &GdxBoard::GetGroupSize, c_setting));
    } else {
        qstd::LogInfo("Warning: Unknown GDX ZQT userblock: " + std::to_string(static_cast<unsigned>(type)));
    }
}

void GdxBoard::OnRegistryAddXml(mci::TreeNodePtr& node)
{
    QSTD_TRACE_FNC();
    using namespace mci::flags;
    mci::TreeNodePtr zqt = mci::factory::Create<qreg::RegNode>("zqt_reg", c_branch);
    node->Add(zqt);
    volatile FPGAMem_t* window = MapRegisters(c_userblock_offset, c_userblock_length);
    try {
        qapp::RequireMapped(window);
        qapp::ZemtraRuntimeBuilder builder(zqt, const_cast<FPGAMem_t*>(window), c_userblock_length, m_user_block_config,
                                           4);
        builder.BuildRegistry();
    } catch (...) {
        QSTD_TRACE(2, "ZQT registry not loaded.");
        return;
    }
    QSTD_TRACE(2, "ZQT registry loaded successfully.");
}

void GdxBoard::OnPostInit()
{
    QSTD_TRACE_FNC();
    if (m_history_buffer && m_spd_eeprom && !m_history_buffer->RamParMatchingCheck(m_spd_eeprom->GetRamCtrlPar())) {
        qstd::LogError("Memory controller & ram spd eeprom par. mismatch!");
        throw qstd::Exception("Memory ctrl. & ram SPD eeprom par. mismatch!", true);
    }
    if (IsFofbUserblock() && m_grouping != nullptr) {
        SetGroupSize(m_group_size.load());
    }
}

void GdxBoard::OnPostConfig()
{
    QSTD_TRACE_FNC();
    // The blocks exist only when the userblock carried them at construction.
    if (!IsFofbUserblock() || m_sfp_control == nullptr) {
        return;
    }
    QSTD_TRACE(2, "Waiting for Si5338 clock to stabilize...");
    const timespec pause{0, 100000};
    nanosleep(&pause, nullptr);
    m_sfp_control->ResetGroupingSfp();
    for (GBE* gbe : {m_gbe_orbit, m_gbe_magnet}) {
        if (gbe) {
            gbe->Init();
        }
    }
}

void GdxBoard::OnShutdown()
{
    QSTD_TRACE_FNC();
    if (m_event) {
        m_event->ShutDown();
    }
    if (m_event_node) {
        m_event_node->DetachSource();
    }
    // The FA source is withdrawn from its node too; the board keeps it until
    // it is destroyed.
    if (m_fa_node) {
        m_fa_node->DetachSource();
    }
    if (m_si5338) {
        m_si5338->GetDevice().Si5338StopDevice();
    }
}

void GdxBoard::OnAnnounceSync()
{
    QSTD_TRACE_FNC();
    if (IsFofbUserblock() && m_fofb) {
        m_fofb->AnnounceResetMagnetCounter();
    }
    if (FaSyncController* peers = FaPeers()) {
        m_peer_stops_at_announce.store(peers->GetStoppedRounds());
    }
    if (m_fa_source) {
        m_fa_source->EnableAllControllers(false);
    }
}

void GdxBoard::OnAdjustedTimestamp(long long /*timestamp*/, unsigned long long /*lmt*/)
{
    QSTD_TRACE_FNC();
    GdxFaInit();
}

bool GdxBoard::AnnounceLMTSync(unsigned long long lmt)
{
    QSTD_TRACE_FNC();
    return m_local_timing != nullptr && m_local_timing->AnnounceSync(lmt);
}

bool GdxBoard::SetSyncState(const SyncStateMachine::State_e& state)
{
    return m_local_timing != nullptr && m_local_timing->SetSyncState(state);
}

void GdxBoard::EventReceived(unsigned long long id, unsigned long long a, unsigned long long b)
{
    if (id == 2 && m_local_timing) {
        m_local_timing->Synchronize(2, a, b);
    }
}

FaSyncController* GdxBoard::FaPeers() const
{
    auto* app = dynamic_cast<VunaApplication*>(&GetApplication());
    return app ? app->GetFaSyncController() : nullptr;
}

bool GdxBoard::RestartOvertaken() const
{
    return m_local_timing != nullptr && m_local_timing->IsSyncPending();
}

bool GdxBoard::GiveWay() const
{
    if (!RestartOvertaken()) {
        return false;
    }
    QSTD_TRACE(1,
               "GDX-FA restart gives way to the synchronisation to LMT " << m_local_timing->GetAnnouncedLMT() << ".");
    return true;
}

bool GdxBoard::GdxFaInit()
{
    QSTD_TRACE_FNC();
    if (!m_event) {
        return false;
    }
    qsig::ZemtraEventStream::Client client(m_event.get(), "gdx-fa_init_event_client",
                                           static_cast<unsigned>(2 * (qsig::c_maxEventId + 1)));
    client.GetQueue().SetFilter(std::make_shared<qsig::EventFilter>(std::initializer_list<uint64_t>{c_fa_start_event}));
    client.GetQueue().SetTimeout(static_cast<uint64_t>(c_start_timeout.count()));
    const qsig::SuccessCode_e opened = client.Open();
    if (opened != qsig::eSuccess) {
        QSTD_TRACE(1, "Can't open: " << opened);
        return false;
    }

    m_event->WriteEvent(qsig::EventStruct::Request(c_fa_stop_request));
    qstd::LogInfo("GDX-FA signal stopped.");

    FaSyncController* peers = dynamic_cast<VunaApplication&>(GetApplication()).GetFaSyncController();
    const FaSyncController::GiveUp overtaken = [this] { return RestartOvertaken(); };
    bool stopped = true;
    bool running = true;
    uint64_t runs = 0;
    if (peers) {
        // The peers' stop for this synchronisation counts from its
        // announcement on, even when it came before this wait.
        stopped = peers->WaitForAllStopped(m_peer_stops_at_announce.load(), overtaken);
        runs = peers->GetRunningRounds();
    }
    if (GiveWay() || !ResetFaChain(overtaken)) {
        return false;
    }
    if (peers) {
        running = peers->WaitForAllRunning(runs, overtaken);
    }

    const uint64_t adc = m_hooks ? m_hooks->GetDefAdcFreq() : 0;
    uint64_t start = 0;
    for (unsigned attempt = 1;; ++attempt) {
        // The start lies on the board's time line of this moment, which a
        // newer synchronisation replaces at its trigger.
        if (GiveWay()) {
            return false;
        }
        start = client.GetCurrentMachineTime().Value() + adc / 10;
        if (m_history_buffer) {
            m_history_buffer->StartDodOnEvent();
        }
        m_event->WriteEvent(qsig::EventStruct::Request(c_fa_start_request, start));

        qsig::EventStruct event;
        const qsig::SuccessCode_e rc = client.Read(event);
        if (rc == qsig::eSuccess) {
            break;
        }
        if (rc != qsig::eTimeout) {
            std::ostringstream os;
            os << "Failed to start GDX-FA signal. "
               << "Event signal closed: " << rc;
            throw qstd::Exception(os.str(), true);
        }
        qstd::LogError("Failed to start GDX-FA signal. No start event within " +
                       std::to_string(c_start_timeout.count()) + " ms.");
        if (attempt == c_start_attempts) {
            return false;
        }
    }
    qstd::LogInfo("GDX-FA signal started at LMT=" + std::to_string(start));
    if (GiveWay()) {
        return false;
    }
    if (m_fa_source) {
        // Enabled too, as the RAF boards' restarts enable theirs: the
        // synchronisation's own hook enables them before this restart, and
        // an announcement's hooks that end after that hook (the trigger came
        // while they ran) would otherwise leave them disabled until the next
        // synchronisation.
        m_fa_source->ResetAllControllers(start);
        m_fa_source->EnableAllControllers(true);
    }
    return stopped && running;
}

bool GdxBoard::ResetFaChain(const std::function<bool()>& giveUp)
{
    if (!IsFofbUserblock() || m_fa_filter == nullptr || m_grouping == nullptr) {
        return true;
    }
    QSTD_TRACE(1, "Resetting GDX FA chain...");
    m_fa_filter->Reset();
    m_grouping->Reset();
    // Each streamer waits for its link (about 0.3 s): a restart that gives
    // way stops before the next one, and its successor resets every block.
    for (GBE* gbe : {m_gbe_orbit, m_gbe_magnet}) {
        if (gbe) {
            if (giveUp && giveUp()) {
                QSTD_TRACE(1, "GDX FA chain reset left to the next restart.");
                return false;
            }
            gbe->Reset();
            gbe->Init();
        }
    }
    if (m_fofb) {
        m_fofb->Reset();
    }
    return true;
}

void GdxBoard::CreateGdxFaSignal()
{
    QSTD_TRACE_FNC();
    if (!m_fa_buffer) {
        QSTD_TRACE(1, "History Buffer is not supported");
        return;
    }
    const std::size_t bytes = m_fa_buffer->GetByteSize();
    QSTD_TRACE(1, "Creating GdxFaSource");
    m_fa_source = std::make_shared<GdxFaSource>("gdx-fa-source", m_fa_buffer, 0, bytes, c_fa_chunk, qsig::ePriorityHigh,
                                                GdxFaTraits(), GetName());
    const std::size_t atoms = bytes / m_fa_source->AtomSize();
    const uint64_t adc = m_hooks ? m_hooks->GetDefAdcFreq() : 0;
    const uint64_t decimation =
        m_hooks ? static_cast<uint64_t>(m_hooks->GetDefTbtDecimation()) * m_hooks->GetDefFaDecimation() : 0;
    QSTD_TRACE(1, "Creating CircualBufferController: "
                      << " size: " << atoms << ", ADC frequency: " << adc << ", decimation: " << decimation);
    auto controller = std::make_shared<qsig::CircularBufferController>(atoms, adc, 2);
    QSTD_TRACE(1, "Configuring SegmentedBufferController");
    controller->SetTimeout(60u);
    controller->SetDecimation(decimation);
    {
        qsig::ZemtraEventStream::Client client(m_event.get(), "gdx-ctrl-client",
                                               static_cast<unsigned>(2 * (qsig::c_maxEventId + 1)));
        controller->SetEventClient(client);
    }
    QSTD_TRACE(1, "Configuring GdxFaSource");
    m_fa_source->SetPositionController(controller);
}

void GdxBoard::CreateSignals()
{
    QSTD_TRACE_FNC();
    using namespace mci::flags;
    if (!m_node || m_signals_node) {
        return;
    }
    CreateGdxFaSignal();
    m_signals_node = mci::factory::Create<qreg::RegNode>("signals", c_branch);
    m_node->Add(m_signals_node);
    if (m_fa_source) {
        mci::TreeNodePtr faNode = mci::factory::Create<qreg::SignalNode>("fa", m_fa_source.get(), c_readOnly);
        m_fa_node = std::dynamic_pointer_cast<qreg::SignalNode>(faNode);
        m_signals_node->Add(faNode);
    }
    mci::TreeNodePtr eventNode = mci::factory::Create<qreg::SignalNode>("event", m_event.get(), c_readOnly);
    m_event_node = std::dynamic_pointer_cast<qreg::SignalNode>(eventNode);
    m_signals_node->Add(eventNode);
}

void GdxBoard::SetGbeMagnets(unsigned n)
{
    QSTD_TRACE_FNC();
    if (m_gbe_magnet) {
        m_gbe_magnet->SetPayloadSize(n * c_magnet_payload_per_magnet + c_magnet_payload_base);
    }
}

bool GdxBoard::ResetMagnetSfp()
{
    return m_sfp_control != nullptr && m_sfp_control->ResetMagnetSfp();
}

void GdxBoard::StartGroupingGbe()
{
    QSTD_TRACE_FNC();
    if (!IsFofbUserblock() || m_grouping == nullptr) {
        return;
    }
    m_grouping->Enable();
    for (GBE* gbe : {m_gbe_orbit, m_gbe_magnet}) {
        if (gbe) {
            gbe->Start();
        }
    }
}

bool GdxBoard::SetGroupSize(const unsigned& size)
{
    QSTD_TRACE_FNC();
    const bool grouped = m_grouping != nullptr && m_grouping->SetGroupSize(size);
    // Both writes are always made; the size is kept only when both took it.
    const bool sized = m_gbe_orbit != nullptr &&
                       m_gbe_orbit->SetPayloadSize(std::min(size, c_orbit_groups_max) * c_orbit_payload_per_group);
    if (grouped && sized) {
        m_group_size.store(size);
    }
    return grouped && sized;
}

bool GdxBoard::GetGroupSize(unsigned& size) const
{
    size = m_group_size.load();
    return true;
}
