// Matches runs for every packet against every rule: it must not allocate.
// Counts the allocations of this program while Matches runs.

#include "ranges/AllowRange.h"

#include "app/LocalMachineInfo.h"

#include <gtest/gtest.h>

#include "tests/support/AllocationCounter.h"

#include <string>

namespace {

TEST(MatchesAllocation, NeitherFormAllocates)
{
    const std::string saved = LocalIP;
    LocalIP = "192.168.1.20";
    // Lists that take every path: keywords, ranges, stars, single addresses,
    // an item compared as text, port ranges and single ports.
    const TAllowRange rule("Busy", "*NOTMYIP*,10.1.2.*,10.0.0.1-10.0.0.9,010.000.000.077, 1.2.3.4,MYIP",
                           "*NOTMYLAN*,*MYLAN*,172.16.0.0-172.31.255.255", "0080-0090,443,1024 - 65535",
                           "53,$50,0x1BB");
    LocalIP = saved;
    const std::string addresses[] = {"192.168.1.20", "10.0.0.5", "172.20.1.1", "255.255.255.255",
                                     "MYIP",         " 1.2.3.4", "1.2.3",      "a-very-long-address-text-that-is-no-address-at-all"};
    const int ports[] = {0, 53, 80, 85, 443, 1023, 65535};
    long matched = 0;
    // The counter sees allocations.
    ASSERT_GE(CountAllocations([] {
                  std::string* volatile probe = new std::string(100, 'x');
                  delete probe;
              }),
              1);
    const long allocations = CountAllocations([&] {
    for (const std::string& s : addresses)
        for (const std::string& d : addresses)
            for (const int sp : ports)
                for (const int dp : ports) {
                    matched += rule.Matches(s, d, sp, dp);
                    matched += rule.Matches(0xC0A80114u, 0x0A000005u, sp, dp);
                    matched += rule.Matches(0xFFFFFFFFu, 0xAC140101u, sp, dp);
                }
    });
    EXPECT_EQ(allocations, 0);
    EXPECT_GT(matched, 0); // the loop really reached the matching paths
}

} // namespace
