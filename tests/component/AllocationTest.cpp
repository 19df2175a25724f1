// The handler runs for every captured frame: a frame that matches no range,
// and a repeat of traffic already recorded, must not allocate. Counts the
// allocations of this program while the handler runs.

#include "TestFrames.h"
#include "tests/support/AllocationCounter.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace testframes;

struct Frame {
    std::vector<std::uint8_t> Bytes;
    pcap_pkthdr Header{};
};

Frame Make(const Packet& p, size_t capLen = 68)
{
    Frame f;
    f.Bytes = Build(p);
    f.Header.caplen = std::uint32_t(std::min(capLen, f.Bytes.size()));
    f.Header.len = std::uint32_t(f.Bytes.size());
    return f;
}

TEST(HandlerAllocation, CounterSeesAllocations)
{
    EXPECT_GE(CountAllocations([] { delete new std::string(100, 'x'); }), 1);
}

TEST(HandlerAllocation, UnmatchedAndIgnoredFramesAllocateNothing)
{
    TVarno varno;
    varno.ListFirstRangeMatchOnly = false;
    // Rules that walk every kind of list but want port 9 somewhere.
    varno.AllowRanges.push_back(std::make_unique<TAllowRange>("a", "*ANY*", "*ANY*", "*ANY*", "9"));
    varno.AllowRanges.push_back(
        std::make_unique<TAllowRange>("b", "10.0.0.0-10.255.255.255,192.168.1.*", "*ANY*", "9,1024-2048", "*ANY*"));
    varno.AllowRanges.push_back(std::make_unique<TAllowRange>("c", "172.16.0.1", "10.0.0.2", "*ANY*", "*ANY*"));
    int events = 0;
    varno.OnTCPNetworkTrafficUpdate = [&](TObject*, const std::string&, const std::string&, int, int, int, int,
                                          const std::string&) { ++events; };
    varno.OnUDPNetworkTrafficUpdate = varno.OnTCPNetworkTrafficUpdate;

    std::vector<Frame> frames;
    for (const std::uint8_t protocol : {kTCP, kUDP, std::uint8_t(1)}) {
        Packet p;
        p.Protocol = protocol;
        p.PayloadLength = 200;
        frames.push_back(Make(p));
        frames.push_back(Make(p, 40));
        frames.push_back(Make(p, 20));
    }
    Packet ipv6;
    ipv6.EtherType = 0x86DD;
    frames.push_back(Make(ipv6));

    const long allocations = CountAllocations([&] {
        for (int round = 0; round < 100; ++round)
            for (const Frame& f : frames)
                varno.HandleFrame(&f.Header, f.Bytes.data());
    });
    EXPECT_EQ(events, 0);
    EXPECT_EQ(allocations, 0);
    EXPECT_TRUE(varno.NodeList().empty());
}

TEST(HandlerAllocation, RepeatedTrafficOfAKnownPairAllocatesNothing)
{
    TVarno varno;
    varno.LoadAndSaveIPNames = false;
    varno.ListFirstRangeMatchOnly = false;
    for (int i = 0; i < 3; ++i)
        varno.AllowRanges.push_back(std::make_unique<TAllowRange>("any", "*ANY*", "*ANY*", "*ANY*", "*ANY*"));
    long bytes = 0;
    varno.OnTCPNetworkTrafficUpdate = [&](TObject*, const std::string&, const std::string&, int, int amount, int,
                                          int, const std::string&) { bytes += amount; };
    Packet p;
    p.Source = 0xC0A80164;  // 192.168.1.100: the longest texts still fit in place
    p.Dest = 0xC0A801C8;
    p.PayloadLength = 1000;
    const Frame first = Make(p);
    std::swap(p.Source, p.Dest);
    std::swap(p.SourcePort, p.DestPort);
    const Frame reply = Make(p);
    varno.HandleFrame(&first.Header, first.Bytes.data());
    varno.HandleFrame(&reply.Header, reply.Bytes.data());

    const long allocations = CountAllocations([&] {
        for (int i = 0; i < 1000; ++i) {
            varno.HandleFrame(&first.Header, first.Bytes.data());
            varno.HandleFrame(&reply.Header, reply.Bytes.data());
        }
    });
    EXPECT_EQ(allocations, 0);
    EXPECT_EQ(bytes, 2002 * 1040);
    ASSERT_EQ(varno.RouteList().size(), 1u);
    EXPECT_EQ(varno.RouteList()[0]->TotalPacketAmount(), 2002);
}

} // namespace
