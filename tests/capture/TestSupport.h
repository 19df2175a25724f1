#pragma once
// Real traffic and real interfaces for the capture tests: UDP datagrams and
// TCP connections over 127.0.0.1, veth and tun interfaces that a test creates
// and removes, a private temporary folder, and a log of delivered packets.

#include "capture/Snoop.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace captest {

// One delivered packet, copied while the delivery ran.
struct TCapturedPacket {
    TObject* Sender = nullptr;
    std::uint32_t CapLen = 0;
    std::uint32_t Len = 0;
    std::vector<std::uint8_t> Bytes; // CapLen bytes
    std::thread::id Thread;
    bool OnMainThread = false;
};

// Collects deliveries from any thread; wakes MainThread::WaitUntil waiters.
class TCaptureLog {
public:
    // The OnCapture handler that fills this log.
    TOnCaptureEvent Handler();
    size_t Count() const;
    std::vector<TCapturedPacket> Packets() const;
    // Pumps main-thread deliveries until count packets are in (or the time-out).
    bool WaitFor(size_t count, int timeoutMs = 5000) const;

private:
    mutable std::mutex mutex_;
    std::vector<TCapturedPacket> packets_;
    std::atomic<size_t> count_{0};
};

// A UDP socket bound to 127.0.0.1 on a port of its own.
class TUdpSocket {
public:
    TUdpSocket();
    ~TUdpSocket();
    std::uint16_t Port() const { return port_; }
    // Sends size bytes (0, 1, 2, ... mod 256) to 127.0.0.1:port.
    void SendTo(std::uint16_t port, size_t size) const;

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

// A TCP connection over 127.0.0.1: a listener, a client and the accepted end.
class TTcpPair {
public:
    TTcpPair();
    ~TTcpPair();
    std::uint16_t ServerPort() const { return serverPort_; }
    std::uint16_t ClientPort() const { return clientPort_; }
    // Connects (three-way handshake).
    void Connect();
    // Sends size bytes from the client and reads them at the server.
    void ClientSend(size_t size);

private:
    int listener_ = -1, client_ = -1, server_ = -1;
    std::uint16_t serverPort_ = 0, clientPort_ = 0;
};

// Ends the whole test program with a message when it is not dismissed
// within timeoutMs: a hang (a stop that never returns, a deadlock) then
// fails at once instead of at the test runner's time-out.
class TWatchdog {
public:
    TWatchdog(int timeoutMs, std::string what);
    ~TWatchdog();

private:
    std::mutex mutex_;
    std::condition_variable dismissed_;
    bool done_ = false;
    std::thread thread_;
};

// The byte pattern of the payloads sent by the helpers above.
std::vector<std::uint8_t> Pattern(size_t size);

// Runs a shell command; its exit status (-1 when it could not run).
int Run(const std::string& command);

// Interface names unique to this process (at most 15 characters).
std::string UniqueIfName(const std::string& prefix);

// A veth pair, created up, deleted by the destructor if still present.
class TVethPair {
public:
    TVethPair();
    ~TVethPair();
    bool Created() const { return created_; }
    const std::string& A() const { return a_; }
    const std::string& B() const { return b_; }
    // Deletes the pair now.
    bool Delete();
    // Sends a raw Ethernet frame out of B (so that it arrives at A).
    bool SendFromB(const std::vector<std::uint8_t>& frame) const;

private:
    std::string a_, b_;
    bool created_ = false;
};

// A tun interface (link type RAW), set up; removed by the destructor.
class TTunInterface {
public:
    TTunInterface();
    ~TTunInterface();
    bool Created() const { return created_; }
    const std::string& Name() const { return name_; }

private:
    std::string name_;
    bool created_ = false;
};

// A fresh folder under the temporary folder, removed with its contents.
class TTempDir {
public:
    TTempDir();
    ~TTempDir();
    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);

// The text libpcap gives for compiling expression on an Ethernet capture.
std::string LibpcapCompileError(const std::string& expression);

} // namespace captest
