// Prints how long Matches takes: 71 rules of the usual shapes against a
// stream of packets, with both forms of Matches. Not a test; run by hand.

#include "ranges/AllowRange.h"

#include "app/LocalMachineInfo.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <vector>

int main()
{
    LocalIP = "192.168.1.20";
    const char* const shapes[][4] = {
        {"*MYIP*", "*NOTMYLAN*", "*ANY*", "80,443"},
        {"*NOTMYLAN*", "*MYIP*", "80,443", "*ANY*"},
        {"*MYLAN*", "*MYLAN*", "*ANY*", "*ANY*"},
        {"10.1.2.*,10.1.3.5,10.0.0.1-10.0.0.9", "*ANY*", "1024-65535", "53,123,0x1BB"},
        {"*ANY*", "*ANY*", "*ANY*", "*ANY*"},
    };
    std::vector<std::unique_ptr<TAllowRange>> rules;
    for (int i = 0; i < 71; ++i) {
        const auto& s = shapes[i % 5];
        rules.push_back(std::make_unique<TAllowRange>("R" + std::to_string(i + 1), s[0], s[1], s[2], s[3]));
    }
    std::mt19937 rng(1);
    struct Packet {
        std::uint32_t Src, Dst;
        std::string SrcText, DstText;
        int SPort, DPort;
    };
    auto dotted = [](std::uint32_t a) {
        return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 255) + "." +
               std::to_string((a >> 8) & 255) + "." + std::to_string(a & 255);
    };
    std::vector<Packet> packets;
    for (int i = 0; i < 100000; ++i) {
        const std::uint32_t lan = 0xC0A80100u | (rng() & 0xFF), far = std::uint32_t(rng());
        const bool out = rng() & 1;
        const std::uint32_t s = out ? lan : far, d = out ? far : lan;
        const int common[] = {80, 443, 53, 123};
        const int ephemeral = 1024 + int(rng() % 64000), service = common[rng() % 4];
        packets.push_back({s, d, dotted(s), dotted(d), out ? ephemeral : service, out ? service : ephemeral});
    }
    auto run = [&](const char* name, auto&& match) {
        long hits = 0;
        const auto start = std::chrono::steady_clock::now();
        for (const Packet& p : packets)
            for (const auto& rule : rules)
                hits += match(*rule, p);
        const double ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count();
        std::printf("%-8s %zu packets x %zu rules: %.1f ns per packet (all rules), %.2f ns per Matches, %ld matches\n",
                    name, packets.size(), rules.size(), ns / double(packets.size()),
                    ns / double(packets.size() * rules.size()), hits);
    };
    run("text", [](const TAllowRange& r, const Packet& p) { return r.Matches(p.SrcText, p.DstText, p.SPort, p.DPort); });
    run("numeric", [](const TAllowRange& r, const Packet& p) { return r.Matches(p.Src, p.Dst, p.SPort, p.DPort); });
    return 0;
}
