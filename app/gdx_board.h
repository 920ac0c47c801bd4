#pragma once
// The GDX board (board type 125): FA data grouping and fast orbit feedback.
// Its constructor maps and creates the board's base objects (history buffer,
// bus controllers, LVDS receiver, clock and memory devices), its own event
// stream "event", its event table "events" and its local timing; the
// grouping, FA filter, SFP control, Ethernet streamer and feedback blocks
// of the userblock the FPGA reports join the board with their objects.
//
// At every synchronisation the board restarts its FA chain together with the
// RAF boards' (GdxFaInit, through the application's FA synchronisation
// controller).

#include "acquisition/sa_fa_atom.h"
#include "app/pll_hooks.h"
#include "app/sync_state_machine.h"
#include "gdx/gdx_feature.h"
#include "platform/qapp/zemtra_board.h"
#include "platform/qfeature/events.h"
#include "platform/qsig/random_access_buffer.h"
#include "platform/qsig/zemtra_event_stream.h"
#include "qsig/data_on_demand_source.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class GdxFaFilter;
class GdxHistoryBuffer;
class GdxHouseKeeping;
class GdxSfpControl;
class FaSyncController;
class FOFB;
class FofbStateMachine;
class GBE;
class SerOutput;
class LocalTimingRaf;
class ZemtraGrouping;
namespace qapp {
class ZemtraI2cBusController;
class ZemtraSpiBusController;
class ZemtraLvdsReceiver;
class SI57x;
class SI5338;
class SFP_EEPROM;
class SFP_PHY;
class SPD_EEPROM;
class SerialFlash;
} // namespace qapp
namespace qreg {
class SignalNode;
}

// Element of the GDX board's FA signal: the FA samples of the four RAF
// boards (slots 3 to 6).
using GdxFaTraits = qsig::SignalTraits<int, std::array<SaFaAtom, 4>, 1>;

class GdxBoard : public qapp::ZemtraBoard {
public:
    using GdxFaSource = qsig::DataOnDemandSource<GdxFaTraits>;
    // Read chunk of the FA source in atoms.
    static constexpr std::size_t c_fa_chunk = 15625;

    static constexpr int c_feature_offset = 0xF80000;
    static constexpr int c_history_offset = 0x400000;
    static constexpr int c_history_length = 0xC0;
    static constexpr int c_i2c_offset = 0xB00000;
    static constexpr int c_spi_offset = 0x307000;
    static constexpr int c_lvds_rx_offset = 0x600000;
    static constexpr int c_house_keeping_offset = 0x300000;
    static constexpr int c_fa_filter_offset = 0xF00000;
    static constexpr int c_grouping_offset = 0xF08000;
    static constexpr int c_sfp_control_offset = 0xF10000;
    static constexpr int c_gbe_magnet_offset = 0xF18000;
    static constexpr int c_gbe_orbit_offset = 0xF20000;
    static constexpr int c_fofb_offset = 0xF28000;
    static constexpr int c_ser_output_offset = 0xF38000;
    static constexpr int c_fofb_interlock_offset = 0xF40000;
    static constexpr int c_fofb_interlock_length = 0x10;
    // The FPGA's feedback state word in the grouping block.
    static constexpr std::size_t c_fofb_state_word = 0x20;
    // Payloads of the streamers: 16 bytes per group on the orbit streamer (at
    // most 253 groups), 4 bytes per enabled magnet and 8 more on the magnet
    // streamer.
    static constexpr unsigned c_orbit_groups_max = 253;
    static constexpr unsigned c_orbit_payload_per_group = 16;
    static constexpr unsigned c_magnet_payload_per_magnet = 4;
    static constexpr unsigned c_magnet_payload_base = 8;
    static constexpr int c_local_timing_offset = 0x202000;
    static constexpr int c_local_timing_length = 0x10;
    static constexpr int c_userblock_offset = 0xF00000;
    static constexpr int c_userblock_length = 0xFFFFF;
    // Group size at construction and the range of "group_size".
    static constexpr unsigned c_group_size_init = 1;
    static constexpr unsigned c_group_size_min = 1;
    static constexpr unsigned c_group_size_max = 256;

    // Request records to the event device (bytes 4 to 7) and the event that
    // confirms the FA start.
    static constexpr uint32_t c_fa_start_request = 1;
    static constexpr uint32_t c_fa_stop_request = 2;
    static constexpr uint64_t c_fa_start_event = 32;
    // Longest wait for the FA start event: the start lies 0.1 s ahead; the
    // bound keeps a board that never answers from holding the thread that
    // delivers its events.
    static constexpr std::chrono::milliseconds c_start_timeout{3000};
    // Start requests of one restart, each at a start LMT taken anew from the
    // board's time: a start event that went missing once does not leave the
    // chain stopped until the next synchronisation, and a board that never
    // answers holds the thread at most this many waits. A value of our
    // choosing, kept here.
    static constexpr unsigned c_start_attempts = 3;

    // The board's event table: {0 "sync"}, {2 "trigger"}, {3 "interlock"}.
    static const std::vector<qfeature::Events::Description> c_event_table;
    // Register map of the base and SFP-test userblocks.
    static const char* const c_user_block_config;

    GdxBoard(qapp::ZemtraApplication& application, const bmc::Board* board, PllHooks* hooks);
    ~GdxBoard() override;

    // Keeps the node; builds the XML register map for userblocks 0 and 1,
    // "group_size" for userblocks 2 to 4.
    void OnRegistryAdd(mci::TreeNodePtr& node) override;
    // Checks the history memory against the SPD EEPROM; applies the group
    // size (userblocks 2 to 4).
    void OnPostInit() override;
    // Userblocks 2 to 4: resets the grouping SFPs, whose exception ends the
    // configuration.
    void OnPostConfig() override;
    // Shuts the event stream down and withdraws it from its node (it is
    // deleted with the board, after its consumers), then stops the clock
    // generator.
    void OnShutdown() override;
    void OnAnnounceSync() override;
    void OnAdjustedTimestamp(long long timestamp, unsigned long long lmt) override;

    bool AnnounceLMTSync(unsigned long long lmt);
    bool SetSyncState(const SyncStateMachine::State_e& state);
    void EventReceived(unsigned long long id, unsigned long long a, unsigned long long b);

    // FA chain restart: once the chain runs, the FA source's controllers are
    // re-anchored at its start and enabled. True when both FA peer waits
    // succeeded. False also
    // when no start event arrives within c_start_timeout of any of
    // c_start_attempts start requests, and when a newer synchronisation is
    // announced while it runs: the chain then stays stopped for the restart
    // of that synchronisation, which follows at the next trigger (a start
    // now would lie on the time line that the trigger replaces).
    bool GdxFaInit();
    // Userblocks 2 to 4: FA filter, grouping, streamers and feedback. When
    // giveUp (if given) says so before a streamer's turn, the reset stops
    // there and returns false.
    bool ResetFaChain(const std::function<bool()>& giveUp = std::function<bool()>());
    // The FA on-demand source over the history memory with its circular
    // position controller; nothing without history memory.
    void CreateGdxFaSignal();
    // The "signals" branch with the signal nodes "fa" (when the FA source
    // exists) and "event"; once only.
    void CreateSignals();
    // Userblocks 2 to 4: grouping and the Ethernet streamers start.
    void StartGroupingGbe();
    // Sizes the magnet streamer's payload for n enabled magnets (n x 4 + 8
    // bytes); nothing without a magnet streamer.
    void SetGbeMagnets(unsigned n);

    // Group size of the FA data groups and the orbit streamer's payload. The
    // size is stored only when every block took it.
    bool SetGroupSize(const unsigned& size);
    bool GetGroupSize(unsigned& size) const;

    // The userblock type as the FPGA reports it now.
    eGDXUserblockType_e GetUserblock() const;
    // Builds the XML register map under node; a failure ends in the trace
    // "ZQT registry not loaded.".
    void OnRegistryAddXml(mci::TreeNodePtr& node);
    // The XML file of OnRegistryAddXml (c_user_block_config by default).
    void SetUserBlockConfig(const std::string& file) { m_user_block_config = file; }

    GdxFeature* GetFeature() const { return m_feature; }
    GdxHouseKeeping* GetHouseKeeping() const { return m_house_keeping; }
    // Null unless the userblock carries them (2 to 4).
    GdxFaFilter* GetFaFilter() const { return m_fa_filter; }
    ZemtraGrouping* GetGrouping() const { return m_grouping; }
    GdxSfpControl* GetSfpControl() const { return m_sfp_control; }
    // Null unless the userblock carries them: feedback 2 and 4; orbit
    // streamer 2 to 4; magnet streamer, state relay and serial outputs 4.
    FOFB* GetFofb() const { return m_fofb; }
    GBE* GetOrbitGbe() const { return m_gbe_orbit; }
    GBE* GetMagnetGbe() const { return m_gbe_magnet; }
    FofbStateMachine* GetFofbState() const { return m_fofb_state; }
    SerOutput* GetSerOutput() const { return m_ser_output; }
    // The magnet link's reconnection (the feedback block's "reconnect"):
    // resets the magnet SFP; false without SFP control.
    bool ResetMagnetSfp();
    GdxHistoryBuffer* GetHistoryBuffer() const { return m_history_buffer; }
    LocalTimingRaf* GetLocalTiming() const { return m_local_timing; }
    qsig::ZemtraEventStream* GetEventStream() const { return m_event.get(); }
    const std::shared_ptr<GdxFaSource>& GetFaSource() const { return m_fa_source; }
    const std::shared_ptr<qsig::RandomAccessBuffer>& GetFaBuffer() const { return m_fa_buffer; }
    qapp::SPD_EEPROM* GetSpdEeprom() const { return m_spd_eeprom; }
    qapp::SerialFlash* GetSerialFlash() const { return m_serial_flash; }
    const mci::TreeNodePtr& GetBoardNode() const { return m_node; }

private:
    // True when the FPGA reports a feedback userblock (2 to 4) now.
    bool IsFofbUserblock() const;
    // The application's FA synchronisation controller, or null.
    FaSyncController* FaPeers() const;
    // True when a synchronisation newer than the one being restarted is
    // announced (GdxFaInit).
    bool RestartOvertaken() const;
    // The same, traced.
    bool GiveWay() const;
    // The feedback block, the Ethernet streamers and, on userblock 4, the
    // state relay, serial outputs and feedback interlock, in that order.
    void CreateFeedbackBlocks();

    qapp::ZemtraI2cBusController* m_i2c_controller = nullptr;
    qapp::ZemtraSpiBusController* m_spi_controller = nullptr;
    GdxFeature* m_feature = nullptr;
    GdxHistoryBuffer* m_history_buffer = nullptr;
    GdxHouseKeeping* m_house_keeping = nullptr;
    GdxFaFilter* m_fa_filter = nullptr;
    ZemtraGrouping* m_grouping = nullptr;
    GdxSfpControl* m_sfp_control = nullptr;
    FOFB* m_fofb = nullptr;
    GBE* m_gbe_orbit = nullptr;
    GBE* m_gbe_magnet = nullptr;
    FofbStateMachine* m_fofb_state = nullptr;
    SerOutput* m_ser_output = nullptr;
    LocalTimingRaf* m_local_timing = nullptr;
    qapp::SI57x* m_si57x = nullptr;
    qapp::SI5338* m_si5338 = nullptr;
    qapp::SFP_EEPROM* m_sfp_eeprom = nullptr;
    qapp::SFP_PHY* m_sfp_phy = nullptr;
    qapp::SPD_EEPROM* m_spd_eeprom = nullptr;
    qapp::SerialFlash* m_serial_flash = nullptr;
    qapp::ZemtraLvdsReceiver* m_lvds_rx = nullptr;
    PllHooks* m_hooks;
    std::atomic<unsigned> m_group_size{c_group_size_init};
    // All-stopped rounds of the FA peers at the latest announcement: the
    // restart that follows waits for a round after it (the peers' stop for
    // that synchronisation may come before the restart gets to wait).
    std::atomic<uint64_t> m_peer_stops_at_announce{0};
    std::shared_ptr<qsig::RandomAccessBuffer> m_fa_buffer;
    std::shared_ptr<GdxFaSource> m_fa_source;
    std::unique_ptr<qsig::ZemtraEventStream> m_event;
    std::shared_ptr<qreg::SignalNode> m_event_node;
    std::shared_ptr<qreg::SignalNode> m_fa_node;
    mci::TreeNodePtr m_node;
    mci::TreeNodePtr m_signals_node;
    std::string m_user_block_config;
};
