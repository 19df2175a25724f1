// The header layouts and routines over hand-built frames (wire bytes in,
// values out) and over real capture files.

#include "capture/Snoop.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

// Wire bytes placed at an odd address, so that every multi-byte field is
// unaligned, with spare room behind them: the routines may return pointers
// past the bytes that they read.
class WireBuffer {
public:
    explicit WireBuffer(const Bytes& bytes) : storage_(1 + bytes.size() + 128, 0xEE)
    {
        std::copy(bytes.begin(), bytes.end(), storage_.begin() + 1);
    }
    const std::uint8_t* Data() const { return storage_.data() + 1; }
    template <typename T>
    const T* As(size_t offset = 0) const { return reinterpret_cast<const T*>(Data() + offset); }

private:
    Bytes storage_;
};

// Ethernet II + IPv4 (20 bytes) + transport bytes.
Bytes Frame(std::uint8_t etherHi, std::uint8_t etherLo, std::uint8_t versionLength, std::uint16_t totalLength,
            std::uint8_t protocol, const Bytes& transport)
{
    const std::array<std::uint8_t, 34> head = {
               0x02, 0x00, 0x00, 0x00, 0x00, 0x01,  // destination MAC
               0x02, 0x00, 0x00, 0x00, 0x00, 0x02,  // source MAC
               etherHi, etherLo,                    // EtherType
               versionLength, 0x00,                 // version/length, TOS
               std::uint8_t(totalLength >> 8), std::uint8_t(totalLength),
               0x12, 0x34, 0x40, 0x00,              // identification, flags/offset
               0x40, protocol, 0xAB, 0xCD,          // TTL, protocol, checksum
               0xC0, 0xA8, 0x01, 0x05,              // source 192.168.1.5
               0x0A, 0x00, 0x00, 0xFE};             // destination 10.0.0.254
    Bytes f(head.size() + transport.size());
    std::copy(head.begin(), head.end(), f.begin());
    std::copy(transport.begin(), transport.end(), f.begin() + std::ptrdiff_t(head.size()));
    return f;
}

// ---------------------------------------------------------------------------

struct EtherTypeCase {
    const char* name;
    std::uint8_t hi, lo;
    bool isIPv4;
    bool isARP;
};

class EtherTypeTest : public testing::TestWithParam<EtherTypeCase> {};

TEST_P(EtherTypeTest, StepsOnlyForItsOwnType)
{
    const auto& c = GetParam();
    const WireBuffer buf(Frame(c.hi, c.lo, 0x45, 40, 6, Bytes(20)));
    const auto* eth = buf.As<ETHERNET_HDR>();
    const void* sentinel = &c;

    PIP_HDR ip = static_cast<PIP_HDR>(sentinel);
    EXPECT_EQ(GetIPHeader(eth, &ip), c.isIPv4);
    EXPECT_EQ(static_cast<const void*>(ip), c.isIPv4 ? buf.Data() + 14 : sentinel);
    EXPECT_EQ(GetIPHeader(eth, nullptr), c.isIPv4);

    const void* arp = sentinel;
    EXPECT_EQ(GetARPHeader(eth, &arp), c.isARP);
    EXPECT_EQ(arp, c.isARP ? buf.Data() + 14 : sentinel);
    EXPECT_EQ(GetARPHeader(eth, nullptr), c.isARP);
}

INSTANTIATE_TEST_SUITE_P(Frames, EtherTypeTest, testing::ValuesIn(std::vector<EtherTypeCase>{
    // name               hi    lo    IPv4   ARP
    {"IPv4",              0x08, 0x00, true,  false},
    {"ARP",               0x08, 0x06, false, true },
    {"VlanTag",           0x81, 0x00, false, false},
    {"IPv6",              0x86, 0xDD, false, false},
    {"PPPoESession",      0x88, 0x64, false, false},
    {"IPv4ByteSwapped",   0x00, 0x08, false, false},
    {"ARPByteSwapped",    0x06, 0x08, false, false},
    {"Zero",              0x00, 0x00, false, false},
    {"AllOnes",           0xFF, 0xFF, false, false},
}), [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------

struct ProtocolCase {
    const char* name;
    std::uint8_t versionLength;
    std::uint8_t protocol;
    bool icmp, tcp, udp;
};

class ProtocolTest : public testing::TestWithParam<ProtocolCase> {};

TEST_P(ProtocolTest, TransportHeaderAlwaysAtFixedOffset20)
{
    const auto& c = GetParam();
    const WireBuffer buf(Frame(0x08, 0x00, c.versionLength, 60, c.protocol, Bytes(40)));
    PIP_HDR ip = nullptr;
    ASSERT_TRUE(GetIPHeader(buf.As<ETHERNET_HDR>(), &ip));
    const std::uint8_t* transport = buf.Data() + 14 + 20;
    const void* sentinel = &c;

    const void* icmp = sentinel;
    EXPECT_EQ(GetICMPHeader(ip, &icmp), c.icmp);
    EXPECT_EQ(icmp, c.icmp ? transport : sentinel);

    PTCP_HDR tcp = static_cast<PTCP_HDR>(sentinel);
    EXPECT_EQ(GetTCPHeader(ip, &tcp), c.tcp);
    EXPECT_EQ(static_cast<const void*>(tcp), c.tcp ? transport : sentinel);

    PUDP_HDR udp = static_cast<PUDP_HDR>(sentinel);
    EXPECT_EQ(GetUDPHeader(ip, &udp), c.udp);
    EXPECT_EQ(static_cast<const void*>(udp), c.udp ? transport : sentinel);

    EXPECT_EQ(GetICMPHeader(ip, nullptr), c.icmp);
    EXPECT_EQ(GetTCPHeader(ip, nullptr), c.tcp);
    EXPECT_EQ(GetUDPHeader(ip, nullptr), c.udp);
}

INSTANTIATE_TEST_SUITE_P(Frames, ProtocolTest, testing::ValuesIn(std::vector<ProtocolCase>{
    // name                     ver/len protocol icmp   tcp    udp
    {"ICMP",                    0x45,   1,       true,  false, false},
    {"TCP",                     0x45,   6,       false, true,  false},
    {"UDP",                     0x45,   17,      false, false, true },
    {"TCPWithOptionsLength6",   0x46,   6,       false, true,  false},
    {"UDPWithOptionsLength15",  0x4F,   17,      false, false, true },
    {"IGMP",                    0x46,   2,       false, false, false},
    {"IPv6InIPv4",              0x45,   41,      false, false, false},
    {"Zero",                    0x45,   0,       false, false, false},
    {"Reserved255",             0x45,   255,     false, false, false},
}), [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------

struct TCPDataCase {
    const char* name;
    std::uint16_t totalLength;
    std::uint8_t dataOffset;
    int payloadOffset;  // from the TCP header
    std::int32_t payloadLength;
    bool result;
};

class TCPDataTest : public testing::TestWithParam<TCPDataCase> {};

TEST_P(TCPDataTest, PayloadAsTheHeadersDeclareIt)
{
    const auto& c = GetParam();
    Bytes tcpBytes(60, 0);
    tcpBytes[12] = c.dataOffset;
    const WireBuffer buf(Frame(0x08, 0x00, 0x45, c.totalLength, 6, tcpBytes));
    PIP_HDR ip = nullptr;
    PTCP_HDR tcp = nullptr;
    ASSERT_TRUE(GetIPHeader(buf.As<ETHERNET_HDR>(), &ip));
    ASSERT_TRUE(GetTCPHeader(ip, &tcp));

    const std::uint8_t* data = nullptr;
    std::int32_t length = 12345;
    EXPECT_EQ(GetTCPData(ip, tcp, &data, &length), c.result);
    EXPECT_EQ(data, reinterpret_cast<const std::uint8_t*>(tcp) + c.payloadOffset);
    EXPECT_EQ(length, c.payloadLength);

    // Each place is optional.
    length = 12345;
    EXPECT_EQ(GetTCPData(ip, tcp, nullptr, &length), c.result);
    EXPECT_EQ(length, c.payloadLength);
    EXPECT_EQ(GetTCPData(ip, tcp, nullptr, nullptr), c.result);
}

INSTANTIATE_TEST_SUITE_P(Frames, TCPDataTest, testing::ValuesIn(std::vector<TCPDataCase>{
    // name                          total  offset  at  length  result
    {"PlainWithPayload",              100,  0x50,   20,     60, true },
    {"NoPayload",                      40,  0x50,   20,      0, false},
    {"EightWordHeaderNoPayload",       52,  0x80,   32,      0, false},
    {"EightWordHeaderWithPayload",     60,  0x80,   32,      8, true },
    {"ReservedBitsIgnored",            41,  0x5F,   20,      1, true },
    {"LargestHeader",                 100,  0xF0,   60,     20, true },
    {"ZeroHeaderLength",               21,  0x00,    0,      1, true },
    {"TotalLengthBelowHeaders",        30,  0x50,   20,    -10, false},
    {"TotalLengthZero",                 0,  0xF0,   60,    -80, false},
    {"TotalLengthLargest",          65535,  0x50,   20,  65495, true },
}), [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------

struct UDPDataCase {
    const char* name;
    std::uint16_t udpLength;
    std::int32_t payloadLength;
};

class UDPDataTest : public testing::TestWithParam<UDPDataCase> {};

TEST_P(UDPDataTest, PayloadFromTheUDPLengthAlone)
{
    const auto& c = GetParam();
    // The IPv4 total length disagrees on purpose: it is not consulted.
    const Bytes udpBytes = {0x30, 0x39, 0x00, 0x35, std::uint8_t(c.udpLength >> 8), std::uint8_t(c.udpLength),
                            0x00, 0x00};
    const WireBuffer buf(Frame(0x08, 0x00, 0x45, 999, 17, udpBytes));
    PIP_HDR ip = nullptr;
    PUDP_HDR udp = nullptr;
    ASSERT_TRUE(GetIPHeader(buf.As<ETHERNET_HDR>(), &ip));
    ASSERT_TRUE(GetUDPHeader(ip, &udp));

    const std::uint8_t* data = nullptr;
    std::int32_t length = 12345;
    EXPECT_TRUE(GetUDPData(ip, udp, &data, &length));
    EXPECT_EQ(data, reinterpret_cast<const std::uint8_t*>(udp) + 8);
    EXPECT_EQ(length, c.payloadLength);
    EXPECT_TRUE(GetUDPData(ip, udp, nullptr, nullptr));
}

INSTANTIATE_TEST_SUITE_P(Frames, UDPDataTest, testing::ValuesIn(std::vector<UDPDataCase>{
    // name             length  payload
    {"WithPayload",        20,     12},
    {"HeaderOnly",          8,      0},
    {"ShortByOne",          7,     -1},
    {"Zero",                0,     -8},
    {"Largest",         65535,  65527},
}), [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------

TEST(IPToStr, DottedDecimalWithoutLeadingZeros)
{
    const struct {
        std::uint32_t value;
        const char* text;
    } cases[] = {
        {0x00000000u, "0.0.0.0"},
        {0xFFFFFFFFu, "255.255.255.255"},
        {0xC0A80105u, "192.168.1.5"},
        {0x7F000001u, "127.0.0.1"},
        {0x0A00FF00u, "10.0.255.0"},
        {0x01020304u, "1.2.3.4"},
        {0x80000000u, "128.0.0.0"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IPToStr(c.value), c.text) << std::hex << c.value;
}

TEST(HeaderFields, DecodeAWholeFrameAtAnUnalignedAddress)
{
    // A TCP segment 192.168.1.5:12345 -> 10.0.0.254:80, data offset 6 words
    // (one option word), 10 bytes of payload.
    Bytes tcpBytes = {0x30, 0x39, 0x00, 0x50,              // ports
                      0x01, 0x02, 0x03, 0x04,              // sequence
                      0x0A, 0x0B, 0x0C, 0x0D,              // acknowledgement
                      0x60, 0x18, 0xFA, 0xF0,              // offset, flags, window
                      0x12, 0x34, 0x00, 0x00,              // checksum, urgent
                      0x02, 0x04, 0x05, 0xB4};             // MSS option
    for (int i = 0; i < 10; ++i)
        tcpBytes.push_back(std::uint8_t(0xA0 + i));
    const WireBuffer buf(Frame(0x08, 0x00, 0x45, 20 + 24 + 10, 6, tcpBytes));

    PIP_HDR ip = nullptr;
    PTCP_HDR tcp = nullptr;
    ASSERT_TRUE(GetIPHeader(buf.As<ETHERNET_HDR>(), &ip));
    ASSERT_TRUE(GetTCPHeader(ip, &tcp));
    EXPECT_EQ(ntohs(ip->TotalLength), 54);
    EXPECT_EQ(ip->Protocol, 6);
    EXPECT_EQ(ip->VersionAndLength, 0x45);
    EXPECT_EQ(ntohs(ip->Identification), 0x1234);
    EXPECT_EQ(IPToStr(ntohl(ip->SourceAddress)), "192.168.1.5");
    EXPECT_EQ(IPToStr(ntohl(ip->DestAddress)), "10.0.0.254");
    EXPECT_EQ(ntohs(tcp->SourcePort), 12345);
    EXPECT_EQ(ntohs(tcp->DestPort), 80);
    EXPECT_EQ(ntohl(tcp->SequenceNumber), 0x01020304u);
    EXPECT_EQ(ntohl(tcp->AcknowledgementNumber), 0x0A0B0C0Du);
    EXPECT_EQ(tcp->ControlFlags, 0x18);
    EXPECT_EQ(ntohs(tcp->Window), 0xFAF0);

    const std::uint8_t* data = nullptr;
    std::int32_t length = 0;
    ASSERT_TRUE(GetTCPData(ip, tcp, &data, &length));
    ASSERT_EQ(length, 10);
    EXPECT_EQ(data, buf.Data() + 14 + 20 + 24);
    EXPECT_EQ(data[0], 0xA0);
    EXPECT_EQ(data[9], 0xA9);

    const auto* eth = buf.As<ETHERNET_HDR>();
    EXPECT_EQ(eth->DestMac[5], 0x01);
    EXPECT_EQ(eth->SourceMac[5], 0x02);
}

// ---------------------------------------------------------------------------
// Real captures: the frames that the counting accepts (untagged Ethernet II,
// IPv4, TCP or UDP in the first IPv4 header) and the sum of their IPv4 total
// lengths, as the test data's README gives them.

struct CaptureFileCase {
    const char* name;
    const char* file;
    int packets;
    int counted;
    long long totalLengthSum;
    // UDP packets whose source port, read at IPv4 offset 20, is 1024 or more.
    int udpHighSourcePort;
    long long udpHighSourcePortSum;
};

class CaptureFileTest : public testing::TestWithParam<CaptureFileCase> {};

TEST_P(CaptureFileTest, CountsTheFramesTheCountingAccepts)
{
    const auto& c = GetParam();
    const std::string path = std::string(VARNO_TESTDATA_DIR) + "/pcaps/" + c.file;
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    pcap_t* file = pcap_open_offline(path.c_str(), errbuf);
    ASSERT_NE(file, nullptr) << errbuf;
    ASSERT_EQ(pcap_datalink(file), DLT_EN10MB);

    int packets = 0, counted = 0, udpHigh = 0;
    long long sum = 0, udpHighSum = 0;
    pcap_pkthdr* header = nullptr;
    const u_char* bytes = nullptr;
    while (pcap_next_ex(file, &header, &bytes) == 1) {
        ++packets;
        // The routines do not look at the captured length; their caller does.
        if (header->caplen < 14 + 20)
            continue;
        PIP_HDR ip = nullptr;
        if (!GetIPHeader(reinterpret_cast<PETHERNET_HDR>(bytes), &ip))
            continue;
        PTCP_HDR tcp = nullptr;
        PUDP_HDR udp = nullptr;
        if (!GetTCPHeader(ip, &tcp) && !GetUDPHeader(ip, &udp))
            continue;
        ++counted;
        sum += ntohs(ip->TotalLength);
        if (udp && header->caplen >= 14 + 20 + 2 && ntohs(udp->SourcePort) >= 1024) {
            ++udpHigh;
            udpHighSum += ntohs(ip->TotalLength);
        }
    }
    pcap_close(file);

    EXPECT_EQ(packets, c.packets);
    EXPECT_EQ(counted, c.counted);
    EXPECT_EQ(sum, c.totalLengthSum);
    if (c.udpHighSourcePort >= 0) {
        EXPECT_EQ(udpHigh, c.udpHighSourcePort);
        EXPECT_EQ(udpHighSum, c.udpHighSourcePortSum);
    }
}

INSTANTIATE_TEST_SUITE_P(Pcaps, CaptureFileTest, testing::ValuesIn(std::vector<CaptureFileCase>{
    // name            file                           packets counted  ip.len sum  udp>=1024  its sum
    {"OfficeLan",      "m57-day11-18-10k.pcap",        10000,  8385,   2291329LL,        -1,       0},
    {"UdpFragments",   "afs-udp-fragments.pcap",         601,   576,    493998LL,       556, 469436LL},
    {"VlanPppoe6in4",  "syslog-vlan-pppoe-6in4.pcap",     94,    58,      8715LL,        -1,       0},
}), [](const auto& info) { return std::string(info.param.name); });

} // namespace
