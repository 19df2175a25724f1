// varno-livecount ADAPTER RANGES [--local-ip A.B.C.D] [--map NAME] [--nodes FILE]
//                 [--frames N] [--idle-ms MS] [--timeout-ms MS]
//
// The live benchmark's counter: captures on one adapter through the capture
// component, hands every frame to the traffic component's packet handler,
// and counts each matched packet into a shared counters block the way the
// tray does (one lock cycle per matched packet: lock with retry, add to every
// matched range, bump the change count, unlock). What the tray cannot tell,
// this prints at the end: libpcap's statistics for the capture (pcap_stats).
//
// The capture is set up as the traffic component sets up its own (snapshot
// length 68, promiscuous, 100 ms read time-out, frames handled on the main
// thread, the capture's default kernel buffer); the component keeps its
// capture to itself, so this program opens one beside it with the same
// settings.
//
// Prints "ready" on a line of its own once the capture is open. It ends
// after N frames (--frames), after MS milliseconds without a frame once one
// has come (--idle-ms, 1000), after --timeout-ms in all (0: no limit), or on
// SIGINT/SIGTERM; then it prints one JSON object: pcap_stats' received,
// dropped and interface-dropped counts, the frames delivered, the seconds from
// the first to the last delivered frame, and every range's packets and bytes.
//
// Exit status: 0 done, 1 the capture, the ranges or the block could not be
// used, 2 usage.

#include "app/LocalMachineInfo.h"
#include "capture/Snoop.h"
#include "component/VarnoComponent.h"
#include "platform/SysUtils.h"
#include "platform/Threads.h"
#include "ranges/RangesFile.h"
#include "sharedmap/SharedMemoryMap.h"

#include <arpa/inet.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

const char* const UsageLine =
    "usage: varno-livecount ADAPTER RANGES [--local-ip A.B.C.D] [--map NAME] [--nodes FILE]\n"
    "                       [--frames N] [--idle-ms MS] [--timeout-ms MS]\n";

volatile std::sig_atomic_t g_stopSignal = 0;

void OnSignal(int)
{
    g_stopSignal = 1;
}

int Usage(const std::string& problem)
{
    std::cerr << "varno-livecount: " << problem << "\n" << UsageLine;
    return 2;
}

int Fail(const std::string& problem)
{
    std::cerr << "varno-livecount: " << problem << "\n";
    return 1;
}

bool ParseCount(const char* text, long long& value)
{
    if (!*text)
        return false;
    long long v = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9' || v > 100000000000LL)
            return false;
        v = v * 10 + (*p - '0');
    }
    value = v;
    return true;
}

std::string JsonText(const std::string& text)
{
    std::string out = "\"";
    for (const unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out += char(c);
        }
    }
    return out + "\"";
}

struct TRangeTally {
    std::string Name;
    std::uint64_t Packets = 0;
    std::uint64_t Bytes = 0;
};

// The tray's counting of one traffic update: one lock cycle on the block,
// every matched range's amounts grow by the packet's data amount.
void CountTraffic(TVarnoTraySharedMemoryMap& map, std::vector<TRangeTally>& tally, const std::string& matched,
                  int dataAmount)
{
    LockWithRetry(map, 11, 10);
    if (!map.Locked())
        return;
    std::string_view rest = matched;
    while (!rest.empty()) {
        const auto comma = rest.find(',');
        const std::string_view item = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        int number = 0;
        for (const char c : item)
            number = number * 10 + (c - '0');
        map.AddAmount(number - 1, dataAmount);
        if (number >= 1 && std::size_t(number) <= tally.size()) {
            tally[std::size_t(number) - 1].Packets += 1;
            tally[std::size_t(number) - 1].Bytes += std::uint64_t(dataAmount);
        }
    }
    map.IncrementChangeCount();
    map.Unlock();
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args;
    std::optional<std::string> localIP;
    std::string mapName = "VarnoBench";
    std::string nodesFile;
    long long frames = 0, idleMs = 1000, timeoutMs = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--help" || arg == "-h") {
            std::cout << UsageLine;
            return 0;
        } else if (arg == "--local-ip") {
            in_addr parsed{};
            if (!hasValue || inet_pton(AF_INET, argv[i + 1], &parsed) != 1)
                return Usage("--local-ip needs an IPv4 address");
            localIP = argv[++i];
        } else if (arg == "--map") {
            if (!hasValue || !*argv[i + 1])
                return Usage("--map needs a name");
            mapName = argv[++i];
        } else if (arg == "--nodes") {
            if (!hasValue)
                return Usage("--nodes needs a file name");
            nodesFile = argv[++i];
        } else if (arg == "--frames") {
            if (!hasValue || !ParseCount(argv[++i], frames))
                return Usage("--frames needs a count");
        } else if (arg == "--idle-ms") {
            if (!hasValue || !ParseCount(argv[++i], idleMs) || idleMs == 0)
                return Usage("--idle-ms needs a positive number");
        } else if (arg == "--timeout-ms") {
            if (!hasValue || !ParseCount(argv[++i], timeoutMs))
                return Usage("--timeout-ms needs a number");
        } else if (arg.size() > 1 && arg[0] == '-') {
            return Usage("unknown option " + arg);
        } else {
            args.push_back(arg);
        }
    }
    if (args.size() != 2)
        return Usage("expected an adapter name and a ranges file");
    const std::string& adapter = args[0];
    const std::string& rangesFile = args[1];
    if (localIP)
        LocalIP = *localIP;

    MainThread::Init();
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);

    TVarnoTraySharedMemoryMap map(mapName);
    TVarno varno;
    varno.ListFirstRangeMatchOnly = false;
    if (nodesFile.empty()) {
        varno.LoadAndSaveIPNames = false;
    } else {
        varno.LoadAndSaveIPNames = true;
        varno.NodeNamesFile = nodesFile;
    }
    std::vector<TRangeTally> tally;
    try {
        map.Open();
        LockWithRetry(map, 11, 10);
        if (!map.Locked())
            return Fail("the shared block " + mapName + " could not be locked");
        try {
            LoadRangesFile(
                rangesFile,
                [&](int number, const TRangeTexts& texts, std::unique_ptr<TAllowRange> rule) {
                    varno.AllowRanges.push_back(std::move(rule));
                    tally.push_back({texts.DisplayName});
                    map.SetRangeName(number - 1, texts.DisplayName);
                    map.ClearRange(number - 1);
                },
                TVarnoTraySharedMemoryMap::RecordCount);
        } catch (...) {
            map.Unlock();
            throw;
        }
        map.IncrementChangeCount();
        map.Unlock();
    } catch (const Exception& e) {
        return Fail(rangesFile + ": range " + std::to_string(tally.size() + 1) + ": " + e.Message());
    }
    if (tally.empty())
        return Fail(rangesFile + ": no ranges");

    const auto count = [&](TObject*, const std::string&, const std::string&, int, int dataAmount, int, int,
                           const std::string& matched) { CountTraffic(map, tally, matched, dataAmount); };
    varno.OnTCPNetworkTrafficUpdate = count;
    varno.OnUDPNetworkTrafficUpdate = count;

    TSnoop snoop;
    int index = -1;
    for (std::size_t i = 0; i < snoop.AdapterNames().size(); ++i)
        if (snoop.AdapterNames()[i] == adapter)
            index = int(i);
    if (index < 0)
        return Fail("no capture adapter named " + adapter);
    snoop.SetAdapterIndex(index);
    snoop.ThreadSafe = true;
    snoop.SnapLen = 68;
    snoop.Flags = 1;
    snoop.ReadTimeOut = 100;

    using TClock = std::chrono::steady_clock;
    long long delivered = 0;
    TClock::time_point firstFrame{}, lastFrame{};
    bool enough = false;
    TSnoopStats stats;
    bool haveStats = false;
    snoop.OnCapture = [&](TObject* sender, PPCAP_PKTHDR header, PETHERNET_HDR frame) {
        lastFrame = TClock::now();
        if (delivered++ == 0)
            firstFrame = lastFrame;
        varno.SnoopCapture(sender, header, frame);
        if (frames > 0 && delivered >= frames && !enough) {
            enough = true;
            haveStats = snoop.Stats(stats);
        }
    };

    snoop.Open();
    if (!snoop.Active())
        return Fail(adapter + ": " + snoop.LastError());
    std::cout << "ready" << std::endl;

    const auto started = TClock::now();
    const auto idle = std::chrono::milliseconds(idleMs);
    while (!enough && !g_stopSignal) {
        MainThread::WaitUntil([&] { return enough || g_stopSignal != 0; }, 50);
        const auto now = TClock::now();
        if (delivered > 0 && now - lastFrame >= idle)
            break;
        if (timeoutMs > 0 && now - started >= std::chrono::milliseconds(timeoutMs))
            break;
        if (!snoop.Active())
            break;
    }
    if (!haveStats && snoop.Active())
        haveStats = snoop.Stats(stats);
    const std::string readerError = snoop.Active() ? std::string() : snoop.LastError();
    snoop.Close();

    const double seconds = delivered > 1 ? std::chrono::duration<double>(lastFrame - firstFrame).count() : 0.0;
    std::string out = "{\"received\": " + (haveStats ? std::to_string(stats.Received) : std::string("null")) +
                      ", \"dropped\": " + (haveStats ? std::to_string(stats.Dropped) : std::string("null")) +
                      ", \"if_dropped\": " + (haveStats ? std::to_string(stats.IfDropped) : std::string("null")) +
                      ", \"delivered\": " + std::to_string(delivered) + ", \"seconds\": " + std::to_string(seconds) +
                      ", \"reader_error\": " + JsonText(readerError) + ", \"ranges\": [";
    for (std::size_t i = 0; i < tally.size(); ++i)
        out += std::string(i ? ", " : "") + "{\"number\": " + std::to_string(i + 1) +
               ", \"name\": " + JsonText(tally[i].Name) + ", \"packets\": " + std::to_string(tally[i].Packets) +
               ", \"bytes\": " + std::to_string(tally[i].Bytes) + "}";
    out += "]}\n";
    std::fputs(out.c_str(), stdout);
    return 0;
}
