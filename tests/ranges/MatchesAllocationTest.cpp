// Matches runs for every packet against every rule: it must not allocate.
// Counts the allocations of this program while Matches runs.

#include "ranges/AllowRange.h"

#include "app/LocalMachineInfo.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

namespace {
std::atomic<bool> g_counting{false};
std::atomic<long> g_allocations{0};
} // namespace

void* operator new(std::size_t size)
{
    if (g_counting.load(std::memory_order_relaxed))
        g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

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
    g_allocations = 0;
    g_counting = true;
    std::string* volatile probe = new std::string(100, 'x'); // the counter sees allocations
    delete probe;
    ASSERT_GE(g_allocations.exchange(0), 1);
    for (const std::string& s : addresses)
        for (const std::string& d : addresses)
            for (const int sp : ports)
                for (const int dp : ports) {
                    matched += rule.Matches(s, d, sp, dp);
                    matched += rule.Matches(0xC0A80114u, 0x0A000005u, sp, dp);
                    matched += rule.Matches(0xFFFFFFFFu, 0xAC140101u, sp, dp);
                }
    g_counting = false;
    EXPECT_EQ(g_allocations.load(), 0);
    EXPECT_GT(matched, 0); // the loop really reached the matching paths
}

} // namespace
