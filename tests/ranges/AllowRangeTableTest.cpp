// The table of a whole ranges list answers for every rule at once. Its
// answers are held against each rule's own Matches, for generated lists and
// packets at and around every bound the lists name, and while the list
// changes under it.

#include "ranges/AllowRangeTable.h"

#include "app/LocalMachineInfo.h"
#include "platform/SysUtils.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

std::string Dotted(std::uint32_t a)
{
    return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 255) + "." + std::to_string((a >> 8) & 255) +
           "." + std::to_string(a & 255);
}

class Generator {
public:
    explicit Generator(std::uint32_t seed) : rng_(seed) {}

    int Below(int n) { return int(rng_() % std::uint32_t(n)); }
    bool Chance(int percent) { return Below(100) < percent; }
    template <class T> const T& Pick(const std::vector<T>& v) { return v[size_t(Below(int(v.size())))]; }

    // Addresses near the edges that rules care about, and now and then any.
    std::uint32_t Address()
    {
        static const std::vector<std::uint32_t> pool = {
            0x00000000, 0x00000001, 0x0A000000, 0x0A000001, 0x0A0000FF, 0x0A000100, 0x0AFFFFFF, 0x0B000000,
            0xC0A80000, 0xC0A800FF, 0xC0A80100, 0xC0A80113, 0xC0A80114, 0xC0A80115, 0xC0A801FF, 0xC0A80200,
            0xFFFFFFFE, 0xFFFFFFFF, 0x08080808, 0x7F000001};
        return Chance(20) ? std::uint32_t(rng_()) : Pick(pool);
    }

    std::string AddressItem()
    {
        static const std::vector<std::string> words = {"*MYIP*", "*NOTMYIP*", "*MYLAN*", "*NOTMYLAN*", "*ANY*",
                                                       "1.2.3",  "300.1.1.1", "MYIP",    "0-1",        "a.b.c.d",
                                                       "10.0.0.1-", "010.000.000.001"};
        switch (Below(8)) {
        case 0: return Pick(words);
        case 1: {
            const std::uint32_t a = Address();
            return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 255) + "." +
                   std::to_string((a >> 8) & 255) + ".*";
        }
        case 2:
        case 3: {
            const std::uint32_t lo = Address();
            const std::uint32_t hi = Chance(70) ? lo + std::uint32_t(Below(5000)) : Address();
            return Dotted(lo) + (Chance(20) ? " - " : "-") + Dotted(hi);
        }
        default: return Dotted(Address());
        }
    }

    int Port()
    {
        static const std::vector<int> pool = {0, 1, 53, 80, 443, 1023, 1024, 8080, 65535};
        return Chance(30) ? Below(65536) : Pick(pool);
    }

    std::string PortItem()
    {
        switch (Below(6)) {
        case 0: return Chance(20) ? "*ANY*" : "0x50";
        case 1:
        case 2: {
            const int lo = Port();
            return std::to_string(lo) + "-" + std::to_string(Chance(70) ? lo + Below(3000) : Port());
        }
        default: return std::to_string(Port());
        }
    }

    template <class F> std::string List(F item, int maxItems)
    {
        std::string out;
        const int n = 1 + Below(maxItems);
        for (int i = 0; i < n; ++i) {
            if (i)
                out += ',';
            out += item();
        }
        return out;
    }

private:
    std::mt19937 rng_;
};

// The addresses written in padded form inside a stored list, with their
// neighbours.
std::vector<std::uint32_t> AddressesNamedIn(const std::string& stored)
{
    std::vector<std::uint32_t> out;
    for (size_t start = 0; start + 15 <= stored.size(); ++start) {
        std::uint32_t addr = 0;
        bool ok = true;
        for (int part = 0; part < 4 && ok; ++part) {
            const size_t at = start + size_t(part) * 4;
            int value = 0;
            for (size_t i = at; i < at + 3 && ok; ++i) {
                ok = stored[i] >= '0' && stored[i] <= '9';
                value = value * 10 + (stored[i] - '0');
            }
            ok = ok && value <= 255 && (part == 3 || stored[at + 3] == '.');
            addr = (addr << 8) | std::uint32_t(value);
        }
        if (ok)
            for (const std::uint32_t d : {0u, 1u, ~0u})
                out.push_back(addr + d);
    }
    return out;
}

// The numbers in a stored port list, with their neighbours.
std::vector<int> PortsNamedIn(const std::string& stored)
{
    std::vector<int> out;
    ForEachListItem(stored, [&](std::string_view item) {
        const size_t dash = item.find('-');
        for (const std::string_view bound : {item.substr(0, dash), dash == std::string_view::npos ? item : item.substr(dash + 1)}) {
            int value;
            if (TryStrToInt(Trim(std::string(bound)), value))
                for (const int d : {-1, 0, 1})
                    if (value + d >= 0 && value + d <= 65535)
                        out.push_back(value + d);
        }
        return true;
    });
    return out;
}

using RuleList = std::vector<std::unique_ptr<TAllowRange>>;

// True when bit i of the table's answer is rule i's own answer, for every rule.
::testing::AssertionResult TableAgrees(TAllowRangeTable& table, const RuleList& rules, std::uint32_t s,
                                       std::uint32_t d, int sp, int dp, long& matched)
{
    if (!table.Update(rules))
        return ::testing::AssertionFailure() << "table refused " << rules.size() << " rules";
    const TAllowRangeTable::TWord* set = table.Match(s, d, sp, dp);
    for (size_t i = 0; i < table.WordCount() * TAllowRangeTable::WordBits; ++i) {
        const bool inTable = (set[i / 64] >> (i % 64)) & 1;
        const bool own = i < rules.size() && rules[i]->Matches(s, d, sp, dp);
        matched += own;
        if (inTable != own)
            return ::testing::AssertionFailure()
                   << "rule " << i + 1 << " of " << rules.size() << " [" << (i < rules.size() ? rules[i]->SourceIPs : "")
                   << "] [" << (i < rules.size() ? rules[i]->DestIPs : "") << "] ["
                   << (i < rules.size() ? rules[i]->SourcePorts : "") << "] ["
                   << (i < rules.size() ? rules[i]->DestPorts : "") << "]: table " << inTable << ", rule " << own
                   << " for " << Dotted(s) << " " << Dotted(d) << " " << sp << " " << dp;
    }
    return ::testing::AssertionSuccess();
}

TEST(AllowRangeTable, AnswersAsEachRuleOfGeneratedLists)
{
    const std::string savedLocal = LocalIP;
    LocalIP = "192.168.1.20";
    Generator gen(777);
    TAllowRangeTable table;
    long checks = 0, matched = 0;
    for (int list = 0; list < 150; ++list) {
        RuleList rules;
        const int count = list % 10 == 0 ? 1 + gen.Below(128) : 1 + gen.Below(12);
        while (int(rules.size()) < count) {
            try {
                rules.push_back(std::make_unique<TAllowRange>(
                    "R", gen.Chance(30) ? "*ANY*" : gen.List([&] { return gen.AddressItem(); }, 4),
                    gen.Chance(30) ? "*ANY*" : gen.List([&] { return gen.AddressItem(); }, 4),
                    gen.Chance(50) ? "*ANY*" : gen.List([&] { return gen.PortItem(); }, 3),
                    gen.Chance(30) ? "*ANY*" : gen.List([&] { return gen.PortItem(); }, 3)));
            } catch (const EConvertError&) {
            }
        }
        // Packets at and around every bound any rule names.
        std::vector<std::uint32_t> near;
        std::vector<int> nearPorts;
        for (const auto& r : rules) {
            for (const std::string* list : {&r->SourceIPs, &r->DestIPs})
                for (const std::uint32_t a : AddressesNamedIn(*list))
                    near.push_back(a);
            for (const std::string* list : {&r->SourcePorts, &r->DestPorts})
                for (const int p : PortsNamedIn(*list))
                    nearPorts.push_back(p);
        }
        auto address = [&] { return !near.empty() && gen.Chance(70) ? gen.Pick(near) : gen.Address(); };
        auto port = [&] {
            const int p = !nearPorts.empty() && gen.Chance(70) ? gen.Pick(nearPorts) : gen.Port();
            return std::min(p, 65535);
        };
        for (int p = 0; p < 300; ++p) {
            ASSERT_TRUE(TableAgrees(table, rules, address(), address(), port(), port(), matched));
            ++checks;
        }
    }
    LocalIP = savedLocal;
    EXPECT_GT(matched, checks / 20);
}

TEST(AllowRangeTable, FollowsChangesToTheList)
{
    TAllowRangeTable table;
    RuleList rules;
    const std::uint32_t web = 0x0A000001;
    long matched = 0;
    const auto answer = [&](std::uint32_t s, int dp) {
        EXPECT_TRUE(TableAgrees(table, rules, s, 0x08080808, 1234, dp, matched));
        const TAllowRangeTable::TWord* set = table.Match(s, 0x08080808, 1234, dp);
        return set[0];
    };
    EXPECT_EQ(answer(web, 80), 0u) << "an empty list matches nothing";

    rules.push_back(std::make_unique<TAllowRange>("web", "*ANY*", "*ANY*", "*ANY*", "80"));
    rules.push_back(std::make_unique<TAllowRange>("net", "10.0.0.0-10.255.255.255", "*ANY*", "*ANY*", "*ANY*"));
    EXPECT_EQ(answer(web, 80), 0b11u);
    EXPECT_EQ(answer(web, 443), 0b10u);

    // Swapped in place: the same rules, other numbers.
    std::swap(rules[0], rules[1]);
    EXPECT_EQ(answer(web, 443), 0b01u);

    // A rule made before the table was built replaces one in place.
    auto spare = std::make_unique<TAllowRange>("dns", "*ANY*", "*ANY*", "*ANY*", "53");
    EXPECT_EQ(answer(web, 53), 0b01u);
    rules[1].swap(spare);
    EXPECT_EQ(answer(web, 53), 0b11u);
    EXPECT_EQ(answer(web, 80), 0b01u);

    // A rule freed before its successor is made: the successor usually
    // gets the same address.
    for (int i = 0; i < 20; ++i) {
        rules[1].reset();
        rules[1] = std::make_unique<TAllowRange>("p", "*ANY*", "*ANY*", "*ANY*", std::to_string(1000 + i));
        EXPECT_EQ(answer(web, 1000 + i), 0b11u) << i;
        EXPECT_EQ(answer(web, 999 + i), 0b01u) << i;
    }

    rules.pop_back();
    EXPECT_EQ(answer(web, 1019), 0b01u);
    rules.clear();
    EXPECT_EQ(answer(web, 80), 0u);
}

TEST(AllowRangeTable, RefusesListsBeyondItsRoom)
{
    TAllowRangeTable table;
    RuleList rules;
    for (int i = 0; i < 200; ++i)
        rules.push_back(std::make_unique<TAllowRange>("r", "*ANY*", "*ANY*", "*ANY*", std::to_string(i)));
    EXPECT_FALSE(table.Update(rules)) << "more rules than the table holds";
    rules.resize(100);
    EXPECT_TRUE(table.Update(rules));
    EXPECT_EQ(table.Match(1, 2, 3, 99)[1], TAllowRangeTable::TWord(1) << 35);

    // One rule with more address items than the table has room for.
    std::string many;
    for (int i = 0; i < 600; ++i)
    {
        if (i)
            many += ',';
        many += Dotted(0x0A000000u + std::uint32_t(i) * 2);
    }
    RuleList wide;
    wide.push_back(std::make_unique<TAllowRange>("wide", many, "*ANY*", "*ANY*", "*ANY*"));
    EXPECT_FALSE(table.Update(wide));
    EXPECT_TRUE(table.Update(rules)) << "a refused list leaves the table usable for the next";
}

} // namespace
