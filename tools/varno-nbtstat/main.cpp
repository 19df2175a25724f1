// varno-nbtstat -A ADDRESS
//
// Asks the host at ADDRESS for its NetBIOS name table (a node status
// request to UDP port 137, sent once more when no answer comes) and prints
// the table like the Windows nbtstat command. Prints nothing when the host
// does not answer.

#include "NodeStatus.h"
#include "namequery/NameQueryThreadClass.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <random>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr std::uint16_t NetBIOSNamePort = 137;
constexpr int Attempts = 2;
constexpr auto AttemptTimeout = std::chrono::milliseconds(1000);

int Usage()
{
    std::fprintf(stderr, "Usage: varno-nbtstat -A ADDRESS\n");
    return 2;
}

// One request and the wait for its answer.
std::optional<TNodeStatus> Ask(int sock, std::uint16_t transactionId)
{
    const std::vector<std::uint8_t> request = BuildNodeStatusRequest(transactionId);
    if (send(sock, request.data(), request.size(), 0) < 0)
        return std::nullopt;
    const auto deadline = std::chrono::steady_clock::now() + AttemptTimeout;
    std::vector<std::uint8_t> buf(65536);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return std::nullopt;
        struct pollfd pfd { sock, POLLIN, 0 };
        const int ready = poll(&pfd, 1, int(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return std::nullopt;
        const ssize_t n = recv(sock, buf.data(), buf.size(), 0);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            return std::nullopt; // e.g. port unreachable: nobody listens there
        }
        // Stray or malformed datagrams are dropped; the wait goes on.
        if (auto status = DecodeNodeStatusResponse(buf.data(), size_t(n), transactionId))
            return status;
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3 || std::strcmp(argv[1], "-A") != 0)
        return Usage();
    std::array<std::uint8_t, 4> bytes{};
    if (!ParseIPv4Address(argv[2], bytes))
        return Usage();

    const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        std::perror("varno-nbtstat: socket");
        return 1;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(NetBIOSNamePort);
    std::memcpy(&to.sin_addr, bytes.data(), 4);
    // Connected: only datagrams from that host's port 137 are received.
    if (connect(sock, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        close(sock);
        return 1;
    }

    std::random_device random;
    const std::uint16_t transactionId = std::uint16_t(random());
    std::optional<TNodeStatus> status;
    for (int attempt = 0; attempt < Attempts && !status; ++attempt)
        status = Ask(sock, transactionId);
    close(sock);
    if (!status)
        return 1;
    const std::string table = FormatNodeStatus(*status);
    std::fputs(table.c_str(), stdout);
    return table.empty() ? 1 : 0;
}
