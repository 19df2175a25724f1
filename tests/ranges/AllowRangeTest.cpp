#include "ranges/AllowRange.h"

#include "app/LocalMachineInfo.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <string>

namespace {

// Rules read LocalIP when they are built; each case names the one it needs.
class LocalIPScope {
public:
    explicit LocalIPScope(const std::string& value) : saved_(LocalIP) { LocalIP = value; }
    ~LocalIPScope() { LocalIP = saved_; }

private:
    std::string saved_;
};

const char* const Lan = "192.168.1.20";

struct BuildCase {
    const char* Local;
    const char* SourceIPs;
    const char* DestIPs;
    const char* SourcePorts;
    const char* DestPorts;
    // Stored texts, or the conversion error when Error is set.
    const char* StoredSourceIPs;
    const char* StoredDestIPs;
    const char* StoredSourcePorts;
    const char* StoredDestPorts;
    const char* Error;
};

class AllowRangeBuildTest : public ::testing::TestWithParam<BuildCase> {};

TEST_P(AllowRangeBuildTest, StoresNormalisedTextsOrFails)
{
    const BuildCase& c = GetParam();
    LocalIPScope local(c.Local);
    if (c.Error) {
        try {
            TAllowRange rule("Name", c.SourceIPs, c.DestIPs, c.SourcePorts, c.DestPorts);
            ADD_FAILURE() << "built: " << rule.SourceIPs << " | " << rule.DestIPs << " | " << rule.SourcePorts
                          << " | " << rule.DestPorts;
        } catch (const EConvertError& e) {
            EXPECT_STREQ(e.what(), c.Error);
        }
        return;
    }
    const TAllowRange rule("Name", c.SourceIPs, c.DestIPs, c.SourcePorts, c.DestPorts);
    EXPECT_EQ(rule.DisplayName, "Name");
    EXPECT_EQ(rule.SourceIPs, c.StoredSourceIPs);
    EXPECT_EQ(rule.DestIPs, c.StoredDestIPs);
    EXPECT_EQ(rule.SourcePorts, c.StoredSourcePorts);
    EXPECT_EQ(rule.DestPorts, c.StoredDestPorts);
}

#define ERR(text) nullptr, nullptr, nullptr, nullptr, "'" text "' is not a valid integer value"
const BuildCase BuildCases[] = {
    // local  source IPs  dest IPs  source ports  dest ports  -> stored source IPs, dest IPs, source ports, dest ports
    {Lan, "*MYIP*", "*NOTMYLAN*", "*ANY*", "80,443",
     "192.168.001.020", "000.000.000.000-192.168.000.255,192.168.002.000-255.255.255.254", "*ANY*", "80,443", nullptr},
    {Lan, "*NOTMYIP*", "*MYLAN*", "*ANY*", "*ANY*",
     "000.000.000.000-192.168.001.019,192.168.001.021-255.255.255.254", "192.168.001.000-192.168.001.255", "*ANY*", "*ANY*", nullptr},
    // keywords in any case and with text around them; without both stars they are none
    {Lan, "*myip*", "x*MyLan*y", "*any*", "a*Any*b", "192.168.001.020", "192.168.001.000-192.168.001.255", "*ANY*", "*ANY*", nullptr},
    {Lan, "MYIP", "*MYIP", "*ANY*", "*ANY*", "000.000.000.MYIP", "000.000.000.000-000.000.000.255", "*ANY*", "*ANY*", nullptr},
    // "*ANY*" anywhere wins, before or after other items; what follows it is not read
    {Lan, "10.0.0.1,*ANY*,junk", "*ANY*,10.0.0.1", "80,*ANY*,bogus", "*ANY*,x", "*ANY*", "*ANY*", "*ANY*", "*ANY*", nullptr},
    // dashes: equal bounds give one address, reversed bounds stay as written
    {Lan, "10.0.0.1-10.0.0.1", "10.0.0.9-10.0.0.1", "*ANY*", "*ANY*",
     "010.000.000.001", "010.000.000.009-010.000.000.001", "*ANY*", "*ANY*", nullptr},
    {Lan, "1-2-3", "10.0.0.1-010.000.000.001", "*ANY*", "*ANY*", "000.000.000.001-000.000.000.2-3", "010.000.000.001", "*ANY*", "*ANY*", nullptr},
    // stars: the /24 of the first three parts
    {Lan, "10.1.2.*,10.1.3.5", "10.1.2.*, 10.1.3.5", "*ANY*", "*ANY*",
     "010.001.002.000-010.001.002.255,010.001.003.005", "010.001.002.000-010.001.002.255, 10.001.003.005", "*ANY*", "*ANY*", nullptr},
    {Lan, "1*.2.3.4", "*", "*ANY*", "*ANY*", "01*.002.003.000-01*.002.003.255", "000.000.000.000-000.000.000.255", "*ANY*", "*ANY*", nullptr},
    // empty items and commas at the ends
    {Lan, "10.0.0.1,,10.0.0.2", ",10.0.0.1,", "80,", "", "010.000.000.001,000.000.000.000,010.000.000.002",
     "000.000.000.000,010.000.000.001", "80", "", nullptr},
    {Lan, "", ",", "*ANY*", "*ANY*", "", "000.000.000.000", "*ANY*", "*ANY*", nullptr},
    // port texts: ranges keep their trimmed texts, single ports become decimal
    {Lan, "*ANY*", "*ANY*", "1024 - 65535", "0080-0090", "*ANY*", "*ANY*", "1024-65535", "0080-0090", nullptr},
    {Lan, "*ANY*", "*ANY*", "80-80,90-80", "0443, 80", "*ANY*", "*ANY*", "80,90-80", "443,80", nullptr},
    {Lan, "*ANY*", "*ANY*", "$50,0x50,x50,0X50,+80", " 0x50 - $60 ", "*ANY*", "*ANY*", "80,80,80,80,80", "0x50-$60", nullptr},
    {Lan, "*ANY*", "*ANY*", "1--5", "99999", "*ANY*", "*ANY*", "1--5", "99999", nullptr},
    // an empty local address
    {"", "*MYIP*", "*MYLAN*", "*ANY*", "*ANY*", "000.000.000.000", "000.000.000.000-000.000.000.255", "*ANY*", "*ANY*", nullptr},
    {"", "*ANY*,*NOTMYIP*", "*ANY*", "*ANY*", "*ANY*", "*ANY*", "*ANY*", "*ANY*", "*ANY*", nullptr},
    // last part 0 and 255: no borrow, no carry
    {"1.2.3.0", "*NOTMYIP*", "*ANY*", "*ANY*", "*ANY*",
     "000.000.000.000-001.002.003.0-1,001.002.003.001-255.255.255.254", "*ANY*", "*ANY*", "*ANY*", nullptr},
    {"1.2.3.255", "*NOTMYIP*", "*ANY*", "*ANY*", "*ANY*",
     "000.000.000.000-001.002.003.254,001.002.003.256-255.255.255.254", "*ANY*", "*ANY*", "*ANY*", nullptr},

    // failures: the text named is the untrimmed single port or the trimmed side of a range
    {Lan, "*ANY*", "*ANY*", "ANY", "*ANY*", ERR("ANY")},
    {Lan, "*ANY*", "*ANY*", "80,,443", "*ANY*", ERR("")},
    {Lan, "*ANY*", "*ANY*", ",80", "*ANY*", ERR("")},
    {Lan, "*ANY*", "*ANY*", "80 ,443", "*ANY*", ERR("80 ")},
    {Lan, "*ANY*", "*ANY*", "\t80", "*ANY*", ERR("\t80")},
    {Lan, "*ANY*", "*ANY*", "80- x ", "*ANY*", ERR("x")},
    {Lan, "*ANY*", "*ANY*", " y - 90", "*ANY*", ERR("y")},
    {Lan, "*ANY*", "*ANY*", "-5", "*ANY*", ERR("")},
    {Lan, "*ANY*", "*ANY*", "*any", "*ANY*", ERR("*any")},
    {Lan, "*ANY*", "*ANY*", "2147483648", "*ANY*", ERR("2147483648")},
    {Lan, "*ANY*", "*ANY*", "bogus,*ANY*", "*ANY*", ERR("bogus")},
    // lists are built in the order source IPs, dest IPs, source ports, dest ports
    {Lan, "*ANY*", "*ANY*", "a", "b", ERR("a")},
    {"", "*ANY*", "*NOTMYLAN*", "a", "*ANY*", ERR("")},
    {"", "*NOTMYIP*", "*ANY*", "*ANY*", "*ANY*", ERR("")},
    {"", "*NOTMYIP*,*ANY*", "*ANY*", "*ANY*", "*ANY*", ERR("")},
    {"1.2.3", "*NOTMYLAN*", "*ANY*", "*ANY*", "*ANY*", ERR("")},
    {"1.2.3.4.5", "*NOTMYIP*", "*ANY*", "*ANY*", "*ANY*", ERR("4.5")},
};
#undef ERR
INSTANTIATE_TEST_SUITE_P(Table, AllowRangeBuildTest, ::testing::ValuesIn(BuildCases));

struct MatchCase {
    const char* Local;
    const char* SourceIPs;
    const char* DestIPs;
    const char* SourcePorts;
    const char* DestPorts;
    const char* PacketSource;
    const char* PacketDest;
    int PacketSourcePort;
    int PacketDestPort;
    bool Matches;
};

class AllowRangeMatchTest : public ::testing::TestWithParam<MatchCase> {};

// Both forms of Matches are asked; the numeric one where the packet's
// addresses are the dotted texts a host-order address gives.
TEST_P(AllowRangeMatchTest, Answers)
{
    const MatchCase& c = GetParam();
    LocalIPScope local(c.Local);
    const TAllowRange rule("Name", c.SourceIPs, c.DestIPs, c.SourcePorts, c.DestPorts);
    EXPECT_EQ(rule.Matches(std::string(c.PacketSource), std::string(c.PacketDest), c.PacketSourcePort, c.PacketDestPort),
              c.Matches);
    in_addr src, dst;
    char back[2][INET_ADDRSTRLEN];
    if (inet_pton(AF_INET, c.PacketSource, &src) == 1 && inet_pton(AF_INET, c.PacketDest, &dst) == 1 &&
        std::string(inet_ntop(AF_INET, &src, back[0], sizeof back[0])) == c.PacketSource &&
        std::string(inet_ntop(AF_INET, &dst, back[1], sizeof back[1])) == c.PacketDest) {
        EXPECT_EQ(rule.Matches(ntohl(src.s_addr), ntohl(dst.s_addr), c.PacketSourcePort, c.PacketDestPort), c.Matches)
            << "numeric";
    }
}

const MatchCase MatchCases[] = {
    // local  source IPs  dest IPs  sports  dports  | packet src  dst  sport  dport  | matches
    {Lan, "*MYIP*", "*NOTMYLAN*", "*ANY*", "80,443",       "192.168.1.20", "203.0.113.9", 50000, 443, true},
    {Lan, "*MYIP*", "*NOTMYLAN*", "*ANY*", "80,443",       "192.168.1.20", "192.168.1.7", 50000, 443, false},
    {Lan, "*MYIP*", "*NOTMYLAN*", "*ANY*", "80,443",       "192.168.1.20", "203.0.113.9", 50000, 8080, false},
    {Lan, "*MYIP*", "*NOTMYLAN*", "*ANY*", "80,443",       "192.168.1.21", "203.0.113.9", 50000, 443, false},
    // everything, broadcasts included; an empty value matches nothing
    {Lan, "*ANY*", "*ANY*", "*ANY*", "*ANY*",              "10.0.0.1", "255.255.255.255", 68, 67, true},
    {Lan, "*ANY*", "*ANY*", "*ANY*", "*ANY*",              "0.0.0.0", "0.0.0.0", 0, 0, true},
    {Lan, "", "*ANY*", "*ANY*", "*ANY*",                   "10.0.0.1", "10.0.0.2", 1, 2, false},
    {Lan, "*ANY*", "", "*ANY*", "*ANY*",                   "10.0.0.1", "10.0.0.2", 1, 2, false},
    {Lan, "*ANY*", "*ANY*", "", "*ANY*",                   "10.0.0.1", "10.0.0.2", 1, 2, false},
    {Lan, "*ANY*", "*ANY*", "*ANY*", "",                   "10.0.0.1", "10.0.0.2", 1, 2, false},
    // the negated keywords leave out the local address, its /24 and the broadcast
    {Lan, "*NOTMYIP*", "*ANY*", "*ANY*", "*ANY*",          "192.168.1.20", "1.1.1.1", 1, 2, false},
    {Lan, "*NOTMYIP*", "*ANY*", "*ANY*", "*ANY*",          "255.255.255.255", "1.1.1.1", 1, 2, false},
    {Lan, "*NOTMYIP*", "*ANY*", "*ANY*", "*ANY*",          "192.168.1.19", "1.1.1.1", 1, 2, true},
    {Lan, "*NOTMYIP*", "*ANY*", "*ANY*", "*ANY*",          "192.168.1.21", "1.1.1.1", 1, 2, true},
    {Lan, "*NOTMYIP*", "*ANY*", "*ANY*", "*ANY*",          "255.255.255.254", "1.1.1.1", 1, 2, true},
    {"1.2.3.0", "*NOTMYIP*", "*ANY*", "*ANY*", "*ANY*",    "1.2.3.0", "1.1.1.1", 1, 2, false},
    {"1.2.3.0", "*NOTMYIP*", "*ANY*", "*ANY*", "*ANY*",    "1.2.2.255", "1.1.1.1", 1, 2, true},
    {"1.2.3.255", "*NOTMYIP*", "*ANY*", "*ANY*", "*ANY*",  "1.2.3.255", "1.1.1.1", 1, 2, false},
    {"1.2.3.255", "*NOTMYIP*", "*ANY*", "*ANY*", "*ANY*",  "1.2.4.0", "1.1.1.1", 1, 2, true},
    {Lan, "*ANY*", "*NOTMYLAN*", "*ANY*", "*ANY*",         "1.1.1.1", "192.168.1.0", 1, 2, false},
    {Lan, "*ANY*", "*NOTMYLAN*", "*ANY*", "*ANY*",         "1.1.1.1", "192.168.1.255", 1, 2, false},
    {Lan, "*ANY*", "*NOTMYLAN*", "*ANY*", "*ANY*",         "1.1.1.1", "255.255.255.255", 1, 2, false},
    {Lan, "*ANY*", "*NOTMYLAN*", "*ANY*", "*ANY*",         "1.1.1.1", "192.168.0.255", 1, 2, true},
    {Lan, "*ANY*", "*NOTMYLAN*", "*ANY*", "*ANY*",         "1.1.1.1", "192.168.2.0", 1, 2, true},
    {Lan, "*ANY*", "*MYLAN*", "*ANY*", "*ANY*",            "1.1.1.1", "192.168.1.0", 1, 2, true},
    {Lan, "*ANY*", "*MYLAN*", "*ANY*", "*ANY*",            "1.1.1.1", "192.168.1.255", 1, 2, true},
    {Lan, "*ANY*", "*MYLAN*", "*ANY*", "*ANY*",            "1.1.1.1", "192.168.2.0", 1, 2, false},
    // keywords in lower case work; without stars they match nothing
    {Lan, "*myip*", "*ANY*", "*ANY*", "*ANY*",             "192.168.1.20", "1.1.1.1", 1, 2, true},
    {Lan, "MYIP", "*ANY*", "*ANY*", "*ANY*",               "192.168.1.20", "1.1.1.1", 1, 2, false},
    {Lan, "10.0.0.1,*ANY*", "*ANY*", "*ANY*", "*ANY*",     "8.8.8.8", "1.1.1.1", 1, 2, true},
    // empty local address
    {"", "*MYIP*", "*ANY*", "*ANY*", "*ANY*",              "0.0.0.0", "1.1.1.1", 1, 2, true},
    {"", "*ANY*", "*MYLAN*", "*ANY*", "*ANY*",             "1.1.1.1", "0.0.0.255", 1, 2, true},
    // inclusive bounds, equal bounds, reversed bounds
    {Lan, "10.0.0.1-10.0.0.9", "*ANY*", "*ANY*", "*ANY*",  "10.0.0.1", "1.1.1.1", 1, 2, true},
    {Lan, "10.0.0.1-10.0.0.9", "*ANY*", "*ANY*", "*ANY*",  "10.0.0.9", "1.1.1.1", 1, 2, true},
    {Lan, "10.0.0.1-10.0.0.9", "*ANY*", "*ANY*", "*ANY*",  "10.0.0.10", "1.1.1.1", 1, 2, false},
    {Lan, "10.0.0.1-10.0.0.9", "*ANY*", "*ANY*", "*ANY*",  "10.0.0.0", "1.1.1.1", 1, 2, false},
    {Lan, "10.0.0.9-10.0.0.1", "*ANY*", "*ANY*", "*ANY*",  "10.0.0.5", "1.1.1.1", 1, 2, false},
    {Lan, "*ANY*", "*ANY*", "80-80", "*ANY*",              "1.1.1.1", "2.2.2.2", 80, 2, true},
    {Lan, "*ANY*", "*ANY*", "80-80", "*ANY*",              "1.1.1.1", "2.2.2.2", 81, 2, false},
    {Lan, "*ANY*", "*ANY*", "90-80", "*ANY*",              "1.1.1.1", "2.2.2.2", 85, 2, false},
    {Lan, "*ANY*", "*ANY*", "90-80", "*ANY*",              "1.1.1.1", "2.2.2.2", 90, 2, false},
    {Lan, "*ANY*", "*ANY*", "*ANY*", "1024 - 65535",       "1.1.1.1", "2.2.2.2", 1, 1024, true},
    {Lan, "*ANY*", "*ANY*", "*ANY*", "1024 - 65535",       "1.1.1.1", "2.2.2.2", 1, 65535, true},
    {Lan, "*ANY*", "*ANY*", "*ANY*", "1024 - 65535",       "1.1.1.1", "2.2.2.2", 1, 1023, false},
    {Lan, "*ANY*", "*ANY*", "*ANY*", "0080-0090",          "1.1.1.1", "2.2.2.2", 1, 85, true},
    {Lan, "*ANY*", "*ANY*", "*ANY*", "0x50-0x51",          "1.1.1.1", "2.2.2.2", 1, 81, true},
    {Lan, "*ANY*", "*ANY*", "$50", "*ANY*",                "1.1.1.1", "2.2.2.2", 80, 2, true},
    // literal addresses, padded or not; blanks; stars
    {Lan, "10.0.0.1", "*ANY*", "*ANY*", "*ANY*",           "10.0.0.1", "1.1.1.1", 1, 2, true},
    {Lan, "010.000.000.001", "*ANY*", "*ANY*", "*ANY*",    "10.0.0.1", "1.1.1.1", 1, 2, true},
    {Lan, "10.0.0.1", "*ANY*", "*ANY*", "*ANY*",           "10.0.0.10", "1.1.1.1", 1, 2, false},
    {Lan, "10.1.2.*, 10.1.3.5", "*ANY*", "*ANY*", "*ANY*", "10.1.3.5", "1.1.1.1", 1, 2, false},
    {Lan, "10.1.2.*, 10.1.3.5", "*ANY*", "*ANY*", "*ANY*", "10.1.2.0", "1.1.1.1", 1, 2, true},
    {Lan, "10.1.2.*, 10.1.3.5", "*ANY*", "*ANY*", "*ANY*", "10.1.2.255", "1.1.1.1", 1, 2, true},
    {Lan, "10.1.2.*", "*ANY*", "*ANY*", "*ANY*",           "10.1.3.0", "1.1.1.1", 1, 2, false},
    {Lan, "1*.2.3.4", "*ANY*", "*ANY*", "*ANY*",           "10.2.3.4", "1.1.1.1", 1, 2, false},
    {Lan, "1*.2.3.4", "*ANY*", "*ANY*", "*ANY*",           "1.2.3.4", "1.1.1.1", 1, 2, false},
    // a blank at the end of a part of three digits is trimmed off at matching time
    {Lan, " 192.168.1.1", "*ANY*", "*ANY*", "*ANY*",       "192.168.1.1", "1.1.1.1", 1, 2, true},
    {Lan, "10.0.0.1,,10.0.0.2", "*ANY*", "*ANY*", "*ANY*", "0.0.0.0", "1.1.1.1", 1, 2, true},
    // packet addresses that are not dotted decimal are compared as padded text
    {Lan, "MYIP", "*ANY*", "*ANY*", "*ANY*",               "MYIP", "1.1.1.1", 1, 2, true},
    {Lan, "10.0.0.1", "*ANY*", "*ANY*", "*ANY*",           "010.000.000.001", "1.1.1.1", 1, 2, true},
    {Lan, "10.0.0.1", "*ANY*", "*ANY*", "*ANY*",           " 10.0.0.1", "1.1.1.1", 1, 2, false},
    {Lan, "1.2.3", "*ANY*", "*ANY*", "*ANY*",              "1.2.0.3", "1.1.1.1", 1, 2, true},
    {Lan, "1000.1.1.1-1000.1.1.9", "*ANY*", "*ANY*", "*ANY*", "1000.1.1.5", "1.1.1.1", 1, 2, true},
    {Lan, "1000.1.1.1-1000.1.1.9", "*ANY*", "*ANY*", "*ANY*", "100.1.1.5", "1.1.1.1", 1, 2, false},
    {Lan, "1.1.1.1-300.1.1.1", "*ANY*", "*ANY*", "*ANY*",  "299.0.0.0", "1.1.1.1", 1, 2, true},
};
INSTANTIATE_TEST_SUITE_P(Table, AllowRangeMatchTest, ::testing::ValuesIn(MatchCases));

// A rule takes the local address at construction; later changes are not seen.
TEST(AllowRangeLocalAddress, IsReadOnceAtConstruction)
{
    LocalIPScope local("10.0.0.5");
    const TAllowRange rule("Mine", "*MYIP*", "*ANY*", "*ANY*", "*ANY*");
    LocalIP = "10.0.0.6";
    EXPECT_EQ(rule.SourceIPs, "010.000.000.005");
    EXPECT_TRUE(rule.Matches(std::string("10.0.0.5"), std::string("1.1.1.1"), 1, 2));
    EXPECT_FALSE(rule.Matches(std::string("10.0.0.6"), std::string("1.1.1.1"), 1, 2));
}

} // namespace
