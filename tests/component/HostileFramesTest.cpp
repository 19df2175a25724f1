// Capture files that end too early, through varno-replay, are at the end.
//
// Every kind of frame the network can send, cut at every length from 0 to
// the capture's default snapshot length (1600 bytes; the component asks for
// 68), handed to the packet handler in a heap block of exactly the captured
// length: the sanitizer build reports any read past it. Lying header fields
// (IHL, total length, UDP length, TCP data offset) must not move a read or a
// payload outside the captured bytes.

#include "TestFrames.h"
#include "TestSupport.h"
#include "tests/ranges/RunProcess.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <iterator>

namespace {

using namespace testframes;
using namespace testsupport;

constexpr size_t SnapLen = 1600;
constexpr size_t PortsEnd = 38; // Ethernet 14 + IPv4 20 + both ports 4

struct TFrameKind {
    const char* Name;
    std::uint8_t Protocol;
    std::function<void(std::vector<std::uint8_t>&)> Tweak; // applied to the full frame
    bool Counts;                                           // from PortsEnd bytes on
    int WantDataAmount;                                    // the update's amount when counted
};

void PrintTo(const TFrameKind& c, std::ostream* os) { *os << c.Name; }

// A frame of SnapLen bytes: headers, then payload bytes 0, 1, 2, ...
std::vector<std::uint8_t> FullFrame(const TFrameKind& kind)
{
    Packet p;
    p.Protocol = kind.Protocol;
    p.Source = 0xC0A80105;
    p.Dest = 0x08080808;
    p.SourcePort = 0x1234;
    p.DestPort = 0xABCD;
    const int transport = kind.Protocol == kTCP ? 20 : 8;
    p.PayloadLength = int(SnapLen) - 14 - 20 - transport;
    std::vector<std::uint8_t> frame = Build(p);
    if (kind.Tweak)
        kind.Tweak(frame);
    return frame;
}

// Where the payload begins and how long the headers say it is.
void DeclaredPayload(const std::vector<std::uint8_t>& f, std::uint8_t protocol, size_t& start, long& length)
{
    const long total = (long(f[16]) << 8) | f[17];
    if (protocol == kTCP) {
        const long header = (f[46] >> 4) * 4;
        start = 34 + size_t(header);
        length = total - 20 - header;
    } else {
        start = 42;
        length = ((long(f[38]) << 8) | f[39]) - 8;
    }
}

void SetField16(std::vector<std::uint8_t>& f, size_t at, std::uint32_t v) { Put16(f, at, v); }

const TFrameKind FrameKinds[] = {
    {"IPv4TCP", kTCP, nullptr, true, 1586},
    {"IPv4UDP", kUDP, nullptr, true, 1586},
    {"IPv4ICMP", 1, nullptr, false, 0},
    {"IPv4GRE", 47, nullptr, false, 0},
    {"IPv4Protocol255", 255, nullptr, false, 0},
    {"IPv6", kTCP, [](auto& f) { SetField16(f, 12, 0x86DD); }, false, 0},
    {"ARP", kUDP, [](auto& f) { SetField16(f, 12, 0x0806); }, false, 0},
    {"EtherTypeZero", kTCP, [](auto& f) { SetField16(f, 12, 0x0000); }, false, 0},
    {"EtherTypeFFFF", kTCP, [](auto& f) { SetField16(f, 12, 0xFFFF); }, false, 0},
    // An 802.1Q tag before the IPv4 EtherType: not counted.
    {"VLANTaggedTCP", kTCP,
     [](auto& f) {
         const std::uint8_t tag[] = {0x81, 0x00, 0x00, 0x05};
         f.insert(f.begin() + 12, std::begin(tag), std::end(tag));
         f.resize(SnapLen);
     },
     false, 0},
    // The header length is taken as 20 whatever IHL says.
    {"IHLZero", kTCP, [](auto& f) { f[14] = 0x40; }, true, 1586},
    {"IHLFour", kUDP, [](auto& f) { f[14] = 0x44; }, true, 1586},
    {"IHLFifteen", kTCP, [](auto& f) { f[14] = 0x4F; }, true, 1586},
    {"VersionSix", kTCP, [](auto& f) { f[14] = 0x65; }, true, 1586},
    {"TotalLengthZero", kTCP, [](auto& f) { SetField16(f, 16, 0); }, true, 0},
    {"TotalLengthBelowHeaders", kTCP, [](auto& f) { SetField16(f, 16, 10); }, true, 10},
    {"TotalLengthMax", kTCP, [](auto& f) { SetField16(f, 16, 0xFFFF); }, true, 0xFFFF},
    {"TotalLengthMaxUDP", kUDP, [](auto& f) { SetField16(f, 16, 0xFFFF); }, true, 0xFFFF},
    {"UDPLengthZero", kUDP, [](auto& f) { SetField16(f, 38, 0); }, true, 1586},
    {"UDPLengthSeven", kUDP, [](auto& f) { SetField16(f, 38, 7); }, true, 1586},
    {"UDPLengthMax", kUDP, [](auto& f) { SetField16(f, 38, 0xFFFF); }, true, 1586},
    {"TCPDataOffsetZero", kTCP, [](auto& f) { f[46] = 0x00; }, true, 1586},
    {"TCPDataOffsetFifteen", kTCP, [](auto& f) { f[46] = 0xF0; }, true, 1586},
    {"TCPDataOffsetFifteenShortTotal", kTCP,
     [](auto& f) {
         f[46] = 0xF0;
         SetField16(f, 16, 90);
     },
     true, 90},
};

class HostileFrames : public ::testing::TestWithParam<TFrameKind> {};

TEST_P(HostileFrames, EveryCapturedLengthStaysInsideTheCapturedBytes)
{
    const TFrameKind& kind = GetParam();
    const std::vector<std::uint8_t> frame = FullFrame(kind);
    ASSERT_EQ(frame.size(), SnapLen);
    size_t payloadStart = 0;
    long declared = 0;
    DeclaredPayload(frame, kind.Protocol, payloadStart, declared);

    for (const bool dataHandlers : {false, true}) {
        TVarno varno;
        varno.AllowRanges.push_back(AnyRule());
        Recorder rec;
        rec.Attach(varno, dataHandlers);
        size_t counted = 0;
        for (size_t len = 0; len <= SnapLen; ++len) {
            SCOPED_TRACE(std::to_string(len) + " bytes, data handlers " + std::to_string(dataHandlers));
            rec.Events.clear();
            const bool wantCounted = kind.Counts && len >= PortsEnd;
            ASSERT_EQ(Feed(varno, frame, len), wantCounted);
            counted += wantCounted;
            if (!wantCounted) {
                ASSERT_TRUE(rec.Events.empty()) << rec.Events.front().Kind;
                continue;
            }
            const Event& update = rec.Events.back();
            ASSERT_EQ(update.Kind, kind.Protocol == kTCP ? "TCPUpdate" : "UDPUpdate");
            EXPECT_EQ(update.DataAmount, kind.WantDataAmount);
            EXPECT_EQ(update.SourcePort, 0x1234);
            EXPECT_EQ(update.DestPort, 0xABCD);

            for (const Event& e : rec.Events) {
                if (e.Kind != "TCPData" && e.Kind != "UDPData")
                    continue;
                // The payload handed over lies inside the captured bytes and
                // is the frame's own; all of it when all of it was captured.
                const size_t available = len > payloadStart ? len - payloadStart : 0;
                ASSERT_GE(e.DataLen, 0);
                ASSERT_LE(size_t(e.DataLen), available);
                ASSERT_EQ(e.Data.size(), size_t(e.DataLen));
                if (e.DataLen > 0) {
                    EXPECT_TRUE(std::equal(e.Data.begin(), e.Data.end(), frame.begin() + long(payloadStart)));
                }
                if (declared > 0 && size_t(declared) <= available) {
                    EXPECT_EQ(e.DataLen, declared);
                }
            }
        }
        // One host pair throughout, however many frames were recorded.
        if (counted > 0 && !dataHandlers) {
            EXPECT_EQ(varno.NodeList().size(), 2u);
            EXPECT_EQ(varno.RouteList().size(), 1u);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, HostileFrames, ::testing::ValuesIn(FrameKinds),
                         [](const auto& info) { return std::string(info.param.Name); });

// ---------------------------------------------------------------------------
// varno-replay on capture files that end too early.

namespace replay {

const std::string Capture = VARNO_TESTDATA_DIR "/pcaps/afs-udp-fragments.pcap";
const std::string Ranges = VARNO_SOURCE_DIR "/tests/component/data/replay-ranges.ini";

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Byte offsets at which each record of a classic little-endian pcap file
// begins, and the end of the last one.
std::vector<size_t> RecordStarts(const std::string& file)
{
    std::vector<size_t> starts;
    size_t at = 24;
    while (at + 16 <= file.size()) {
        starts.push_back(at);
        const auto b = [&](size_t i) { return std::uint32_t(std::uint8_t(file[at + 8 + i])); };
        at += 16 + (b(0) | b(1) << 8 | b(2) << 16 | b(3) << 24);
    }
    starts.push_back(at);
    return starts;
}

struct TCutCase {
    const char* Name;
    // Where to cut, given the record offsets; and how many whole frames lie before it.
    std::function<size_t(const std::vector<size_t>&)> CutAt;
    int WantFrames;     // -1: the file cannot be opened at all
    bool WantComplete;  // exit 0 and no error
};

void PrintTo(const TCutCase& c, std::ostream* os) { *os << c.Name; }

class ReplayCutFiles : public ::testing::TestWithParam<TCutCase> {};

TEST_P(ReplayCutFiles, CountsTheWholeFramesAndReportsTheCut)
{
    const TCutCase& c = GetParam();
    const std::string whole = ReadFile(Capture);
    ASSERT_GT(whole.size(), 1000u);
    const std::vector<size_t> starts = RecordStarts(whole);
    ASSERT_EQ(starts.size(), 602u) << "601 records and the end";

    ScratchDir scratch;
    const std::string cut = scratch.File("cut.pcap");
    std::ofstream(cut, std::ios::binary) << whole.substr(0, c.CutAt(starts));
    const ProcessResult r = RunProcess({VARNO_BIN_DIR "/varno-replay", cut, Ranges});

    if (c.WantFrames < 0) {
        EXPECT_EQ(r.ExitStatus, 1);
        EXPECT_EQ(r.Out, "");
        EXPECT_EQ(r.Err.rfind("varno-replay: " + cut + ": ", 0), 0u) << r.Err;
        return;
    }
    EXPECT_EQ(r.ExitStatus, c.WantComplete ? 0 : 1) << r.Err;
    EXPECT_NE(r.Out.find("Frames read:          " + std::to_string(c.WantFrames) + "\n"), std::string::npos)
        << r.Out;
    if (!c.WantComplete) {
        EXPECT_NE(r.Err.find("varno-replay: " + cut + ": after " + std::to_string(c.WantFrames) + " frames: "),
                  std::string::npos)
            << r.Err;
        EXPECT_NE(r.Err.find("truncated"), std::string::npos) << r.Err;
    }

    // The counts are exactly those of a file that holds only the whole frames.
    const std::string exact = scratch.File("exact.pcap");
    std::ofstream(exact, std::ios::binary) << whole.substr(0, starts[size_t(c.WantFrames)]);
    const ProcessResult e = RunProcess({VARNO_BIN_DIR "/varno-replay", exact, Ranges});
    ASSERT_EQ(e.ExitStatus, 0) << e.Err;
    EXPECT_EQ(r.Out, e.Out);
}

const TCutCase CutCases[] = {
    {"Empty", [](const auto&) { return size_t(0); }, -1, false},
    {"InsideTheMagic", [](const auto&) { return size_t(3); }, -1, false},
    {"InsideTheFileHeader", [](const auto&) { return size_t(23); }, -1, false},
    {"FileHeaderOnly", [](const auto&) { return size_t(24); }, 0, true},
    {"InsideTheFirstRecordHeader", [](const auto& s) { return s[0] + 5; }, 0, false},
    {"InsideTheFirstFrame", [](const auto& s) { return s[0] + 16 + 10; }, 0, false},
    {"AtARecordBoundary", [](const auto& s) { return s[300]; }, 300, true},
    {"InsideARecordHeader", [](const auto& s) { return s[300] + 15; }, 300, false},
    {"InsideAFrame", [](const auto& s) { return (s[300] + 16 + s[301]) / 2; }, 300, false},
    {"LastByteMissing", [](const auto& s) { return s[601] - 1; }, 600, false},
};

INSTANTIATE_TEST_SUITE_P(Captures, ReplayCutFiles, ::testing::ValuesIn(CutCases),
                         [](const auto& info) { return std::string(info.param.Name); });

} // namespace replay

} // namespace
