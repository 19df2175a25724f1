// Real public captures run through the packet handler, and the varno-replay
// program that does the same for users.

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <pcap/pcap.h>

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <map>
#include <regex>
#include <set>

namespace {

using namespace testsupport;

const std::string PcapDir = VARNO_TESTDATA_DIR "/pcaps/";
const std::string DataDir = VARNO_SOURCE_DIR "/tests/component/data/";

// Reads every frame of a capture file through the component's handler.
struct Replay {
    std::uint64_t Frames = 0;
    std::uint64_t Counted = 0;  // frames the handler took as IPv4 TCP or UDP
    std::uint64_t Updates = 0;
    std::uint64_t Bytes = 0;
    std::map<int, std::pair<std::uint64_t, std::uint64_t>> PerRange;  // packets, bytes

    void Run(TVarno& varno, const std::string& file)
    {
        char errbuf[PCAP_ERRBUF_SIZE];
        pcap_t* p = pcap_open_offline(file.c_str(), errbuf);
        ASSERT_NE(p, nullptr) << errbuf;
        ASSERT_EQ(pcap_datalink(p), DLT_EN10MB);
        const auto count = [this](TObject*, const std::string&, const std::string&, int packets, int bytes, int,
                                  int, const std::string& ranges) {
            ++Updates;
            Bytes += std::uint64_t(bytes);
            EXPECT_EQ(packets, 1);
            size_t start = 0;
            while (start <= ranges.size()) {
                const size_t comma = std::min(ranges.find(',', start), ranges.size());
                auto& r = PerRange[std::stoi(ranges.substr(start, comma - start))];
                r.first += 1;
                r.second += std::uint64_t(bytes);
                start = comma + 1;
            }
        };
        varno.OnTCPNetworkTrafficUpdate = count;
        varno.OnUDPNetworkTrafficUpdate = count;
        pcap_pkthdr* header;
        const u_char* data;
        while (pcap_next_ex(p, &header, &data) == 1) {
            ++Frames;
            Counted += varno.HandleFrame(header, data);
        }
        pcap_close(p);
    }
};

struct CaptureCase {
    const char* File;
    std::uint64_t Frames;
    std::uint64_t Counted;  // Ethernet II, IPv4, protocol TCP or UDP
    std::uint64_t Bytes;    // their IPv4 total lengths
};

void PrintTo(const CaptureCase& c, std::ostream* os) { *os << c.File; }

class RealCaptures : public ::testing::TestWithParam<CaptureCase> {};

TEST_P(RealCaptures, AnyRangeCountsExactlyTheIPv4TCPAndUDPFrames)
{
    const CaptureCase& c = GetParam();
    TVarno varno;
    varno.LoadAndSaveIPNames = false;
    varno.AllowRanges.push_back(AnyRule());
    Replay replay;
    replay.Run(varno, PcapDir + c.File);

    EXPECT_EQ(replay.Frames, c.Frames);
    EXPECT_EQ(replay.Counted, c.Counted);
    EXPECT_EQ(replay.Updates, c.Counted);
    EXPECT_EQ(replay.Bytes, c.Bytes);
}

INSTANTIATE_TEST_SUITE_P(CaptureFiles, RealCaptures,
                         ::testing::ValuesIn(std::vector<CaptureCase>{
                             // File                              Frames  Counted  Bytes
                             {"m57-day11-18-10k.pcap",            10000,  8385,    2291329},
                             {"afs-udp-fragments.pcap",           601,    576,     493998},
                             {"syslog-vlan-pppoe-6in4.pcap",      94,     58,      8715},
                         }),
                         [](const auto& info) {
                             std::string name = info.param.File;
                             return name.substr(0, name.find('-'));
                         });

TEST(CaptureFiles, EveryMatchingRangeCountsThePacket)
{
    // Range 2: source ports from 1024, read at IPv4 offset 20 also for
    // non-first fragments.
    TVarno varno;
    varno.ListFirstRangeMatchOnly = false;
    varno.LoadAndSaveIPNames = false;
    varno.AllowRanges.push_back(AnyRule());
    varno.AllowRanges.push_back(Rule("*ANY*", "*ANY*", "1024-65535", "*ANY*"));
    Replay replay;
    replay.Run(varno, PcapDir + "afs-udp-fragments.pcap");
    EXPECT_EQ(replay.PerRange[1], (std::pair<std::uint64_t, std::uint64_t>{576, 493998}));
    EXPECT_EQ(replay.PerRange[2], (std::pair<std::uint64_t, std::uint64_t>{556, 469436}));
    EXPECT_EQ(replay.PerRange.size(), 2u);
}

// The hosts and host pairs, against a count made here from the raw bytes.
TEST(CaptureFiles, HostsAndPairsOfARealCapture)
{
    TVarno varno;
    varno.LoadAndSaveIPNames = false;
    varno.AllowRanges.push_back(AnyRule());
    std::vector<std::string> firstSeen;
    varno.OnAfterAddTerminatingNode = [&](TObject*, TTerminatingNode* n) { firstSeen.push_back(n->IPAddress()); };
    Replay replay;
    replay.Run(varno, PcapDir + "m57-day11-18-10k.pcap");

    std::vector<std::uint32_t> order;
    std::set<std::uint32_t> hosts;
    std::set<std::pair<std::uint32_t, std::uint32_t>> pairs;
    std::uint64_t routePackets = 0;
    char errbuf[PCAP_ERRBUF_SIZE];
    pcap_t* p = pcap_open_offline((PcapDir + "m57-day11-18-10k.pcap").c_str(), errbuf);
    ASSERT_NE(p, nullptr) << errbuf;
    pcap_pkthdr* h;
    const u_char* d;
    while (pcap_next_ex(p, &h, &d) == 1) {
        if (h->caplen < 38 || d[12] != 0x08 || d[13] != 0x00 || (d[23] != 6 && d[23] != 17))
            continue;
        const std::uint32_t s = std::uint32_t(d[26]) << 24 | d[27] << 16 | d[28] << 8 | d[29];
        const std::uint32_t t = std::uint32_t(d[30]) << 24 | d[31] << 16 | d[32] << 8 | d[33];
        for (const std::uint32_t a : {s, t})
            if (hosts.insert(a).second)
                order.push_back(a);
        pairs.insert({std::min(s, t), std::max(s, t)});
        ++routePackets;
    }
    pcap_close(p);

    ASSERT_EQ(varno.NodeList().size(), hosts.size());
    for (size_t i = 0; i < order.size(); ++i) {
        const std::string text = std::to_string(order[i] >> 24) + "." + std::to_string(order[i] >> 16 & 255) + "." +
                                 std::to_string(order[i] >> 8 & 255) + "." + std::to_string(order[i] & 255);
        ASSERT_EQ(varno.NodeList()[i]->IPAddress(), text) << "node " << i;
        ASSERT_EQ(firstSeen[i], text);
    }
    EXPECT_EQ(varno.RouteList().size(), pairs.size());
    std::uint64_t packets = 0, bytes = 0;
    for (const auto& r : varno.RouteList()) {
        packets += std::uint64_t(r->TotalPacketAmount());
        bytes += std::uint64_t(r->TotalDataAmount());
    }
    EXPECT_EQ(packets, routePackets);
    EXPECT_EQ(bytes, 2291329u);

    // Five ageings empty every window.
    for (int i = 0; i < 5; ++i)
        varno.AgeLinkRoutes();
    EXPECT_TRUE(varno.RouteList().empty());
    EXPECT_EQ(varno.NodeList().size(), hosts.size());
}

// --- varno-replay ---

struct RunResult {
    int Status = -1;
    std::string Out;
};

RunResult RunReplay(const std::string& args)
{
    RunResult r;
    const std::string command = std::string(VARNO_BIN_DIR "/varno-replay ") + args + " 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return r;
    std::array<char, 4096> buf;
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), pipe)) > 0)
        r.Out.append(buf.data(), n);
    const int status = pclose(pipe);
    r.Status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

std::string Quote(const std::string& s) { return "'" + s + "'"; }

TEST(VarnoReplay, CountsEachRangeOfARealCapture)
{
    const RunResult r = RunReplay(Quote(PcapDir + "afs-udp-fragments.pcap") + " " + Quote(DataDir + "replay-ranges.ini"));
    ASSERT_EQ(r.Status, 0) << r.Out;
    // Rows: number, name, packets, bytes.
    EXPECT_TRUE(std::regex_search(r.Out, std::regex(R"(\n\s*1\s+Everything\s+576\s+493998\n)"))) << r.Out;
    EXPECT_TRUE(std::regex_search(r.Out, std::regex(R"(\n\s*2\s+High source ports\s+556\s+469436\n)"))) << r.Out;
    EXPECT_TRUE(std::regex_search(r.Out, std::regex(R"(\n\s*3\s+Nothing on port 9\s+0\s+0\n)"))) << r.Out;
    EXPECT_TRUE(std::regex_search(r.Out, std::regex(R"(Frames read:\s+601\n)"))) << r.Out;
    EXPECT_TRUE(std::regex_search(r.Out, std::regex(R"(IPv4 TCP/UDP frames:\s+576\n)"))) << r.Out;
}

TEST(VarnoReplay, FirstMatchAndJson)
{
    const RunResult r = RunReplay(Quote(PcapDir + "m57-day11-18-10k.pcap") + " " +
                                  Quote(DataDir + "replay-ranges.ini") + " --first-match --json");
    ASSERT_EQ(r.Status, 0) << r.Out;
    // With the first match only, range 1 takes every packet.
    EXPECT_NE(r.Out.find(R"({"number": 1, "name": "Everything", "packets": 8385, "bytes": 2291329})"),
              std::string::npos)
        << r.Out;
    EXPECT_NE(r.Out.find(R"({"number": 2, "name": "High source ports", "packets": 0, "bytes": 0})"),
              std::string::npos)
        << r.Out;
    EXPECT_NE(r.Out.find(R"("frames": 10000,)"), std::string::npos) << r.Out;
    EXPECT_NE(r.Out.find(R"("ipv4_tcp_udp_frames": 8385,)"), std::string::npos) << r.Out;

    // Hosts and pairs agree with the component fed directly.
    TVarno varno;
    varno.LoadAndSaveIPNames = false;
    varno.AllowRanges.push_back(AnyRule());
    Replay replay;
    replay.Run(varno, PcapDir + "m57-day11-18-10k.pcap");
    EXPECT_NE(r.Out.find("\"hosts\": " + std::to_string(varno.NodeList().size()) + ","), std::string::npos) << r.Out;
    EXPECT_NE(r.Out.find("\"host_pairs\": " + std::to_string(varno.RouteList().size()) + "\n"), std::string::npos)
        << r.Out;
}

TEST(VarnoReplay, PassesCountTheCaptureAgainIntoTheSamePicture)
{
    const std::string args = Quote(PcapDir + "m57-day11-18-10k.pcap") + " " + Quote(DataDir + "replay-ranges.ini");
    const RunResult once = RunReplay(args + " --json");
    const RunResult thrice = RunReplay(args + " --passes 3 --json");
    ASSERT_EQ(once.Status, 0);
    ASSERT_EQ(thrice.Status, 0) << thrice.Out;
    // Every count three times over; hosts and pairs as after one pass.
    const std::regex number(R"re("(packets|bytes|frames|ipv4_tcp_udp_frames|hosts|host_pairs)": (\d+))re");
    std::vector<std::pair<std::string, unsigned long long>> a, b;
    for (auto [out, into] : {std::pair{&once.Out, &a}, std::pair{&thrice.Out, &b}})
        for (std::sregex_iterator it(out->begin(), out->end(), number), end; it != end; ++it)
            into->emplace_back((*it)[1], std::stoull((*it)[2]));
    ASSERT_EQ(a.size(), b.size());
    ASSERT_GT(a.size(), 6u);
    for (std::size_t i = 0; i < a.size(); ++i) {
        const bool picture = a[i].first == "hosts" || a[i].first == "host_pairs";
        EXPECT_EQ(b[i].second, picture ? a[i].second : 3 * a[i].second) << a[i].first << " #" << i;
    }
}

TEST(VarnoReplay, LocalAddressKeywords)
{
    // *MYIP* as source: the M57 host 192.168.1.104 sends 'its' traffic.
    const std::string ranges = DataDir + "replay-myip.ini";
    const RunResult mine = RunReplay(Quote(PcapDir + "m57-day11-18-10k.pcap") + " " + Quote(ranges) +
                                     " --local-ip 192.168.1.104 --json");
    const RunResult other = RunReplay(Quote(PcapDir + "m57-day11-18-10k.pcap") + " " + Quote(ranges) +
                                      " --local-ip 10.9.9.9 --json");
    ASSERT_EQ(mine.Status, 0);
    ASSERT_EQ(other.Status, 0);
    const std::regex packets(R"("packets": (\d+))");
    std::smatch m1, m2;
    ASSERT_TRUE(std::regex_search(mine.Out, m1, packets)) << mine.Out;
    ASSERT_TRUE(std::regex_search(other.Out, m2, packets)) << other.Out;
    EXPECT_GT(std::stoull(m1[1]), 100u);
    EXPECT_EQ(std::stoull(m2[1]), 0u);
}

struct RefusalCase {
    const char* Name;
    std::string Args;
    int Status;
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.Name; }

class VarnoReplayRefuses : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(VarnoReplayRefuses, WithAClearStatus)
{
    const RefusalCase& c = GetParam();
    const RunResult r = RunReplay(c.Args);
    EXPECT_EQ(r.Status, c.Status);
    EXPECT_EQ(r.Out, "") << "nothing on standard output";
}

INSTANTIATE_TEST_SUITE_P(
    VarnoReplay, VarnoReplayRefuses,
    ::testing::ValuesIn(std::vector<RefusalCase>{
        // Name               Args                                                                          Status
        {"LinuxCookedCapture", Quote(PcapDir + "kakaotalk-linux-sll.pcap") + " " + Quote(DataDir + "replay-ranges.ini"), 1},
        {"MissingCapture",     Quote(PcapDir + "no-such.pcap") + " " + Quote(DataDir + "replay-ranges.ini"),             1},
        {"NotACapture",        Quote(DataDir + "replay-ranges.ini") + " " + Quote(DataDir + "replay-ranges.ini"),        1},
        {"MissingRanges",      Quote(PcapDir + "afs-udp-fragments.pcap") + " " + Quote(DataDir + "no-such.ini"),         1},
        {"BadRange",           Quote(PcapDir + "afs-udp-fragments.pcap") + " " + Quote(DataDir + "replay-bad.ini"),      1},
        {"OneFileOnly",        Quote(PcapDir + "afs-udp-fragments.pcap"),                                                2},
        {"PassesFromAPipe",    "--passes 2 - " + Quote(DataDir + "replay-ranges.ini") + " < " + Quote(PcapDir + "afs-udp-fragments.pcap"), 1},
        {"NoPasses",           Quote(PcapDir + "afs-udp-fragments.pcap") + " " + Quote(DataDir + "replay-ranges.ini") + " --passes 0", 2},
        {"BadLocalIP",         Quote(PcapDir + "afs-udp-fragments.pcap") + " " + Quote(DataDir + "replay-ranges.ini") + " --local-ip 300.1.1.1", 2},
    }),
    [](const auto& info) { return std::string(info.param.Name); });

TEST(VarnoReplay, LinkTypeMessageNamesTheProblem)
{
    const std::string command = std::string(VARNO_BIN_DIR "/varno-replay ") + Quote(PcapDir + "kakaotalk-linux-sll.pcap") +
                                " " + Quote(DataDir + "replay-ranges.ini") + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string out;
    std::array<char, 1024> buf;
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), pipe)) > 0)
        out.append(buf.data(), n);
    pclose(pipe);
    EXPECT_NE(out.find("LINUX_SLL"), std::string::npos) << out;
    EXPECT_NE(out.find("not Ethernet"), std::string::npos) << out;
}

} // namespace
