#include "RunProcess.h"

#include "app/LocalMachineInfo.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <climits>
#include <filesystem>
#include <fstream>
#include <pwd.h>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct RouteCase {
    const char* Name;
    const char* Table;
    const char* Interface;
};

void PrintTo(const RouteCase& c, std::ostream* os) { *os << c.Name; }

class DefaultRouteTest : public ::testing::TestWithParam<RouteCase> {};

TEST_P(DefaultRouteTest, FindsTheInterface)
{
    EXPECT_EQ(DefaultRouteInterface(GetParam().Table), GetParam().Interface);
}

#define HEADER "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
const RouteCase RouteCases[] = {
    {"Plain", HEADER
     "eth0\t00000000\t010200C0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n"
     "eth0\t000200C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n", "eth0"},
    {"LowestMetricWins", HEADER
     "wlan0\t00000000\t0101A8C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n"
     "eth1\t00000000\t0100000A\t0003\t0\t0\t100\t00000000\t0\t0\t0\n", "eth1"},
    {"FirstOfEqualMetrics", HEADER
     "eth1\t00000000\t0100000A\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"
     "eth2\t00000000\t0100000B\t0003\t0\t0\t100\t00000000\t0\t0\t0\n", "eth1"},
    {"RouteNotUp", HEADER
     "eth0\t00000000\t010200C0\t0002\t0\t0\t0\t00000000\t0\t0\t0\n", ""},
    {"HostRouteToZero", HEADER
     "eth0\t00000000\t00000000\t0005\t0\t0\t0\tFFFFFFFF\t0\t0\t0\n", ""},
    {"OnlyNetworkRoutes", HEADER
     "eth0\t000200C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n", ""},
    {"HeaderOnly", HEADER, ""},
    {"Empty", "", ""},
    {"MalformedLinesSkipped", HEADER
     "eth0\t00000000\n"
     "eth9\tzz\t0\t0003\t0\t0\t0\t00000000\t0\t0\t0\n"
     "eth8\t00000000\t0\t0003\t0\t0\tx\t00000000\t0\t0\t0\n"
     "eth1\t00000000\t0100000A\t0003\t0\t0\t5\t00000000\t0\t0\t0\n", "eth1"},
};
#undef HEADER
INSTANTIATE_TEST_SUITE_P(Table, DefaultRouteTest, ::testing::ValuesIn(RouteCases),
                         [](const ::testing::TestParamInfo<RouteCase>& info) { return std::string(info.param.Name); });

std::string HostName()
{
    char buffer[HOST_NAME_MAX + 1] = {};
    gethostname(buffer, sizeof buffer - 1);
    return buffer;
}

std::string CommandOutput(const std::string& command)
{
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buffer[512];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, p)) > 0)
            out.append(buffer, n);
        pclose(p);
    }
    return out;
}

bool IsLoopbackText(const std::string& a) { return a.rfind("127.", 0) == 0; }

TEST(LocalMachineFacts, NamesAreTheHostAndTheEffectiveUser)
{
    const passwd* pw = getpwuid(geteuid());
    ASSERT_NE(pw, nullptr);
    EXPECT_EQ(LocalComputerName, HostName());
    EXPECT_EQ(LocalUserName, pw->pw_name);
    std::string user = "old", computer = "old";
    GetLocalNames(user, computer);
    EXPECT_EQ(user, LocalUserName);
    EXPECT_EQ(computer, LocalComputerName);
}

// Computes the expected address with the system's own tools: the host entry
// in resolver order, then the default route's interface.
TEST(LocalMachineFacts, AddressOfThisMachine)
{
    std::string expected;
    std::istringstream entry(CommandOutput("getent hosts '" + HostName() + "' 2>/dev/null"));
    std::string line;
    while (expected.empty() && std::getline(entry, line)) {
        const std::string addr = line.substr(0, line.find_first_of(" \t"));
        in_addr parsed;
        if (inet_pton(AF_INET, addr.c_str(), &parsed) == 1 && !IsLoopbackText(addr))
            expected = addr;
    }
    if (expected.empty()) {
        std::istringstream route(CommandOutput("ip -4 route show default 2>/dev/null"));
        std::string word, dev;
        while (route >> word)
            if (word == "dev" && route >> dev)
                break;
        if (!dev.empty()) {
            std::istringstream addrs(CommandOutput("ip -4 -o addr show dev '" + dev + "' 2>/dev/null"));
            while (expected.empty() && std::getline(addrs, line)) {
                std::istringstream words(line);
                while (words >> word)
                    if (word == "inet" && words >> word) {
                        const std::string addr = word.substr(0, word.find('/'));
                        if (!IsLoopbackText(addr))
                            expected = addr;
                        break;
                    }
            }
        }
    }
    EXPECT_EQ(LocalIP, expected);
    EXPECT_FALSE(IsLoopbackText(LocalIP));
    std::string again;
    GetLocalIP(again);
    EXPECT_EQ(again, LocalIP);
    // An address found replaces what the output held; none found leaves it.
    std::string stale = "stale";
    GetLocalIP(stale);
    EXPECT_EQ(stale, LocalIP.empty() ? "stale" : LocalIP);
}

// The probe runs in fresh mount, UTS and network namespaces, with its own
// host name, hosts file, resolver file and routes over veth pairs.
struct NamespaceCase {
    const char* Name;
    const char* Hosts;  // %s stands for the host name
    const char* Routes; // shell commands run inside the namespace
    const char* Address;
};

void PrintTo(const NamespaceCase& c, std::ostream* os) { *os << c.Name; }

class LocalAddressInNamespaceTest : public ::testing::TestWithParam<NamespaceCase> {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root for namespaces";
        if (RunProcess({"unshare", "--mount", "--uts", "--net", "true"}).ExitStatus != 0)
            GTEST_SKIP() << "namespaces are not available here";
        char pattern[] = "/tmp/varno-localip-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override
    {
        if (!dir_.empty())
            fs::remove_all(dir_);
    }
    fs::path dir_;
};

const char* const ProbeHost = "varno-probe";
const char* const OneRoute = "ip link add va type veth peer name vb && ip addr add 10.77.0.2/24 dev va && "
                             "ip link set va up && ip link set vb up && ip route add default via 10.77.0.1 dev va";

TEST_P(LocalAddressInNamespaceTest, ChoosesTheAddress)
{
    const NamespaceCase& c = GetParam();
    std::string hosts = c.Hosts;
    for (size_t at; (at = hosts.find("%s")) != std::string::npos;)
        hosts.replace(at, 2, ProbeHost);
    std::ofstream(dir_ / "hosts") << "127.0.0.1 localhost\n" << hosts;
    // A resolver on the namespace's own loopback answers at once with a
    // refusal, so a name missing from the hosts file costs no time-out.
    std::ofstream(dir_ / "resolv.conf") << "nameserver 127.0.0.1\noptions timeout:1 attempts:1\n";
    const std::string script = "set -e; mount --bind '" + (dir_ / "hosts").string() + "' /etc/hosts; mount --bind '" +
                               (dir_ / "resolv.conf").string() + "' /etc/resolv.conf; hostname " + ProbeHost +
                               "; ip link set lo up; " + c.Routes + "; exec '" LOCAL_MACHINE_PROBE "'";
    const ProcessResult r = RunProcess({"unshare", "--mount", "--uts", "--net", "sh", "-c", script});
    ASSERT_EQ(r.ExitStatus, 0) << r.Err;
    const passwd* pw = getpwuid(geteuid());
    ASSERT_NE(pw, nullptr);
    EXPECT_EQ(r.Out, "IP=" + std::string(c.Address) + "\nUser=" + pw->pw_name + "\nName=" + ProbeHost + "\n");
    EXPECT_EQ(r.Err, "");
}

const NamespaceCase NamespaceCases[] = {
    // The Debian way: the host name maps to 127.0.1.1; the default route's interface is used instead.
    {"LoopbackEntryThenDefaultRoute", "127.0.1.1 %s\n", OneRoute, "10.77.0.2"},
    {"LoopbackEntryNoRoute", "127.0.1.1 %s\n", "true", ""},
    {"SecondEntryAfterLoopback", "127.0.1.1 %s\n10.1.1.1 %s\n", OneRoute, "10.1.1.1"},
    {"FirstEntryWins", "10.2.2.2 %s\n10.1.1.1 %s\n", OneRoute, "10.2.2.2"},
    {"NameNotInHosts", "", OneRoute, "10.77.0.2"},
    {"LowestMetricDefaultRoute", "127.0.1.1 %s\n",
     "ip link add va type veth peer name vb && ip link add vc type veth peer name vd && "
     "ip addr add 10.77.0.2/24 dev va && ip addr add 10.88.0.2/24 dev vc && "
     "ip link set va up && ip link set vb up && ip link set vc up && ip link set vd up && "
     "ip route add default via 10.77.0.1 dev va metric 200 && ip route add default via 10.88.0.1 dev vc metric 100",
     "10.88.0.2"},
};
INSTANTIATE_TEST_SUITE_P(Table, LocalAddressInNamespaceTest, ::testing::ValuesIn(NamespaceCases),
                         [](const ::testing::TestParamInfo<NamespaceCase>& info) { return std::string(info.param.Name); });

} // namespace
