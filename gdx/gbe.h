#pragma once
// Gigabit-Ethernet UDP streamer of the GDX board ("gbe", "gbe_orbit",
// "gbe_magnet"): an FPGA block that sends the board's grouped FA data (orbit
// streamer) or its magnet data (magnet streamer) as UDP datagrams through an
// SFP cage. The system sets up the SFP's PHY over MDIO, waits for the link,
// checks the Ethernet core's status, builds the 42-byte Ethernet II, IPv4 and
// UDP header from the addresses, ports and payload size that clients set
// (gbe_header.cpp), tells the FPGA where header and data lie, and switches
// the output on and off.
//
// The FPGA sends (control bit 31) only once the streamer is started and the
// last value given to "enable" is true; every header rebuild clears the bit
// while it rewrites header and control word, then applies the enable again.
//
// Locks, never held together:
// - the streamer's mutex: Start, the enable setter, the header settings with
//   their rebuild (also Init's), shutdown;
// - the MDIO mutex: each MDIO transaction (command, completion, result), and
//   the whole PHY reconnect, so that the "reconnect" command, the "mdio"
//   nodes and the FA-chain reset never interleave on the MDIO register.

#include "platform/fpga/fpga_access.h"
#include "platform/mci/tree_node.h"
#include "platform/qapp/zemtra_fpga_object.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class GdxHouseKeeping;
namespace qapp {
class SFP_EEPROM;
class SFP_PHY;
} // namespace qapp

// SFP cage of a streamer: 1 for the orbit streamer, 0 for the magnet streamer.
enum SfpSlot_e : uint32_t { eSfpSlot0 = 0, eSfpSlot1 = 1, eSfpSlot2 = 2, eSfpSlot3 = 3 };

// Speed and duplex fields of the Ethernet core status.
enum ethSpeed_e : uint32_t { eEthSpeed10M = 0, eEthSpeed100M = 1, eEthSpeed1G = 2, eEthSpeedUnknown = 3 };
enum ethDuplex_e : uint32_t { eEthHalf = 0, eEthFull = 1 };

class GBE : public qapp::ZemtraFpgaObject {
public:
    static constexpr std::size_t c_blockSize = 0x2000;

    // Register block.
    static constexpr std::size_t c_mdio = 0x00;
    static constexpr std::size_t c_reset = 0x08;
    static constexpr std::size_t c_control = 0x10;
    static constexpr std::size_t c_force_tx = 0x18;
    static constexpr std::size_t c_status = 0x20;
    static constexpr std::size_t c_core_status = 0x28;
    static constexpr std::size_t c_header_ram = 0x1000;
    static constexpr uint32_t c_enable_bit = 1u << 31;

    // MDIO: clause-22 frames to PHY address 1; bit 31 of the MDIO register
    // tells completion, polled every 10 µs at most 4096 times.
    static constexpr uint32_t c_mdio_write = 0x50820000;
    static constexpr uint32_t c_mdio_read = 0x6082FFFF;
    static constexpr unsigned c_mdio_reg_shift = 18;
    static constexpr uint32_t c_mdio_regs = 1u << 5;
    static constexpr uint32_t c_mdio_done = 1u << 31;
    static constexpr unsigned c_mdio_polls = 4096;
    static constexpr unsigned c_mdio_poll_us = 10;

    // Link wait: polls 10 ms apart for 800 ms; up at the 27th good poll in a row.
    static constexpr unsigned c_link_poll_ms = 10;
    static constexpr unsigned c_link_wait_ms = 800;
    static constexpr unsigned c_link_runs = 26;
    // Core status bits that make the link good: link, synchronisation, idles.
    static constexpr uint32_t c_link_good = 0x0B;

    // Frame header.
    static constexpr std::size_t c_udp_ip_eth_header_size = 42;
    static constexpr uint32_t c_jumbo_mtu = 9000;
    static constexpr uint32_t c_gbe_mtu = 4096;
    static constexpr std::size_t c_bram_words = 1024;
    static constexpr uint16_t c_default_port = 2048;
    static constexpr const char* c_default_src_ip = "192.168.2.1";
    static constexpr const char* c_default_dest_ip = "192.168.2.100";

    // What the header is built from; addresses in network order.
    struct HeaderSettings {
        std::array<unsigned char, 6> src_mac{{0, 0, 0, 0, 0, 1}};
        std::array<unsigned char, 6> dest_mac{};
        uint32_t src_ip = 0;
        uint32_t dest_ip = 0;
        uint16_t src_port = c_default_port;
        uint16_t dest_port = c_default_port;
        uint32_t payload = 0;
        uint32_t hdr_start = 2;
    };

    GBE(qapp::ZemtraBoard& board, volatile FPGAMem_t* base, const std::string& name, qapp::SFP_EEPROM* eeprom,
        qapp::SFP_PHY* phy, GdxHouseKeeping* houseKeeping, SfpSlot_e slot);
    ~GBE() override;

    void OnRegistryAdd(mci::TreeNodePtr& node) override;
    // Output off (control word 0).
    void OnShutdown() override;

    // PHY set-up and link wait (failures are traced, not raised), then the
    // header is built and written.
    void Init();
    // Sets up the PHY and waits for the link; raises when there is no module,
    // an MDIO transaction times out, or the link is down or not at 1 Gb/s.
    bool PhyReconnect();
    // Resets the streamer core; waits for an MDIO transaction or reconnect
    // in progress, which the reset would break.
    void Reset();
    void Start();
    bool SetEnable(const bool& enable);
    bool GetEnable(bool& enable) const;
    // Sets the "payload" node (validator, setter, notification).
    bool SetPayloadSize(const unsigned& size);
    bool _SetPayloadSize(const unsigned& size);
    bool GetPayloadSize(unsigned int& size) const;
    bool ForceTX();

    // One MDIO transaction each; a register address of 32 or more is
    // reported and refused (it would spill into the PHY address).
    void MdioWrite(uint32_t a_addr, const uint16_t& value);
    void MdioRead(uint32_t a_addr, uint16_t& value) const;
    bool SetMdioReg(unsigned int const& value);
    bool GetMdioReg(unsigned int& value) const;

    void CheckGbeCoreStatus(const bool& link_up);
    void CheckSfpStatus();
    void CheckSgmiiStatus();
    void CheckMediaStatus();
    bool GetLinkState();
    bool GetFpgaReady() const { return m_initialized.load(); }

    // Header settings (gbe_header.cpp); addresses raise on invalid text.
    bool SetSrcMac(const std::string& mac);
    bool GetSrcMac(std::string& mac) const;
    bool SetDestMac(const std::string& mac);
    bool GetDestMac(std::string& mac) const;
    bool SetSrcIP(const std::string& ip);
    bool GetSrcIP(std::string& ip) const;
    bool SetDestIP(const std::string& ip);
    bool GetDestIP(std::string& ip) const;
    bool SetSrcPort(const unsigned& port);
    bool GetSrcPort(unsigned& port) const;
    bool SetDestPort(const unsigned& port);
    bool GetDestPort(unsigned& port) const;

    // The header as last built (empty before Init).
    std::vector<unsigned char> GetHeader() const;

    // Frame header arithmetic, free of any streamer.
    // The 42-byte header (IPv4 checksum included).
    static std::vector<unsigned char> BuildHeader(const HeaderSettings& settings);
    // Word i of the header RAM holding header from byte start on.
    static uint32_t HeaderRamWord(const std::vector<unsigned char>& header, uint32_t start, std::size_t i);
    // Control word (enable clear) for the header start and frame length.
    static uint32_t ControlWord(uint32_t start, std::size_t frame_length);
    // Parses a MAC of six hexadecimal octets joined by separator.
    static void String2Mac(const std::string& text, std::vector<unsigned char>& mac, char separator);
    static std::string Mac2String(const std::array<unsigned char, 6>& mac);
    // A dotted IPv4 address (inet_aton), network order.
    static uint32_t IpAddress2Uint32(const char* text);
    // A dotted IPv4 address or a host name with an IPv4 address, network order.
    static uint32_t ResolveIPv4(const std::string& text);
    static std::string Ip2String(uint32_t address);

private:
    // The core reset; the caller holds the MDIO mutex.
    void ResetCore();
    // Applies change to the header settings and rebuilds the header, under
    // the streamer's mutex.
    template <typename F> bool ChangeHeader(F&& change)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        change();
        UpdateHeaderUDP();
        return true;
    }
    // Expects the streamer's mutex held.
    void Enable(const bool& enable);
    void UpdateHeaderUDP();
    void WriteHeader();
    // Expects the MDIO mutex held.
    void MdioTransaction(uint32_t command, const char* what, uint16_t* result) const;
    bool LinkGood() const;

    volatile FPGAMem_t* m_base;
    qapp::SFP_EEPROM* m_sfp_eeprom;
    qapp::SFP_PHY* m_sfp_phy;
    GdxHouseKeeping* m_house_keeping;
    const SfpSlot_e m_slot;

    mutable std::mutex m_mutex;
    bool m_enable = false;
    bool m_started = false;
    std::atomic<bool> m_initialized{false};
    HeaderSettings m_settings;
    std::vector<unsigned char> m_header;

    mutable std::mutex m_mdio_mutex;
    std::atomic<unsigned> m_mdio_addr{0};

    // SFP description of the "sfp" node: "none" (see PhyReconnect).
    std::string m_sfp;
    mci::Node m_payload_node;
};
