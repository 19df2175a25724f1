// The benchmark's capture generator: the figures it prints must be what the
// file holds, read back through libpcap and decoded here on its own, and the
// same arguments must give the same bytes. The benchmark checks every counter
// against those figures, so a generator that miscounts would pass wrong
// totals off as right.

#include <gtest/gtest.h>

#include <pcap/pcap.h>

#include <arpa/inet.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

const std::string Generator = std::string(VARNO_BIN_DIR) + "/varno-pcapgen";

struct TTempDir {
    fs::path Path;
    TTempDir()
    {
        std::string pattern = (fs::temp_directory_path() / "varno-pcapgen-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp failed");
        Path = pattern;
    }
    ~TTempDir()
    {
        std::error_code ec;
        fs::remove_all(Path, ec);
    }
};

struct TProgramRun {
    int Status = -1;
    std::string Output;
};

// Runs the generator with its standard output in a file.
TProgramRun RunGenerator(const std::vector<std::string>& args, const fs::path& outputFile)
{
    std::string command = "'" + Generator + "'";
    for (const auto& a : args)
        command += " '" + a + "'";
    command += " >'" + outputFile.string() + "' 2>/dev/null";
    TProgramRun run;
    const int raw = std::system(command.c_str());
    run.Status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    std::ifstream in(outputFile);
    run.Output.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return run;
}

std::map<std::string, std::uint64_t> ParseSummary(const std::string& text)
{
    std::map<std::string, std::uint64_t> out;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        const auto colon = line.find(':');
        if (colon != std::string::npos)
            out[line.substr(0, colon)] = std::stoull(line.substr(colon + 1));
    }
    return out;
}

std::string ReadBytes(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::uint16_t Be16(const u_char* p)
{
    return std::uint16_t(p[0] << 8 | p[1]);
}

std::uint32_t Be32(const u_char* p)
{
    return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | p[3];
}

// One's complement sum folded to 16 bits; 0xFFFF over a block that carries
// its own correct checksum.
std::uint16_t OnesSum(const u_char* p, std::size_t n, std::uint32_t sum = 0)
{
    for (std::size_t i = 0; i + 1 < n; i += 2)
        sum += Be16(p + i);
    if (n & 1)
        sum += std::uint32_t(p[n - 1]) << 8;
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return std::uint16_t(sum);
}

// What the file holds, decoded independently of the generator.
struct TFileFacts {
    int LinkType = -1;
    std::uint64_t Frames = 0, Tcp = 0, Udp = 0, Icmp = 0, Arp = 0, Ipv6 = 0, Other = 0;
    std::uint64_t CountedBytes = 0;
    std::uint64_t OutOfSize = 0;     // frames outside 60..80 bytes or cut short
    std::uint64_t BadChecksums = 0;  // IPv4 header or TCP/UDP
    std::uint64_t BadLengths = 0;    // IPv4 total length beyond the frame
    std::set<std::uint32_t> Addresses;
};

TFileFacts ReadFacts(const fs::path& file)
{
    TFileFacts facts;
    char errbuf[PCAP_ERRBUF_SIZE] = "";
    std::unique_ptr<pcap_t, decltype(&pcap_close)> pcap(pcap_open_offline(file.c_str(), errbuf), &pcap_close);
    if (!pcap) {
        ADD_FAILURE() << errbuf;
        return facts;
    }
    facts.LinkType = pcap_datalink(pcap.get());
    pcap_pkthdr* header;
    const u_char* frame;
    while (pcap_next_ex(pcap.get(), &header, &frame) == 1) {
        ++facts.Frames;
        if (header->caplen != header->len || header->len < 60 || header->len > 80) {
            ++facts.OutOfSize;
            continue;
        }
        const std::uint16_t etherType = Be16(frame + 12);
        if (etherType == 0x0806) {
            ++facts.Arp;
        } else if (etherType == 0x86DD) {
            ++facts.Ipv6;
        } else if (etherType == 0x0800) {
            const u_char* ip = frame + 14;
            const std::size_t total = Be16(ip + 2);
            if ((ip[0] & 0x0F) != 5 || total < 28 || 14 + total > header->caplen) {
                ++facts.BadLengths;
                continue;
            }
            if (OnesSum(ip, 20) != 0xFFFF)
                ++facts.BadChecksums;
            facts.Addresses.insert(Be32(ip + 12));
            facts.Addresses.insert(Be32(ip + 16));
            const u_char* segment = ip + 20;
            const std::size_t segmentLength = total - 20;
            if (ip[9] == 6 || ip[9] == 17) {
                (ip[9] == 6 ? facts.Tcp : facts.Udp) += 1;
                facts.CountedBytes += total;
                const std::uint32_t pseudo =
                    OnesSum(ip + 12, 8) + ip[9] + std::uint32_t(segmentLength);
                if (OnesSum(segment, segmentLength, pseudo) != 0xFFFF)
                    ++facts.BadChecksums;
            } else if (ip[9] == 1) {
                ++facts.Icmp;
                if (OnesSum(segment, segmentLength) != 0xFFFF)
                    ++facts.BadChecksums;
            } else {
                ++facts.Other;
            }
        } else {
            ++facts.Other;
        }
    }
    return facts;
}

struct TGenCase {
    const char* Name;
    int Frames;
    int Addresses;
    const char* LocalIP;
};

void PrintTo(const TGenCase& c, std::ostream* os)
{
    *os << c.Name;
}

class PcapGenTest : public ::testing::TestWithParam<TGenCase> {};

TEST_P(PcapGenTest, SummaryIsWhatTheFileHolds)
{
    const TGenCase& c = GetParam();
    TTempDir dir;
    const fs::path pcap = dir.Path / "gen.pcap";
    const auto run = RunGenerator({pcap.string(), "--frames", std::to_string(c.Frames), "--addresses",
                                   std::to_string(c.Addresses), "--seed", "7", "--local-ip", c.LocalIP},
                                  dir.Path / "summary.txt");
    ASSERT_EQ(run.Status, 0) << run.Output;
    EXPECT_FALSE(fs::exists(dir.Path / "gen.pcap.part"));
    auto summary = ParseSummary(run.Output);
    const TFileFacts facts = ReadFacts(pcap);

    EXPECT_EQ(facts.LinkType, DLT_EN10MB);
    EXPECT_EQ(facts.Frames, std::uint64_t(c.Frames));
    EXPECT_EQ(summary["frames"], facts.Frames);
    EXPECT_EQ(summary["ipv4_tcp"], facts.Tcp);
    EXPECT_EQ(summary["ipv4_udp"], facts.Udp);
    EXPECT_EQ(summary["ipv4_icmp"], facts.Icmp);
    EXPECT_EQ(summary["arp"], facts.Arp);
    EXPECT_EQ(summary["ipv6"], facts.Ipv6);
    EXPECT_EQ(summary["counted_frames"], facts.Tcp + facts.Udp);
    EXPECT_EQ(summary["counted_bytes"], facts.CountedBytes);
    EXPECT_EQ(summary["distinct_ipv4"], facts.Addresses.size());
    EXPECT_EQ(facts.Other, 0u);
    EXPECT_EQ(facts.OutOfSize, 0u);
    EXPECT_EQ(facts.BadLengths, 0u);
    EXPECT_EQ(facts.BadChecksums, 0u);

    // Mostly TCP and UDP, with every other kind present.
    const double counted = double(facts.Tcp + facts.Udp) / double(facts.Frames);
    EXPECT_GT(counted, 0.93);
    EXPECT_LT(counted, 0.97);
    EXPECT_GT(facts.Tcp, facts.Udp);
    EXPECT_GT(facts.Arp, 0u);
    EXPECT_GT(facts.Ipv6, 0u);
    EXPECT_GT(facts.Icmp, 0u);

    // The address count asked for, up to the few hosts that the last frames
    // had no room to bring in when there are as many hosts as frames.
    EXPECT_LE(facts.Addresses.size(), std::size_t(c.Addresses));
    EXPECT_GE(facts.Addresses.size(), std::size_t(c.Addresses) * 99 / 100);

    // This machine takes part in most of the traffic.
    in_addr local{};
    ASSERT_EQ(inet_pton(AF_INET, c.LocalIP, &local), 1);
    EXPECT_EQ(facts.Addresses.count(ntohl(local.s_addr)), 1u);
}

const TGenCase GenCases[] = {
    // Name             Frames  Addresses  LocalIP
    {"FewHosts",        20000,  16,        "192.168.1.10"},
    {"ThousandHosts",   20000,  1000,      "10.20.30.40"},
    {"HostPerFrame",    20000,  20000,     "192.168.1.1"},
};

INSTANTIATE_TEST_SUITE_P(Generator, PcapGenTest, ::testing::ValuesIn(GenCases),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(PcapGenDeterminism, SameSeedSameBytesOtherSeedOtherBytes)
{
    TTempDir dir;
    const auto make = [&](const std::string& name, const std::string& seed) {
        const fs::path file = dir.Path / name;
        const auto run = RunGenerator({file.string(), "--frames", "5000", "--addresses", "500", "--seed", seed},
                                      dir.Path / (name + ".txt"));
        EXPECT_EQ(run.Status, 0);
        return ReadBytes(file);
    };
    const std::string first = make("a.pcap", "3");
    const std::string again = make("b.pcap", "3");
    const std::string other = make("c.pcap", "4");
    ASSERT_GT(first.size(), 5000u * (16 + 60));
    EXPECT_EQ(first, again);
    EXPECT_NE(first, other);
}

TEST(PcapGenUsage, BadArgumentsWriteNothing)
{
    TTempDir dir;
    const fs::path file = dir.Path / "x.pcap";
    const std::vector<std::vector<std::string>> bad = {
        {},
        {file.string(), "--frames", "0"},
        {file.string(), "--frames", "12x"},
        {file.string(), "--addresses", "15"},
        {file.string(), "--local-ip", "300.1.1.1"},
        {file.string(), "--local-ip", "10.0.0.255"},
        {file.string(), "--bogus"},
        {file.string(), "second.pcap"},
    };
    for (const auto& args : bad) {
        const auto run = RunGenerator(args, dir.Path / "out.txt");
        EXPECT_EQ(run.Status, 2) << (args.empty() ? "(no arguments)" : args.back());
        EXPECT_FALSE(fs::exists(file));
    }
}

} // namespace
