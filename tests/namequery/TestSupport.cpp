#include "TestSupport.h"
#include "tests/support/OwnNetwork.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <net/if.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <poll.h>
#include <sched.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace nqtest {

namespace {

void WriteProcFile(const char* path, const std::string& text)
{
    std::ofstream out(path);
    out << text;
    out.flush();
    if (!out)
        throw std::runtime_error(std::string("cannot write ") + path);
}

// Runs once, on the main thread, before any test and before any other
// thread exists, so that every later thread and child process inherits the
// namespace.
class IsolatedNetwork : public ::testing::Environment {
public:
    void SetUp() override
    {
        EnterOwnNetworkNamespace();
        if (::testing::Test::HasFatalFailure())
            return;
        AllowUnprivilegedEcho(false);
    }
};

[[maybe_unused]] ::testing::Environment* const g_network =
    ::testing::AddGlobalTestEnvironment(new IsolatedNetwork);

void PutU16(std::vector<std::uint8_t>& out, std::uint16_t v)
{
    out.push_back(std::uint8_t(v >> 8));
    out.push_back(std::uint8_t(v));
}

} // namespace

void AllowUnprivilegedEcho(bool allow)
{
    WriteProcFile("/proc/sys/net/ipv4/ping_group_range", allow ? "0 2147483647" : "1 0");
}

TempDir::TempDir()
{
    std::string tmpl = (std::filesystem::temp_directory_path() / "varno-nqtest-XXXXXX").string();
    if (!mkdtemp(tmpl.data()))
        throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::vector<std::string> TempDir::Entries() const
{
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(path_))
        names.push_back(e.path().filename().string());
    return names;
}

ProgramResult RunProgram(const std::vector<std::string>& args)
{
    ProgramResult result;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        throw std::runtime_error("cannot start " + args[0] + ": " + std::strerror(rc));
    }
    char buf[4096];
    for (;;) {
        const ssize_t n = read(fds[0], buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        result.Output.append(buf, size_t(n));
    }
    close(fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.ExitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string HelperPath(const std::string& name) { return std::string(VARNO_BIN_DIR) + "/" + name; }

std::vector<std::uint8_t> BuildNodeStatusResponse(std::uint16_t transactionId,
                                                  const std::vector<StatusName>& names,
                                                  const std::optional<std::array<std::uint8_t, 6>>& mac)
{
    std::vector<std::uint8_t> out;
    PutU16(out, transactionId);
    PutU16(out, 0x8400); // response, authoritative answer
    PutU16(out, 0);
    PutU16(out, 1);
    PutU16(out, 0);
    PutU16(out, 0);
    // RR_NAME: the encoded "*" of the question.
    out.push_back(32);
    out.push_back('C');
    out.push_back('K');
    for (int i = 0; i < 15; ++i) {
        out.push_back('A');
        out.push_back('A');
    }
    out.push_back(0);
    PutU16(out, 0x0021);
    PutU16(out, 0x0001);
    for (int i = 0; i < 4; ++i)
        out.push_back(0);
    std::vector<std::uint8_t> rdata;
    rdata.push_back(std::uint8_t(names.size()));
    for (const StatusName& n : names) {
        std::string padded = n.Name.substr(0, 15);
        padded.resize(15, ' ');
        rdata.insert(rdata.end(), padded.begin(), padded.end());
        rdata.push_back(n.Suffix);
        PutU16(rdata, n.Flags);
    }
    if (mac) {
        rdata.insert(rdata.end(), mac->begin(), mac->end());
        // The rest of the statistics: jumpers, test result, counters.
        rdata.resize(rdata.size() + 40, 0);
    }
    PutU16(out, std::uint16_t(rdata.size()));
    out.insert(out.end(), rdata.begin(), rdata.end());
    return out;
}

std::uint16_t TransactionId(const std::vector<std::uint8_t>& request)
{
    return request.size() < 2 ? 0 : std::uint16_t(request[0] << 8 | request[1]);
}

NodeStatusResponder::NodeStatusResponder(const std::string& address, Reply reply) : reply_(std::move(reply))
{
    sock_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock_ < 0)
        throw std::runtime_error("socket failed");
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(137);
    inet_pton(AF_INET, address.c_str(), &at.sin_addr);
    if (bind(sock_, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0)
        throw std::runtime_error(std::string("bind to port 137 failed: ") + std::strerror(errno));
    stop_ = eventfd(0, EFD_CLOEXEC);
    thread_ = std::thread([this] { Serve(); });
}

NodeStatusResponder::~NodeStatusResponder()
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(stop_, &one, sizeof one);
    thread_.join();
    close(stop_);
    close(sock_);
}

std::vector<std::uint8_t> NodeStatusResponder::LastRequest() const
{
    std::lock_guard lock(mutex_);
    return lastRequest_;
}

void NodeStatusResponder::Serve()
{
    for (;;) {
        pollfd fds[2] = {{sock_, POLLIN, 0}, {stop_, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents)
            return;
        std::vector<std::uint8_t> buf(2048);
        sockaddr_in from{};
        socklen_t fromLen = sizeof from;
        const ssize_t n = recvfrom(sock_, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
        if (n < 0)
            continue;
        buf.resize(size_t(n));
        {
            std::lock_guard lock(mutex_);
            lastRequest_ = buf;
        }
        const int number = ++requests_;
        for (const auto& datagram : reply_(buf, number))
            sendto(sock_, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&from), fromLen);
    }
}

} // namespace nqtest
