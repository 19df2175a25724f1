#include "TestSupport.h"

#include "platform/Threads.h"

#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace captest {

namespace {

void Check(bool ok, const char* what)
{
    if (!ok)
        throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

sockaddr_in Loopback(std::uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

std::uint16_t BoundPort(int fd)
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    Check(getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0, "getsockname");
    return ntohs(a.sin_port);
}

} // namespace

TOnCaptureEvent TCaptureLog::Handler()
{
    return [this](TObject* sender, PPCAP_PKTHDR header, PETHERNET_HDR frame) {
        TCapturedPacket p;
        p.Sender = sender;
        p.CapLen = header->caplen;
        p.Len = header->len;
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(frame);
        p.Bytes.assign(bytes, bytes + header->caplen);
        p.Thread = std::this_thread::get_id();
        p.OnMainThread = MainThread::IsCurrent();
        {
            std::lock_guard lock(mutex_);
            packets_.push_back(std::move(p));
        }
        count_.fetch_add(1);
        MainThread::Notify();
    };
}

size_t TCaptureLog::Count() const { return count_.load(); }

std::vector<TCapturedPacket> TCaptureLog::Packets() const
{
    std::lock_guard lock(mutex_);
    return packets_;
}

bool TCaptureLog::WaitFor(size_t count, int timeoutMs) const
{
    return MainThread::WaitUntil([&] { return Count() >= count; }, timeoutMs);
}

TWatchdog::TWatchdog(int timeoutMs, std::string what)
{
    thread_ = std::thread([this, timeoutMs, what = std::move(what)] {
        std::unique_lock lock(mutex_);
        if (!dismissed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return done_; })) {
            std::fprintf(stderr, "FAILED: %s (still waiting after %d ms)\n", what.c_str(), timeoutMs);
            std::fflush(stderr);
            std::_Exit(1);
        }
    });
}

TWatchdog::~TWatchdog()
{
    {
        std::lock_guard lock(mutex_);
        done_ = true;
    }
    dismissed_.notify_all();
    thread_.join();
}

std::vector<std::uint8_t> Pattern(size_t size)
{
    std::vector<std::uint8_t> v(size);
    for (size_t i = 0; i < size; ++i)
        v[i] = std::uint8_t(i);
    return v;
}

TUdpSocket::TUdpSocket()
{
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    Check(fd_ >= 0, "socket");
    sockaddr_in a = Loopback(0);
    Check(bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0, "bind");
    port_ = BoundPort(fd_);
}

TUdpSocket::~TUdpSocket() { close(fd_); }

void TUdpSocket::SendTo(std::uint16_t port, size_t size) const
{
    const auto payload = Pattern(size);
    sockaddr_in a = Loopback(port);
    Check(sendto(fd_, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a) ==
              ssize_t(size),
          "sendto");
}

TTcpPair::TTcpPair()
{
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    Check(listener_ >= 0, "socket");
    sockaddr_in a = Loopback(0);
    Check(bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0, "bind");
    Check(listen(listener_, 1) == 0, "listen");
    serverPort_ = BoundPort(listener_);
}

TTcpPair::~TTcpPair()
{
    for (int fd : {server_, client_, listener_})
        if (fd >= 0)
            close(fd);
}

void TTcpPair::Connect()
{
    client_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    Check(client_ >= 0, "socket");
    sockaddr_in a = Loopback(serverPort_);
    Check(connect(client_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0, "connect");
    clientPort_ = BoundPort(client_);
    server_ = accept(listener_, nullptr, nullptr);
    Check(server_ >= 0, "accept");
}

void TTcpPair::ClientSend(size_t size)
{
    const auto payload = Pattern(size);
    Check(send(client_, payload.data(), payload.size(), 0) == ssize_t(size), "send");
    std::vector<std::uint8_t> in(size);
    size_t got = 0;
    while (got < size) {
        const ssize_t n = recv(server_, in.data() + got, size - got, 0);
        Check(n > 0, "recv");
        got += size_t(n);
    }
}

int Run(const std::string& command)
{
    const int status = std::system(command.c_str());
    if (status == -1 || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

std::string UniqueIfName(const std::string& prefix)
{
    static std::atomic<int> serial{0};
    return prefix + std::to_string(getpid()) + char('a' + serial.fetch_add(1) % 26);
}

TVethPair::TVethPair() : a_(UniqueIfName("vsn")), b_(UniqueIfName("vsn"))
{
    created_ = Run("ip link add " + a_ + " type veth peer name " + b_ + " 2>/dev/null") == 0;
    if (created_)
        created_ = Run("ip link set " + a_ + " up && ip link set " + b_ + " up") == 0;
}

TVethPair::~TVethPair() { Delete(); }

bool TVethPair::Delete()
{
    if (if_nametoindex(a_.c_str()) == 0)
        return true;
    return Run("ip link del " + a_ + " 2>/dev/null") == 0;
}

bool TVethPair::SendFromB(const std::vector<std::uint8_t>& frame) const
{
    const int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_ll to{};
    to.sll_family = AF_PACKET;
    to.sll_ifindex = int(if_nametoindex(b_.c_str()));
    to.sll_halen = ETH_ALEN;
    std::memcpy(to.sll_addr, frame.data(), ETH_ALEN);
    const bool ok = sendto(fd, frame.data(), frame.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
                    ssize_t(frame.size());
    close(fd);
    return ok;
}

TTunInterface::TTunInterface() : name_(UniqueIfName("tsn"))
{
    created_ = Run("ip tuntap add mode tun name " + name_ + " 2>/dev/null") == 0;
    if (created_)
        created_ = Run("ip link set " + name_ + " up") == 0;
}

TTunInterface::~TTunInterface()
{
    if (if_nametoindex(name_.c_str()) != 0)
        Run("ip tuntap del mode tun name " + name_ + " 2>/dev/null");
}

TTempDir::TTempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "varno-capture-XXXXXX").string();
    Check(mkdtemp(pattern.data()) != nullptr, "mkdtemp");
    path_ = pattern;
}

TTempDir::~TTempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string ReadFileBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFileBytes(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::string LibpcapCompileError(const std::string& expression)
{
    pcap_t* dead = pcap_open_dead(DLT_EN10MB, 1600);
    bpf_program program{};
    std::string text;
    if (pcap_compile(dead, &program, expression.c_str(), 1, PCAP_NETMASK_UNKNOWN) < 0)
        text = pcap_geterr(dead);
    else
        pcap_freecode(&program);
    pcap_close(dead);
    return text;
}

} // namespace captest
