// Frame header of the gigabit-Ethernet streamer: the 42-byte Ethernet II,
// IPv4 (no options) and UDP header that the FPGA puts before every payload,
// its packing into the header RAM, the control word that tells the FPGA where
// header and data lie, and the textual MAC and IP addresses of the nodes.
//
// Header (all fields big-endian), L = payload + 42:
//   0-5 destination MAC, 6-11 source MAC, 12-13 EtherType 0x0800,
//   14 0x45 (IPv4, 5 words), 15 TOS 0x14, 16-17 total length L - 14,
//   18-19 identification 0, 20-21 0x4000 (don't fragment), 22 TTL 64,
//   23 protocol 17 (UDP), 24-25 header checksum, 26-29 source IP,
//   30-33 destination IP, 34-35 source port, 36-37 destination port,
//   38-39 UDP length L - 34, 40-41 UDP checksum 0 (not computed).
// Header byte k lies in header-RAM byte k + start, lane (k + start) mod 4 of
// word (k + start) / 4, lane j holding bits 8j to 8j + 7.
#include "gdx/gbe.h"

#include "platform/qstd/exception.h"
#include "platform/qstd/log.h"
#include "platform/qstd/trace.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cctype>
#include <cstdlib>
#include <iomanip>
#include <memory>
#include <sstream>

namespace {

constexpr unsigned char c_ipv4_version_ihl = 0x45;
constexpr unsigned char c_tos = 0x14;
constexpr unsigned char c_dont_fragment = 0x40;
constexpr unsigned char c_ttl = 64;
constexpr unsigned char c_udp = 17;
constexpr std::size_t c_eth_header = 14;
constexpr std::size_t c_ip_udp_offset = 34; // end of the IPv4 header
constexpr std::size_t c_checksum_at = 24;
constexpr uint32_t c_word = sizeof(uint32_t);

void Append16(std::vector<unsigned char>& out, uint32_t value)
{
    out.push_back(static_cast<unsigned char>(value >> 8));
    out.push_back(static_cast<unsigned char>(value));
}

void AppendAddress(std::vector<unsigned char>& out, uint32_t networkOrder)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(&networkOrder);
    out.insert(out.end(), bytes, bytes + 4);
}

std::string Quoted(const std::string& text)
{
    return "\"" + text + "\"";
}

} // namespace

std::vector<unsigned char> GBE::BuildHeader(const HeaderSettings& s)
{
    const uint32_t total_eth_len = s.payload + static_cast<uint32_t>(c_udp_ip_eth_header_size);
    const uint32_t m_hdr_start = s.hdr_start;
    QSTD_ASSERT(total_eth_len + m_hdr_start < c_jumbo_mtu);

    std::vector<unsigned char> m_header;
    m_header.reserve(c_udp_ip_eth_header_size);
    m_header.insert(m_header.end(), s.dest_mac.begin(), s.dest_mac.end());
    m_header.insert(m_header.end(), s.src_mac.begin(), s.src_mac.end());
    Append16(m_header, 0x0800);
    m_header.push_back(c_ipv4_version_ihl);
    m_header.push_back(c_tos);
    Append16(m_header, total_eth_len - c_eth_header);
    Append16(m_header, 0);
    m_header.push_back(c_dont_fragment);
    m_header.push_back(0);
    m_header.push_back(c_ttl);
    m_header.push_back(c_udp);
    Append16(m_header, 0); // checksum, below
    AppendAddress(m_header, s.src_ip);
    AppendAddress(m_header, s.dest_ip);
    QSTD_ASSERT(m_header.size() == 34);

    // One's complement of the one's-complement sum of the IPv4 header's
    // 16-bit words, carries folded until none is left.
    uint32_t sum = 0;
    for (std::size_t i = c_eth_header; i < c_ip_udp_offset; i += 2) {
        sum += (static_cast<uint32_t>(m_header[i]) << 8) | m_header[i + 1];
    }
    while (sum >> 16) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    const uint16_t checksum = static_cast<uint16_t>(~sum);
    m_header[c_checksum_at] = static_cast<unsigned char>(checksum >> 8);
    m_header[c_checksum_at + 1] = static_cast<unsigned char>(checksum);

    Append16(m_header, s.src_port);
    Append16(m_header, s.dest_port);
    Append16(m_header, total_eth_len - c_ip_udp_offset);
    Append16(m_header, 0);
    QSTD_ASSERT(m_header.size() == c_udp_ip_eth_header_size);
    return m_header;
}

uint32_t GBE::HeaderRamWord(const std::vector<unsigned char>& header, uint32_t start, std::size_t i)
{
    uint32_t word = 0;
    for (std::size_t lane = 0; lane < c_word; ++lane) {
        const std::size_t byte = c_word * i + lane;
        if (byte >= start && byte - start < header.size()) {
            word |= static_cast<uint32_t>(header[byte - start]) << (8 * lane);
        }
    }
    return word;
}

uint32_t GBE::ControlWord(uint32_t m_hdr_start, std::size_t frame_length)
{
    const uint32_t data_offset = static_cast<uint32_t>(c_udp_ip_eth_header_size) + m_hdr_start;
    QSTD_ASSERT(m_hdr_start < sizeof(uint32_t));
    QSTD_ASSERT(data_offset % sizeof(uint32_t) == 0);
    const uint32_t bram_end = m_hdr_start + static_cast<uint32_t>(frame_length);
    QSTD_ASSERT(bram_end < c_gbe_mtu);
    return ((m_hdr_start & 0x3) << 24) | ((bram_end & 0xFFF) << 12) | ((data_offset / c_word) & 0x3FF);
}

void GBE::UpdateHeaderUDP()
{
    if (!m_initialized.load()) {
        return;
    }
    m_header = BuildHeader(m_settings);
    if (qstd::TraceOn(qstd::TraceWarning)) {
        std::ostringstream dump;
        dump << std::hex << std::setfill('0');
        for (std::size_t i = 0; i < m_header.size(); ++i) {
            if (i % 16 == 0) {
                dump << (i ? "\n" : "") << std::setw(4) << i << ":";
            }
            dump << " " << std::setw(2) << static_cast<unsigned>(m_header[i]);
        }
        QSTD_TRACE(2, "New header: "
                          << "\n"
                          << dump.str());
    }
    Enable(false);
    WriteHeader();
    const uint32_t m_hdr_start = m_settings.hdr_start;
    const std::size_t length = m_settings.payload + c_udp_ip_eth_header_size;
    const uint32_t control = ControlWord(m_hdr_start, length);
    QSTD_TRACE(2, "GbE control: 0x" << std::hex << control << std::dec << " (start: " << m_hdr_start
                                    << " end: " << (m_hdr_start + length)
                                    << " fa_offset: " << (c_udp_ip_eth_header_size + m_hdr_start));
    fpga::Write32(m_base, c_control, control);
    Enable(m_enable);
}

void GBE::WriteHeader()
{
    const std::size_t bram_hdr_size = m_header.size() + m_settings.hdr_start;
    QSTD_ASSERT(bram_hdr_size % sizeof(uint32_t) == 0);
    for (std::size_t i = 0; i < bram_hdr_size / c_word; ++i) {
        QSTD_ASSERT(i < c_bram_words);
        if (i >= c_bram_words) {
            break;
        }
        const uint32_t word = HeaderRamWord(m_header, m_settings.hdr_start, i);
        QSTD_TRACE(2, "GbE Header[" << i << "]: 0x" << std::hex << word);
        fpga::Write32(m_base, c_header_ram + c_word * i, word);
    }
}

std::vector<unsigned char> GBE::GetHeader() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_header;
}

void GBE::String2Mac(const std::string& text, std::vector<unsigned char>& mac, char separator)
{
    std::vector<unsigned char> octets;
    std::size_t begin = 0;
    for (;;) {
        const std::size_t end = text.find(separator, begin);
        const std::string octet = text.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
        if (octet.empty()) {
            throw qstd::Exception("Address " + Quoted(text) + " with empty octet is invalid", true);
        }
        // Hexadecimal digits only: no sign, blank or "0x" that strtoul would take.
        bool digits = true;
        for (char c : octet) {
            digits = digits && std::isxdigit(static_cast<unsigned char>(c));
        }
        const unsigned long value = digits ? std::strtoul(octet.c_str(), nullptr, 16) : 0;
        if (!digits || value > 255) {
            throw qstd::Exception("Invalid hexadecimal octet: " + Quoted(octet) + " in " + Quoted(text), true);
        }
        octets.push_back(static_cast<unsigned char>(value));
        if (end == std::string::npos) {
            break;
        }
        begin = end + 1;
    }
    if (octets.size() != 6) {
        throw qstd::Exception(
            "Address " + Quoted(text) + " with " + std::to_string(octets.size()) + " octet(s) is invalid.", true);
    }
    mac = std::move(octets);
}

std::string GBE::Mac2String(const std::array<unsigned char, 6>& mac)
{
    std::ostringstream os;
    os << std::hex << std::setfill('0');
    for (std::size_t i = 0; i < mac.size(); ++i) {
        os << (i ? ":" : "") << std::setw(2) << static_cast<unsigned>(mac[i]);
    }
    return os.str();
}

uint32_t GBE::IpAddress2Uint32(const char* text)
{
    in_addr address{};
    if (text == nullptr || inet_aton(text, &address) == 0) {
        throw qstd::Exception(std::string("Invalid IP address: ") + (text ? text : ""), true);
    }
    return address.s_addr;
}

uint32_t GBE::ResolveIPv4(const std::string& text)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(text.c_str(), nullptr, &hints, &found);
    std::unique_ptr<addrinfo, void (*)(addrinfo*)> result(found, [](addrinfo* a) {
        if (a) {
            freeaddrinfo(a);
        }
    });
    if (rc != 0 || !result || result->ai_family != AF_INET || result->ai_addr == nullptr ||
        result->ai_addrlen < sizeof(sockaddr_in)) {
        throw qstd::Exception("Unknown host or invalid IP: " + text, true);
    }
    return reinterpret_cast<const sockaddr_in*>(result->ai_addr)->sin_addr.s_addr;
}

std::string GBE::Ip2String(uint32_t address)
{
    in_addr a{};
    a.s_addr = address;
    char text[INET_ADDRSTRLEN] = {};
    return inet_ntop(AF_INET, &a, text, sizeof(text)) ? text : "";
}

bool GBE::SetSrcMac(const std::string& text)
{
    std::vector<unsigned char> mac;
    String2Mac(text, mac, ':');
    return ChangeHeader([&] { std::copy(mac.begin(), mac.end(), m_settings.src_mac.begin()); });
}

bool GBE::GetSrcMac(std::string& mac) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    mac = Mac2String(m_settings.src_mac);
    return true;
}

bool GBE::SetDestMac(const std::string& text)
{
    std::vector<unsigned char> mac;
    String2Mac(text, mac, ':');
    return ChangeHeader([&] { std::copy(mac.begin(), mac.end(), m_settings.dest_mac.begin()); });
}

bool GBE::GetDestMac(std::string& mac) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    mac = Mac2String(m_settings.dest_mac);
    return true;
}

bool GBE::SetSrcIP(const std::string& text)
{
    const uint32_t address = ResolveIPv4(text);
    return ChangeHeader([&] { m_settings.src_ip = address; });
}

bool GBE::GetSrcIP(std::string& ip) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    ip = Ip2String(m_settings.src_ip);
    return true;
}

bool GBE::SetDestIP(const std::string& text)
{
    const uint32_t address = ResolveIPv4(text);
    return ChangeHeader([&] { m_settings.dest_ip = address; });
}

bool GBE::GetDestIP(std::string& ip) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    ip = Ip2String(m_settings.dest_ip);
    return true;
}

bool GBE::SetSrcPort(const unsigned& port)
{
    return ChangeHeader([&] { m_settings.src_port = static_cast<uint16_t>(port); });
}

bool GBE::GetSrcPort(unsigned& port) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    port = m_settings.src_port;
    return true;
}

bool GBE::SetDestPort(const unsigned& port)
{
    return ChangeHeader([&] { m_settings.dest_port = static_cast<uint16_t>(port); });
}

bool GBE::GetDestPort(unsigned& port) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    port = m_settings.dest_port;
    return true;
}
