// The packet handler driven by frames built here: which frames count, the
// matched ranges lists, data events against bookkeeping, and truncated frames.

#include "TestFrames.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

namespace {

using namespace testframes;
using namespace testsupport;

struct FrameKindCase {
    const char* Name;
    std::uint16_t EtherType;
    std::uint8_t Protocol;
    const char* ExpectedEvent;  // "" for none
};

void PrintTo(const FrameKindCase& c, std::ostream* os) { *os << c.Name; }

class FrameKinds : public ::testing::TestWithParam<FrameKindCase> {};

TEST_P(FrameKinds, OnlyIPv4TCPAndUDPCount)
{
    const FrameKindCase& c = GetParam();
    TVarno varno;
    varno.AllowRanges.push_back(AnyRule());
    Recorder rec;
    rec.Attach(varno);

    Packet p;
    p.EtherType = c.EtherType;
    p.Protocol = c.Protocol;
    p.PayloadLength = 10;
    const bool counted = Feed(varno, p);

    const std::string expected = c.ExpectedEvent;
    EXPECT_EQ(counted, !expected.empty());
    if (expected.empty()) {
        EXPECT_TRUE(rec.Events.empty());
        EXPECT_TRUE(varno.NodeList().empty());
        EXPECT_TRUE(varno.RouteList().empty());
    } else {
        EXPECT_EQ(rec.Kinds(), (std::vector<std::string>{"AddNode", "AddNode", "AddRoute", expected}));
    }
}

INSTANTIATE_TEST_SUITE_P(Classification, FrameKinds,
                         ::testing::ValuesIn(std::vector<FrameKindCase>{
                             // Name           EtherType Protocol  Event
                             {"IPv4TCP",        0x0800,   kTCP,     "TCPUpdate"},
                             {"IPv4UDP",        0x0800,   kUDP,     "UDPUpdate"},
                             {"IPv4ICMP",       0x0800,   1,        ""},
                             {"IPv4SixInFour",  0x0800,   41,       ""},
                             {"IPv6",           0x86DD,   kTCP,     ""},
                             {"VLANTagged",     0x8100,   kTCP,     ""},
                             {"ARP",            0x0806,   kUDP,     ""},
                             {"PPPoESession",   0x8864,   kUDP,     ""},
                         }),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(Classification, UpdateEventCarriesThePacketValues)
{
    TVarno varno;
    varno.AllowRanges.push_back(AnyRule());
    Recorder rec;
    rec.Attach(varno);

    Packet p;
    p.Protocol = kUDP;
    p.Source = 0xC0A80001;  // wire bytes C0 A8 00 01
    p.Dest = 0xFFFFFFFF;
    p.SourcePort = 65535;
    p.DestPort = 0;
    p.PayloadLength = 100;
    Feed(varno, p);

    ASSERT_EQ(rec.Count("UDPUpdate"), 1u);
    const Event& e = rec.Events.back();
    EXPECT_EQ(e.Sender, &varno);
    EXPECT_EQ(e.SourceIP, "192.168.0.1");
    EXPECT_EQ(e.DestIP, "255.255.255.255");
    EXPECT_EQ(e.PacketAmount, 1);
    EXPECT_EQ(e.DataAmount, 128);  // the IPv4 total length, not the frame length
    EXPECT_EQ(e.SourcePort, 65535);
    EXPECT_EQ(e.DestPort, 0);
    EXPECT_EQ(e.MatchedRanges, "1");
}

TEST(Classification, FullSizedDatagramReportsItsTotalLength)
{
    TVarno varno;
    varno.AllowRanges.push_back(AnyRule());
    Recorder rec;
    rec.Attach(varno);
    Packet p;
    p.PayloadLength = 1460;  // a full 1514-byte frame
    // Only the first 68 bytes are captured, as on a live adapter.
    Feed(varno, Build(p), 68);
    ASSERT_EQ(rec.Count("TCPUpdate"), 1u);
    EXPECT_EQ(rec.Events.back().DataAmount, 1500);
}

struct MatchListCase {
    const char* Name;
    int RangeCount;
    std::vector<int> MatchingRanges;  // 1-based
    bool FirstOnly;
    const char* Expected;  // "" when nothing matches
};

void PrintTo(const MatchListCase& c, std::ostream* os) { *os << c.Name; }

class MatchLists : public ::testing::TestWithParam<MatchListCase> {};

TEST_P(MatchLists, ListTheMatchingRangeNumbers)
{
    const MatchListCase& c = GetParam();
    TVarno varno;
    varno.ListFirstRangeMatchOnly = c.FirstOnly;
    // The packet goes to port 80; the other rules want a port it does not have.
    for (int n = 1; n <= c.RangeCount; ++n) {
        const bool matching = std::find(c.MatchingRanges.begin(), c.MatchingRanges.end(), n) != c.MatchingRanges.end();
        varno.AllowRanges.push_back(matching ? Rule("10.0.0.1", "10.0.0.0-10.0.0.255", "*ANY*", "80")
                                             : Rule("*ANY*", "*ANY*", "*ANY*", std::to_string(1000 + n)));
    }
    Recorder rec;
    rec.Attach(varno, true);

    for (std::uint8_t protocol : {kTCP, kUDP}) {
        rec.Events.clear();
        Packet p;
        p.Protocol = protocol;
        p.PayloadLength = 0;
        Feed(varno, p);
        const std::string update = protocol == kTCP ? "TCPUpdate" : "UDPUpdate";
        if (std::string(c.Expected).empty()) {
            EXPECT_TRUE(rec.Events.empty()) << "a packet matching no range leaves no trace";
        } else {
            ASSERT_EQ(rec.Count(update), 1u);
            EXPECT_EQ(rec.Events.back().MatchedRanges, c.Expected);
        }
    }
    if (std::string(c.Expected).empty()) {
        EXPECT_TRUE(varno.NodeList().empty());
        EXPECT_TRUE(varno.RouteList().empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Classification, MatchLists,
                         ::testing::ValuesIn(std::vector<MatchListCase>{
                             // Name              Ranges Matching          FirstOnly Expected
                             {"AllOfFive",         5,     {2, 4},           false,    "2,4"},
                             {"FirstOfFive",       5,     {2, 4},           true,     "2"},
                             {"TenAndTwelve",      12,    {10, 12},         false,    "10,12"},
                             {"FirstOfTwelve",     12,    {10, 12},         true,     "10"},
                             {"EveryRange",        3,     {1, 2, 3},        false,    "1,2,3"},
                             {"LongList",          20,    {1, 5, 11, 19, 20}, false,  "1,5,11,19,20"},
                             {"NoneOfFive",        5,     {},               false,    ""},
                             {"NoRanges",          0,     {},               false,    ""},
                         }),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(Classification, RangeLookedUpInBothDirections)
{
    // The handler asks with the packet's own source and destination.
    TVarno varno;
    varno.AllowRanges.push_back(Rule("10.0.0.1", "*ANY*", "*ANY*", "*ANY*"));
    Recorder rec;
    rec.Attach(varno);
    Packet p;
    Feed(varno, p);
    std::swap(p.Source, p.Dest);
    Feed(varno, p);
    EXPECT_EQ(rec.Count("TCPUpdate"), 1u);
    EXPECT_EQ(rec.Events.back().SourceIP, "10.0.0.1");
}

// Data events against bookkeeping: which one a matched packet goes to.
struct DataCase {
    const char* Name;
    std::uint8_t Protocol;
    int PayloadLength;
    int TCPHeaderWords;
    int TotalLengthField;  // -1: consistent
    int UDPLengthField;    // -1: consistent
    size_t CapLen;         // bytes captured
    bool DataEvent;
    int DataLen;           // DataLen_ expected in the data event
    int DataAmount;        // in the update event
};

void PrintTo(const DataCase& c, std::ostream* os) { *os << c.Name; }

class DataOrBookkeeping : public ::testing::TestWithParam<DataCase> {};

TEST_P(DataOrBookkeeping, EitherTheDataEventOrTheRecord)
{
    const DataCase& c = GetParam();
    TVarno varno;
    varno.AllowRanges.push_back(AnyRule());
    Recorder rec;
    rec.Attach(varno, true);

    Packet p;
    p.Protocol = c.Protocol;
    p.PayloadLength = c.PayloadLength;
    p.TCPHeaderWords = c.TCPHeaderWords;
    p.TotalLengthField = c.TotalLengthField;
    p.UDPLengthField = c.UDPLengthField;
    Feed(varno, Build(p), c.CapLen);

    const std::string proto = c.Protocol == kTCP ? "TCP" : "UDP";
    if (c.DataEvent) {
        ASSERT_EQ(rec.Kinds(), (std::vector<std::string>{proto + "Data", proto + "Update"}));
        const Event& data = rec.Events[0];
        EXPECT_EQ(data.Sender, &varno);
        EXPECT_EQ(data.DataLen, c.DataLen);
        EXPECT_EQ(data.PacketAmount, 1);
        EXPECT_EQ(data.DataAmount, c.DataAmount);
        for (size_t i = 0; i < data.Data.size(); ++i)
            ASSERT_EQ(data.Data[i], std::uint8_t(i)) << "payload byte " << i;
        EXPECT_TRUE(varno.NodeList().empty()) << "a packet taken by a data event is not recorded";
        EXPECT_TRUE(varno.RouteList().empty());
    } else {
        ASSERT_EQ(rec.Kinds(), (std::vector<std::string>{"AddNode", "AddNode", "AddRoute", proto + "Update"}));
        ASSERT_EQ(varno.RouteList().size(), 1u);
        EXPECT_EQ(varno.RouteList()[0]->TotalDataAmount(), c.DataAmount);
    }
    EXPECT_EQ(rec.Events.back().DataAmount, c.DataAmount);
    EXPECT_EQ(rec.Events.back().PacketAmount, 1);
}

INSTANTIATE_TEST_SUITE_P(Classification, DataOrBookkeeping,
                         ::testing::ValuesIn(std::vector<DataCase>{
                             // Name                 Proto Payload Words TotLen UDPLen CapLen DataEv DataLen Amount
                             {"TCPWithoutPayload",    kTCP, 0,      5,    -1,    -1,    54,    false,  0,      40},
                             {"TCPWithPayload",       kTCP, 10,     5,    -1,    -1,    64,    true,   10,     50},
                             {"TCPPayloadCutAt68",    kTCP, 1000,   5,    -1,    -1,    68,    true,   14,     1040},
                             {"TCPOptionsNoPayload",  kTCP, 0,      8,    -1,    -1,    66,    false,  0,      52},
                             {"TCPOptionsPayload",    kTCP, 20,     8,    -1,    -1,    68,    true,   2,      72},
                             {"TCPHeaderPastCapture", kTCP, 100,    15,   -1,    -1,    68,    true,   0,      180},
                             {"TCPTotalTooSmall",     kTCP, 0,      5,    30,    -1,    54,    false,  0,      30},
                             {"UDPEmptyPayload",      kUDP, 0,      5,    -1,    -1,    42,    true,   0,      28},
                             {"UDPWithPayload",       kUDP, 12,     5,    -1,    -1,    54,    true,   12,     40},
                             {"UDPPayloadCutAt68",    kUDP, 500,    5,    -1,    -1,    68,    true,   26,     528},
                             {"UDPLengthBelowHeader", kUDP, 10,     5,    -1,    4,     52,    true,   0,      38},
                             {"UDPLengthAboveFrame",  kUDP, 10,     5,    -1,    900,   52,    true,   10,     38},
                         }),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(Classification, WithoutDataHandlersEveryMatchedPacketIsRecorded)
{
    TVarno varno;
    varno.AllowRanges.push_back(AnyRule());
    Packet tcp;
    tcp.PayloadLength = 10;
    Packet udp;
    udp.Protocol = kUDP;
    udp.Source = 0x0A000003;
    Feed(varno, tcp);
    Feed(varno, udp);
    EXPECT_EQ(varno.NodeList().size(), 3u);
    EXPECT_EQ(varno.RouteList().size(), 2u);
}

// Frames cut at every length up to 54 bytes, each handed over in a block of
// exactly that many bytes.
TEST(Classification, TruncatedFramesReadOnlyTheCapturedBytes)
{
    for (const bool dataHandlers : {false, true}) {
        for (const std::uint8_t protocol : {kTCP, kUDP}) {
            Packet p;
            p.Protocol = protocol;
            p.Source = 0xC0A80105;
            p.Dest = 0x08080808;
            p.SourcePort = 0x1234;
            p.DestPort = 0xABCD;
            p.PayloadLength = 20;
            const std::vector<std::uint8_t> frame = Build(p);
            const int declaredTotal = protocol == kTCP ? 60 : 48;
            const size_t payloadStart = protocol == kTCP ? 54 : 42;

            for (size_t len = 0; len <= 54; ++len) {
                SCOPED_TRACE("protocol " + std::to_string(protocol) + ", " + std::to_string(len) +
                             " bytes, data handlers " + std::to_string(dataHandlers));
                TVarno varno;
                varno.AllowRanges.push_back(AnyRule());
                Recorder rec;
                rec.Attach(varno, dataHandlers);
                const bool counted = Feed(varno, frame, len);

                if (len < 38) {
                    EXPECT_FALSE(counted);
                    EXPECT_TRUE(rec.Events.empty());
                    EXPECT_TRUE(varno.NodeList().empty());
                    continue;
                }
                EXPECT_TRUE(counted);
                ASSERT_FALSE(rec.Events.empty());
                const Event& update = rec.Events.back();
                EXPECT_EQ(update.Kind, protocol == kTCP ? "TCPUpdate" : "UDPUpdate");
                EXPECT_EQ(update.SourceIP, "192.168.1.5");
                EXPECT_EQ(update.DestIP, "8.8.8.8");
                EXPECT_EQ(update.SourcePort, 0x1234);
                EXPECT_EQ(update.DestPort, 0xABCD);
                EXPECT_EQ(update.DataAmount, declaredTotal);
                EXPECT_EQ(update.MatchedRanges, "1");

                // TCP needs the data-offset byte (47th) before a payload is looked for.
                const bool dataEvent = dataHandlers && (protocol == kUDP || len >= 47);
                if (dataEvent) {
                    ASSERT_EQ(rec.Events.size(), 2u);
                    const Event& data = rec.Events.front();
                    const int expectedLen = len > payloadStart ? int(len - payloadStart) : 0;
                    EXPECT_EQ(data.DataLen, expectedLen);
                    EXPECT_EQ(data.DataAmount, declaredTotal);
                    for (size_t i = 0; i < data.Data.size(); ++i)
                        EXPECT_EQ(data.Data[i], std::uint8_t(i));
                    EXPECT_TRUE(varno.NodeList().empty());
                } else {
                    EXPECT_EQ(rec.Count("AddRoute"), 1u);
                    EXPECT_EQ(varno.NodeList().size(), 2u);
                }
            }
        }
    }
}

} // namespace

// The matched-ranges text of every update is the list of the rules whose own
// Matches accepts the packet, while packets repeat, the rule list changes
// between frames, the first-match setting flips, and a handler handles a
// frame of its own before it reads its text.
TEST(MatchedRangesText, NamesEveryMatchingRuleThroughRepeatsAndChanges)
{
    std::vector<std::unique_ptr<TAllowRange>> pool;
    pool.push_back(Rule("*ANY*", "*ANY*", "*ANY*", "80,443"));
    pool.push_back(Rule("10.0.0.0-10.0.0.255", "*ANY*", "*ANY*", "*ANY*"));
    pool.push_back(Rule("*ANY*", "10.0.0.2", "1024-65535", "*ANY*"));
    pool.push_back(Rule("*ANY*", "*ANY*", "53", "*ANY*"));
    pool.push_back(Rule("192.168.1.*", "*ANY*", "*ANY*", "*ANY*"));
    pool.push_back(AnyRule());

    const std::uint32_t addresses[] = {0x0A000001, 0x0A000002, 0xC0A80105, 0x08080808};
    const std::uint16_t ports[] = {53, 80, 443, 5000};
    std::vector<Packet> packets;
    for (const std::uint32_t s : addresses)
        for (const std::uint32_t d : addresses)
            for (const std::uint16_t sp : ports)
                for (const std::uint16_t dp : ports) {
                    Packet p;
                    p.Protocol = (sp + dp) % 3 ? kTCP : kUDP;
                    p.Source = s;
                    p.Dest = d;
                    p.SourcePort = sp;
                    p.DestPort = dp;
                    packets.push_back(p);
                }

    TVarno varno;
    varno.LoadAndSaveIPNames = false;
    std::vector<TAllowRange*> rules;  // what varno.AllowRanges holds, for the expected texts
    const auto expectedText = [&](const Packet& p) {
        std::string text;
        for (size_t i = 0; i < rules.size(); ++i) {
            if (!rules[i]->Matches(p.Source, p.Dest, p.SourcePort, p.DestPort))
                continue;
            text += (text.empty() ? "" : ",") + std::to_string(i + 1);
            if (varno.ListFirstRangeMatchOnly)
                break;
        }
        return text;
    };

    const Packet* inner = nullptr;  // a frame the handler handles first
    std::string seen, innerSeen;
    int updates = 0;
    const TOnTrafficUpdate update = [&](TObject*, const std::string&, const std::string&, int, int, int, int,
                                        const std::string& matched) {
        ++updates;
        if (inner) {
            const Packet* p = inner;
            inner = nullptr;
            const std::string before = matched;
            Feed(varno, *p);
            innerSeen = seen;
            EXPECT_EQ(matched, before) << "the text changed under the handler";
        }
        seen = matched;
    };
    varno.OnTCPNetworkTrafficUpdate = update;
    varno.OnUDPNetworkTrafficUpdate = update;

    // Lists of rules taken from the pool in changing orders; the owner keeps
    // the rules, so one rule may stand at another position next round.
    const std::vector<std::vector<int>> lists = {{0, 1, 2, 3, 4, 5}, {5, 4, 3, 2, 1, 0}, {2}, {}, {3, 0}, {1, 2, 3, 4}};
    for (size_t round = 0; round < lists.size() * 2; ++round) {
        varno.ListFirstRangeMatchOnly = round % 2 == 1;
        for (auto& r : varno.AllowRanges)
            r.release();
        varno.AllowRanges.clear();
        rules.clear();
        for (const int i : lists[round % lists.size()]) {
            varno.AllowRanges.emplace_back(pool[size_t(i)].get());
            rules.push_back(pool[size_t(i)].get());
        }
        for (int repeat = 0; repeat < 3; ++repeat) {
            for (size_t k = 0; k < packets.size(); ++k) {
                const Packet& p = packets[k];
                const std::string want = expectedText(p);
                if (repeat == 2 && k % 7 == 0)
                    inner = &packets[(k * 13 + 5) % packets.size()];
                const Packet* nested = inner;
                seen = "(none)";
                const int before = updates;
                Feed(varno, p);
                if (want.empty()) {
                    EXPECT_EQ(updates, before) << "round " << round << " packet " << k;
                    inner = nullptr;
                    continue;
                }
                ASSERT_EQ(seen, want) << "round " << round << " repeat " << repeat << " packet " << k;
                if (nested && !expectedText(*nested).empty()) {
                    EXPECT_EQ(innerSeen, expectedText(*nested)) << "round " << round << " inner of packet " << k;
                }
            }
        }
    }
    for (auto& r : varno.AllowRanges)
        r.release();
    varno.AllowRanges.clear();
    EXPECT_GT(updates, 1000);
}
