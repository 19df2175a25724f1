// varno-ranges run as a real process on fixture files.

#include "RunProcess.h"

#include "app/LocalMachineInfo.h"
#include "ranges/IPRanges.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::string DataDir = VARNO_SOURCE_DIR "/tests/ranges/data/";
const std::string Tool = VARNO_RANGES_EXE;

struct ToolCase {
    const char* Name;
    std::vector<std::string> Args; // a leading "@" is a fixture file name
    int ExitStatus;
    std::string Out;
    std::string Err; // exact, unless ErrContains is set
    bool ErrContains = false;
};

void PrintTo(const ToolCase& c, std::ostream* os) { *os << c.Name; }

class VarnoRangesToolTest : public ::testing::TestWithParam<ToolCase> {};

TEST_P(VarnoRangesToolTest, PrintsAndExits)
{
    const ToolCase& c = GetParam();
    std::vector<std::string> argv = {Tool};
    for (const std::string& a : c.Args)
        argv.push_back(!a.empty() && a[0] == '@' ? DataDir + a.substr(1) : a);
    const ProcessResult r = RunProcess(argv);
    EXPECT_EQ(r.ExitStatus, c.ExitStatus) << r.Err;
    EXPECT_EQ(r.Out, c.Out);
    if (c.ErrContains)
        EXPECT_NE(r.Err.find(c.Err), std::string::npos) << r.Err;
    else
        EXPECT_EQ(r.Err, c.Err);
}

const std::string GoodListing =
    "Range 1: Web out\n"
    "  Source IPs:   192.168.001.020\n"
    "  Dest IPs:     000.000.000.000-192.168.000.255,192.168.002.000-255.255.255.254\n"
    "  Source Ports: *ANY*\n"
    "  Dest Ports:   80,443\n"
    "Range 2: LAN\n"
    "  Source IPs:   192.168.001.000-192.168.001.255\n"
    "  Dest IPs:     010.001.002.000-010.001.002.255,010.000.000.001-010.000.000.009\n"
    "  Source Ports: *ANY*\n"
    "  Dest Ports:   1024-65535,443\n"
    "Range 3: Everything\n"
    "  Source IPs:   *ANY*\n"
    "  Dest IPs:     *ANY*\n"
    "  Source Ports: *ANY*\n"
    "  Dest Ports:   *ANY*\n";

const std::string WarningsListing =
    "Range 1: Mistakes\n"
    "  Source IPs:   010.001.002.000-010.001.002.255, 10.001.003.005,010.000.000.009-010.000.000.001,"
    "010.00*.001.000-010.00*.001.255, 192.168.001.001\n"
    "  Dest IPs:     *ANY*\n"
    "  Source Ports: 90-80,70000,80\n"
    "  Dest Ports:   *ANY*\n"
    "Range 2: No key\n"
    "  Source IPs:   *ANY*\n"
    "  Dest IPs:     *ANY*\n"
    "  Source Ports: *ANY*\n"
    "  Dest Ports:   \n";

// The blank before 192 is trimmed off again when matching, so that item
// draws no warning.
const std::string Warnings =
    "varno-ranges: warning: Range 1 \"Mistakes\": Source IPs item \" 10.1.3.5\" contains a blank, which stays part of "
    "the address: it matches no packet\n"
    "varno-ranges: warning: Range 1 \"Mistakes\": Source IPs item \"10.0.0.9-10.0.0.1\" is a reversed range: it "
    "matches no packet\n"
    "varno-ranges: warning: Range 1 \"Mistakes\": Source IPs item \"10.*.1.*\" has a star in one of its first three "
    "parts: it matches no packet\n"
    "varno-ranges: warning: Range 1 \"Mistakes\": Source Ports item \"90-80\" is a reversed range: it matches no "
    "packet\n"
    "varno-ranges: warning: Range 1 \"Mistakes\": Source Ports item \"70000\" lies outside the ports 0 to 65535: it "
    "matches no packet\n"
    "varno-ranges: warning: Range 2 \"No key\": Dest Ports is empty: the range matches no packet\n";

const std::string Lan = "192.168.1.20";

const ToolCase ToolCases[] = {
    {"Listing", {"@good.ini", "--local-ip", Lan}, 0, GoodListing, ""},
    {"ListingOptionFirst", {"--local-ip", Lan, "@good.ini"}, 0, GoodListing, ""},
    {"MatchSeveral", {"@good.ini", "--local-ip", Lan, "--match", "192.168.1.20", "203.0.113.9", "50000", "443"}, 0, "1,3\n", ""},
    {"MatchLan", {"@good.ini", "--local-ip", Lan, "--match", "192.168.1.7", "10.0.0.5", "1000", "2000"}, 0, "2,3\n", ""},
    {"MatchNone", {"@notmyip.ini", "--local-ip", "10.0.0.5", "--match", "10.0.0.5", "1.1.1.1", "1", "2"}, 0, "", ""},
    {"MatchOther", {"@notmyip.ini", "--local-ip", "10.0.0.5", "--match", "10.0.0.6", "1.1.1.1", "1", "2"}, 0, "1\n", ""},
    {"Warnings", {"@warnings.ini", "--local-ip", Lan}, 0, WarningsListing, Warnings},
    {"WarningsWithMatch", {"@warnings.ini", "--match", "10.1.2.5", "1.1.1.1", "80", "1"}, 0, "1\n", Warnings},
    {"Error", {"@error.ini", "--local-ip", Lan}, 1,
     "Range 1: DNS\n  Source IPs:   *ANY*\n  Dest IPs:     *ANY*\n  Source Ports: *ANY*\n  Dest Ports:   53\n",
     "varno-ranges: Range 2 \"Typo\": '' is not a valid integer value\n"},
    {"ErrorWithMatch", {"@error.ini", "--match", "1.1.1.1", "2.2.2.2", "1", "53"}, 1, "",
     "varno-ranges: Range 2 \"Typo\": '' is not a valid integer value\n"},
    {"NoLocalAddress", {"@notmyip.ini", "--local-ip", ""}, 1, "",
     "varno-ranges: Range 1 \"Not mine\": '' is not a valid integer value\n"},
    {"EmptyFile", {"@empty.ini"}, 0, "", "varno-ranges: no ranges: \"Range 1\" has no \"Display Name\"\n"},
    {"NoArguments", {}, 2, "", "usage: varno-ranges FILE", true},
    {"MissingFile", {"@no-such-file.ini"}, 2, "", "cannot read", true},
    {"TwoFiles", {"@good.ini", "@error.ini"}, 2, "", "usage:", true},
    {"UnknownOption", {"@good.ini", "--verbose"}, 2, "", "unknown option '--verbose'", true},
    {"BadLocalAddress", {"@good.ini", "--local-ip", "1.2.3"}, 2, "", "not an IPv4 address: '1.2.3'", true},
    {"LocalAddressMissing", {"@good.ini", "--local-ip"}, 2, "", "usage:", true},
    {"MatchTooFewArguments", {"@good.ini", "--match", "1.1.1.1", "2.2.2.2", "80"}, 2, "", "usage:", true},
    {"MatchBadPort", {"@good.ini", "--match", "1.1.1.1", "2.2.2.2", "80", "x"}, 2, "", "not a port: 'x'", true},
    {"MatchPortTooBig", {"@good.ini", "--match", "1.1.1.1", "2.2.2.2", "80", "65536"}, 2, "", "not a port", true},
    {"MatchPaddedAddress", {"@good.ini", "--match", "010.0.0.1", "2.2.2.2", "80", "1"}, 2, "", "not an IPv4 address", true},
};
INSTANTIATE_TEST_SUITE_P(Fixtures, VarnoRangesToolTest, ::testing::ValuesIn(ToolCases),
                         [](const ::testing::TestParamInfo<ToolCase>& info) { return std::string(info.param.Name); });

// Without --local-ip the keywords use this machine's address, the same one
// this process found at its start.
TEST(VarnoRangesToolMachine, KeywordsUseTheMachineAddress)
{
    const ProcessResult r = RunProcess({Tool, DataDir + "good.ini"});
    ASSERT_EQ(r.ExitStatus, 0) << r.Err;
    EXPECT_EQ(r.Out.substr(0, r.Out.find('\n', r.Out.find("Source IPs"))),
              "Range 1: Web out\n  Source IPs:   " + PadIPAddress(LocalIP));
}

} // namespace
