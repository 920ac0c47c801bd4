#pragma once
// Simulated gigabit-Ethernet streamer of a GDX board: the block's MDIO
// master with the SFP's PHY behind it, the Ethernet core's status, the
// header RAM and the control word, and a sender that turns the frames the
// FPGA would put on the wire into UDP datagrams on the loopback interface.
//
// MDIO: a command written to register 0x00 is a clause-22 management frame;
// it completes after the transaction time (64 bits at 2.5 MHz by default),
// and bit 31 of register 0x00 then reads 1, with the value read in bits
// 0-15. A command written while another is running aborts it (counted as a
// collision). Only PHY address 1 answers. The PHY's control register
// restarts auto-negotiation (bit 9) and isolates (bit 10) or powers down
// (bit 11) the PHY; the link comes up c_linkDelay after the last restart or
// core reset when the cage holds a module.
//
// Sender: while the control word's enable bit is set (or once after a write
// of force TX), the streamer sends one frame per c_framePeriod (the frame
// rate of the simulation, below the chassis' FA rate), waking every
// c_sendTick and sending the frames due since. The orbit streamer's payload
// is the grouped FA data of the FA period at which the frame leaves: entry k
// (16 bytes) holds X, Y, Sum and status of the BPM of the RAF board in slot
// k + 3 as the board's FA history records it (sim/gdx_models.h), the entries
// of BPMs beyond those four 0 (the simulated ring has no other BPM). The
// magnet streamer's payload is the frame's LMT (8 bytes) followed by one
// 32-bit value per enabled magnet, 0 (no corrector value is computed). A frame is built from the
// header RAM and the control word exactly as the FPGA would: the header
// bytes from the header start, the frame length from the frame end. Frames
// whose header an IP stack would drop (wrong EtherType, version, protocol,
// lengths or IPv4 checksum) are not sent but counted. The datagram goes to
// the destination IP and port of the header with the frame's payload; the
// simulation sends only to loopback addresses (127.0.0.0/8) and counts
// other destinations as not routed.

#include "platform/fpga/fpga_access.h"

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sim {

class Board;

// Offsets in the GDX board's FPGA space and the SFP cages of the streamers.
constexpr size_t c_gdxOrbitGbeOffset = 0xF20000;
constexpr size_t c_gdxMagnetGbeOffset = 0xF18000;
constexpr size_t c_gdxGbeSize = 0x2000;
constexpr unsigned c_gdxOrbitCage = 1;
constexpr unsigned c_gdxMagnetCage = 0;

class GbeModel : public fpga::RegisterModel {
public:
    // Register block.
    static constexpr size_t c_mdio = 0x00;
    static constexpr size_t c_reset = 0x08;
    static constexpr size_t c_control = 0x10;
    static constexpr size_t c_forceTx = 0x18;
    static constexpr size_t c_status = 0x20;
    static constexpr size_t c_coreStatus = 0x28;
    static constexpr size_t c_headerRam = 0x1000;
    static constexpr size_t c_headerWords = 1024;
    static constexpr uint32_t c_enable = 1u << 31;

    static constexpr std::chrono::nanoseconds c_mdioTime{25600};
    static constexpr std::chrono::milliseconds c_linkDelay{20};
    static constexpr std::chrono::microseconds c_framePeriod{1000};
    static constexpr std::chrono::milliseconds c_sendTick{10};

    // Fills one frame's payload: frame counts the frames sent so far, lmt is
    // the board's LMT when the frame leaves.
    using PayloadSource = std::function<void(uint8_t* data, size_t bytes, uint64_t frame, uint64_t lmt)>;

    GbeModel(Board& board, unsigned cage);
    ~GbeModel() override;

    bool Read32(size_t offset, uint32_t& value) override;
    bool Write32(size_t offset, uint32_t value) override;

    // Fault and test controls.
    void SetMdioStuck(bool stuck);
    void SetLinkFault(bool fault);
    void SetSpeed(unsigned code);
    // Replaces the payload; the default is the magnet streamer's (all fields
    // little-endian).
    void SetPayloadSource(PayloadSource source);
    // Ends the sender (also at destruction); the streamer sends no more.
    void Stop();

    unsigned Cage() const { return m_cage; }
    uint16_t PhyRegister(unsigned reg) const;
    uint64_t MdioTransactions() const { return m_transactions.load(); }
    uint64_t MdioCollisions() const { return m_collisions.load(); }
    // Frames not sent: a header an IP stack would drop, or a failed send.
    uint64_t FramesRejected() const { return m_rejected.load(); }
    uint64_t Resets() const { return m_resets.load(); }

    // The frame the FPGA would send now: the 42-byte header and the payload
    // length; false when the header would be dropped by an IP stack.
    bool CurrentFrame(std::vector<uint8_t>& header, size_t& payload) const;

private:
    using Clock = std::chrono::steady_clock;

    // MDIO (under m_mdioMutex).
    void CompleteMdio(Clock::time_point now);
    void PhyWrite(unsigned reg, uint16_t value, Clock::time_point now);
    uint16_t PhyRead(unsigned reg, Clock::time_point now) const;
    bool LinkUp(Clock::time_point now) const;
    // Whether the streamer's cage holds a module (the house keeping's SFP
    // status word).
    bool ModulePresent() const;
    uint32_t CoreStatus(Clock::time_point now) const;

    void Wake();
    void SenderLoop();
    // Sends one frame (the sender thread's, without m_sendMutex).
    void SendFrame(uint64_t frame, const PayloadSource& payloadSource);

    Board& m_board;
    const unsigned m_cage;
    std::array<std::atomic<uint32_t>, c_headerWords> m_ram{};
    std::atomic<uint32_t> m_control{0};
    std::atomic<uint32_t> m_status{0};

    mutable std::mutex m_mdioMutex;
    std::array<uint16_t, 32> m_phy{};
    uint32_t m_command = 0;
    bool m_busy = false;
    bool m_done = false;
    uint16_t m_result = 0;
    Clock::time_point m_busyUntil;
    Clock::time_point m_linkUpAt;
    bool m_mdioStuck = false;
    bool m_linkFault = false;
    bool m_inReset = false;
    unsigned m_speed = 2;

    std::mutex m_sendMutex;
    std::condition_variable m_wake;
    bool m_stop = false;
    bool m_force = false;
    PayloadSource m_payload;
    // The sender thread's own.
    std::string m_lastUnrouted;
    int m_socket = -1;
    std::thread m_sender;

    std::atomic<uint64_t> m_transactions{0};
    std::atomic<uint64_t> m_collisions{0};
    std::atomic<uint64_t> m_rejected{0};
    std::atomic<uint64_t> m_resets{0};
};

// Plugs the streamers of a GDX board's userblock: the orbit streamer for
// userblocks 2 to 4 (its payload from the board's FA history models), the
// magnet streamer for userblock 4.
void InstallStreamerModels(Board& board, unsigned userblock);
// Stops the board's streamers' senders (before the models they read go).
void StopStreamerModels(Board& board);

} // namespace sim
