// The packet handler on arbitrary frames. Input: one byte of switches, then
// frames, each as a two-byte big-endian captured length and that many bytes
// (the last one takes what is left when the input ends early). Each frame is
// handed over in a heap block of exactly its captured length, so
// AddressSanitizer reports any read past the captured bytes.
//
// A component enumerates the adapters when it is made, which costs more
// than a whole input: one serves a run of inputs and is replaced after
// kInputsPerComponent of them, so hosts and routes pile up as in a long
// capture. LeakSanitizer would take every input that adds a host for a leak
// and scan the heap: run.sh turns leak detection off for this target.
//
// Switches: bit 0 attaches the data handlers, bit 1 lists every matching
// range instead of the first, bit 2 ages the routes after each frame.

#include "app/LocalMachineInfo.h"
#include "component/VarnoComponent.h"
#include "ranges/RangesFile.h"

#include <pcap/pcap.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int kMaxFrames = 64;
constexpr int kInputsPerComponent = 256;

std::vector<TRangeTexts> Ranges;
std::unique_ptr<TVarno> Component;
int ComponentInputs = 0;
const std::uint8_t* CurrentFrame = nullptr;
std::uint32_t CurrentCapLen = 0;
int UpdateEvents = 0;
int DataEvents = 0;
std::string LastMatchedRanges;
volatile std::uint8_t Sink;

[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "frame fuzzer: %s\n", what);
    std::abort();
}

std::string Dotted(const std::uint8_t* a)
{
    return std::to_string(a[0]) + "." + std::to_string(a[1]) + "." + std::to_string(a[2]) + "." +
           std::to_string(a[3]);
}

int Be16(const std::uint8_t* p) { return p[0] << 8 | p[1]; }

// What every event must report of the frame at hand.
void CheckPacketValues(const std::string& SourceIP, const std::string& DestIP, int PacketAmount, int DataAmount,
                       int SourcePort, int DestPort)
{
    const std::uint8_t* f = CurrentFrame;
    if (PacketAmount != 1 || DataAmount != Be16(f + 16) || SourcePort != Be16(f + 34) || DestPort != Be16(f + 36))
        Fail("event values differ from the frame");
    if (SourceIP != Dotted(f + 26) || DestIP != Dotted(f + 30))
        Fail("event addresses differ from the frame");
}

void Attach(TVarno& varno)
{
    varno.NodeNamesFile = "/nonexistent/varno-fuzz/Nodes.ini";
    for (const TRangeTexts& t : Ranges)
        varno.AllowRanges.push_back(
            std::make_unique<TAllowRange>(t.DisplayName, t.SourceIPs, t.DestIPs, t.SourcePorts, t.DestPorts));
    varno.OnTCPNetworkTrafficUpdate = varno.OnUDPNetworkTrafficUpdate =
        [](TObject*, const std::string& SourceIP, const std::string& DestIP, int PacketAmount, int DataAmount,
           int SourcePort, int DestPort, const std::string& MatchedRanges) {
            ++UpdateEvents;
            CheckPacketValues(SourceIP, DestIP, PacketAmount, DataAmount, SourcePort, DestPort);
            LastMatchedRanges = MatchedRanges;
        };
}

TOnTrafficData DataHandler()
{
    return [](TObject*, const std::string& SourceIP, const std::string& DestIP, int PacketAmount, int DataAmount,
              int SourcePort, int DestPort, const std::uint8_t* Data, int DataLen) {
        ++DataEvents;
        CheckPacketValues(SourceIP, DestIP, PacketAmount, DataAmount, SourcePort, DestPort);
        const std::uint8_t* end = CurrentFrame + CurrentCapLen;
        if (DataLen < 0 || Data < CurrentFrame || Data > end || DataLen > end - Data)
            Fail("payload outside the captured bytes");
        // Touch every byte handed over.
        std::uint8_t sum = 0;
        for (int i = 0; i < DataLen; ++i)
            sum = std::uint8_t(sum + Data[i]);
        Sink = sum;
    };
}

// One frame through the handler, checked against the counting rule.
void HandleOne(TVarno& varno, const std::uint8_t* Bytes, std::size_t CapLen, bool Age)
{
    std::unique_ptr<std::uint8_t[]> frame(new std::uint8_t[CapLen]);
    if (CapLen)
        std::memcpy(frame.get(), Bytes, CapLen);
    pcap_pkthdr header{};
    header.caplen = std::uint32_t(CapLen);
    header.len = std::uint32_t(CapLen);
    CurrentFrame = frame.get();
    CurrentCapLen = header.caplen;
    UpdateEvents = DataEvents = 0;
    LastMatchedRanges.clear();

    const bool counted = varno.HandleFrame(&header, frame.get());

    // The counting rule: Ethernet II, EtherType IPv4, protocol TCP or UDP,
    // and both port fields captured.
    const std::uint8_t* f = frame.get();
    const bool countable = CapLen >= 38 && f[12] == 0x08 && f[13] == 0x00 && (f[23] == 6 || f[23] == 17);
    if (counted != countable)
        Fail("frame classified against the counting rule");
    // One range takes everything, so every counted frame raises one update.
    if (counted != (UpdateEvents == 1) || UpdateEvents > 1 || DataEvents > 1)
        Fail("wrong number of events");
    if (counted && (LastMatchedRanges.empty() ||
                    (varno.ListFirstRangeMatchOnly && LastMatchedRanges.find(',') != std::string::npos)))
        Fail("matched ranges list");
    // Without a data event the packet's hosts are recorded.
    if (counted && DataEvents == 0 &&
        (varno.FindTerminatingNode(Dotted(f + 26)) < 0 || varno.FindTerminatingNode(Dotted(f + 30)) < 0))
        Fail("hosts of a counted packet not recorded");
    if (Age)
        varno.AgeLinkRoutes();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    LocalIP = "192.168.1.104";
    LoadRangesFile(VARNO_FUZZ_DIR "/ranges.ini", [](int, const TRangeTexts& Texts, std::unique_ptr<TAllowRange>) {
        Ranges.push_back(Texts);
    });
    if (Ranges.empty())
        Fail("no ranges loaded");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size)
{
    if (Size < 1)
        return 0;
    const std::uint8_t switches = Data[0];
    if (!Component || ++ComponentInputs > kInputsPerComponent) {
        Component.reset();
        Component = std::make_unique<TVarno>();
        Attach(*Component);
        ComponentInputs = 0;
    }
    TVarno& varno = *Component;
    varno.ListFirstRangeMatchOnly = !(switches & 2);
    varno.OnTCPNetworkTrafficData = varno.OnUDPNetworkTrafficData = (switches & 1) ? DataHandler() : nullptr;

    std::size_t at = 1;
    for (int n = 0; n < kMaxFrames && at < Size; ++n) {
        std::size_t capLen = Size - at >= 2 ? std::size_t(Data[at] << 8 | Data[at + 1]) : 0;
        at = std::min(at + 2, Size);
        capLen = std::min(capLen, Size - at);
        HandleOne(varno, Data + at, capLen, switches & 4);
        at += capLen;
    }
    return 0;
}
