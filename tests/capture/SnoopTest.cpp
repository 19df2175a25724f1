// The capture component on real adapters: loopback traffic sent by the
// tests, veth and tun interfaces created (and removed) by them, the "any"
// pseudo-device, and an unprivileged second process.

#include "TestSupport.h"

#include "capture/Snoop.h"
#include "platform/Application.h"
#include "platform/Threads.h"

#include <arpa/inet.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <set>
#include <stdexcept>

using namespace captest;

namespace {

const std::string kLoopback = "lo";

// One decoded IPv4 packet of the log.
struct Decoded {
    std::string source, dest;
    std::uint16_t sourcePort = 0, destPort = 0;
    int totalLength = 0;
    int protocol = 0;
    std::uint8_t tcpFlags = 0;
    int payloadOffset = 0; // from the start of the frame
    std::int32_t payloadLength = 0;
    bool payloadResult = false;
};

Decoded Decode(const TCapturedPacket& p)
{
    const auto tooShort = [&](size_t needed) {
        if (p.Bytes.size() < needed)
            throw std::runtime_error("captured frame too short to decode: " + std::to_string(p.Bytes.size()));
    };
    tooShort(14 + 20);
    const auto* frame = reinterpret_cast<PETHERNET_HDR>(p.Bytes.data());
    PIP_HDR ip = nullptr;
    if (!GetIPHeader(frame, &ip))
        throw std::runtime_error("not an IPv4 frame");
    Decoded d;
    d.source = IPToStr(ntohl(ip->SourceAddress));
    d.dest = IPToStr(ntohl(ip->DestAddress));
    d.totalLength = ntohs(ip->TotalLength);
    d.protocol = ip->Protocol;
    const std::uint8_t* payload = nullptr;
    PTCP_HDR tcp = nullptr;
    PUDP_HDR udp = nullptr;
    if (GetTCPHeader(ip, &tcp)) {
        tooShort(14 + 20 + 20);
        d.sourcePort = ntohs(tcp->SourcePort);
        d.destPort = ntohs(tcp->DestPort);
        d.tcpFlags = tcp->ControlFlags;
        d.payloadResult = GetTCPData(ip, tcp, &payload, &d.payloadLength);
    } else if (GetUDPHeader(ip, &udp)) {
        tooShort(14 + 20 + 8);
        d.sourcePort = ntohs(udp->SourcePort);
        d.destPort = ntohs(udp->DestPort);
        d.payloadResult = GetUDPData(ip, udp, &payload, &d.payloadLength);
    }
    d.payloadOffset = payload ? int(payload - p.Bytes.data()) : 0;
    return d;
}

// The payload bytes that lie within the captured part of the frame.
std::vector<std::uint8_t> CapturedPayload(const TCapturedPacket& p, const Decoded& d)
{
    const size_t from = std::min(size_t(d.payloadOffset), p.Bytes.size());
    const size_t to = std::min(p.Bytes.size(), from + size_t(std::max<std::int32_t>(d.payloadLength, 0)));
    return {p.Bytes.begin() + std::ptrdiff_t(from), p.Bytes.begin() + std::ptrdiff_t(to)};
}

std::vector<std::uint8_t> PatternPrefix(size_t size, size_t n) { auto v = Pattern(size); v.resize(std::min(size, n)); return v; }

// A TSnoop on the loopback adapter whose deliveries go to a log.
class LoopbackCapture : public testing::Test {
protected:
    void SetUp() override
    {
        snoop_.SetAdapterName(kLoopback);
        ASSERT_EQ(snoop_.AdapterName(), kLoopback) << "no loopback adapter listed";
        snoop_.OnCapture = log_.Handler();
    }

    // Only the datagrams sent to the test's own socket.
    void OpenForUdpTo(std::uint16_t port)
    {
        snoop_.Filter = "udp and dst port " + std::to_string(port);
        snoop_.Open();
        ASSERT_TRUE(snoop_.Active()) << snoop_.LastError();
    }

    TSnoop snoop_;
    TCaptureLog log_;
};

// ---------------------------------------------------------------------------

struct UdpDeliveryCase {
    const char* name;
    bool threadSafe;
    int snapLen;
    size_t payload;
};

class UdpDeliveryTest : public LoopbackCapture, public testing::WithParamInterface<UdpDeliveryCase> {};

TEST_P(UdpDeliveryTest, DatagramsArriveDecodedOnTheChosenThread)
{
    const auto& c = GetParam();
    TUdpSocket receiver, sender;
    snoop_.ThreadSafe = c.threadSafe;
    snoop_.SnapLen = c.snapLen;
    OpenForUdpTo(receiver.Port());

    for (int i = 0; i < 3; ++i)
        sender.SendTo(receiver.Port(), c.payload);
    ASSERT_TRUE(log_.WaitFor(3)) << "got " << log_.Count();
    snoop_.Close();
    EXPECT_FALSE(snoop_.Active());

    const auto packets = log_.Packets();
    ASSERT_EQ(packets.size(), 3u);
    const uint32_t wireLength = uint32_t(14 + 20 + 8 + c.payload);
    for (const auto& p : packets) {
        EXPECT_EQ(p.Sender, &snoop_);
        EXPECT_EQ(p.OnMainThread, c.threadSafe);
        EXPECT_EQ(p.Len, wireLength);
        EXPECT_EQ(p.CapLen, std::min<uint32_t>(wireLength, uint32_t(c.snapLen)));
        const Decoded d = Decode(p);
        EXPECT_EQ(d.protocol, 17);
        EXPECT_EQ(d.source, "127.0.0.1");
        EXPECT_EQ(d.dest, "127.0.0.1");
        EXPECT_EQ(d.sourcePort, sender.Port());
        EXPECT_EQ(d.destPort, receiver.Port());
        EXPECT_EQ(d.totalLength, int(20 + 8 + c.payload));
        EXPECT_TRUE(d.payloadResult);
        EXPECT_EQ(d.payloadLength, std::int32_t(c.payload));
        EXPECT_EQ(d.payloadOffset, 14 + 20 + 8);
        EXPECT_EQ(CapturedPayload(p, d), PatternPrefix(c.payload, p.Bytes.size() - (14 + 20 + 8)));
    }
}

INSTANTIATE_TEST_SUITE_P(Loopback, UdpDeliveryTest, testing::ValuesIn(std::vector<UdpDeliveryCase>{
    // name                       thread-safe  snaplen  payload
    {"MainThreadWholeFrames",     true,        1600,     100},
    {"MainThreadSnapshot68",      true,          68,     500},
    {"MainThreadEmptyPayload",    true,        1600,       0},
    {"ReaderThread",              false,       1600,      64},
}), [](const auto& info) { return std::string(info.param.name); });

TEST_F(LoopbackCapture, TcpConnectionArrivesWithHandshakeAndPayload)
{
    TTcpPair tcp;
    snoop_.Filter = "tcp and port " + std::to_string(tcp.ServerPort());
    snoop_.Open();
    ASSERT_TRUE(snoop_.Active()) << snoop_.LastError();

    tcp.Connect();
    const size_t payload = 300;
    tcp.ClientSend(payload);
    // SYN, SYN-ACK, ACK, the data segment and (usually) its acknowledgement.
    const auto hasData = [&] {
        for (const auto& p : log_.Packets())
            if (Decode(p).payloadLength > 0)
                return true;
        return false;
    };
    ASSERT_TRUE(MainThread::WaitUntil(hasData, 5000)) << "got " << log_.Count();
    snoop_.Close();

    const auto packets = log_.Packets();
    ASSERT_GE(packets.size(), 4u);
    const Decoded syn = Decode(packets[0]);
    EXPECT_EQ(syn.tcpFlags & 0x12, 0x02) << "first packet is the client's SYN";
    EXPECT_EQ(syn.sourcePort, tcp.ClientPort());
    EXPECT_EQ(syn.destPort, tcp.ServerPort());
    // A SYN carries options and no payload.
    EXPECT_GT(syn.payloadOffset, 14 + 20 + 20);
    EXPECT_EQ(syn.payloadLength, 0);
    EXPECT_FALSE(syn.payloadResult);

    const Decoded synAck = Decode(packets[1]);
    EXPECT_EQ(synAck.tcpFlags & 0x12, 0x12);
    EXPECT_EQ(synAck.sourcePort, tcp.ServerPort());
    EXPECT_EQ(synAck.destPort, tcp.ClientPort());

    int dataSegments = 0;
    for (const auto& p : packets) {
        EXPECT_TRUE(p.OnMainThread);
        const Decoded d = Decode(p);
        EXPECT_EQ(d.protocol, 6);
        EXPECT_EQ(d.source, "127.0.0.1");
        EXPECT_EQ(d.dest, "127.0.0.1");
        EXPECT_EQ(p.Len, uint32_t(14 + d.totalLength));
        if (d.payloadLength <= 0)
            continue;
        ++dataSegments;
        EXPECT_TRUE(d.payloadResult);
        EXPECT_EQ(d.sourcePort, tcp.ClientPort());
        EXPECT_EQ(d.destPort, tcp.ServerPort());
        EXPECT_EQ(d.payloadLength, std::int32_t(payload));
        EXPECT_EQ(d.payloadOffset + int(payload), int(p.Len));
        EXPECT_EQ(CapturedPayload(p, d), PatternPrefix(payload, p.Bytes.size() - size_t(d.payloadOffset)));
    }
    EXPECT_EQ(dataSegments, 1);
}

// ---------------------------------------------------------------------------

struct FilterCase {
    const char* name;
    bool filterOnFirstPort; // otherwise no filter at all
    bool expectSecondPort;
};

class FilterTest : public LoopbackCapture, public testing::WithParamInterface<FilterCase> {};

TEST_P(FilterTest, FilterDecidesWhichPacketsArrive)
{
    const auto& c = GetParam();
    TUdpSocket first, second, sender;
    snoop_.Filter = c.filterOnFirstPort ? "udp and dst port " + std::to_string(first.Port()) : "";
    snoop_.Open();
    ASSERT_TRUE(snoop_.Active()) << snoop_.LastError();

    // The last datagram to the first port marks the end: loopback keeps the order.
    sender.SendTo(first.Port(), 10);
    sender.SendTo(second.Port(), 10);
    sender.SendTo(second.Port(), 10);
    sender.SendTo(first.Port(), 10);
    const auto countTo = [&](std::uint16_t port) {
        int n = 0;
        for (const auto& p : log_.Packets()) {
            if (p.Bytes.size() < 14 + 20 + 8)
                continue;
            PIP_HDR ip = nullptr;
            PUDP_HDR udp = nullptr;
            if (GetIPHeader(reinterpret_cast<PETHERNET_HDR>(p.Bytes.data()), &ip) && GetUDPHeader(ip, &udp) &&
                ntohs(udp->DestPort) == port && ntohs(udp->SourcePort) == sender.Port())
                ++n;
        }
        return n;
    };
    ASSERT_TRUE(MainThread::WaitUntil([&] { return countTo(first.Port()) == 2; }, 5000));
    snoop_.Close();

    EXPECT_EQ(countTo(second.Port()), c.expectSecondPort ? 2 : 0);
    if (c.filterOnFirstPort) {
        EXPECT_EQ(log_.Count(), 2u) << "nothing but the filtered datagrams";
    }
}

INSTANTIATE_TEST_SUITE_P(Loopback, FilterTest, testing::ValuesIn(std::vector<FilterCase>{
    // name                   filter on first port  second port seen
    {"FilterOnOnePort",       true,                 false},
    {"EmptyFilterTakesAll",   false,                true },
}), [](const auto& info) { return std::string(info.param.name); });

struct InvalidFilterCase {
    const char* name;
    const char* filter;
};

class InvalidFilterTest : public LoopbackCapture, public testing::WithParamInterface<InvalidFilterCase> {};

TEST_P(InvalidFilterTest, LeavesLibpcapTextAndStaysClosed)
{
    const std::string expected = LibpcapCompileError(GetParam().filter);
    ASSERT_FALSE(expected.empty()) << "the expression should not compile";

    snoop_.Filter = GetParam().filter;
    snoop_.Open();
    EXPECT_FALSE(snoop_.Active());
    EXPECT_EQ(snoop_.PcapHandle(), nullptr);
    EXPECT_EQ(snoop_.ReaderThread(), nullptr);
    EXPECT_EQ(snoop_.LastError(), expected);

    // A good filter opens again; the old text stays until another failure.
    TUdpSocket receiver, sender;
    OpenForUdpTo(receiver.Port());
    EXPECT_EQ(snoop_.LastError(), expected);
    sender.SendTo(receiver.Port(), 1);
    EXPECT_TRUE(log_.WaitFor(1));
}

INSTANTIATE_TEST_SUITE_P(Loopback, InvalidFilterTest, testing::ValuesIn(std::vector<InvalidFilterCase>{
    {"SyntaxError",      "this is not a filter"},
    {"PortOutOfRange",   "udp port 99999"},
    {"UnbalancedParen",  "(tcp or udp"},
}), [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------

TEST_F(LoopbackCapture, OpenTwiceKeepsTheRunningCapture)
{
    TUdpSocket receiver, sender;
    OpenForUdpTo(receiver.Port());
    pcap_t* handle = snoop_.PcapHandle();
    TSnoopThread* reader = snoop_.ReaderThread();

    snoop_.Open();
    EXPECT_EQ(snoop_.LastError(), "Snoop Error: Already open");
    EXPECT_TRUE(snoop_.Active());
    EXPECT_EQ(snoop_.PcapHandle(), handle);
    EXPECT_EQ(snoop_.ReaderThread(), reader);

    sender.SendTo(receiver.Port(), 5);
    EXPECT_TRUE(log_.WaitFor(1));
}

TEST_F(LoopbackCapture, OpenWithoutAdapterOpensNothing)
{
    snoop_.SetAdapterIndex(-1);
    snoop_.Open();
    EXPECT_EQ(snoop_.LastError(), "Snoop Error: Invalid AdapterName");
    EXPECT_FALSE(snoop_.Active());
    EXPECT_EQ(snoop_.PcapHandle(), nullptr);
    EXPECT_EQ(snoop_.ReaderThread(), nullptr);
}

TEST_F(LoopbackCapture, CloseWhenClosedDoesNothing)
{
    snoop_.Close();
    EXPECT_FALSE(snoop_.Active());
    EXPECT_EQ(snoop_.LastError(), "");
}

TEST_F(LoopbackCapture, OpenAndCloseRepeat)
{
    TUdpSocket receiver, sender;
    for (size_t round = 1; round <= 3; ++round) {
        OpenForUdpTo(receiver.Port());
        sender.SendTo(receiver.Port(), round);
        ASSERT_TRUE(log_.WaitFor(round));
        snoop_.Close();
        EXPECT_FALSE(snoop_.Active());
        EXPECT_EQ(snoop_.PcapHandle(), nullptr);
        EXPECT_EQ(snoop_.ReaderThread(), nullptr);
    }
    EXPECT_EQ(log_.Count(), 3u);
    EXPECT_EQ(snoop_.LastError(), "");
}

TEST_F(LoopbackCapture, StopWithoutTrafficTakesAboutOneReadTimeOut)
{
    TUdpSocket receiver, sender;
    snoop_.ReadTimeOut = 100;
    OpenForUdpTo(receiver.Port());
    // One delivery shows the reader running; then the adapter stays quiet
    // for several read time-outs, which is the situation under test.
    sender.SendTo(receiver.Port(), 1);
    ASSERT_TRUE(log_.WaitFor(1));
    MainThread::WaitUntil([&] { return log_.Count() > 1; }, 3 * snoop_.ReadTimeOut);

    const auto start = std::chrono::steady_clock::now();
    {
        TWatchdog watchdog(10000, "Close on a quiet adapter");
        snoop_.Close();
    }
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_FALSE(snoop_.Active());
    EXPECT_EQ(snoop_.PcapHandle(), nullptr);
    EXPECT_LT(ms, 1500) << "a stop request must be seen after about one read time-out";
    EXPECT_EQ(log_.Count(), 1u);
}

TEST_F(LoopbackCapture, CloseDuringTrafficServesPendingDeliveriesAndEndsThem)
{
    // Datagrams keep coming while Close runs: the reader is then waiting for
    // the main thread to take a delivery, and the wait in Close has to serve
    // it instead of deadlocking. After Close nothing more is delivered.
    TUdpSocket receiver, sender;
    OpenForUdpTo(receiver.Port());
    std::atomic<bool> stop{false};
    std::thread flood([&] {
        while (!stop.load())
            sender.SendTo(receiver.Port(), 1);
    });
    struct JoinOnExit {
        std::atomic<bool>& stop;
        std::thread& t;
        ~JoinOnExit() { stop = true; t.join(); }
    } join{stop, flood};

    ASSERT_TRUE(log_.WaitFor(20));
    {
        TWatchdog watchdog(10000, "Close while deliveries are pending");
        snoop_.Close();
    }
    EXPECT_FALSE(snoop_.Active());
    EXPECT_EQ(snoop_.PcapHandle(), nullptr);
    EXPECT_EQ(snoop_.ReaderThread(), nullptr);

    const size_t atClose = log_.Count();
    MainThread::WaitUntil([&] { return log_.Count() > atClose; }, 300);
    EXPECT_EQ(log_.Count(), atClose);
}

// ---------------------------------------------------------------------------

struct HandlerEndsReaderCase {
    const char* name;
    bool threadSafe;
    bool closeInsteadOfThrow; // the handler closes its own component
};

class HandlerEndsReaderTest : public LoopbackCapture, public testing::WithParamInterface<HandlerEndsReaderCase> {};

TEST_P(HandlerEndsReaderTest, ReaderEndsClosedAndCanBeReopened)
{
    const auto& c = GetParam();
    TWatchdog watchdog(20000, "a handler that ends its reader");
    TUdpSocket receiver, sender;
    std::atomic<int> calls{0};
    snoop_.ThreadSafe = c.threadSafe;
    snoop_.OnCapture = [&](TObject*, PPCAP_PKTHDR, PETHERNET_HDR) {
        ++calls;
        MainThread::Notify();
        if (c.closeInsteadOfThrow)
            snoop_.Close();
        else
            throw std::runtime_error("handler failed");
    };
    OpenForUdpTo(receiver.Port());
    for (int i = 0; i < 5; ++i)
        sender.SendTo(receiver.Port(), 1);

    ASSERT_TRUE(MainThread::WaitUntil(
        [&] { return snoop_.PcapHandle() == nullptr && snoop_.ReaderThread()->Finished(); }, 5000));
    EXPECT_FALSE(snoop_.Active());
    EXPECT_EQ(calls.load(), 1) << "nothing is delivered after the handler ended the reader";
    EXPECT_EQ(snoop_.LastError(), "");

    snoop_.Close(); // already closed: nothing happens
    EXPECT_EQ(snoop_.LastError(), "");

    snoop_.OnCapture = log_.Handler();
    snoop_.ThreadSafe = true;
    OpenForUdpTo(receiver.Port());
    sender.SendTo(receiver.Port(), 1);
    EXPECT_TRUE(log_.WaitFor(1));
}

INSTANTIATE_TEST_SUITE_P(Loopback, HandlerEndsReaderTest, testing::ValuesIn(std::vector<HandlerEndsReaderCase>{
    // name                         thread-safe  close in handler
    {"ThrowOnMainThread",           true,        false},
    {"ThrowOnReaderThread",         false,       false},
    {"CloseOnMainThread",           true,        true },
    {"CloseOnReaderThread",         false,       true },
}), [](const auto& info) { return std::string(info.param.name); });

TEST_F(LoopbackCapture, ApplicationShutdownEndsTheReader)
{
    struct ResetOnExit {
        ~ResetOnExit() { Application().ResetTerminated(); }
    } reset;
    TUdpSocket receiver, sender;
    OpenForUdpTo(receiver.Port());
    Application().Terminate();
    sender.SendTo(receiver.Port(), 1);
    ASSERT_TRUE(MainThread::WaitUntil([&] { return !snoop_.Active(); }, 5000));
    EXPECT_EQ(snoop_.PcapHandle(), nullptr);
    EXPECT_EQ(log_.Count(), 0u);
    EXPECT_EQ(snoop_.LastError(), "");
}

// ---------------------------------------------------------------------------

TEST(VethCapture, AdapterRemovedDuringCaptureEndsReaderThenLoopbackWorks)
{
    TVethPair veth;
    if (!veth.Created())
        GTEST_SKIP() << "cannot create a veth pair here";

    TSnoop snoop; // enumerates after the pair exists
    TCaptureLog log;
    snoop.OnCapture = log.Handler();
    snoop.SetAdapterName(veth.A());
    ASSERT_EQ(snoop.AdapterName(), veth.A());
    snoop.Filter = "udp and dst port 4242";
    snoop.Open();
    ASSERT_TRUE(snoop.Active()) << snoop.LastError();

    // A hand-made frame leaves B and arrives at A.
    std::vector<std::uint8_t> frame = {
        0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x00, 0x00, 0x00, 0x00, 0x07, 0x08, 0x00,
        0x45, 0x00, 0x00, 0x20, 0x00, 0x01, 0x00, 0x00, 0x40, 0x11, 0x00, 0x00,
        0xC0, 0x00, 0x02, 0x01, 0xC6, 0x33, 0x64, 0x02,  // 192.0.2.1 -> 198.51.100.2
        0x04, 0xD2, 0x10, 0x92, 0x00, 0x0C, 0x00, 0x00,  // 1234 -> 4242, length 12
        0xDE, 0xAD, 0xBE, 0xEF};
    ASSERT_TRUE(veth.SendFromB(frame));
    ASSERT_TRUE(log.WaitFor(1));
    const auto got = log.Packets().at(0);
    EXPECT_EQ(got.Bytes, frame);
    const Decoded d = Decode(got);
    EXPECT_EQ(d.source, "192.0.2.1");
    EXPECT_EQ(d.dest, "198.51.100.2");
    EXPECT_EQ(d.sourcePort, 1234);
    EXPECT_EQ(d.destPort, 4242);
    EXPECT_EQ(d.payloadLength, 4);

    ASSERT_TRUE(veth.Delete());
    ASSERT_TRUE(MainThread::WaitUntil([&] { return !snoop.Active(); }, 5000))
        << "the reader did not notice that the adapter went away";
    EXPECT_EQ(snoop.LastError(), "Snoop Error: pcap_next_ex return -1");
    EXPECT_EQ(snoop.PcapHandle(), nullptr);

    // The adapter cannot be opened any more; loopback can.
    snoop.Open();
    EXPECT_FALSE(snoop.Active());
    EXPECT_FALSE(snoop.LastError().empty());

    TUdpSocket receiver, sender;
    snoop.SetAdapterName(kLoopback);
    snoop.Filter = "udp and dst port " + std::to_string(receiver.Port());
    snoop.Open();
    ASSERT_TRUE(snoop.Active()) << snoop.LastError();
    sender.SendTo(receiver.Port(), 3);
    EXPECT_TRUE(log.WaitFor(2));
}

// ---------------------------------------------------------------------------

struct NonEthernetCase {
    const char* name;
    bool tun;              // a tun interface created by the test, else "any"
    const char* linkName;  // libpcap's name of the link type
};

class NonEthernetTest : public testing::TestWithParam<NonEthernetCase> {};

TEST_P(NonEthernetTest, OpenRefusesAndNamesTheLinkType)
{
    const auto& c = GetParam();
    std::unique_ptr<TTunInterface> tun;
    std::string device = "any";
    if (c.tun) {
        tun = std::make_unique<TTunInterface>();
        if (!tun->Created())
            GTEST_SKIP() << "cannot create a tun interface here";
        device = tun->Name();
    }
    TSnoop snoop;
    snoop.SetAdapterName(device);
    if (snoop.AdapterName() != device)
        GTEST_SKIP() << device << " is not listed";
    snoop.Open();
    EXPECT_FALSE(snoop.Active());
    EXPECT_EQ(snoop.PcapHandle(), nullptr);
    EXPECT_EQ(snoop.ReaderThread(), nullptr);
    const std::string& text = snoop.LastError();
    EXPECT_EQ(text.rfind("Snoop Error: ", 0), 0u) << text;
    EXPECT_NE(text.find(c.linkName), std::string::npos) << text;
    EXPECT_NE(text.find(device), std::string::npos) << text;
}

INSTANTIATE_TEST_SUITE_P(Devices, NonEthernetTest, testing::ValuesIn(std::vector<NonEthernetCase>{
    // name        tun    link type
    {"Any",        false, "LINUX_SLL"},
    {"Tun",        true,  "RAW"},
}), [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// The adapter setters against the machine's own adapter list.

std::vector<std::pair<std::string, std::string>> LibpcapDevices()
{
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    pcap_if_t* all = nullptr;
    std::vector<std::pair<std::string, std::string>> out;
    if (pcap_findalldevs(&all, errbuf) != 0)
        return out;
    for (pcap_if_t* d = all; d; d = d->next)
        out.emplace_back(d->name, d->description ? d->description : "");
    pcap_freealldevs(all);
    return out;
}

void ExpectSelected(const TSnoop& s, int index, const std::string& context)
{
    SCOPED_TRACE(context);
    EXPECT_EQ(s.AdapterIndex(), index);
    if (index < 0) {
        EXPECT_EQ(s.AdapterName(), "");
        EXPECT_EQ(s.AdapterDescription(), "");
    } else {
        EXPECT_EQ(s.AdapterName(), s.AdapterNames().at(size_t(index)));
        EXPECT_EQ(s.AdapterDescription(), s.AdapterDescriptions().at(size_t(index)));
    }
}

TEST(Adapters, FreshComponentDefaults)
{
    TSnoop s;
    EXPECT_EQ(s.AdapterIndex(), -1);
    EXPECT_EQ(s.AdapterName(), "");
    EXPECT_EQ(s.AdapterDescription(), "");
    EXPECT_FALSE(s.Active());
    EXPECT_EQ(s.LastError(), "");
    EXPECT_TRUE(s.ThreadSafe);
    EXPECT_EQ(s.Filter, "");
    EXPECT_EQ(s.SnapLen, 1600);
    EXPECT_EQ(s.Flags, 1);
    EXPECT_EQ(s.ReadTimeOut, 100);
    EXPECT_EQ(s.BufferSize, 32 * 1024 * 1024);
    EXPECT_EQ(s.PcapHandle(), nullptr);
    EXPECT_EQ(s.ReaderThread(), nullptr);
}

TEST(Adapters, ListsAreLibpcapsInEnumerationOrder)
{
    TSnoop s;
    const auto devices = LibpcapDevices();
    ASSERT_FALSE(devices.empty());
    ASSERT_EQ(s.AdapterNames().size(), devices.size());
    ASSERT_EQ(s.AdapterDescriptions().size(), devices.size());
    for (size_t i = 0; i < devices.size(); ++i) {
        EXPECT_EQ(s.AdapterNames()[i], devices[i].first);
        EXPECT_EQ(s.AdapterDescriptions()[i], devices[i].second);
    }
    EXPECT_NE(std::find(s.AdapterNames().begin(), s.AdapterNames().end(), kLoopback), s.AdapterNames().end());
}

TEST(Adapters, IndexSetter)
{
    TSnoop s;
    const int n = int(s.AdapterNames().size());
    ASSERT_GT(n, 0);
    std::vector<int> values = {INT_MIN, -2, -1, n, n + 1, INT_MAX};
    for (int i = 0; i < n; ++i)
        values.push_back(i);
    for (int from : {-1, 0, n - 1}) {
        for (int v : values) {
            s.SetAdapterIndex(from);
            s.SetAdapterIndex(v);
            ExpectSelected(s, v >= 0 && v < n ? v : -1,
                           "from " + std::to_string(from) + " to " + std::to_string(v));
            s.SetAdapterIndex(v); // the same value again changes nothing
            ExpectSelected(s, v >= 0 && v < n ? v : -1, "again " + std::to_string(v));
        }
    }
}

TEST(Adapters, NameSetter)
{
    TSnoop s;
    const auto& names = s.AdapterNames();
    for (const auto& name : names) {
        const int first = int(std::find(names.begin(), names.end(), name) - names.begin());
        s.SetAdapterIndex(-1);
        s.SetAdapterName(name);
        ExpectSelected(s, first, "name " + name);
    }
    const int lo = int(std::find(names.begin(), names.end(), kLoopback) - names.begin());
    const struct {
        const char* context;
        int from;
        std::string value;
        int expected;
    } cases[] = {
        {"unknown name", lo, "no-such-adapter0", -1},
        {"case differs", lo, "LO", -1},
        {"trailing blank", lo, "lo ", -1},
        {"empty while chosen", lo, "", -1},
        {"empty while empty", -1, "", -1},
        {"same name", lo, kLoopback, lo},
    };
    for (const auto& c : cases) {
        s.SetAdapterIndex(c.from);
        s.SetAdapterName(c.value);
        ExpectSelected(s, c.expected, c.context);
    }
}

TEST(Adapters, DescriptionSetterChoosesTheFirstAdapterWithIt)
{
    TSnoop s;
    const auto& descriptions = s.AdapterDescriptions();
    for (const auto& d : std::set<std::string>(descriptions.begin(), descriptions.end())) {
        const int first = int(std::find(descriptions.begin(), descriptions.end(), d) - descriptions.begin());
        // Start from an adapter with another description, so that the
        // setter really searches.
        int other = -1;
        for (size_t i = 0; i < descriptions.size() && other < 0; ++i)
            if (descriptions[i] != d)
                other = int(i);
        s.SetAdapterIndex(other);
        s.SetAdapterDescription(d);
        ExpectSelected(s, d.empty() && other < 0 ? -1 : first, "description '" + d + "'");
    }
    s.SetAdapterIndex(0);
    s.SetAdapterDescription("no adapter has this description");
    ExpectSelected(s, -1, "unknown description");

    // The current description again: nothing happens, even when an earlier
    // adapter shares it.
    for (size_t i = 0; i < descriptions.size(); ++i) {
        s.SetAdapterIndex(int(i));
        s.SetAdapterDescription(descriptions[i]);
        ExpectSelected(s, int(i), "current description of " + std::to_string(i));
    }
}

// ---------------------------------------------------------------------------

TEST(Permissions, UnprivilegedOpenKeepsLibpcapTextAndAddsTheRemedy)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to start an unprivileged child";
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(fds[0]);
        std::string report;
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) {
            report = "setuid failed";
        } else {
            // What libpcap itself says, then what the component says.
            char errbuf[PCAP_ERRBUF_SIZE] = {};
            pcap_t* p = pcap_create(kLoopback.c_str(), errbuf);
            std::string libpcapText;
            if (p) {
                if (pcap_activate(p) < 0)
                    libpcapText = pcap_geterr(p);
                pcap_close(p);
            }
            TSnoop s;
            s.SetAdapterName(kLoopback);
            s.Open();
            report = std::string(s.Active() ? "1" : "0") + "\n" + libpcapText + "\n" + s.LastError();
        }
        (void)!write(fds[1], report.data(), report.size());
        _exit(0);
    }
    close(fds[1]);
    std::string report;
    char buf[1024];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;)
        report.append(buf, size_t(n));
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);

    const auto nl1 = report.find('\n');
    const auto nl2 = report.find('\n', nl1 + 1);
    ASSERT_NE(nl2, std::string::npos) << report;
    const std::string active = report.substr(0, nl1);
    const std::string libpcapText = report.substr(nl1 + 1, nl2 - nl1 - 1);
    const std::string lastError = report.substr(nl2 + 1);
    EXPECT_EQ(active, "0");
    ASSERT_FALSE(libpcapText.empty()) << "libpcap let an unprivileged process capture";
    EXPECT_EQ(lastError.rfind(libpcapText, 0), 0u) << lastError;
    EXPECT_NE(lastError.find("setcap cap_net_raw,cap_net_admin=eip"), std::string::npos) << lastError;
}

} // namespace
