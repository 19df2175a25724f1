#include "app/LocalMachineInfo.h"

#include "platform/Application.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <ifaddrs.h>
#include <netdb.h>
#include <pwd.h>
#include <sstream>
#include <unistd.h>
#include <vector>

std::string LocalIP;
std::string LocalUserName;
std::string LocalComputerName;

namespace {

bool IsLoopback(const in_addr& addr) { return (ntohl(addr.s_addr) >> 24) == 127; }

std::string AddressText(const in_addr& addr)
{
    char text[INET_ADDRSTRLEN] = {};
    if (!inet_ntop(AF_INET, &addr, text, sizeof text))
        return {};
    return text;
}

bool ReadHostName(std::string& name)
{
    char buffer[HOST_NAME_MAX + 1] = {};
    if (gethostname(buffer, sizeof buffer - 1) != 0)
        return false;
    name = buffer;
    return true;
}

bool ReadUserName(std::string& name)
{
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? size_t(size) : 16384);
    for (;;) {
        passwd entry{};
        passwd* result = nullptr;
        const int rc = getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &result);
        if (rc == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (rc != 0 || !result || !result->pw_name)
            return false;
        name = result->pw_name;
        return true;
    }
}

// The first IPv4 address of the host entry of Name that is not a loopback
// address, in the order the resolver lists them. Many systems map the host
// name to 127.0.1.1, which would make the keywords name an address that real
// traffic never carries.
bool HostEntryAddress(const std::string& name, std::string& address)
{
    std::vector<char> buffer(8192);
    for (;;) {
        hostent entry{};
        hostent* result = nullptr;
        int herr = 0;
        const int rc = gethostbyname_r(name.c_str(), &entry, buffer.data(), buffer.size(), &result, &herr);
        if (rc == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (rc != 0 || !result || result->h_addrtype != AF_INET || result->h_length != 4)
            return false;
        for (char** p = result->h_addr_list; *p; ++p) {
            in_addr addr;
            std::memcpy(&addr, *p, sizeof addr);
            if (IsLoopback(addr))
                continue;
            address = AddressText(addr);
            return !address.empty();
        }
        return false;
    }
}

bool InterfaceAddress(const std::string& interfaceName, std::string& address)
{
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return false;
    bool found = false;
    for (ifaddrs* it = list; it && !found; it = it->ifa_next) {
        if (!it->ifa_addr || it->ifa_addr->sa_family != AF_INET || !it->ifa_name)
            continue;
        // IPv4 addresses carry their label as the name: "eth0" or "eth0:1".
        const std::string name = it->ifa_name;
        if (name != interfaceName && name.rfind(interfaceName + ":", 0) != 0)
            continue;
        const in_addr addr = reinterpret_cast<const sockaddr_in*>(it->ifa_addr)->sin_addr;
        if (IsLoopback(addr))
            continue;
        address = AddressText(addr);
        found = !address.empty();
    }
    freeifaddrs(list);
    return found;
}

bool ParseHex(const std::string& text, unsigned long& value)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtoul(text.c_str(), &end, 16);
    return errno == 0 && end && *end == '\0';
}

} // namespace

std::string DefaultRouteInterface(const std::string& RouteTable)
{
    std::istringstream lines(RouteTable);
    std::string line;
    std::string best;
    unsigned long bestMetric = 0;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string iface, destination, gateway, flags, refCnt, use, metric, mask;
        if (!(fields >> iface >> destination >> gateway >> flags >> refCnt >> use >> metric >> mask))
            continue;
        unsigned long dest = 0, flagBits = 0, maskBits = 0, metricValue = 0;
        if (!ParseHex(destination, dest) || !ParseHex(flags, flagBits) || !ParseHex(mask, maskBits))
            continue; // the header line, or a line that is not a route
        char* end = nullptr;
        metricValue = std::strtoul(metric.c_str(), &end, 10);
        if (metric.empty() || *end != '\0')
            continue;
        const unsigned long RouteUp = 0x0001;
        if (dest != 0 || maskBits != 0 || !(flagBits & RouteUp))
            continue;
        if (best.empty() || metricValue < bestMetric) {
            best = iface;
            bestMetric = metricValue;
        }
    }
    return best;
}

void GetLocalIP(std::string& IPAddress)
{
    std::string hostName;
    std::string address;
    if (ReadHostName(hostName) && !hostName.empty() && HostEntryAddress(hostName, address)) {
        IPAddress = address;
        return;
    }
    std::ifstream routeFile("/proc/net/route");
    std::stringstream table;
    table << routeFile.rdbuf();
    const std::string iface = DefaultRouteInterface(table.str());
    if (!iface.empty() && InterfaceAddress(iface, address))
        IPAddress = address;
}

void GetLocalNames(std::string& UserName, std::string& ComputerName)
{
    // Each name is read on its own, so a user without a passwd entry still
    // gets the computer name shown; the message appears once.
    bool ok = true;
    std::string name;
    if (ReadUserName(name))
        UserName = name;
    else
        ok = false;
    if (ReadHostName(name))
        ComputerName = name;
    else
        ok = false;
    if (!ok)
        Application().ShowMessage("Can not get Local Name !");
}

namespace {

// The facts are found once, when the program starts.
struct TLocalMachineStartUp {
    TLocalMachineStartUp()
    {
        GetLocalNames(LocalUserName, LocalComputerName);
        GetLocalIP(LocalIP);
    }
    ~TLocalMachineStartUp()
    {
        LocalIP.clear();
        LocalUserName.clear();
        LocalComputerName.clear();
    }
};

TLocalMachineStartUp StartUp;

} // namespace
