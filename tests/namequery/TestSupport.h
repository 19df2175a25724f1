#pragma once
// Shared pieces of the name query tests.
//
// Every test process runs in a network namespace of its own (set up before
// the first test): loopback is up, nothing else exists, so no query can
// reach another machine or a name server, and several test processes can
// each serve 127.0.0.1:137 at once.

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace nqtest {

// Whether unprivileged datagram ICMP sockets may be opened in this namespace.
void AllowUnprivilegedEcho(bool allow);

// A fresh directory (mode 0700) removed with its contents at destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return path_; }
    std::vector<std::string> Entries() const;

private:
    std::string path_;
};

// Runs a program with arguments (no shell); returns its standard output.
struct ProgramResult {
    std::string Output;
    int ExitCode = -1;
};
ProgramResult RunProgram(const std::vector<std::string>& argv);

std::string ReadFile(const std::string& path);
std::string HelperPath(const std::string& name);

// One name of a node status answer.
struct StatusName {
    std::string Name;  // up to 15 bytes, padded with blanks on the wire
    std::uint8_t Suffix;
    std::uint16_t Flags;
};

// Builds an RFC 1002 node status response for the request's transaction.
std::vector<std::uint8_t> BuildNodeStatusResponse(std::uint16_t transactionId,
                                                  const std::vector<StatusName>& names,
                                                  const std::optional<std::array<std::uint8_t, 6>>& mac);

// A NetBIOS name service on UDP port 137 of a loopback address, answering
// with what Reply returns for each request (nothing when empty).
class NodeStatusResponder {
public:
    // request bytes, 1-based request number -> datagrams to send back
    using Reply = std::function<std::vector<std::vector<std::uint8_t>>(const std::vector<std::uint8_t>&, int)>;

    NodeStatusResponder(const std::string& address, Reply reply);
    ~NodeStatusResponder();
    NodeStatusResponder(const NodeStatusResponder&) = delete;
    NodeStatusResponder& operator=(const NodeStatusResponder&) = delete;

    int Requests() const { return requests_.load(); }
    std::vector<std::uint8_t> LastRequest() const;

private:
    void Serve();

    int sock_ = -1;
    int stop_ = -1;
    Reply reply_;
    std::atomic<int> requests_{0};
    mutable std::mutex mutex_;
    std::vector<std::uint8_t> lastRequest_;
    std::thread thread_;
};

// The transaction id of a request.
std::uint16_t TransactionId(const std::vector<std::uint8_t>& request);

} // namespace nqtest
