#include "topography/NetworkTopographyClasses.h"
#include "topography/ObjectPool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <utility>

namespace {

using PortPair = std::pair<int32_t, int32_t>;

struct Amounts {
    int64_t packets = 0;
    int64_t bytes = 0;
    bool operator==(const Amounts&) const = default;
};

std::map<PortPair, Amounts> ItemsOf(const TTrafficPortList& list)
{
    std::map<PortPair, Amounts> result;
    for (const TTrafficItem& item : list.Items())
        result[{item.SourcePort, item.DestPort}] = {item.PacketAmount, item.DataAmount};
    return result;
}

// Checks the invariants of a route: every pair of Total holds the sum of that
// pair over the five slots, and Total's summary the sum of the slot summaries.
void ExpectWindowConsistent(const TLinkRoute& route)
{
    std::map<PortPair, Amounts> sums;
    Amounts summary;
    for (int s = 0; s < TLinkRoute::SlotCount; ++s) {
        const TTrafficPortList& slot = route.Slot(s);
        Amounts slotItems;
        for (const TTrafficItem& item : slot.Items()) {
            Amounts& a = sums[{item.SourcePort, item.DestPort}];
            a.packets += item.PacketAmount;
            a.bytes += item.DataAmount;
            slotItems.packets += item.PacketAmount;
            slotItems.bytes += item.DataAmount;
        }
        EXPECT_EQ(slotItems, (Amounts{slot.Summary().PacketAmount, slot.Summary().DataAmount}));
        summary.packets += slot.Summary().PacketAmount;
        summary.bytes += slot.Summary().DataAmount;
    }
    const auto total = ItemsOf(route.Total());
    for (const auto& [pair, amounts] : total) {
        const auto it = sums.find(pair);
        EXPECT_EQ(amounts, it == sums.end() ? Amounts{} : it->second)
            << "pair " << pair.first << "->" << pair.second;
    }
    for (const auto& [pair, amounts] : sums)
        EXPECT_TRUE(total.count(pair)) << "pair " << pair.first << "->" << pair.second << " missing in Total";
    EXPECT_EQ(summary, (Amounts{route.TotalPacketAmount(), route.TotalDataAmount()}));
}

TEST(NetworkNode, ConstructionDefaults)
{
    TNetworkNode base;
    EXPECT_TRUE(base.NonTerminating());
    EXPECT_EQ(base.Stamp(), 0);
    EXPECT_EQ(base.CustomName(), "");
    EXPECT_TRUE(base.LinkRoutes().empty());

    TTerminatingNode node("192.168.1.20", "UNC", "00-11-22-33-44-55", "Custom");
    EXPECT_FALSE(node.NonTerminating());
    EXPECT_EQ(node.IPAddress(), "192.168.1.20");
    EXPECT_EQ(node.UNCName(), "UNC");
    EXPECT_EQ(node.MacAddress(), "00-11-22-33-44-55");
    EXPECT_EQ(node.CustomName(), "Custom");
    EXPECT_EQ(node.IPName(), "");
    EXPECT_FALSE(node.Changed());
    EXPECT_EQ(node.Stamp(), 0);
}

TEST(NetworkNode, RoutesAndNodesDoNotOwnEachOther)
{
    auto a = std::make_unique<TTerminatingNode>("10.0.0.1", "", "", "");
    auto b = std::make_unique<TTerminatingNode>("10.0.0.2", "", "", "");
    auto route = std::make_unique<TLinkRoute>(a.get(), b.get());
    a->LinkRoutes().push_back(route.get());
    b->LinkRoutes().push_back(route.get());

    // Destroying a node leaves the routes it lists alive (AddressSanitizer
    // would catch a freed route below).
    b.reset();
    route->AddTraffic(1, 2, 1, 40);
    EXPECT_EQ(route->TotalPacketAmount(), 1);

    // Destroying a route leaves its nodes alive.
    route.reset();
    a->SetIPName("alive");
    EXPECT_EQ(a->IPName(), "alive");
}

TEST(TrafficPortList, KeepsFirstAppearanceOrderAndSums)
{
    TTrafficPortList list;
    EXPECT_EQ(list.Summary().SourcePort, -1);
    EXPECT_EQ(list.Summary().DestPort, -1);
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(list.IndexOf(-1, -1), -1);

    list.Add(80, 1234, 1, 100);
    list.Add(1234, 80, 1, 60);
    list.Add(80, 1234, 2, 300);
    list.Add(0, 0, 1, 28);

    ASSERT_EQ(list.Count(), 3);
    EXPECT_EQ(list.IndexOf(80, 1234), 0);
    EXPECT_EQ(list.IndexOf(1234, 80), 1);
    EXPECT_EQ(list.IndexOf(0, 0), 2);
    EXPECT_EQ(list.IndexOf(80, 80), -1);
    EXPECT_EQ(list.IndexOf(-1, -1), -1) << "the summary is never among the items";
    EXPECT_EQ(list.Item(0).PacketAmount, 3);
    EXPECT_EQ(list.Item(0).DataAmount, 400);
    EXPECT_EQ(list.Item(1).DataAmount, 60);
    EXPECT_EQ(list.Summary().PacketAmount, 5);
    EXPECT_EQ(list.Summary().DataAmount, 488);
    EXPECT_EQ(list.Summary().SourcePort, -1);
}

TEST(TrafficPortList, ManyPairsStayInOrderAndAreFound)
{
    TTrafficPortList list;
    // Pairs in a scrambled but reproducible order, each added twice.
    std::vector<PortPair> order;
    for (int i = 0; i < 20000; ++i)
        order.emplace_back((i * 7919) % 65536, (i * 104729) % 65536);
    for (int round = 0; round < 2; ++round)
        for (const auto& [s, d] : order)
            list.Add(s, d, 1, 10);
    ASSERT_EQ(size_t(list.Count()), order.size());
    for (size_t i = 0; i < order.size(); ++i) {
        EXPECT_EQ(list.Item(int(i)).SourcePort, order[i].first);
        EXPECT_EQ(list.Item(int(i)).DestPort, order[i].second);
        EXPECT_EQ(list.IndexOf(order[i].first, order[i].second), int(i));
        EXPECT_EQ(list.Item(int(i)).PacketAmount, 2);
    }
    EXPECT_EQ(list.Summary().PacketAmount, 40000);
}

// Lists of a few pairs are searched item by item and bigger ones through an
// index; a cleared list is reused by the next period. Counts on both sides of
// the switch, refilled after Clear with other pairs, must all stay in order
// and be found, and pairs never added must not be.
TEST(TrafficPortList, RefilledAfterClearAroundTheIndexSwitch)
{
    for (const int pairs : {1, 8, 9, 16, 17, 300}) {
        TTrafficPortList list;
        for (int round = 0; round < 3; ++round) {
            list.Clear();
            std::vector<PortPair> order;
            for (int i = 0; i < pairs; ++i)
                order.emplace_back((i * 31 + round * 7) % 1000, (i * 17 + round) % 3);
            std::sort(order.begin(), order.end());
            order.erase(std::unique(order.begin(), order.end()), order.end());
            std::shuffle(order.begin(), order.end(), std::mt19937(unsigned(pairs * 10 + round)));
            for (const auto& [s, d] : order)
                list.Add(s, d, 1, 10);
            for (const auto& [s, d] : order)
                list.Add(s, d, 1, 5);
            ASSERT_EQ(size_t(list.Count()), order.size()) << pairs << " pairs, round " << round;
            for (size_t i = 0; i < order.size(); ++i) {
                EXPECT_EQ(list.IndexOf(order[i].first, order[i].second), int(i)) << pairs << " pairs";
                EXPECT_EQ(list.Item(int(i)).SourcePort, order[i].first);
                EXPECT_EQ(list.Item(int(i)).DataAmount, 15);
            }
            EXPECT_EQ(list.IndexOf(order[0].first, 5), -1);
            EXPECT_EQ(list.IndexOf(order[0].second, order[0].first + 1000), -1);
            EXPECT_EQ(list.Summary().PacketAmount, int64_t(2 * order.size()));
        }
    }
}

TEST(LinkRoute, NewRouteHasFiveEmptySlots)
{
    TTerminatingNode a("10.0.0.1", "", "", ""), b("10.0.0.2", "", "", "");
    TLinkRoute route(&a, &b);
    EXPECT_EQ(route.SourceNode(), &a);
    EXPECT_EQ(route.DestNode(), &b);
    EXPECT_FALSE(route.Changed());
    for (int s = 0; s < TLinkRoute::SlotCount; ++s) {
        EXPECT_EQ(route.Slot(s).Count(), 0);
        EXPECT_EQ(route.Slot(s).Summary().PacketAmount, 0);
    }
    EXPECT_THROW(route.Slot(TLinkRoute::SlotCount), std::out_of_range);
    EXPECT_THROW(route.Slot(-1), std::out_of_range);
    EXPECT_EQ(route.TotalPacketAmount(), 0);
    EXPECT_EQ(route.TotalDataAmount(), 0);
}

TEST(LinkRoute, OnePacketLeavesTheWindowAtTheFifthAgeing)
{
    TTerminatingNode a("10.0.0.1", "", "", ""), b("10.0.0.2", "", "", "");
    TLinkRoute route(&a, &b);
    route.AddTraffic(1234, 80, 1, 60);
    EXPECT_TRUE(route.Changed());
    EXPECT_EQ(route.Slot(4).IndexOf(1234, 80), 0);

    for (int age = 1; age <= 4; ++age) {
        route.SetChanged(false);
        route.Age();
        EXPECT_EQ(route.TotalPacketAmount(), 1) << "after ageing " << age;
        EXPECT_EQ(route.TotalDataAmount(), 60) << "after ageing " << age;
        EXPECT_FALSE(route.Changed()) << "an empty oldest slot changes nothing, ageing " << age;
        // The packet's period moves one place towards the oldest.
        EXPECT_EQ(route.Slot(4 - age).Summary().PacketAmount, 1) << "after ageing " << age;
        EXPECT_EQ(route.Slot(4).Count(), 0);
        ExpectWindowConsistent(route);
    }
    route.Age();
    EXPECT_TRUE(route.Changed());
    EXPECT_EQ(route.TotalPacketAmount(), 0);
    EXPECT_EQ(route.TotalDataAmount(), 0);
    ASSERT_EQ(route.Total().Count(), 1) << "Total keeps an aged-out pair";
    EXPECT_EQ(route.Total().Item(0).SourcePort, 1234);
    EXPECT_EQ(route.Total().Item(0).DestPort, 80);
    EXPECT_EQ(route.Total().Item(0).PacketAmount, 0);
    EXPECT_EQ(route.Total().Item(0).DataAmount, 0);
    for (int s = 0; s < TLinkRoute::SlotCount; ++s)
        EXPECT_EQ(route.Slot(s).Count(), 0);
}

TEST(LinkRoute, SamePairInOneOrTwoPeriods)
{
    TTerminatingNode a("10.0.0.1", "", "", ""), b("10.0.0.2", "", "", "");

    TLinkRoute samePeriod(&a, &b);
    samePeriod.AddTraffic(5000, 53, 1, 70);
    samePeriod.AddTraffic(5000, 53, 1, 90);
    ASSERT_EQ(samePeriod.Slot(4).Count(), 1);
    EXPECT_EQ(samePeriod.Slot(4).Item(0).PacketAmount, 2);
    EXPECT_EQ(samePeriod.Slot(4).Item(0).DataAmount, 160);
    ASSERT_EQ(samePeriod.Total().Count(), 1);
    EXPECT_EQ(samePeriod.Total().Item(0).DataAmount, 160);

    TLinkRoute twoPeriods(&a, &b);
    twoPeriods.AddTraffic(5000, 53, 1, 70);
    twoPeriods.Age();
    twoPeriods.AddTraffic(5000, 53, 1, 90);
    ASSERT_EQ(twoPeriods.Slot(3).Count(), 1);
    ASSERT_EQ(twoPeriods.Slot(4).Count(), 1);
    EXPECT_EQ(twoPeriods.Slot(3).Item(0).DataAmount, 70);
    EXPECT_EQ(twoPeriods.Slot(4).Item(0).DataAmount, 90);
    ASSERT_EQ(twoPeriods.Total().Count(), 1);
    EXPECT_EQ(twoPeriods.Total().Item(0).PacketAmount, 2);
    EXPECT_EQ(twoPeriods.Total().Item(0).DataAmount, 160);

    // The first period leaves at the fourth further ageing, the second one later.
    for (int i = 0; i < 4; ++i)
        twoPeriods.Age();
    EXPECT_EQ(twoPeriods.TotalPacketAmount(), 1);
    EXPECT_EQ(twoPeriods.TotalDataAmount(), 90);
    twoPeriods.Age();
    EXPECT_EQ(twoPeriods.TotalPacketAmount(), 0);
}

TEST(LinkRoute, AmountsBeyondThirtyTwoBits)
{
    TTerminatingNode a("10.0.0.1", "", "", ""), b("10.0.0.2", "", "", "");
    TLinkRoute route(&a, &b);
    const int64_t big = 1500LL * 1000 * 1000;  // one period's bytes on a fast link
    for (int period = 0; period < TLinkRoute::SlotCount; ++period) {
        route.AddTraffic(1, 2, 1000000, big);
        if (period + 1 < TLinkRoute::SlotCount)
            route.Age();
    }
    EXPECT_EQ(route.TotalDataAmount(), 5 * big);
    route.Age();
    EXPECT_EQ(route.TotalDataAmount(), 4 * big);
    ExpectWindowConsistent(route);
}

// A long random run against a plain model of the window.
TEST(LinkRoute, RandomTrafficKeepsTheWindowInvariants)
{
    TTerminatingNode a("10.0.0.1", "", "", ""), b("10.0.0.2", "", "", "");
    TLinkRoute route(&a, &b);
    std::mt19937 rng(4242);
    std::vector<std::map<PortPair, Amounts>> model(TLinkRoute::SlotCount);
    std::vector<PortPair> firstSeen;

    for (int step = 0; step < 3000; ++step) {
        if (rng() % 8 == 0) {
            route.Age();
            model.erase(model.begin());
            model.emplace_back();
        } else {
            const PortPair pair{int32_t(rng() % 6), int32_t(rng() % 4)};
            const int64_t len = 20 + rng() % 1481;
            route.AddTraffic(pair.first, pair.second, 1, len);
            Amounts& m = model.back()[pair];
            m.packets += 1;
            m.bytes += len;
            if (std::find(firstSeen.begin(), firstSeen.end(), pair) == firstSeen.end())
                firstSeen.push_back(pair);
        }
        if (step % 50 == 0) {
            for (int s = 0; s < TLinkRoute::SlotCount; ++s)
                ASSERT_EQ(ItemsOf(route.Slot(s)), model[size_t(s)]) << "slot " << s << " at step " << step;
            ExpectWindowConsistent(route);
        }
    }
    // Total lists every pair ever seen, in the order of first appearance.
    ASSERT_EQ(size_t(route.Total().Count()), firstSeen.size());
    for (size_t i = 0; i < firstSeen.size(); ++i)
        EXPECT_EQ((PortPair{route.Total().Item(int(i)).SourcePort, route.Total().Item(int(i)).DestPort}), firstSeen[i]);
}

} // namespace

namespace {

// Room from the pool is aligned, never shared by two live objects (every
// object keeps what was written into it while others come and go), and
// taken back for reuse.
TEST(ObjectPool, HandsOutSeparateAlignedRoomAndTakesItBack)
{
    struct Cell {
        std::uint64_t Words[5];
    };
    TObjectPool pool(sizeof(Cell));
    // Enough objects to span several blocks.
    std::vector<Cell*> live;
    const auto make = [&](std::uint64_t tag) {
        auto* cell = static_cast<Cell*>(pool.Allocate());
        ASSERT_EQ(reinterpret_cast<std::uintptr_t>(cell) % alignof(std::max_align_t), 0u);
        for (std::uint64_t& w : cell->Words)
            w = tag;
        live.push_back(cell);
    };
    for (std::uint64_t i = 0; i < 200000; ++i)
        make(i);
    // Free every other one, then fill the gaps again.
    std::vector<Cell*> kept;
    for (size_t i = 0; i < live.size(); ++i) {
        if (i % 2)
            pool.Free(live[i]);
        else
            kept.push_back(live[i]);
    }
    live = kept;
    for (std::uint64_t i = 0; i < 100000; ++i)
        make(1000000 + i);
    std::vector<Cell*> sorted = live;
    std::sort(sorted.begin(), sorted.end());
    for (size_t i = 1; i < sorted.size(); ++i)
        ASSERT_GE(reinterpret_cast<char*>(sorted[i]) - reinterpret_cast<char*>(sorted[i - 1]),
                  std::ptrdiff_t(sizeof(Cell)));
    for (size_t i = 0; i < live.size(); ++i) {
        const std::uint64_t tag = i < 100000 ? 2 * i : 1000000 + (i - 100000);
        for (const std::uint64_t w : live[i]->Words)
            ASSERT_EQ(w, tag) << "object " << i;
    }
    for (Cell* cell : live)
        pool.Free(cell);
}

// Routes and hosts come from pools; a class derived from them with room of
// its own is made and destroyed through the base all the same.
TEST(ObjectPool, DerivedClassesOfAnotherSizeComeAndGo)
{
    struct TTaggedNode : TTerminatingNode {
        TTaggedNode() : TTerminatingNode("10.0.0.1", "", "", "") {}
        std::string Tag = std::string(100, 't');
    };
    struct TTaggedRoute : TLinkRoute {
        TTaggedRoute(TTerminatingNode* a, TTerminatingNode* b) : TLinkRoute(a, b) {}
        char Extra[4096] = {};
    };
    std::vector<std::unique_ptr<TTerminatingNode>> nodes;
    std::vector<std::unique_ptr<TLinkRoute>> routes;
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 1000; ++i) {
            if (i % 3 == 0)
                nodes.push_back(std::make_unique<TTaggedNode>());
            else
                nodes.push_back(std::make_unique<TTerminatingNode>("10.0.0." + std::to_string(i % 256), "", "", ""));
            TTerminatingNode* a = nodes.back().get();
            TTerminatingNode* b = nodes[nodes.size() / 2].get();
            if (i % 5 == 0)
                routes.push_back(std::make_unique<TTaggedRoute>(a, b));
            else
                routes.push_back(std::make_unique<TLinkRoute>(a, b));
            routes.back()->AddTraffic(i, 80, 1, 60);
        }
        for (size_t i = 0; i < routes.size(); ++i)
            ASSERT_EQ(routes[i]->TotalPacketAmount(), 1) << i;
        routes.erase(routes.begin(), routes.begin() + long(routes.size() / 2));
        nodes.erase(nodes.begin() + long(nodes.size() / 2) + 1, nodes.end());
        std::erase_if(routes, [&](const std::unique_ptr<TLinkRoute>& r) {
            return std::none_of(nodes.begin(), nodes.end(),
                                [&](const auto& n) { return n.get() == r->SourceNode(); });
        });
    }
}

} // namespace
