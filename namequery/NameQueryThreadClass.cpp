#include "namequery/NameQueryThreadClass.h"

#include "namequery/WinExc32.h"
#include "platform/Paths.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace {

// The parsers never need more than a screenful; a runaway command must not
// fill the memory.
constexpr size_t MaxOutputBytes = 1 << 20;
constexpr auto FilePause = std::chrono::milliseconds(250);
constexpr int FileAttempts = 9;

std::mutex g_helperMutex;
std::string g_helperDir;

void Pause() { std::this_thread::sleep_for(FilePause); }

// Single quotes keep every character literal for the shell.
std::string ShellQuote(const std::string& text)
{
    std::string out = "'";
    for (char c : text) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    out += '\'';
    return out;
}

std::vector<std::string> LoadTextLines(const std::string& fileName)
{
    const int fd = open(fileName.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        throw Exception("Cannot open file \"" + fileName + "\". " + std::strerror(errno));
    std::string text;
    char buf[8192];
    while (text.size() < MaxOutputBytes) {
        const ssize_t n = read(fd, buf, std::min(sizeof buf, MaxOutputBytes - text.size()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int err = errno;
            close(fd);
            throw Exception("Cannot read file \"" + fileName + "\". " + std::strerror(err));
        }
        if (n == 0)
            break;
        text.append(buf, size_t(n));
    }
    close(fd);
    return SplitTextLines(text);
}

// Deletes a query's output file however the query ends.
class TOutputFile {
public:
    explicit TOutputFile(std::string name) : name_(std::move(name)) { DeleteFile(name_); }
    ~TOutputFile() { DeleteFile(name_); }
    TOutputFile(const TOutputFile&) = delete;
    TOutputFile& operator=(const TOutputFile&) = delete;
    const std::string& Name() const { return name_; }

private:
    std::string name_;
};

} // namespace

TNameQueryThread::TNameQueryThread(const std::string& AIPAddress) : IPAddress(AIPAddress)
{
    FreeOnTerminate = true;
}

void TNameQueryThread::Execute()
{
    // The creator assigned OnTerminate before Resume and no longer touches
    // the object, so it can be wrapped here: a cancelled token silences it
    // like the other events.
    if (OnTerminate) {
        OnTerminate = [token = Token, handler = std::move(OnTerminate)](TObject* sender) {
            if (!token || !token->Cancelled())
                handler(sender);
        };
    }
    try {
        QueryNetBIOS();
        QueryReverseName();
        if (!IPName.empty() || !UNCName.empty() || !MacAddress.empty())
            Synchronize([this] { DoSuccess(); });
    } catch (const std::exception& e) {
        ErrorText = "Thread Error: " + std::string(e.what());
        Synchronize([this] { DoError(); });
    }
}

void TNameQueryThread::DoSuccess()
{
    if (OnSuccess && !Detached())
        OnSuccess(this, IPAddress, IPName, UNCName, MacAddress);
}

void TNameQueryThread::DoError()
{
    if (OnError && !Detached())
        OnError(this, ErrorText);
}

bool TNameQueryThread::QueryNetBIOS()
{
    // The address goes into a shell command line: anything but a plain
    // dotted quad is refused before a command is built.
    if (!IsValidIPv4Address(IPAddress))
        return false;
    const TOutputFile file(NameQueryOutputFileName());
    // Always the standard shell, whatever FindCommandInterpreter would pick.
    const std::string commandLine = "/bin/sh -c " + ShellQuote(NameQueryHelperDir() + "varno-nbtstat") +
                                    " -A " + IPAddress + " >" + ShellQuote(file.Name());
    RunCommandLine(commandLine.c_str(), SW_HIDE, INFINITE);
    if (!WaitForFile(file.Name()))
        return false;
    const TNetBIOSAnswer answer = ParseNetBIOSOutput(LoadTextLines(file.Name()));
    if (!answer.MacAddress.empty())
        MacAddress = answer.MacAddress;
    if (!answer.UNCName.empty())
        UNCName = answer.UNCName;
    return !answer.MacAddress.empty() || !answer.UNCName.empty();
}

bool TNameQueryThread::QueryReverseName()
{
    if (!IsValidIPv4Address(IPAddress))
        return false;
    const TOutputFile file(NameQueryOutputFileName());
    std::string interpreter;
    FindCommandInterpreter(interpreter);
    const std::string commandLine = interpreter + " -c " + ShellQuote(NameQueryHelperDir() + "varno-ping") +
                                    " -a " + IPAddress + " -n 1 >" + ShellQuote(file.Name());
    RunCommandLine(commandLine.c_str(), SW_HIDE, INFINITE);
    if (!WaitForFile(file.Name()))
        return false;
    const std::string name = ParseReverseNameOutput(LoadTextLines(file.Name()), IPAddress);
    if (name.empty())
        return false;
    IPName = name;
    return true;
}

bool TNameQueryThread::WaitForFile(const std::string& FileName)
{
    bool seen = false;
    for (int i = 0; i < FileAttempts; ++i) {
        if (FileExists(FileName)) {
            seen = true;
            break;
        }
        Pause();
    }
    Pause();
    if (!seen)
        return false;
    for (int i = 0; i < FileAttempts; ++i) {
        const int fd = open(FileName.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
        if (fd >= 0 && close(fd) == 0)
            return true;
        Pause();
    }
    return false;
}

void FindCommandInterpreter(std::string& result)
{
    for (const char* candidate : {"/bin/sh", "/usr/bin/sh", "/bin/bash"}) {
        if (FileExists(candidate)) {
            result = candidate;
            return;
        }
    }
}

std::string NameQueryHelperDir()
{
    {
        std::lock_guard lock(g_helperMutex);
        if (!g_helperDir.empty())
            return g_helperDir;
    }
    return ExeDir();
}

void SetNameQueryHelperDir(const std::string& dir)
{
    std::lock_guard lock(g_helperMutex);
    g_helperDir = dir;
    if (!g_helperDir.empty() && g_helperDir.back() != '/')
        g_helperDir += '/';
}

bool ParseIPv4Address(std::string_view text, std::array<std::uint8_t, 4>& bytes)
{
    size_t pos = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (pos >= text.size() || text[pos] != '.')
                return false;
            ++pos;
        }
        int value = 0;
        size_t digits = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && digits < 4) {
            value = value * 10 + (text[pos] - '0');
            ++pos;
            ++digits;
        }
        if (digits == 0 || digits > 3 || value > 255)
            return false;
        bytes[size_t(part)] = std::uint8_t(value);
    }
    return pos == text.size();
}

bool IsValidIPv4Address(std::string_view text)
{
    std::array<std::uint8_t, 4> bytes{};
    return ParseIPv4Address(text, bytes);
}

std::string NameQueryOutputFileName()
{
    static std::atomic<unsigned> sequence{0};
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%04d%02d%02d%02d%02d%02d%03d", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, int(ms));
    // Process id and a counter keep threads (and programs) that start in
    // the same millisecond apart.
    return PrivateRuntimeDir() + "/~nbt" + stamp + "-" + std::to_string(getpid()) + "-" +
           std::to_string(sequence.fetch_add(1) + 1) + ".tmp";
}

std::vector<std::string> SplitTextLines(std::string_view text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] == '\r' || text[i] == '\n') {
            lines.emplace_back(text.substr(start, i - start));
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
            start = ++i;
        } else {
            ++i;
        }
    }
    if (start < text.size())
        lines.emplace_back(text.substr(start));
    return lines;
}

TNetBIOSAnswer ParseNetBIOSOutput(const std::vector<std::string>& lines)
{
    static const std::string MacPattern = "MAC ADDRESS =";
    TNetBIOSAnswer answer;
    std::string nameRow;
    for (size_t i = 0; i < lines.size() && answer.MacAddress.empty(); ++i) {
        const std::string& line = lines[i];
        if (line.find("-----") != std::string::npos) {
            // The table's first row sits under the dashes, sometimes after
            // one empty line.
            if (lines.size() > i + 2)
                nameRow = lines[i + 1].empty() ? lines[i + 2] : lines[i + 1];
        } else if (const size_t at = UpperCase(line).find(MacPattern); at != std::string::npos) {
            std::string rest = line;
            rest.erase(at, MacPattern.size());
            rest = Trim(rest);
            if (!rest.empty())
                answer.MacAddress = rest;
        }
    }
    if (!nameRow.empty()) {
        const std::string row = Trim(nameRow);
        if (const size_t blank = row.find(' '); blank != std::string::npos)
            answer.UNCName = row.substr(0, blank);
    }
    return answer;
}

std::string ParseReverseNameOutput(const std::vector<std::string>& lines, const std::string& IPAddress)
{
    static const std::string Pattern = "pinging ";
    std::string candidate;
    for (size_t i = 0; i < lines.size() && candidate.empty(); ++i) {
        candidate = lines[i];
        if (LowerCase(candidate).find(Pattern) != std::string::npos) {
            // The name follows the word, which the helper prints first.
            candidate.erase(0, Pattern.size());
            if (const size_t blank = candidate.find(' '); blank != std::string::npos) {
                candidate.resize(blank);
                // ping names the bare address when it knows no name.
                if (candidate == IPAddress)
                    candidate.clear();
            } else {
                candidate.clear();
            }
        } else {
            candidate.clear();
        }
    }
    return candidate;
}
