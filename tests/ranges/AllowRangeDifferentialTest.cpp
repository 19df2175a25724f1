// TAllowRange::Matches answers from a form parsed at construction. Here the
// answers are held against a plain walk over the stored texts, item by item,
// the way the rules are defined, for many generated rules and packets.

#include "ranges/AllowRange.h"

#include "app/LocalMachineInfo.h"
#include "ranges/IPRanges.h"

#include "AllowRangeTextWalk.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using textwalk::NextItem;
using textwalk::WalkMatches;

// ---- Generators -----------------------------------------------------------

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

    // Addresses near the edges that the rules care about.
    std::uint32_t Address()
    {
        static const std::vector<std::uint32_t> pool = {
            0x00000000, 0x00000009, 0x0A000000, 0x0A000001, 0x0A000005, 0x0A000009, 0x0A0000FF, 0x0A000100,
            0x0A010203, 0x0A0102FF, 0x0A010305, 0xC0A80000, 0xC0A800FF, 0xC0A80100, 0xC0A80113, 0xC0A80114,
            0xC0A80115, 0xC0A801FF, 0xC0A80200, 0x01020300, 0x010202FF, 0x010203FF, 0x01020400, 0xFFFFFF01,
            0xFFFFFFFE, 0xFFFFFFFF, 0x08080808, 0x64010105};
        if (Chance(15))
            return std::uint32_t(rng_());
        return Pick(pool);
    }

    std::string Cased(const std::string& keyword)
    {
        std::string out = keyword;
        for (char& c : out)
            if (c >= 'A' && c <= 'Z' && Chance(40))
                c = char(c - 'A' + 'a');
        return out;
    }

    std::string AddressText()
    {
        std::string a = Dotted(Address());
        if (Chance(10))
            a = PadIPAddress(a);
        return a;
    }

    std::string Blanked(std::string item)
    {
        if (!Chance(12))
            return item;
        const int where = Below(3);
        if (where == 0)
            return " " + item;
        if (where == 1)
            return item + " ";
        item.insert(size_t(Below(int(item.size()) + 1)), " ");
        return item;
    }

    std::string AddressItem()
    {
        static const std::vector<std::string> keywords = {"*ANY*", "*MYIP*", "*NOTMYIP*", "*MYLAN*", "*NOTMYLAN*"};
        static const std::vector<std::string> odd = {
            "",        "1.2.3",       "5",      "1.2.3.4.5", "1000.1.1.1", "256.1.1.1", "MYIP",    "ANY",
            "a.b.c.d", "*MYIP",       "x",      "1..2.3",    "0-1",        "1.2.3.0-1", "10.0.0.1-", "-10.0.0.1",
            "1-2-3",   "300.0.0.0",   "\t1.2.3.4"};
        switch (Below(10)) {
        case 0: {
            std::string k = Cased(Pick(keywords));
            if (Chance(20))
                k = "x" + k + "y";
            if (k.find("ANY") != std::string::npos || k.find("any") != std::string::npos || k.find("Any") != std::string::npos)
                if (Chance(70))
                    k = Cased("*NOTMYIP*"); // keep "*ANY*" from swallowing most lists
            return k;
        }
        case 1: {
            const std::uint32_t a = Address();
            const int starAt = Chance(75) ? 3 : Below(3);
            std::string parts[4] = {std::to_string(a >> 24), std::to_string((a >> 16) & 255),
                                    std::to_string((a >> 8) & 255), std::to_string(a & 255)};
            parts[starAt] = Chance(80) ? "*" : parts[starAt] + "*";
            return parts[0] + "." + parts[1] + "." + parts[2] + "." + parts[3];
        }
        case 2:
        case 3: {
            std::string lo = AddressText(), hi = AddressText();
            if (Chance(25))
                hi = lo;
            return Blanked(lo) + (Chance(20) ? " - " : "-") + Blanked(hi);
        }
        case 4:
            return Pick(odd);
        default:
            return Blanked(AddressText());
        }
    }

    std::string PortText(int port)
    {
        char hex[16];
        std::snprintf(hex, sizeof hex, "%X", port);
        switch (Below(9)) {
        case 0: return "$" + std::string(hex);
        case 1: return "0x" + std::string(hex);
        case 2: return "x" + std::string(hex);
        case 3: return "0" + std::to_string(port);
        case 4: return "+" + std::to_string(port);
        case 5: return "  " + std::to_string(port);
        default: return std::to_string(port);
        }
    }

    int Port()
    {
        static const std::vector<int> pool = {0, 1, 53, 79, 80, 81, 90, 443, 1023, 1024, 8080, 65535, 70000};
        return Chance(10) ? Below(65536) : Pick(pool);
    }

    std::string PortItem()
    {
        switch (Below(10)) {
        case 0:
            return Chance(40) ? Cased("*ANY*") : (Chance(50) ? "" : "x"); // the last two fail the rule
        case 1:
        case 2:
        case 3: {
            std::string lo = PortText(Port()), hi = PortText(Port());
            if (Chance(20))
                hi = lo;
            return (Chance(30) ? " " : "") + lo + (Chance(30) ? " - " : "-") + hi + (Chance(20) ? "\t" : "");
        }
        default:
            return PortText(Port());
        }
    }

    template <class F> std::string List(F item, int maxItems)
    {
        if (Chance(5))
            return "";
        std::string out = Chance(5) ? "," : "";
        const int n = 1 + Below(maxItems);
        for (int i = 0; i < n; ++i) {
            if (i)
                out += Chance(5) ? ",," : ",";
            out += item();
        }
        if (Chance(5))
            out += ",";
        return out;
    }

    std::string PacketAddressText()
    {
        static const std::vector<std::string> odd = {"",        "1.2.3",   " 10.0.0.1",  "010.000.000.001", "300.1.1.1",
                                                      "1.2.3.4.5", "10.0.0.1 ", "MYIP",   "1.2.3.0-1",       "1000.1.1.5",
                                                      "0.0.0.0",   "a.b.c.d", "1.2.0.3",  "\xE9.1.1.1"};
        return Chance(20) ? Pick(odd) : Dotted(Address());
    }

    std::mt19937 rng_;
};

// Addresses written in padded form inside stored lists, with their
// neighbours: packets at and around the bounds of a rule.
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
        if (!ok)
            continue;
        out.push_back(addr);
        out.push_back(addr);
        out.push_back(addr - 1);
        out.push_back(addr + 1);
    }
    return out;
}

// The port bounds of a stored list, with their neighbours.
std::vector<int> PortsNamedIn(std::string rest)
{
    std::vector<int> out;
    while (!rest.empty()) {
        const std::string item = NextItem(rest);
        const size_t dash = item.find('-');
        int bounds[2];
        if (!TryStrToInt(Trim(item.substr(0, dash)), bounds[0]))
            continue;
        bounds[1] = bounds[0];
        if (dash != std::string::npos && !TryStrToInt(Trim(item.substr(dash + 1)), bounds[1]))
            continue;
        for (const int b : bounds)
            for (const int d : {-1, 0, 0, 1})
                out.push_back(b + d);
    }
    return out;
}

struct Totals {
    int Rules = 0;
    int Failed = 0;
    long Checks = 0;
    long Matched = 0;
};

TEST(AllowRangeDifferential, ParsedFormAnswersAsTheTextWalk)
{
    static const std::vector<std::string> locals = {"192.168.1.20", "10.0.0.5", "1.2.3.0", "1.2.3.255", "0.0.0.9",
                                                    "255.255.255.1", "",      "1.2.3",   "10.0.0.1000"};
    const std::string savedLocal = LocalIP;
    Generator gen(20240611);
    Totals text, numeric;
    for (int r = 0; r < 4000; ++r) {
        LocalIP = locals[size_t(r) % locals.size()];
        const std::string src = gen.Chance(15) ? "*ANY*" : gen.List([&] { return gen.AddressItem(); }, 4);
        const std::string dst = gen.Chance(15) ? "*ANY*" : gen.List([&] { return gen.AddressItem(); }, 4);
        const std::string sports = gen.Chance(40) ? "*ANY*" : gen.List([&] { return gen.PortItem(); }, 3);
        const std::string dports = gen.Chance(15) ? "*ANY*" : gen.List([&] { return gen.PortItem(); }, 3);
        ++text.Rules;
        std::unique_ptr<TAllowRange> rule;
        try {
            rule = std::make_unique<TAllowRange>("R", src, dst, sports, dports);
        } catch (const EConvertError&) {
            ++text.Failed;
            continue;
        }
        const std::string context = "local '" + LocalIP + "' rule [" + src + "] [" + dst + "] [" + sports + "] [" +
                                    dports + "] stored [" + rule->SourceIPs + "] [" + rule->DestIPs + "] [" +
                                    rule->SourcePorts + "] [" + rule->DestPorts + "]";
        const std::vector<std::uint32_t> nearSource = AddressesNamedIn(rule->SourceIPs);
        const std::vector<std::uint32_t> nearDest = AddressesNamedIn(rule->DestIPs);
        // Half the packets come from the rule's own bounds, so that both
        // answers are common.
        auto sourceAddress = [&] { return !nearSource.empty() && gen.Chance(70) ? gen.Pick(nearSource) : gen.Address(); };
        auto destAddress = [&] { return !nearDest.empty() && gen.Chance(70) ? gen.Pick(nearDest) : gen.Address(); };
        auto packetText = [&](const auto& near) { return gen.Chance(25) ? gen.PacketAddressText() : Dotted(near()); };
        const std::vector<int> nearSourcePort = PortsNamedIn(rule->SourcePorts);
        const std::vector<int> nearDestPort = PortsNamedIn(rule->DestPorts);
        auto port = [&](const std::vector<int>& near) { return !near.empty() && gen.Chance(70) ? gen.Pick(near) : gen.Port(); };
        for (int p = 0; p < 120; ++p) {
            const int sport = port(nearSourcePort), dport = port(nearDestPort);
            // Text form, any address texts.
            const std::string ps = packetText(sourceAddress), pd = packetText(destAddress);
            const bool expected = WalkMatches(*rule, ps, pd, sport, dport);
            ASSERT_EQ(rule->Matches(ps, pd, sport, dport), expected)
                << context << " packet '" << ps << "' '" << pd << "' " << sport << " " << dport;
            ++text.Checks;
            text.Matched += expected;
            // Numeric form against the walk over the dotted texts.
            const std::uint32_t as = sourceAddress(), ad = destAddress();
            const bool expectedNumeric = WalkMatches(*rule, Dotted(as), Dotted(ad), sport, dport);
            ASSERT_EQ(rule->Matches(as, ad, sport, dport), expectedNumeric)
                << context << " packet " << Dotted(as) << " " << Dotted(ad) << " " << sport << " " << dport;
            ++numeric.Checks;
            numeric.Matched += expectedNumeric;
        }
    }
    LocalIP = savedLocal;
    // The generated cases must exercise both answers, and most rules must build.
    EXPECT_LT(text.Failed, text.Rules / 3);
    EXPECT_GT(text.Matched, text.Checks / 50);
    EXPECT_LT(text.Matched, text.Checks / 2);
    EXPECT_GT(numeric.Matched, numeric.Checks / 50);
    std::printf("rules %d (failed to build %d), text checks %ld (matched %ld), numeric checks %ld (matched %ld)\n",
                text.Rules, text.Failed, text.Checks, text.Matched, numeric.Checks, numeric.Matched);
}

} // namespace
