#include "tests/support/OwnNetwork.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

void EnterOwnNetworkNamespace()
{
    ASSERT_EQ(::unshare(CLONE_NEWNET), 0) << "a network namespace of its own: " << std::strerror(errno);
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(s, 0);
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    const bool up = ::ioctl(s, SIOCGIFFLAGS, &ifr) == 0
                    && (ifr.ifr_flags = short(ifr.ifr_flags | IFF_UP), ::ioctl(s, SIOCSIFFLAGS, &ifr) == 0);
    const int error = errno;
    ::close(s);
    ASSERT_TRUE(up) << "loopback up: " << std::strerror(error);
}
