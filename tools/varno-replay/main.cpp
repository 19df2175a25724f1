// varno-replay CAPTURE RANGES [--local-ip A.B.C.D] [--first-match] [--passes N] [--json]
//
// How much of a capture falls in each of my ranges? Loads the ranges file as
// the tray's Start does, runs every frame of a pcap capture file through the
// traffic component's packet handler (the same code as live capture), and
// prints one row per range: its number, display name, matched packets and
// bytes (the sum of the IPv4 total lengths, as the tray counts them). Then the
// frames read, the frames that were IPv4 TCP or UDP, and the hosts and host
// pairs seen. The speed goes to standard error.
//
// Every matching range counts a packet unless --first-match is given.
// --local-ip sets the address that "*MYIP*" and the other keywords stand for.
// --passes N reads the capture N times over into the same picture, for
// measuring: the later passes meet only hosts, pairs and ports already known.
// The counts are those of all passes; the speed of each pass goes to
// standard error.
//
// Exit status: 0 on success, 1 when the capture or the ranges file cannot be
// used, 2 for usage. A capture that ends inside a frame prints the counts of
// the frames before it, then the error, and exits with 1.

#include "app/LocalMachineInfo.h"
#include "component/VarnoComponent.h"
#include "platform/Paths.h"
#include "platform/SysUtils.h"
#include "ranges/RangesFile.h"

#include <pcap/pcap.h>

#include <arpa/inet.h>
#include <sys/stat.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

const char* const Program = "varno-replay";
const char* const UsageLine =
    "usage: varno-replay CAPTURE RANGES [--local-ip A.B.C.D] [--first-match] [--passes N] [--json]\n";

int Usage(const std::string& problem)
{
    std::cerr << Program << ": " << problem << "\n" << UsageLine;
    return 2;
}

int Fail(const std::string& problem)
{
    std::cerr << Program << ": " << problem << "\n";
    return 1;
}

struct RangeRow {
    std::string Name;
    std::uint64_t Packets = 0;
    std::uint64_t Bytes = 0;
};

struct Totals {
    std::uint64_t Frames = 0;
    std::uint64_t Counted = 0;
};

// Adds one update to every range named in a list such as "1,3,10".
void ParseAndCount(std::vector<RangeRow>& rows, const std::string& matched, int dataAmount,
                   std::vector<std::uint16_t>* named)
{
    const char* p = matched.data();
    const char* const end = p + matched.size();
    RangeRow* const first = rows.data();
    const std::size_t count = rows.size();
    while (p != end) {
        std::size_t number = 0;
        bool digits = false;
        for (; p != end && *p >= '0' && *p <= '9'; ++p) {
            // Past any row number: the text names no row.
            if (number <= count)
                number = number * 10 + std::size_t(*p - '0');
            digits = true;
        }
        if (digits && number >= 1 && number <= count) {
            first[number - 1].Packets += 1;
            first[number - 1].Bytes += std::uint64_t(dataAmount);
            if (named)
                named->push_back(std::uint16_t(number - 1));
        }
        if (p != end)
            ++p;  // the separator
    }
}

// The rows named by recent lists: most packets repeat a list seen shortly
// before, often in the very same string object, so each is read once. The
// string's address only picks the entry; its text decides.
struct MatchCache {
    struct Entry {
        std::string Text;  // empty: empty entry
        std::vector<std::uint16_t> Rows;
    };
    std::array<Entry, 256> Entries;
};

void CountMatches(std::vector<RangeRow>& rows, MatchCache& cache, const std::string& matched, int dataAmount)
{
    if (matched.empty()) {
        ParseAndCount(rows, matched, dataAmount, nullptr);
        return;
    }
    std::uint64_t key = reinterpret_cast<std::uintptr_t>(matched.data()) * 0x9E3779B97F4A7C15ull + matched.size();
    key ^= key >> 29;
    MatchCache::Entry& entry = cache.Entries[std::size_t((key * 0xBF58476D1CE4E5B9ull) >> 56)];
    if (entry.Text == matched) {
        for (const std::uint16_t row : entry.Rows) {
            rows[row].Packets += 1;
            rows[row].Bytes += std::uint64_t(dataAmount);
        }
        return;
    }
    entry.Rows.clear();
    ParseAndCount(rows, matched, dataAmount, &entry.Rows);
    entry.Text = matched;
}

void PrintSpeed(const std::string& what, std::uint64_t frames, std::chrono::steady_clock::time_point started,
                std::chrono::steady_clock::time_point ended)
{
    const double seconds = std::chrono::duration<double>(ended - started).count();
    std::fprintf(stderr, "%s: %s%llu frames in %.3f s (%.0f frames/s)\n", Program, what.c_str(),
                 static_cast<unsigned long long>(frames), seconds, seconds > 0 ? double(frames) / seconds : 0.0);
}

std::string JsonText(const std::string& text)
{
    std::string out = "\"";
    for (const unsigned char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += char(c);
            }
        }
    }
    return out + "\"";
}

void PrintText(const std::vector<RangeRow>& rows, const Totals& totals, const TVarno& varno)
{
    std::size_t nameWidth = 12;
    for (const auto& row : rows)
        nameWidth = std::max(nameWidth, row.Name.size());
    std::printf("%5s  %-*s  %12s  %15s\n", "Range", int(nameWidth), "Display Name", "Packets", "Bytes");
    for (std::size_t i = 0; i < rows.size(); ++i)
        std::printf("%5zu  %-*s  %12llu  %15llu\n", i + 1, int(nameWidth), rows[i].Name.c_str(),
                    static_cast<unsigned long long>(rows[i].Packets), static_cast<unsigned long long>(rows[i].Bytes));
    std::printf("\nFrames read:          %llu\n", static_cast<unsigned long long>(totals.Frames));
    std::printf("IPv4 TCP/UDP frames:  %llu\n", static_cast<unsigned long long>(totals.Counted));
    std::printf("Hosts seen:           %zu\n", varno.NodeList().size());
    std::printf("Host pairs seen:      %zu\n", varno.RouteList().size());
}

void PrintJson(const std::vector<RangeRow>& rows, const Totals& totals, const TVarno& varno)
{
    std::string out = "{\n  \"ranges\": [";
    for (std::size_t i = 0; i < rows.size(); ++i) {
        out += i ? ",\n    " : "\n    ";
        out += "{\"number\": " + std::to_string(i + 1) + ", \"name\": " + JsonText(rows[i].Name) +
               ", \"packets\": " + std::to_string(rows[i].Packets) + ", \"bytes\": " + std::to_string(rows[i].Bytes) +
               "}";
    }
    out += rows.empty() ? "],\n" : "\n  ],\n";
    out += "  \"frames\": " + std::to_string(totals.Frames) + ",\n";
    out += "  \"ipv4_tcp_udp_frames\": " + std::to_string(totals.Counted) + ",\n";
    out += "  \"hosts\": " + std::to_string(varno.NodeList().size()) + ",\n";
    out += "  \"host_pairs\": " + std::to_string(varno.RouteList().size()) + "\n}\n";
    std::fputs(out.c_str(), stdout);
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> files;
    std::optional<std::string> localIP;
    bool firstMatch = false;
    bool json = false;
    int passes = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::cout << UsageLine;
            return 0;
        } else if (arg == "--first-match") {
            firstMatch = true;
        } else if (arg == "--json") {
            json = true;
        } else if (arg == "--passes") {
            if (i + 1 >= argc || !TryStrToInt(argv[i + 1], passes) || passes < 1 || passes > 1000)
                return Usage("--passes needs a number from 1 to 1000");
            ++i;
        } else if (arg == "--local-ip") {
            if (i + 1 >= argc)
                return Usage("--local-ip needs an address");
            in_addr parsed{};
            if (inet_pton(AF_INET, argv[i + 1], &parsed) != 1)
                return Usage(std::string("not an IPv4 address: ") + argv[i + 1]);
            localIP = argv[++i];
        } else if (arg.size() > 1 && arg[0] == '-') {
            return Usage("unknown option " + arg);
        } else {
            files.push_back(arg);
        }
    }
    if (files.size() != 2)
        return Usage("expected a capture file and a ranges file");
    const std::string& captureFile = files[0];
    const std::string& rangesFile = files[1];
    if (localIP)
        LocalIP = *localIP;

    // Later passes open the file again: a pipe or standard input would give
    // them nothing, and the counts would silently stop being N times over.
    if (struct stat st {}; passes > 1 && (stat(captureFile.c_str(), &st) != 0 || !S_ISREG(st.st_mode)))
        return Fail(captureFile + ": --passes needs a capture file that can be read again");

    char errbuf[PCAP_ERRBUF_SIZE] = "";
    std::unique_ptr<pcap_t, decltype(&pcap_close)> capture(pcap_open_offline(captureFile.c_str(), errbuf),
                                                           &pcap_close);
    if (!capture)
        return Fail(captureFile + ": " + errbuf);
    if (const int link = pcap_datalink(capture.get()); link != DLT_EN10MB) {
        const char* name = pcap_datalink_val_to_name(link);
        const char* description = pcap_datalink_val_to_description(link);
        return Fail(captureFile + ": link type " + (name ? name : std::to_string(link)) +
                    (description ? std::string(" (") + description + ")" : "") +
                    " is not Ethernet; only Ethernet captures can be counted");
    }

    if (!FileExists(rangesFile))
        return Fail(rangesFile + ": no such ranges file");
    TIniSnapshot file;
    try {
        file = ReadRangesFile(rangesFile);
    } catch (const Exception& e) {
        return Fail(e.Message());
    }

    TVarno varno;
    varno.ListFirstRangeMatchOnly = firstMatch;
    // Names are not shown here; leave Nodes.ini alone.
    varno.LoadAndSaveIPNames = false;
    std::vector<RangeRow> rows;
    try {
        LoadRangesFile(file, [&](int, const TRangeTexts& texts, std::unique_ptr<TAllowRange> rule) {
            rows.push_back({texts.DisplayName});
            varno.AllowRanges.push_back(std::move(rule));
        });
    } catch (const Exception& e) {
        return Fail(rangesFile + ": range " + std::to_string(rows.size() + 1) + ": " + e.Message());
    }

    MatchCache cache;
    const auto count = [&rows, &cache](TObject*, const std::string&, const std::string&, int, int dataAmount, int,
                                       int, const std::string& matched) {
        CountMatches(rows, cache, matched, dataAmount);
    };
    varno.OnTCPNetworkTrafficUpdate = count;
    varno.OnUDPNetworkTrafficUpdate = count;

    Totals totals;
    const auto started = std::chrono::steady_clock::now();
    int status = 1;
    for (int pass = 1; pass <= passes && status != PCAP_ERROR; ++pass) {
        if (pass > 1) {
            capture.reset(pcap_open_offline(captureFile.c_str(), errbuf));
            if (!capture)
                return Fail(captureFile + ": pass " + std::to_string(pass) + ": " + errbuf);
        }
        const auto passStarted = std::chrono::steady_clock::now();
        const std::uint64_t framesBefore = totals.Frames;
        pcap_pkthdr* header = nullptr;
        const u_char* data = nullptr;
        while ((status = pcap_next_ex(capture.get(), &header, &data)) == 1) {
            ++totals.Frames;
            totals.Counted += varno.HandleFrame(header, data);
        }
        if (passes > 1 && status != PCAP_ERROR)
            PrintSpeed("pass " + std::to_string(pass) + ": ", totals.Frames - framesBefore, passStarted,
                       std::chrono::steady_clock::now());
    }
    const auto ended = std::chrono::steady_clock::now();
    // A file cut short (a capture still being written, a copy that broke
    // off) still shows what its complete frames hold; the error follows and
    // the status says the file was not read to its end.
    if (json)
        PrintJson(rows, totals, varno);
    else
        PrintText(rows, totals, varno);
    std::fflush(stdout);
    if (status == PCAP_ERROR)
        return Fail(captureFile + ": after " + std::to_string(totals.Frames) + " frames: " +
                    pcap_geterr(capture.get()) + "; the counts are of those frames only");
    PrintSpeed("", totals.Frames, started, ended);
    // Everything is said: a capture of a million hosts would otherwise spend
    // a good part of the run taking its hosts and pairs apart one by one.
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(0);
}
