#pragma once
// The background query that finds the NetBIOS name, the adapter (MAC)
// address and the DNS name of one IPv4 host.
//
// Each query runs one of the helper programs that are built beside the tray
// (varno-nbtstat, varno-ping) through the command interpreter, redirects its
// output into a private temporary file, and picks the answers out of the
// text. The answers reach the main thread through OnSuccess, a failure
// through OnError; the thread frees itself when it ends.

#include "platform/SysUtils.h"
#include "platform/Threads.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

using TNameQuerySuccessEvent =
    std::function<void(TObject* Sender, const std::string& IPAddress, const std::string& IPName,
                       const std::string& UNCName, const std::string& MacAddress)>;
using TNameQueryErrorEvent = std::function<void(TObject* Sender, const std::string& ErrorText)>;

// Shared by the creator of query threads and the threads it started. A
// creator that goes away before its threads end cancels the token first
// (on the main thread); from then on those threads skip OnSuccess, OnError
// and OnTerminate, which are only ever called on the main thread and only
// after the token was checked there.
class TNameQueryToken {
public:
    void Cancel() { cancelled_.store(true, std::memory_order_release); }
    bool Cancelled() const { return cancelled_.load(std::memory_order_acquire); }

private:
    std::atomic<bool> cancelled_{false};
};

class TNameQueryThread : public TThread {
public:
    // Created suspended and free-on-terminate: assign the events (and the
    // token), then Resume, and do not touch the object afterwards.
    explicit TNameQueryThread(const std::string& AIPAddress);

    TNameQueryErrorEvent OnError;
    TNameQuerySuccessEvent OnSuccess;
    std::string IPAddress;
    std::string UNCName;
    std::string IPName;
    std::string MacAddress;
    std::string ErrorText;
    // Optional; see TNameQueryToken.
    std::shared_ptr<TNameQueryToken> Token;

    // One query each; true when it found something. An address that is not
    // four decimal parts of 0 to 255 finds nothing and runs no command.
    bool QueryNetBIOS();
    bool QueryReverseName();
    // Waits for a command's output file to appear and to be usable.
    bool WaitForFile(const std::string& FileName);

protected:
    void Execute() override;
    void DoSuccess();
    void DoError();

private:
    bool Detached() const { return Token && Token->Cancelled(); }
};

// The first command interpreter that exists; result is left as it was when
// there is none.
void FindCommandInterpreter(std::string& result);

// The folder of varno-nbtstat and varno-ping, with a trailing "/"; the
// folder of the running program unless set otherwise.
std::string NameQueryHelperDir();
void SetNameQueryHelperDir(const std::string& dir);

// Dotted-quad IPv4 text: exactly four parts of one to three decimal digits,
// each 0 to 255, nothing else.
bool ParseIPv4Address(std::string_view text, std::array<std::uint8_t, 4>& bytes);
bool IsValidIPv4Address(std::string_view text);

// A fresh output file name in the user's private directory: "~nbt", the
// local time as yyyymmddhhnnsszzz, a suffix unique within the machine, ".tmp".
std::string NameQueryOutputFileName();

// Lines of a text, ending at CR, LF or CR LF; a last line without an ending
// counts, an ending at the very end adds no empty line.
std::vector<std::string> SplitTextLines(std::string_view text);

// The answers that the nbtstat-style output holds: the first word of the
// row under the last dashed line before the address line, and the text
// after "MAC Address =" (any letter case).
struct TNetBIOSAnswer {
    std::string UNCName;
    std::string MacAddress;
};
TNetBIOSAnswer ParseNetBIOSOutput(const std::vector<std::string>& lines);

// The host name from the first "Pinging NAME ..." line (any letter case)
// whose NAME is not the queried address itself; empty if none.
std::string ParseReverseNameOutput(const std::vector<std::string>& lines, const std::string& IPAddress);
