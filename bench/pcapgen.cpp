// varno-pcapgen OUTPUT [--frames N] [--addresses N] [--seed S] [--local-ip A.B.C.D]
//
// Writes a synthetic capture for the throughput benchmarks: a classic pcap
// file (microsecond time stamps, Ethernet) of small frames such as a desktop
// on an office LAN sees. About 95 % are IPv4 TCP and UDP frames of 60 to 80
// bytes in flows between this machine, its LAN (the /24 of --local-ip), the
// router and Internet hosts, with the usual server ports and ephemeral client
// ports; the rest is ARP, IPv6 and ICMP. The same arguments always give the
// same bytes.
//
// --addresses is how many distinct IPv4 addresses the file holds (this
// machine and its LAN included): new Internet hosts keep appearing through
// the whole file until that many are in use, while most traffic goes to a
// heavy-tailed set of popular ones. With as many addresses as frames,
// nearly every frame brings a new host.
//
// The file is written under OUTPUT.part and renamed when complete. A summary
// goes to standard output, one "key: value" per line, with the figures a
// counter of the file must reproduce: the IPv4 TCP/UDP frames and the sum of
// their IPv4 total lengths.
//
// Exit status: 0 done, 1 the file could not be written, 2 usage.

#include <arpa/inet.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

namespace {

const char* const UsageText =
    "usage: varno-pcapgen OUTPUT [--frames N] [--addresses N] [--seed S] [--local-ip A.B.C.D]\n"
    "  --frames N       frames to write (1000000)\n"
    "  --addresses N    distinct IPv4 addresses, at least 16 (1000)\n"
    "  --seed S         random seed (1)\n"
    "  --local-ip A     this machine's address; its /24 is the LAN (192.168.1.10)\n";

// xoshiro256** seeded through splitmix64: the same stream on every platform,
// unlike the standard library's distributions.
class TRandom {
public:
    explicit TRandom(std::uint64_t seed)
    {
        for (auto& s : FState) {
            seed += 0x9E3779B97F4A7C15ull;
            std::uint64_t z = seed;
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
            s = z ^ (z >> 31);
        }
    }
    std::uint64_t Next()
    {
        const std::uint64_t result = Rotl(FState[1] * 5, 7) * 9;
        const std::uint64_t t = FState[1] << 17;
        FState[2] ^= FState[0];
        FState[3] ^= FState[1];
        FState[1] ^= FState[2];
        FState[0] ^= FState[3];
        FState[2] ^= t;
        FState[3] = Rotl(FState[3], 45);
        return result;
    }
    // 0 .. n-1
    std::uint64_t Below(std::uint64_t n) { return std::uint64_t((__uint128_t(Next()) * n) >> 64); }
    // lo .. hi inclusive
    std::uint64_t Between(std::uint64_t lo, std::uint64_t hi) { return lo + Below(hi - lo + 1); }
    // [0, 1)
    double Unit() { return double(Next() >> 11) * 0x1.0p-53; }
    bool Chance(double p) { return Unit() < p; }

private:
    static std::uint64_t Rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    std::uint64_t FState[4];
};

struct TWeighted {
    std::uint16_t Value;
    unsigned Weight;
};

// Server ports by how often a desktop's flows use them; 0 stands for a
// random registered port.
const TWeighted TcpServerPorts[] = {
    {443, 450}, {80, 150}, {445, 40}, {22, 40}, {8080, 30}, {993, 20}, {5222, 10},
    {3389, 10}, {25, 10}, {587, 10}, {139, 10}, {8443, 10}, {0, 40},
};
const TWeighted UdpServerPorts[] = {
    {53, 400}, {443, 150}, {123, 80}, {5353, 60}, {3478, 30}, {137, 40}, {138, 20},
    {1900, 40}, {67, 20}, {500, 20}, {51820, 30}, {0, 110},
};

template <std::size_t N>
std::uint16_t PickPort(TRandom& random, const TWeighted (&table)[N])
{
    unsigned total = 0;
    for (const auto& entry : table)
        total += entry.Weight;
    unsigned pick = unsigned(random.Below(total));
    for (const auto& entry : table) {
        if (pick < entry.Weight)
            return entry.Value ? entry.Value : std::uint16_t(random.Between(1024, 49151));
        pick -= entry.Weight;
    }
    return table[0].Value;
}

std::uint16_t EphemeralPort(TRandom& random)
{
    // Linux and Windows hand out different ephemeral ranges; both show up.
    return random.Chance(0.6) ? std::uint16_t(random.Between(32768, 60999))
                              : std::uint16_t(random.Between(49152, 65535));
}

// Addresses that a host on the Internet never has: private, loopback,
// link-local, shared, documentation, multicast and reserved space.
bool PublicAddress(std::uint32_t a)
{
    const unsigned first = a >> 24;
    if (first == 0 || first == 10 || first == 127 || first >= 224)
        return false;
    if ((a & 0xFFC00000u) == 0x64400000u) // 100.64.0.0/10
        return false;
    if ((a & 0xFFFF0000u) == 0xA9FE0000u) // 169.254.0.0/16
        return false;
    if ((a & 0xFFF00000u) == 0xAC100000u) // 172.16.0.0/12
        return false;
    if ((a & 0xFFFF0000u) == 0xC0A80000u) // 192.168.0.0/16
        return false;
    if ((a & 0xFFFFFF00u) == 0xC0000200u || (a & 0xFFFFFF00u) == 0xC6336400u ||
        (a & 0xFFFFFF00u) == 0xCB007100u) // documentation /24s
        return false;
    return true;
}

struct THost {
    std::uint32_t Address;
    std::uint8_t Mac[6];
};

struct TFlow {
    std::uint32_t Client, Server;   // host order
    const std::uint8_t* ClientMac;  // the MAC on this segment for each side
    const std::uint8_t* ServerMac;
    std::uint16_t ClientPort, ServerPort;
    std::uint8_t Protocol;
    std::uint8_t ClientTtl, ServerTtl;
    std::uint32_t ClientSeq, ServerSeq;
    bool Started;
};

void MakeMac(std::uint8_t* mac, std::uint32_t tag)
{
    // Locally administered unicast, never a group address.
    mac[0] = 0x02;
    mac[1] = 0x00;
    mac[2] = std::uint8_t(tag >> 24);
    mac[3] = std::uint8_t(tag >> 16);
    mac[4] = std::uint8_t(tag >> 8);
    mac[5] = std::uint8_t(tag);
}

void Put16(std::uint8_t* p, std::uint16_t v)
{
    p[0] = std::uint8_t(v >> 8);
    p[1] = std::uint8_t(v);
}

void Put32(std::uint8_t* p, std::uint32_t v)
{
    p[0] = std::uint8_t(v >> 24);
    p[1] = std::uint8_t(v >> 16);
    p[2] = std::uint8_t(v >> 8);
    p[3] = std::uint8_t(v);
}

std::uint32_t SumWords(const std::uint8_t* p, std::size_t n, std::uint32_t sum = 0)
{
    for (std::size_t i = 0; i + 1 < n; i += 2)
        sum += std::uint32_t(p[i]) << 8 | p[i + 1];
    if (n & 1)
        sum += std::uint32_t(p[n - 1]) << 8;
    return sum;
}

std::uint16_t FoldSum(std::uint32_t sum)
{
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return std::uint16_t(~sum);
}

struct TSummary {
    std::uint64_t Frames = 0, Tcp = 0, Udp = 0, Icmp = 0, Arp = 0, Ipv6 = 0;
    std::uint64_t CountedBytes = 0; // sum of IPv4 total lengths of TCP and UDP frames
};

class TGenerator {
public:
    TGenerator(std::uint64_t seed, std::uint64_t frames, std::uint64_t addresses, std::uint32_t localIP)
        : FRandom(seed), FFrames(frames), FLocal{localIP, {}}
    {
        MakeMac(FLocal.Mac, localIP);
        const std::uint32_t lan = localIP & 0xFFFFFF00u;
        FRouter.Address = (localIP & 0xFF) == 1 ? lan | 254 : lan | 1;
        MakeMac(FRouter.Mac, FRouter.Address);
        MakeMac(FUpstreamMac, 0xFFFFFFFEu);
        // This machine and the router are two of the addresses; a twentieth of
        // the rest (at most the whole /24) are other LAN hosts.
        const std::uint64_t others = addresses - 2;
        const std::uint64_t lanHosts = std::min<std::uint64_t>(251, std::max<std::uint64_t>(2, others / 20));
        for (std::uint32_t host = 2; host < 255 && FLan.size() < lanHosts; ++host) {
            const std::uint32_t a = lan | host;
            if (a == localIP || a == FRouter.Address)
                continue;
            THost h{a, {}};
            MakeMac(h.Mac, a);
            FLan.push_back(h);
        }
        // Internet hosts in a random order of first appearance.
        const std::uint64_t publicHosts = others - FLan.size();
        FPublic.reserve(publicHosts);
        std::unordered_set<std::uint32_t> taken;
        taken.reserve(publicHosts * 2);
        while (FPublic.size() < publicHosts) {
            const std::uint32_t a = std::uint32_t(FRandom.Next() >> 32);
            if (PublicAddress(a) && taken.insert(a).second)
                FPublic.push_back(a);
        }
        FFlows.resize(1024);
        FSeen.reserve(addresses);
    }

    bool Write(std::FILE* out, TSummary& summary);
    std::size_t DistinctAddresses() const { return FSeen.size(); }

private:
    std::uint32_t PickPublic();
    const THost& PickLan() { return FLan[FRandom.Below(FLan.size())]; }
    void NewFlow(TFlow& flow);
    std::size_t BuildTcpUdp(std::uint8_t* frame, TFlow& flow, TSummary& summary);
    std::size_t BuildIcmp(std::uint8_t* frame, TSummary& summary);
    std::size_t BuildArp(std::uint8_t* frame, TSummary& summary);
    std::size_t BuildIpv6(std::uint8_t* frame, TSummary& summary);
    std::size_t Ipv4Header(std::uint8_t* ip, std::uint32_t src, std::uint32_t dst, std::uint8_t protocol,
                           std::uint8_t ttl, std::size_t payload);

    TRandom FRandom;
    std::uint64_t FFrames;
    THost FLocal;
    THost FRouter;
    std::uint8_t FUpstreamMac[6];
    std::vector<THost> FLan;
    std::vector<std::uint32_t> FPublic;
    std::uint64_t FPublicUsed = 0;
    // Chance that an Internet end of a new flow is a host not seen before,
    // and extra share of transit flows (two Internet ends) when one new host
    // per flow is not enough.
    double FUnusedChance = 0;
    double FTransitChance = 0;
    std::unordered_set<std::uint32_t> FSeen;
    std::vector<TFlow> FFlows;
    std::uint16_t FIpId = 1;
};

// A new Internet host while some are still unused and the rest of the file
// needs them to reach the wanted count; otherwise a popular one (low indices
// of those in use, heavily favoured).
std::uint32_t TGenerator::PickPublic()
{
    if (FPublicUsed < FPublic.size() && (FPublicUsed == 0 || FRandom.Chance(FUnusedChance)))
        return FPublic[FPublicUsed++];
    if (FPublicUsed == 0)
        return FRouter.Address;
    const double u = FRandom.Unit();
    return FPublic[std::uint64_t(double(FPublicUsed) * u * u * u)];
}

void TGenerator::NewFlow(TFlow& flow)
{
    flow = {};
    flow.Protocol = FRandom.Chance(0.62) ? IPPROTO_TCP : IPPROTO_UDP;
    flow.ServerPort =
        flow.Protocol == IPPROTO_TCP ? PickPort(FRandom, TcpServerPorts) : PickPort(FRandom, UdpServerPorts);
    flow.ClientPort = EphemeralPort(FRandom);
    flow.ClientTtl = 64;
    flow.ServerTtl = std::uint8_t(FRandom.Between(44, 120));
    flow.ClientSeq = std::uint32_t(FRandom.Next());
    flow.ServerSeq = std::uint32_t(FRandom.Next());
    flow.Started = false;

    const double kind = FRandom.Chance(FTransitChance) ? 1.0 : FRandom.Unit();
    if (kind < 0.62) { // this machine to the Internet
        flow.Client = FLocal.Address;
        flow.ClientMac = FLocal.Mac;
        flow.Server = PickPublic();
        flow.ServerMac = FRouter.Mac;
    } else if (kind < 0.67) { // the Internet to a service on this machine
        flow.Client = PickPublic();
        flow.ClientMac = FRouter.Mac;
        flow.Server = FLocal.Address;
        flow.ServerMac = FLocal.Mac;
        flow.ServerPort = flow.Protocol == IPPROTO_TCP ? (FRandom.Chance(0.5) ? 22 : 443) : 51820;
        flow.ClientTtl = flow.ServerTtl;
        flow.ServerTtl = 64;
    } else if (kind < 0.80) { // this machine and a LAN host (or the router's DNS)
        const THost& other = FRandom.Chance(0.3) ? FRouter : PickLan();
        flow.Client = FLocal.Address;
        flow.ClientMac = FLocal.Mac;
        flow.Server = other.Address;
        flow.ServerMac = other.Mac;
        flow.ServerTtl = 64;
    } else if (kind < 0.92) { // another LAN host to the Internet
        const THost& lanHost = PickLan();
        flow.Client = lanHost.Address;
        flow.ClientMac = lanHost.Mac;
        flow.Server = PickPublic();
        flow.ServerMac = FRouter.Mac;
        flow.ClientTtl = 128;
    } else if (kind < 0.97) { // LAN hosts among themselves
        const THost& a = PickLan();
        const THost& b = PickLan();
        flow.Client = a.Address;
        flow.ClientMac = a.Mac;
        flow.Server = b.Address;
        flow.ServerMac = b.Mac;
        flow.ServerTtl = 128;
    } else { // transit seen on a mirrored port
        flow.Client = PickPublic();
        flow.ClientMac = FRouter.Mac;
        flow.Server = PickPublic();
        flow.ServerMac = FUpstreamMac;
    }
}

std::size_t TGenerator::Ipv4Header(std::uint8_t* ip, std::uint32_t src, std::uint32_t dst, std::uint8_t protocol,
                                   std::uint8_t ttl, std::size_t payload)
{
    const std::size_t total = 20 + payload;
    ip[0] = 0x45;
    ip[1] = 0;
    Put16(ip + 2, std::uint16_t(total));
    Put16(ip + 4, FIpId++);
    Put16(ip + 6, protocol == IPPROTO_TCP ? 0x4000 : 0); // DF on TCP, as stacks do
    ip[8] = ttl;
    ip[9] = protocol;
    Put16(ip + 10, 0);
    Put32(ip + 12, src);
    Put32(ip + 16, dst);
    Put16(ip + 10, FoldSum(SumWords(ip, 20)));
    FSeen.insert(src);
    FSeen.insert(dst);
    return total;
}

// Transport checksum over the IPv4 pseudo-header.
void TransportChecksum(std::uint8_t* ip, std::size_t segment, std::size_t checksumOffset)
{
    std::uint8_t* l4 = ip + 20;
    Put16(l4 + checksumOffset, 0);
    std::uint32_t sum = SumWords(ip + 12, 8);
    sum += ip[9];
    sum += std::uint32_t(segment);
    std::uint16_t c = FoldSum(SumWords(l4, segment, sum));
    if (ip[9] == IPPROTO_UDP && c == 0)
        c = 0xFFFF;
    Put16(l4 + checksumOffset, c);
}

void FillPayload(TRandom& random, std::uint8_t* p, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i)
        p[i] = std::uint8_t(random.Next() >> 56);
}

// Shares of the frame kinds, and how many Internet ends a new flow has on
// average (see NewFlow).
constexpr std::uint64_t TcpUdpPerMille = 950;
constexpr double TcpUdpShare = TcpUdpPerMille / 1000.0;
constexpr double PublicEndsPerFlow = 0.62 + 0.05 + 0.12 + 0.03 * 2;

// Ethernet minimum: 60 bytes without the frame check sequence.
constexpr std::size_t MinFrame = 60;
constexpr std::size_t MaxFrame = 80;

std::size_t TGenerator::BuildTcpUdp(std::uint8_t* frame, TFlow& flow, TSummary& summary)
{
    const bool fromClient = !flow.Started || FRandom.Chance(0.55);
    const std::uint32_t src = fromClient ? flow.Client : flow.Server;
    const std::uint32_t dst = fromClient ? flow.Server : flow.Client;
    std::memcpy(frame, fromClient ? flow.ServerMac : flow.ClientMac, 6);
    std::memcpy(frame + 6, fromClient ? flow.ClientMac : flow.ServerMac, 6);
    Put16(frame + 12, 0x0800);
    std::uint8_t* ip = frame + 14;
    std::uint8_t* l4 = ip + 20;
    const std::uint16_t srcPort = fromClient ? flow.ClientPort : flow.ServerPort;
    const std::uint16_t dstPort = fromClient ? flow.ServerPort : flow.ClientPort;
    const std::uint8_t ttl = fromClient ? flow.ClientTtl : flow.ServerTtl;

    std::size_t segment;
    if (flow.Protocol == IPPROTO_TCP) {
        // Options: a SYN carries MSS, SACK permitted and window scale; most
        // later segments the 12 bytes of time stamps.
        const bool syn = !flow.Started;
        const std::size_t options = syn ? 12 : (FRandom.Chance(0.6) ? 12 : 0);
        const std::size_t header = 20 + options;
        const std::size_t room = MaxFrame - 14 - 20 - header;
        const std::size_t data = syn || FRandom.Chance(0.55) ? 0 : std::size_t(FRandom.Between(1, room));
        segment = header + data;
        std::uint32_t& seq = fromClient ? flow.ClientSeq : flow.ServerSeq;
        const std::uint32_t ack = fromClient ? flow.ServerSeq : flow.ClientSeq;
        Put16(l4, srcPort);
        Put16(l4 + 2, dstPort);
        Put32(l4 + 4, seq);
        Put32(l4 + 8, syn ? 0 : ack);
        l4[12] = std::uint8_t((header / 4) << 4);
        l4[13] = syn ? 0x02 : (data ? 0x18 : 0x10);
        Put16(l4 + 14, std::uint16_t(FRandom.Between(500, 65535)));
        Put16(l4 + 18, 0);
        std::uint8_t* opt = l4 + 20;
        if (syn) {
            const std::uint8_t o[12] = {2, 4, 0x05, 0xB4, 4, 2, 1, 3, 3, 7, 1, 1};
            std::memcpy(opt, o, sizeof o);
        } else if (options) {
            opt[0] = 1;
            opt[1] = 1;
            opt[2] = 8;
            opt[3] = 10;
            Put32(opt + 4, std::uint32_t(FRandom.Next()));
            Put32(opt + 8, std::uint32_t(FRandom.Next()));
        }
        FillPayload(FRandom, l4 + header, data);
        seq += std::uint32_t(data) + (syn ? 1 : 0);
        Ipv4Header(ip, src, dst, IPPROTO_TCP, ttl, segment);
        TransportChecksum(ip, segment, 16);
        ++summary.Tcp;
    } else {
        const std::size_t data = std::size_t(FRandom.Between(MinFrame - 14 - 20 - 8, MaxFrame - 14 - 20 - 8));
        segment = 8 + data;
        Put16(l4, srcPort);
        Put16(l4 + 2, dstPort);
        Put16(l4 + 4, std::uint16_t(segment));
        FillPayload(FRandom, l4 + 8, data);
        Ipv4Header(ip, src, dst, IPPROTO_UDP, ttl, segment);
        TransportChecksum(ip, segment, 6);
        ++summary.Udp;
    }
    flow.Started = true;
    summary.CountedBytes += 20 + segment;
    const std::size_t length = 14 + 20 + segment;
    if (length < MinFrame) {
        std::memset(frame + length, 0, MinFrame - length);
        return MinFrame;
    }
    return length;
}

std::size_t TGenerator::BuildIcmp(std::uint8_t* frame, TSummary& summary)
{
    // Echo request from this machine, or its reply.
    const std::uint32_t remote = FPublicUsed ? FPublic[FRandom.Below(FPublicUsed)] : FRouter.Address;
    const bool request = FRandom.Chance(0.5);
    std::memcpy(frame, request ? FRouter.Mac : FLocal.Mac, 6);
    std::memcpy(frame + 6, request ? FLocal.Mac : FRouter.Mac, 6);
    Put16(frame + 12, 0x0800);
    std::uint8_t* ip = frame + 14;
    std::uint8_t* icmp = ip + 20;
    const std::size_t data = std::size_t(FRandom.Between(MinFrame - 14 - 20 - 8, MaxFrame - 14 - 20 - 8));
    icmp[0] = request ? 8 : 0;
    icmp[1] = 0;
    Put16(icmp + 2, 0);
    Put16(icmp + 4, 0x1234);
    Put16(icmp + 6, std::uint16_t(FRandom.Next()));
    FillPayload(FRandom, icmp + 8, data);
    Put16(icmp + 2, FoldSum(SumWords(icmp, 8 + data)));
    Ipv4Header(ip, request ? FLocal.Address : remote, request ? remote : FLocal.Address, IPPROTO_ICMP,
               request ? 64 : 52, 8 + data);
    ++summary.Icmp;
    return 14 + 20 + 8 + data;
}

std::size_t TGenerator::BuildArp(std::uint8_t* frame, TSummary& summary)
{
    // This machine asks for a LAN host, or a LAN host answers it.
    const THost& other = FRandom.Chance(0.3) ? FRouter : PickLan();
    const bool request = FRandom.Chance(0.5);
    const THost& sender = request ? FLocal : other;
    const THost& target = request ? other : FLocal;
    if (request)
        std::memset(frame, 0xFF, 6);
    else
        std::memcpy(frame, FLocal.Mac, 6);
    std::memcpy(frame + 6, sender.Mac, 6);
    Put16(frame + 12, 0x0806);
    std::uint8_t* arp = frame + 14;
    Put16(arp, 1);
    Put16(arp + 2, 0x0800);
    arp[4] = 6;
    arp[5] = 4;
    Put16(arp + 6, request ? 1 : 2);
    std::memcpy(arp + 8, sender.Mac, 6);
    Put32(arp + 14, sender.Address);
    if (request)
        std::memset(arp + 18, 0, 6);
    else
        std::memcpy(arp + 18, target.Mac, 6);
    Put32(arp + 24, target.Address);
    std::memset(arp + 28, 0, MinFrame - 14 - 28);
    ++summary.Arp;
    return MinFrame;
}

std::size_t TGenerator::BuildIpv6(std::uint8_t* frame, TSummary& summary)
{
    // mDNS to ff02::fb or a link-local UDP exchange between LAN hosts.
    const THost& a = PickLan();
    const bool mdns = FRandom.Chance(0.5);
    if (mdns) {
        const std::uint8_t group[6] = {0x33, 0x33, 0, 0, 0, 0xFB};
        std::memcpy(frame, group, 6);
    } else {
        std::memcpy(frame, FLocal.Mac, 6);
    }
    std::memcpy(frame + 6, a.Mac, 6);
    Put16(frame + 12, 0x86DD);
    std::uint8_t* ip6 = frame + 14;
    const std::size_t data = std::size_t(FRandom.Between(0, MaxFrame - 14 - 40 - 8));
    const std::size_t segment = 8 + data;
    Put32(ip6, 0x60000000u);
    Put16(ip6 + 4, std::uint16_t(segment));
    ip6[6] = IPPROTO_UDP;
    ip6[7] = 255;
    std::uint8_t* src = ip6 + 8;
    std::uint8_t* dst = ip6 + 24;
    std::memset(src, 0, 32);
    src[0] = 0xFE;
    src[1] = 0x80;
    std::memcpy(src + 10, a.Mac + 2, 4);
    if (mdns) {
        dst[0] = 0xFF;
        dst[1] = 0x02;
        dst[15] = 0xFB;
    } else {
        dst[0] = 0xFE;
        dst[1] = 0x80;
        std::memcpy(dst + 10, FLocal.Mac + 2, 4);
    }
    std::uint8_t* udp = ip6 + 40;
    Put16(udp, mdns ? 5353 : EphemeralPort(FRandom));
    Put16(udp + 2, mdns ? 5353 : 546);
    Put16(udp + 4, std::uint16_t(segment));
    Put16(udp + 6, 0);
    FillPayload(FRandom, udp + 8, data);
    std::uint32_t sum = SumWords(src, 32);
    sum += std::uint32_t(segment) + IPPROTO_UDP;
    std::uint16_t c = FoldSum(SumWords(udp, segment, sum));
    Put16(udp + 6, c ? c : 0xFFFF);
    ++summary.Ipv6;
    const std::size_t length = 14 + 40 + segment;
    if (length < MinFrame) {
        std::memset(frame + length, 0, MinFrame - length);
        return MinFrame;
    }
    return length;
}

void PutLE32(std::uint8_t* p, std::uint32_t v)
{
    p[0] = std::uint8_t(v);
    p[1] = std::uint8_t(v >> 8);
    p[2] = std::uint8_t(v >> 16);
    p[3] = std::uint8_t(v >> 24);
}

bool TGenerator::Write(std::FILE* out, TSummary& summary)
{
    std::uint8_t fileHeader[24];
    PutLE32(fileHeader, 0xA1B2C3D4u);
    fileHeader[4] = 2; // version 2.4, little-endian fields
    fileHeader[5] = 0;
    fileHeader[6] = 4;
    fileHeader[7] = 0;
    PutLE32(fileHeader + 8, 0);  // this zone
    PutLE32(fileHeader + 12, 0); // sigfigs
    PutLE32(fileHeader + 16, 65535);
    PutLE32(fileHeader + 20, 1); // DLT_EN10MB
    if (std::fwrite(fileHeader, sizeof fileHeader, 1, out) != 1)
        return false;

    // 2024-01-01 00:00:00 UTC, then about 100,000 frames a second.
    std::uint64_t micros = 1704067200ull * 1000000ull;
    std::uint8_t record[16 + MaxFrame];
    for (std::uint64_t i = 0; i < FFrames; ++i) {
        micros += FRandom.Between(0, 20);
        std::uint8_t* frame = record + 16;
        const std::uint64_t framesLeft = FFrames - i;
        const std::uint64_t kind = FRandom.Below(1000);
        std::size_t length;
        if (kind < 20) {
            length = BuildArp(frame, summary);
        } else if (kind < 40) {
            length = BuildIpv6(frame, summary);
        } else if (kind < 1000 - TcpUdpPerMille) {
            length = BuildIcmp(frame, summary);
        } else {
            // A flow lasts about a dozen frames, unless new hosts must
            // appear faster than that to reach the wanted count: then flows
            // get shorter, and more of them have two Internet ends.
            const double neededRate = double(FPublic.size() - FPublicUsed) / double(framesLeft);
            const double newFlow = std::max(0.08, std::min(1.0, neededRate * 1.5));
            const double perFlow = neededRate / (TcpUdpShare * newFlow);
            FUnusedChance = std::min(1.0, perFlow / PublicEndsPerFlow);
            FTransitChance = perFlow <= PublicEndsPerFlow
                                 ? 0.0
                                 : std::min(1.0, (perFlow - PublicEndsPerFlow) / (2.0 - PublicEndsPerFlow));
            TFlow& flow = FFlows[FRandom.Below(FFlows.size())];
            if (flow.Protocol == 0 || FRandom.Chance(newFlow))
                NewFlow(flow);
            length = BuildTcpUdp(frame, flow, summary);
        }
        PutLE32(record, std::uint32_t(micros / 1000000));
        PutLE32(record + 4, std::uint32_t(micros % 1000000));
        PutLE32(record + 8, std::uint32_t(length));
        PutLE32(record + 12, std::uint32_t(length));
        if (std::fwrite(record, 16 + length, 1, out) != 1)
            return false;
        ++summary.Frames;
    }
    return true;
}

bool ParseCount(const char* text, std::uint64_t minimum, std::uint64_t& value)
{
    if (!*text)
        return false;
    std::uint64_t v = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9' || v > (UINT64_MAX - 9) / 10)
            return false;
        v = v * 10 + std::uint64_t(*p - '0');
    }
    if (v < minimum)
        return false;
    value = v;
    return true;
}

int Usage(const std::string& problem)
{
    std::fprintf(stderr, "varno-pcapgen: %s\n%s", problem.c_str(), UsageText);
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    std::string output;
    std::uint64_t frames = 1000000, addresses = 1000, seed = 1;
    std::uint32_t localIP = 0xC0A8010Au;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--help" || arg == "-h") {
            std::fputs(UsageText, stdout);
            return 0;
        } else if (arg == "--frames") {
            if (!hasValue || !ParseCount(argv[++i], 1, frames))
                return Usage("--frames needs a count of at least 1");
        } else if (arg == "--addresses") {
            if (!hasValue || !ParseCount(argv[++i], 16, addresses) || addresses > 100000000)
                return Usage("--addresses needs a count from 16 to 100000000");
        } else if (arg == "--seed") {
            if (!hasValue || !ParseCount(argv[++i], 0, seed))
                return Usage("--seed needs a number");
        } else if (arg == "--local-ip") {
            in_addr parsed{};
            if (!hasValue || inet_pton(AF_INET, argv[++i], &parsed) != 1)
                return Usage("--local-ip needs an IPv4 address");
            localIP = ntohl(parsed.s_addr);
            if ((localIP & 0xFF) == 0 || (localIP & 0xFF) == 255)
                return Usage("--local-ip must be a host address of its /24");
        } else if (arg.size() > 1 && arg[0] == '-') {
            return Usage("unknown option " + arg);
        } else if (output.empty()) {
            output = arg;
        } else {
            return Usage("more than one output file");
        }
    }
    if (output.empty())
        return Usage("no output file");

    TGenerator generator(seed, frames, addresses, localIP);
    const std::string partial = output + ".part";
    std::FILE* out = std::fopen(partial.c_str(), "wb");
    if (!out) {
        std::fprintf(stderr, "varno-pcapgen: %s: %s\n", partial.c_str(), std::strerror(errno));
        return 1;
    }
    std::vector<char> buffer(1 << 20);
    std::setvbuf(out, buffer.data(), _IOFBF, buffer.size());
    TSummary summary;
    const bool written = generator.Write(out, summary);
    const bool closed = std::fclose(out) == 0;
    if (!written || !closed || std::rename(partial.c_str(), output.c_str()) != 0) {
        std::fprintf(stderr, "varno-pcapgen: %s: %s\n", output.c_str(), std::strerror(errno));
        std::remove(partial.c_str());
        return 1;
    }
    std::printf("frames: %llu\n", static_cast<unsigned long long>(summary.Frames));
    std::printf("ipv4_tcp: %llu\n", static_cast<unsigned long long>(summary.Tcp));
    std::printf("ipv4_udp: %llu\n", static_cast<unsigned long long>(summary.Udp));
    std::printf("ipv4_icmp: %llu\n", static_cast<unsigned long long>(summary.Icmp));
    std::printf("arp: %llu\n", static_cast<unsigned long long>(summary.Arp));
    std::printf("ipv6: %llu\n", static_cast<unsigned long long>(summary.Ipv6));
    std::printf("counted_frames: %llu\n", static_cast<unsigned long long>(summary.Tcp + summary.Udp));
    std::printf("counted_bytes: %llu\n", static_cast<unsigned long long>(summary.CountedBytes));
    std::printf("distinct_ipv4: %zu\n", generator.DistinctAddresses());
    return 0;
}
