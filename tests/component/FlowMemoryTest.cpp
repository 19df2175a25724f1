// The packet handler remembers, per flow, the match, the hosts, the route and
// where the port pair's items lie, and uses each only while it still holds.
// Here packets from a small set of flows (most packets meet a flow it knows)
// and from random flows (which push known flows out) run through the handler,
// mixed with everything that can make a remembered part stale: ageing,
// route removal (also by a handler, right after the route was made), a route
// aged by its user, other range lists, other rules in the same places, and
// ListFirstRangeMatchOnly switched. Each update event must name the ranges
// that each rule's own Matches names, and the hosts and routes must be the
// ones a second component builds from the same updates through RecordTraffic,
// which looks everything up every time.

#include "TestFrames.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <sstream>

namespace {

using namespace testframes;
using namespace testsupport;

std::string Dotted(std::uint32_t address)
{
    return std::to_string(address >> 24) + "." + std::to_string(address >> 16 & 255) + "." +
           std::to_string(address >> 8 & 255) + "." + std::to_string(address & 255);
}

// Every node and route with every slot, item by item.
std::string Picture(const TVarno& varno)
{
    std::ostringstream out;
    for (const auto& node : varno.NodeList())
        out << "node " << node->IPAddress() << " stamp " << node->Stamp() << " changed " << node->Changed()
            << " links " << node->LinkRoutes().size() << "\n";
    const auto list = [&out](const char* name, const TTrafficPortList& items) {
        out << "  " << name << " " << items.Summary().PacketAmount << "/" << items.Summary().DataAmount << ":";
        for (const TTrafficItem& item : items.Items())
            out << " " << item.SourcePort << ">" << item.DestPort << "=" << item.PacketAmount << "/"
                << item.DataAmount;
        out << "\n";
    };
    for (const auto& route : varno.RouteList()) {
        out << "route " << route->SourceNode()->IPAddress() << " - " << route->DestNode()->IPAddress()
            << " changed " << route->Changed() << "\n";
        for (int i = 0; i < TLinkRoute::SlotCount; ++i)
            list("slot", route->Slot(i));
        list("total", route->Total());
    }
    return out.str();
}

// The numbers of the rules whose own Matches accepts the packet.
std::string Expected(const TVarno& varno, const Packet& p)
{
    std::string text;
    for (std::size_t i = 0; i < varno.AllowRanges.size(); ++i) {
        if (!varno.AllowRanges[i]->Matches(p.Source, p.Dest, p.SourcePort, p.DestPort))
            continue;
        text += (text.empty() ? "" : ",") + std::to_string(i + 1);
        if (varno.ListFirstRangeMatchOnly)
            break;
    }
    return text;
}

// Rule lists the packets below fall into in different ways.
std::vector<std::unique_ptr<TAllowRange>> RuleList(int which)
{
    std::vector<std::unique_ptr<TAllowRange>> rules;
    switch (which % 4) {
    case 0:
        rules.push_back(Rule("10.0.0.1-10.0.0.3", "*ANY*", "*ANY*", "*ANY*"));
        rules.push_back(Rule("*ANY*", "*ANY*", "*ANY*", "80,443"));
        rules.push_back(AnyRule());
        break;
    case 1:
        rules.push_back(Rule("*ANY*", "10.0.0.2,10.0.0.4", "1000-40001", "*ANY*"));
        rules.push_back(Rule("10.0.0.*", "10.0.0.*", "*ANY*", "*ANY*"));
        break;
    case 2:
        // Overlapping port bands: hundreds of different sets of matching
        // ranges, more than the handler keeps texts for.
        for (int i = 0; i < 60; ++i) {
            const int low = (i % 30) * 2185;
            const std::string band = std::to_string(low) + "-" + std::to_string(std::min(low + 2400, 65535));
            rules.push_back(i < 30 ? Rule("*ANY*", "*ANY*", "*ANY*", band) : Rule("*ANY*", "*ANY*", band, "*ANY*"));
        }
        break;
    default:
        rules.push_back(Rule("*ANY*", "*ANY*", "53", "*ANY*"));
        rules.push_back(Rule("*ANY*", "*ANY*", "*ANY*", "53"));
        rules.push_back(Rule("10.0.0.4", "*ANY*", "*ANY*", "*ANY*"));
        rules.push_back(AnyRule());
        break;
    }
    return rules;
}

TEST(FlowMemory, EveryUpdateAndThePictureAsWithoutIt)
{
    ScratchDir scratch;
    TVarno packets;   // handed frames
    TVarno recorded;  // handed the same updates through RecordTraffic
    for (TVarno* varno : {&packets, &recorded}) {
        varno->LoadAndSaveIPNames = false;
        varno->NodeNamesFile = scratch.File("Nodes.ini");
        // Some routes are removed by a handler as soon as they are made,
        // the same ones in both.
        varno->OnAfterAddLinkRoute = [varno](TObject*, TLinkRoute* route) {
            const std::string key = route->SourceNode()->IPAddress() + route->DestNode()->IPAddress();
            if (std::hash<std::string>{}(key) % 11 == 0)
                varno->DeleteLinkRoute(route);
        };
    }
    packets.AllowRanges = RuleList(0);

    std::mt19937 random(20261211);
    const auto below = [&random](std::uint32_t n) { return std::uint32_t(random() % n); };
    const std::uint32_t hosts[] = {0x0A000001, 0x0A000002, 0x0A000003, 0x0A000004, 0xC0A80101};
    const std::uint16_t ports[] = {53, 80, 443, 1000, 5000, 12000, 25000, 40000, 40001, 60000};

    Packet sent;
    std::string expected;
    int updates = 0;
    int expectedUpdates = 0;
    std::string failure;
    const auto update = [&](TObject*, const std::string& sourceIP, const std::string& destIP, int packetAmount,
                            int dataAmount, int sourcePort, int destPort, const std::string& matched) {
        ++updates;
        if (sourceIP != Dotted(sent.Source) || destIP != Dotted(sent.Dest) || packetAmount != 1 ||
            sourcePort != sent.SourcePort || destPort != sent.DestPort || matched != expected)
            failure = "update " + sourceIP + ":" + std::to_string(sourcePort) + " > " + destIP + ":" +
                      std::to_string(destPort) + " ranges \"" + matched + "\", expected \"" + expected + "\"";
        recorded.RecordTraffic(nullptr, sourceIP, destIP, packetAmount, dataAmount, sourcePort, destPort);
    };
    packets.OnTCPNetworkTrafficUpdate = update;
    packets.OnUDPNetworkTrafficUpdate = update;

    int lists = 0;
    for (int step = 0; step < 60000 && failure.empty(); ++step) {
        const std::uint32_t what = below(1000);
        if (what < 930) {
            Packet p;
            p.Protocol = below(2) ? kTCP : kUDP;
            if (what < 780) {
                p.Source = hosts[below(5)];
                p.Dest = hosts[below(5)];
                p.SourcePort = ports[below(10)];
                p.DestPort = ports[below(10)];
            } else {
                // A flow never seen, which may push a known one out.
                p.Source = 0x0A000000 | below(4096);
                p.Dest = std::uint32_t(random());
                p.SourcePort = std::uint16_t(random());
                p.DestPort = std::uint16_t(random());
            }
            p.PayloadLength = int(below(40));
            sent = p;
            expected = Expected(packets, p);
            if (!expected.empty())
                ++expectedUpdates;
            Feed(packets, p);
        } else if (what < 950) {
            packets.AgeLinkRoutes();
            recorded.AgeLinkRoutes();
        } else if (what < 960) {
            if (!packets.RouteList().empty()) {
                const std::size_t at = below(std::uint32_t(packets.RouteList().size()));
                packets.DeleteLinkRoute(packets.RouteList()[at].get());
                recorded.DeleteLinkRoute(recorded.RouteList()[at].get());
            }
        } else if (what < 970) {
            // The route's user closes a period of its own.
            if (!packets.RouteList().empty()) {
                const std::size_t at = below(std::uint32_t(packets.RouteList().size()));
                packets.RouteList()[at]->Age();
                recorded.RouteList()[at]->Age();
            }
        } else if (what < 980) {
            packets.AllowRanges = RuleList(++lists);
        } else if (what < 990) {
            // The same rule text in the same place, as a new rule.
            const std::size_t at = below(std::uint32_t(packets.AllowRanges.size()));
            const TAllowRange& old = *packets.AllowRanges[at];
            packets.AllowRanges[at] = std::make_unique<TAllowRange>(old.DisplayName, old.SourceIPs, old.DestIPs,
                                                                    old.SourcePorts, old.DestPorts);
        } else {
            packets.ListFirstRangeMatchOnly = !packets.ListFirstRangeMatchOnly;
        }
        if (step % 250 == 0) {
            ASSERT_EQ(Picture(packets), Picture(recorded)) << "after step " << step;
        }
    }
    EXPECT_EQ(failure, "");
    EXPECT_EQ(updates, expectedUpdates);
    EXPECT_EQ(Picture(packets), Picture(recorded));
    // The run went through the cases it is about.
    EXPECT_GT(packets.RouteList().size(), 5u);
    EXPECT_GT(lists, 10);
}

} // namespace
