// Frame header of the Ethernet streamers against an encoding of its own
// (the C library's header structures and a checksum loop), its packing into
// the header RAM, the control word, and the parsing of MAC and IP texts.
#include "gdx/gbe.h"

#include "platform/qstd/exception.h"

#include <arpa/inet.h>
#include <net/ethernet.h>
#include <netinet/ip.h>
#include <netinet/udp.h>

#include <gtest/gtest.h>

#include <cstring>

namespace {

// The header as the IP stack's structures lay it out.
std::vector<unsigned char> Encode(const GBE::HeaderSettings& s)
{
    unsigned char frame[42] = {};
    auto* eth = reinterpret_cast<ether_header*>(frame);
    std::memcpy(eth->ether_dhost, s.dest_mac.data(), 6);
    std::memcpy(eth->ether_shost, s.src_mac.data(), 6);
    eth->ether_type = htons(ETHERTYPE_IP);
    iphdr ip{};
    ip.version = 4;
    ip.ihl = 5;
    ip.tos = 0x14;
    ip.tot_len = htons(static_cast<uint16_t>(s.payload + 28));
    ip.frag_off = htons(IP_DF);
    ip.ttl = 64;
    ip.protocol = IPPROTO_UDP;
    ip.saddr = s.src_ip;
    ip.daddr = s.dest_ip;
    uint16_t words[10];
    std::memcpy(words, &ip, sizeof(words));
    uint64_t sum = 0;
    for (uint16_t w : words) {
        sum += ntohs(w);
    }
    sum = (sum % 0xFFFF) == 0 && sum != 0 ? 0xFFFF : sum % 0xFFFF; // end-around carry
    ip.check = htons(static_cast<uint16_t>(~sum));
    std::memcpy(frame + 14, &ip, sizeof(ip));
    udphdr udp{};
    udp.source = htons(s.src_port);
    udp.dest = htons(s.dest_port);
    udp.len = htons(static_cast<uint16_t>(s.payload + 8));
    std::memcpy(frame + 34, &udp, sizeof(udp));
    return std::vector<unsigned char>(frame, frame + 42);
}

GBE::HeaderSettings Defaults(uint32_t payload)
{
    GBE::HeaderSettings s;
    s.src_ip = inet_addr("192.168.2.1");
    s.dest_ip = inet_addr("192.168.2.100");
    s.payload = payload;
    return s;
}

TEST(GbeHeader, MatchesAnIndependentEncoding)
{
    GBE::HeaderSettings custom = Defaults(4048);
    custom.src_mac = {{0x02, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e}};
    custom.dest_mac = {{0xff, 0xee, 0xdd, 0xcc, 0xbb, 0xaa}};
    custom.src_ip = inet_addr("10.0.0.7");
    custom.dest_ip = inet_addr("127.0.0.1");
    custom.src_port = 1024;
    custom.dest_port = 65535;
    GBE::HeaderSettings carry = Defaults(4032);
    carry.src_ip = inet_addr("255.255.42.255");
    carry.dest_ip = inet_addr("255.255.255.255");
    for (const GBE::HeaderSettings& s : {Defaults(0), Defaults(16), Defaults(4048), custom, carry}) {
        SCOPED_TRACE(s.payload);
        EXPECT_EQ(Encode(s), GBE::BuildHeader(s));
    }
    // The defaults as bytes, and the carry that needs a second fold.
    EXPECT_EQ((std::vector<unsigned char>{0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
                                          1,    0x08, 0x00, 0x45, 0x14, 0x00, 0x1C, 0x00, 0x00, 0x40, 0x00,
                                          0x40, 0x11, 0xB5, 0x07, 0xC0, 0xA8, 0x02, 0x01, 0xC0, 0xA8, 0x02,
                                          0x64, 0x08, 0x00, 0x08, 0x00, 0x00, 0x08, 0x00, 0x00}),
              GBE::BuildHeader(Defaults(0)));
    const std::vector<unsigned char> h = GBE::BuildHeader(carry);
    EXPECT_EQ(0xFF, h[24]);
    EXPECT_EQ(0xFE, h[25]);
}

TEST(GbeHeader, RamWordsAndControlWord)
{
    const std::vector<unsigned char> h = GBE::BuildHeader(Defaults(0));
    EXPECT_EQ((uint32_t(h[0]) << 16) | (uint32_t(h[1]) << 24), GBE::HeaderRamWord(h, 2, 0));
    EXPECT_EQ(uint32_t(h[38]) | (uint32_t(h[39]) << 8) | (uint32_t(h[40]) << 16) | (uint32_t(h[41]) << 24),
              GBE::HeaderRamWord(h, 2, 10));
    EXPECT_EQ(0u, GBE::HeaderRamWord(h, 2, 11));
    EXPECT_EQ(0x0202C00Bu, GBE::ControlWord(2, 42));
    EXPECT_EQ(0x02FFC00Bu, GBE::ControlWord(2, 4048 + 42));
}

TEST(GbeHeader, MacTexts)
{
    std::vector<unsigned char> mac;
    GBE::String2Mac("00:1a:2B:3c:4d:5e", mac, ':');
    EXPECT_EQ((std::vector<unsigned char>{0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e}), mac);
    EXPECT_EQ("00:1a:2b:3c:4d:5e", GBE::Mac2String({{0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e}}));

    struct Case {
        const char* text;
        const char* message;
    };
    for (const Case& c : {
             Case{"00:1a:2b:3c:4d", "Address \"00:1a:2b:3c:4d\" with 5 octet(s) is invalid."},
             Case{"00:1a:2b:3c:4d:5e:6f", "Address \"00:1a:2b:3c:4d:5e:6f\" with 7 octet(s) is invalid."},
             Case{"00::2b:3c:4d:5e", "Address \"00::2b:3c:4d:5e\" with empty octet is invalid"},
             Case{"", "Address \"\" with empty octet is invalid"},
             Case{"00:1a:2b:3c:4d:", "Address \"00:1a:2b:3c:4d:\" with empty octet is invalid"},
             Case{"00:1g:2b:3c:4d:5e", "Invalid hexadecimal octet: \"1g\" in \"00:1g:2b:3c:4d:5e\""},
             Case{"00:100:2b:3c:4d:5e", "Invalid hexadecimal octet: \"100\" in \"00:100:2b:3c:4d:5e\""},
             Case{"00:-0:2b:3c:4d:5e", "Invalid hexadecimal octet: \"-0\" in \"00:-0:2b:3c:4d:5e\""},
             Case{"0x1:1a:2b:3c:4d:5e", "Invalid hexadecimal octet: \"0x1\" in \"0x1:1a:2b:3c:4d:5e\""},
         }) {
        mac = {9};
        try {
            GBE::String2Mac(c.text, mac, ':');
            ADD_FAILURE() << c.text;
        } catch (const qstd::Exception& e) {
            EXPECT_STREQ(c.message, e.what());
        }
        EXPECT_EQ(std::vector<unsigned char>{9}, mac);
    }
}

TEST(GbeHeader, IpTextsAreIpv4Only)
{
    EXPECT_EQ(inet_addr("192.168.2.1"), GBE::IpAddress2Uint32("192.168.2.1"));
    try {
        GBE::IpAddress2Uint32("no.such");
        ADD_FAILURE();
    } catch (const qstd::Exception& e) {
        EXPECT_STREQ("Invalid IP address: no.such", e.what());
    }
    EXPECT_EQ(inet_addr("127.0.0.1"), GBE::ResolveIPv4("localhost"));
    EXPECT_EQ(inet_addr("10.1.2.3"), GBE::ResolveIPv4("10.1.2.3"));
    EXPECT_EQ("10.1.2.3", GBE::Ip2String(inet_addr("10.1.2.3")));
    for (const char* refused : {"::1", "fe80::1", "", "300.1.2.3"}) {
        try {
            GBE::ResolveIPv4(refused);
            ADD_FAILURE() << refused;
        } catch (const qstd::Exception& e) {
            EXPECT_EQ(std::string("Unknown host or invalid IP: ") + refused, e.what());
        }
    }
}

} // namespace
