// The helper programs against real sockets: varno-nbtstat against a node
// status responder on 127.0.0.1:137, varno-ping on loopback addresses.

#include "namequery/NameQueryThreadClass.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <netdb.h>
#include <netinet/in.h>
#include <arpa/inet.h>

namespace {

using nqtest::NodeStatusResponder;
using nqtest::StatusName;
using Datagrams = std::vector<std::vector<std::uint8_t>>;
using Request = std::vector<std::uint8_t>;

const std::vector<StatusName> Workstation = {
    {"WKSTN01", 0x00, 0x0400},
    {"WORKGROUP", 0x00, 0x8400},
    {"WKSTN01", 0x20, 0x0400},
};
const std::array<std::uint8_t, 6> WorkstationMac = {0x00, 0x0C, 0x29, 0x3A, 0x5B, 0x7C};

std::vector<std::uint8_t> Answer(const Request& request)
{
    return nqtest::BuildNodeStatusResponse(nqtest::TransactionId(request), Workstation, WorkstationMac);
}

// Offsets in an answer built by BuildNodeStatusResponse.
constexpr size_t RdLengthAt = 12 + 34 + 2 + 2 + 4;
constexpr size_t NameCountAt = RdLengthAt + 2;

struct NbtstatCase {
    const char* Name;
    NodeStatusResponder::Reply Reply;
    const char* UNCName;  // from the printed table; "" for none
    const char* MacAddress;
    bool Printed;         // whether anything is printed at all
    int Requests;         // requests the responder sees
};

const NbtstatCase NbtstatCases[] = {
    {"answers at once", [](const Request& r, int) { return Datagrams{Answer(r)}; },
     "WKSTN01", "00-0C-29-3A-5B-7C", true, 1},
    {"answers only the retry", [](const Request& r, int n) { return n == 2 ? Datagrams{Answer(r)} : Datagrams{}; },
     "WKSTN01", "00-0C-29-3A-5B-7C", true, 2},
    {"never answers", [](const Request&, int) { return Datagrams{}; },
     "", "", false, 2},
    {"foreign transaction", [](const Request& r, int) {
         auto a = Answer(r);
         a[0] ^= 0x55;
         return Datagrams{a};
     }, "", "", false, 2},
    {"stray datagram before the answer", [](const Request& r, int) { return Datagrams{{1, 2, 3}, Answer(r)}; },
     "WKSTN01", "00-0C-29-3A-5B-7C", true, 1},
    {"name count beyond the data", [](const Request& r, int) {
         auto a = Answer(r);
         a[NameCountAt] = 200;
         return Datagrams{a};
     }, "", "", false, 2},
    {"data length beyond the datagram", [](const Request& r, int) {
         auto a = Answer(r);
         a[RdLengthAt + 1] = std::uint8_t(a[RdLengthAt + 1] + 100);
         return Datagrams{a};
     }, "", "", false, 2},
    {"cut in the header", [](const Request& r, int) {
         auto a = Answer(r);
         a.resize(10);
         return Datagrams{a};
     }, "", "", false, 2},
    {"cut inside the answer name", [](const Request& r, int) {
         auto a = Answer(r);
         a.resize(12 + 10);
         return Datagrams{a};
     }, "", "", false, 2},
    {"name label length with reserved bits", [](const Request& r, int) {
         auto a = Answer(r);
         a[12] = 0x60;
         return Datagrams{a};
     }, "", "", false, 2},
    {"compressed answer name", [](const Request& r, int) {
         auto a = Answer(r);
         // Replace the 34-byte name by a pointer to offset 12.
         a.erase(a.begin() + 12, a.begin() + 12 + 34);
         a.insert(a.begin() + 12, {0xC0, 0x0C});
         return Datagrams{a};
     }, "WKSTN01", "00-0C-29-3A-5B-7C", true, 1},
    {"not a response", [](const Request& r, int) {
         auto a = Answer(r);
         a[2] = 0x00;
         return Datagrams{a};
     }, "", "", false, 2},
    {"error code set", [](const Request& r, int) {
         auto a = Answer(r);
         a[3] |= 0x03;
         return Datagrams{a};
     }, "", "", false, 2},
    {"no statistics", [](const Request& r, int) {
         return Datagrams{nqtest::BuildNodeStatusResponse(nqtest::TransactionId(r), Workstation, std::nullopt)};
     }, "WKSTN01", "", true, 1},
    {"unit id only", [](const Request& r, int) {
         return Datagrams{nqtest::BuildNodeStatusResponse(nqtest::TransactionId(r), {}, WorkstationMac)};
     }, "", "00-0C-29-3A-5B-7C", true, 1},
    {"nothing in the answer", [](const Request& r, int) {
         return Datagrams{nqtest::BuildNodeStatusResponse(nqtest::TransactionId(r), {}, std::nullopt)};
     }, "", "", false, 1},
    {"names that would mislead the reader", [](const Request& r, int) {
         const std::vector<StatusName> names = {
             {"---------------", 0x00, 0x0400},
             {"mac address =X", 0x00, 0x0400},
             {"               ", 0x00, 0x0400},
             {std::string("BAD\x01\nNAME", 9), 0x00, 0x0400},
         };
         return Datagrams{nqtest::BuildNodeStatusResponse(nqtest::TransactionId(r), names, WorkstationMac)};
     }, "BAD..NAME", "00-0C-29-3A-5B-7C", true, 1},
};

void PrintTo(const NbtstatCase& c, std::ostream* os) { *os << c.Name; }

class NbtstatHelper : public ::testing::TestWithParam<NbtstatCase> {};

TEST_P(NbtstatHelper, PrintsWhatAWellFormedAnswerHolds)
{
    const NbtstatCase& c = GetParam();
    NodeStatusResponder responder("127.0.0.1", c.Reply);
    const auto run = nqtest::RunProgram({nqtest::HelperPath("varno-nbtstat"), "-A", "127.0.0.1"});

    EXPECT_EQ(!run.Output.empty(), c.Printed) << run.Output;
    EXPECT_EQ(run.ExitCode, c.Printed ? 0 : 1);
    EXPECT_EQ(responder.Requests(), c.Requests);
    const TNetBIOSAnswer answer = ParseNetBIOSOutput(SplitTextLines(run.Output));
    EXPECT_EQ(answer.UNCName, c.UNCName) << run.Output;
    EXPECT_EQ(answer.MacAddress, c.MacAddress) << run.Output;
    for (char ch : run.Output)
        EXPECT_TRUE(ch == '\n' || (ch >= 0x20 && ch != 0x7F)) << "control character in output";
}

INSTANTIATE_TEST_SUITE_P(Responder, NbtstatHelper, ::testing::ValuesIn(NbtstatCases),
                         [](const ::testing::TestParamInfo<NbtstatCase>& info) {
                             std::string name = info.param.Name;
                             for (char& ch : name)
                                 if (!std::isalnum(static_cast<unsigned char>(ch)))
                                     ch = '_';
                             return name;
                         });

TEST(NbtstatHelper, SendsANodeStatusQueryAndPrintsTheTable)
{
    NodeStatusResponder responder("127.0.0.1", [](const Request& r, int) { return Datagrams{Answer(r)}; });
    const auto run = nqtest::RunProgram({nqtest::HelperPath("varno-nbtstat"), "-A", "127.0.0.1"});
    EXPECT_EQ(run.Output,
              "\n"
              "           NetBIOS Remote Machine Name Table\n"
              "\n"
              "       Name                 Type      Status\n"
              "    ---------------------------------------------\n"
              "    WKSTN01          <00>  UNIQUE  Registered\n"
              "    WORKGROUP        <00>  GROUP   Registered\n"
              "    WKSTN01          <20>  UNIQUE  Registered\n"
              "\n"
              "    MAC Address = 00-0C-29-3A-5B-7C\n"
              "\n");

    // RFC 1002 4.2.17: one question for "*", type NBSTAT, class IN.
    const Request request = responder.LastRequest();
    ASSERT_EQ(request.size(), 50u);
    EXPECT_EQ(request[2], 0x00);
    EXPECT_EQ(request[3], 0x00);
    EXPECT_EQ(request[5], 1) << "QDCOUNT";
    EXPECT_EQ(request[12], 32);
    EXPECT_EQ(std::string(request.begin() + 13, request.begin() + 45), "CK" + std::string(30, 'A'));
    EXPECT_EQ(request[45], 0);
    EXPECT_EQ(std::vector<std::uint8_t>(request.begin() + 46, request.end()),
              (std::vector<std::uint8_t>{0x00, 0x21, 0x00, 0x01}));
}

TEST(NbtstatHelper, RefusesAnythingButOneDottedQuad)
{
    NodeStatusResponder responder("127.0.0.1", [](const Request& r, int) { return Datagrams{Answer(r)}; });
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"-A"},
        {"-a", "127.0.0.1"},
        {"-A", "127.0.0.1;id"},
        {"-A", "localhost"},
        {"-A", "127.0.0.1", "extra"},
    };
    for (const auto& args : bad) {
        std::vector<std::string> argv = {nqtest::HelperPath("varno-nbtstat")};
        argv.insert(argv.end(), args.begin(), args.end());
        const auto run = nqtest::RunProgram(argv);
        EXPECT_EQ(run.ExitCode, 2) << ::testing::PrintToString(args);
        EXPECT_EQ(run.Output, "");
    }
    EXPECT_EQ(responder.Requests(), 0);
}

std::string LoopbackName(const char* address)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, address, &a.sin_addr);
    char host[NI_MAXHOST] = {};
    if (getnameinfo(reinterpret_cast<sockaddr*>(&a), sizeof a, host, sizeof host, nullptr, 0, NI_NAMEREQD) != 0)
        return {};
    return host;
}

struct PingCase {
    const char* Address;
    bool AllowEcho;
    bool NameKnown;  // 127.0.0.1 is in the hosts file; in this namespace no name server answers for others
};

// clang-format off
const PingCase PingCases[] = {
    // Address       AllowEcho  NameKnown
    {"127.0.0.1",    true,      true},
    {"127.0.0.1",    false,     true},
    {"127.0.0.2",    true,      false},
    {"127.0.0.2",    false,     false},
};
// clang-format on

void PrintTo(const PingCase& c, std::ostream* os)
{
    *os << c.Address << (c.AllowEcho ? " echo allowed" : " echo not allowed");
}

class PingHelper : public ::testing::TestWithParam<PingCase> {};

TEST_P(PingHelper, NamesTheHostAndEchoesWhereAllowed)
{
    const PingCase& c = GetParam();
    nqtest::AllowUnprivilegedEcho(c.AllowEcho);
    const std::string name = LoopbackName(c.Address);
    ASSERT_EQ(!name.empty(), c.NameKnown) << name;

    const auto run = nqtest::RunProgram({nqtest::HelperPath("varno-ping"), "-a", c.Address, "-n", "1"});
    nqtest::AllowUnprivilegedEcho(false);
    const std::vector<std::string> lines = SplitTextLines(run.Output);
    ASSERT_GE(lines.size(), 3u) << run.Output;
    EXPECT_EQ(lines[0], "");
    const std::string address = c.Address;
    EXPECT_EQ(lines[1], c.NameKnown ? "Pinging " + name + " [" + address + "] with 32 bytes of data:"
                                    : "Pinging " + address + " with 32 bytes of data:");
    if (c.AllowEcho) {
        EXPECT_EQ(lines[2].rfind("Reply from " + address + ": bytes=32 time", 0), 0u) << lines[2];
        EXPECT_EQ(run.ExitCode, 0);
    } else {
        EXPECT_EQ(lines[2].rfind("Echo request not sent", 0), 0u) << lines[2];
        EXPECT_EQ(run.ExitCode, 1);
    }
    EXPECT_EQ(ParseReverseNameOutput(lines, c.Address), c.NameKnown ? name : "");
}

INSTANTIATE_TEST_SUITE_P(Loopback, PingHelper, ::testing::ValuesIn(PingCases),
                         [](const ::testing::TestParamInfo<PingCase>& info) {
                             std::string name = info.param.Address;
                             for (char& ch : name)
                                 if (ch == '.')
                                     ch = '_';
                             return name + (info.param.AllowEcho ? "_echo" : "_no_echo");
                         });

TEST(PingHelper, RefusesAnythingButOneDottedQuad)
{
    const std::vector<std::vector<std::string>> bad = {
        {"-a", "127.0.0.1"},
        {"-a", "127.0.0.1;id", "-n", "1"},
        {"-a", "localhost", "-n", "1"},
        {"-a", "127.0.0.1", "-n", "0"},
        {"-a", "127.0.0.1", "-n", "1x"},
        {"-n", "1", "-a", "127.0.0.1"},
    };
    for (const auto& args : bad) {
        std::vector<std::string> argv = {nqtest::HelperPath("varno-ping")};
        argv.insert(argv.end(), args.begin(), args.end());
        const auto run = nqtest::RunProgram(argv);
        EXPECT_EQ(run.ExitCode, 2) << ::testing::PrintToString(args);
        EXPECT_EQ(run.Output, "");
    }
}

} // namespace
