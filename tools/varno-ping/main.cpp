// varno-ping -a ADDRESS -n COUNT
//
// Resolves ADDRESS to its host name and sends COUNT echo requests to it, in
// the layout of the Windows ping command:
//   Pinging NAME [ADDRESS] with 32 bytes of data:   (or "Pinging ADDRESS ..."
//   Reply from ADDRESS: bytes=32 time<1ms TTL=64     when no name is known)
// Echo requests go out only through an unprivileged datagram ICMP socket;
// where the system does not allow one, none is sent and the line says so.

#include "namequery/NameQueryThreadClass.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr size_t PayloadSize = 32;
constexpr auto ReplyTimeout = std::chrono::milliseconds(1000);
constexpr int MaxCount = 10;

int Usage()
{
    std::fprintf(stderr, "Usage: varno-ping -a ADDRESS -n COUNT\n");
    return 2;
}

// A host name that is safe to print in one word; anything else counts as
// no name at all.
bool UsableName(const char* name)
{
    if (!*name)
        return false;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p; ++p)
        if (*p <= 0x20 || *p >= 0x7F || *p == '[' || *p == ']')
            return false;
    return true;
}

std::string ReverseName(const sockaddr_in& addr)
{
    char host[NI_MAXHOST] = {};
    if (getnameinfo(reinterpret_cast<const sockaddr*>(&addr), sizeof addr, host, sizeof host, nullptr, 0,
                    NI_NAMEREQD) != 0)
        return {};
    return UsableName(host) ? host : std::string();
}

// One echo request and the wait for its reply; returns the line to print.
std::string Echo(int sock, const char* address, std::uint16_t sequence)
{
    std::uint8_t packet[sizeof(icmphdr) + PayloadSize] = {};
    auto* header = reinterpret_cast<icmphdr*>(packet);
    header->type = ICMP_ECHO;
    header->un.echo.sequence = htons(sequence);
    // The kernel sets the identifier and the checksum of a datagram ICMP socket.
    for (size_t i = 0; i < PayloadSize; ++i)
        packet[sizeof(icmphdr) + i] = std::uint8_t('a' + i % 23);

    const auto sent = std::chrono::steady_clock::now();
    if (send(sock, packet, sizeof packet, 0) < 0)
        return std::string("General failure: ") + std::strerror(errno) + ".";
    const auto deadline = sent + ReplyTimeout;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return "Request timed out.";
        struct pollfd pfd { sock, POLLIN, 0 };
        const int ready = poll(&pfd, 1, int(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return "Request timed out.";

        std::uint8_t reply[2048];
        char control[256];
        iovec iov{reply, sizeof reply};
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        const ssize_t n = recvmsg(sock, &msg, 0);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            return "Destination host unreachable.";
        }
        if (size_t(n) < sizeof(icmphdr))
            continue;
        const auto* answer = reinterpret_cast<const icmphdr*>(reply);
        if (answer->type != ICMP_ECHOREPLY || ntohs(answer->un.echo.sequence) != sequence)
            continue;
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - sent).count();
        int ttl = -1;
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c))
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TTL && c->cmsg_len >= CMSG_LEN(sizeof(int)))
                std::memcpy(&ttl, CMSG_DATA(c), sizeof ttl);
        std::string line = std::string("Reply from ") + address +
                           ": bytes=" + std::to_string(size_t(n) - sizeof(icmphdr)) +
                           (ms < 1 ? " time<1ms" : " time=" + std::to_string(ms) + "ms");
        if (ttl >= 0)
            line += " TTL=" + std::to_string(ttl);
        return line;
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 5 || std::strcmp(argv[1], "-a") != 0 || std::strcmp(argv[3], "-n") != 0)
        return Usage();
    const char* address = argv[2];
    std::array<std::uint8_t, 4> bytes{};
    if (!ParseIPv4Address(address, bytes))
        return Usage();
    char* end = nullptr;
    const long count = std::strtol(argv[4], &end, 10);
    if (*argv[4] == '\0' || *end != '\0' || count < 1 || count > MaxCount)
        return Usage();

    sockaddr_in to{};
    to.sin_family = AF_INET;
    std::memcpy(&to.sin_addr, bytes.data(), 4);

    const std::string name = ReverseName(to);
    std::printf("\n");
    if (name.empty())
        std::printf("Pinging %s with %zu bytes of data:\n", address, PayloadSize);
    else
        std::printf("Pinging %s [%s] with %zu bytes of data:\n", name.c_str(), address, PayloadSize);
    std::fflush(stdout);

    const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (sock < 0) {
        std::printf("Echo request not sent: %s.\n",
                    errno == EACCES ? "unprivileged echo sockets are not allowed here" : std::strerror(errno));
        return 1;
    }
    const int on = 1;
    setsockopt(sock, IPPROTO_IP, IP_RECVTTL, &on, sizeof on);
    // Connected: replies from other hosts are not received.
    if (connect(sock, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        std::printf("General failure: %s.\n", std::strerror(errno));
        close(sock);
        return 1;
    }
    int replies = 0;
    for (long i = 1; i <= count; ++i) {
        const std::string line = Echo(sock, address, std::uint16_t(i));
        if (line.rfind("Reply from ", 0) == 0)
            ++replies;
        std::printf("%s\n", line.c_str());
    }
    close(sock);
    std::printf("\n");
    return replies > 0 ? 0 : 1;
}
