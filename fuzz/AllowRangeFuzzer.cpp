// Allow ranges built from arbitrary texts and asked about arbitrary packets;
// both forms of Matches must answer as the plain walk over the stored texts.
//
// Input lines (LF): the local address, then the rule's Source IPs, Dest IPs,
// Source Ports and Dest Ports, then one packet per line as
// "source destination source-port destination-port". An address that is a
// dotted quad is asked in number form as well; other texts give their first
// four bytes as the number.

#include "app/LocalMachineInfo.h"
#include "ranges/AllowRange.h"
#include "tests/ranges/AllowRangeTextWalk.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr int kMaxPackets = 64;

[[noreturn]] void Fail(const std::string& what)
{
    std::fprintf(stderr, "allow range fuzzer: %s\n", what.c_str());
    std::abort();
}

std::vector<std::string> Lines(std::string_view text)
{
    std::vector<std::string> out;
    while (!text.empty()) {
        const size_t eol = text.find('\n');
        out.emplace_back(text.substr(0, eol));
        text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
    }
    return out;
}

// The fields of a packet line, split at single spaces.
std::vector<std::string> Fields(const std::string& line)
{
    std::vector<std::string> out(1);
    for (const char c : line) {
        if (c == ' ' && out.size() < 4)
            out.emplace_back();
        else
            out.back() += c;
    }
    out.resize(4);
    return out;
}

// Any text gives a port: its leading decimal number with its sign, clamped,
// so that out-of-range and negative ports are asked too.
int Port(const std::string& text)
{
    return int(std::strtol(text.c_str(), nullptr, 10) % 200000);
}

std::uint32_t Number(const std::string& text)
{
    in_addr a{};
    if (inet_pton(AF_INET, text.c_str(), &a) == 1)
        return ntohl(a.s_addr);
    std::uint32_t n = 0;
    for (size_t i = 0; i < 4; ++i)
        n = n << 8 | (i < text.size() ? std::uint8_t(text[i]) : 0u);
    return n;
}

std::string Dotted(std::uint32_t a)
{
    return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 255) + "." + std::to_string((a >> 8) & 255) +
           "." + std::to_string(a & 255);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size)
{
    std::vector<std::string> lines = Lines(std::string_view(reinterpret_cast<const char*>(Data), Size));
    if (lines.size() < 5)
        lines.resize(5);
    LocalIP = lines[0];

    std::unique_ptr<TAllowRange> rule;
    try {
        rule = std::make_unique<TAllowRange>("Fuzz", lines[1], lines[2], lines[3], lines[4]);
    } catch (const EConvertError&) {
        return 0;
    }

    const int packets = std::min<int>(int(lines.size()) - 5, kMaxPackets);
    for (int p = 0; p < packets; ++p) {
        const std::vector<std::string> f = Fields(lines[size_t(5 + p)]);
        const int sport = Port(f[2]), dport = Port(f[3]);
        const std::string context = "rule [" + rule->SourceIPs + "] [" + rule->DestIPs + "] [" + rule->SourcePorts +
                                    "] [" + rule->DestPorts + "] packet [" + f[0] + "] [" + f[1] + "] " +
                                    std::to_string(sport) + " " + std::to_string(dport);
        if (rule->Matches(f[0], f[1], sport, dport) != textwalk::WalkMatches(*rule, f[0], f[1], sport, dport))
            Fail("text form differs from the walk: " + context);
        const std::uint32_t as = Number(f[0]), ad = Number(f[1]);
        if (rule->Matches(as, ad, sport, dport) != textwalk::WalkMatches(*rule, Dotted(as), Dotted(ad), sport, dport))
            Fail("number form differs from the walk: " + context + " as " + Dotted(as) + " " + Dotted(ad));
    }
    return 0;
}
