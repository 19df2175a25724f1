// RunCommandLine: how a command line becomes a process, what the process
// inherits, and how long the caller waits.

#include "namequery/NameQueryThreadClass.h"
#include "namequery/WinExc32.h"
#include "platform/Paths.h"
#include "platform/Threads.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <ctime>
#include <fstream>
#include <set>
#include <thread>
#include <fcntl.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

struct CommandCase {
    const char* Name;
    std::string CommandLine; // "%F" stands for the output file
    std::string Expected;    // the output file's text; "-" for no file
};

std::string WithFile(std::string line, const std::string& file)
{
    for (size_t at; (at = line.find("%F")) != std::string::npos;)
        line.replace(at, 2, file);
    return line;
}

TEST(RunCommandLine, StartsTheCommandAndWaitsForIt)
{
    // clang-format off
    const CommandCase cases[] = {
        {"interpreter gets the rest verbatim", "/bin/sh -c echo 'a  b'   \"c\" >%F",           "a  b c\n"},
        {"windows-style switch",               "/bin/sh /c echo x>%F",                       "x\n"},
        {"blanks around the program",          "   /bin/sh    -c   echo y >%F",              "y\n"},
        {"program with plain arguments",       "/usr/bin/touch %F",                           ""},
        {"waits for the end",                  "/bin/sh -c sleep 0.3; echo done >%F",         "done\n"},
        {"hidden: no terminal streams",        "/bin/sh -c readlink /proc/self/fd/2 >%F",     "/dev/null\n"},
        {"missing program reports nothing",    "/nonexistent/varno-helper -c echo z >%F",     "-"},
        {"missing interpreter",                " -c echo z >%F",                              "-"},
        {"empty command line",                 "",                                            "-"},
    };
    // clang-format on
    nqtest::TempDir dir;
    for (const CommandCase& c : cases) {
        SCOPED_TRACE(c.Name);
        const std::string file = dir.Path() + "/out.txt";
        DeleteFile(file);
        RunCommandLine(WithFile(c.CommandLine, file).c_str(), SW_HIDE, INFINITE);
        if (std::string(c.Expected) == "-")
            EXPECT_FALSE(FileExists(file));
        else
            EXPECT_EQ(nqtest::ReadFile(file), c.Expected);
    }
}

TEST(RunCommandLine, NullCommandLineIsIgnored) { RunCommandLine(nullptr, SW_HIDE, INFINITE); }

TEST(RunCommandLine, CommandInheritsNoDescriptorsOfTheCaller)
{
    nqtest::TempDir dir;
    const int fd = open("/dev/null", O_RDONLY); // deliberately without O_CLOEXEC
    ASSERT_GE(fd, 0);
    ASSERT_EQ(dup2(fd, 200), 200);
    const std::string file = dir.Path() + "/fds.txt";
    RunCommandLine(("/bin/sh -c ls /proc/self/fd >" + file).c_str(), SW_HIDE, INFINITE);
    close(200);
    close(fd);
    const std::vector<std::string> listed = SplitTextLines(nqtest::ReadFile(file));
    ASSERT_FALSE(listed.empty());
    for (const std::string& entry : listed)
        EXPECT_LE(std::stoi(entry), 3) << "leaked descriptor " << entry;
}

TEST(RunCommandLine, LimitedWaitReturnsAndTheProcessGoesOnAndIsReaped)
{
    nqtest::TempDir dir;
    const std::string pidFile = dir.Path() + "/pid";
    const std::string command = "/bin/sh -c echo $$ >" + pidFile + "; exec sleep 60";
    const auto started = std::chrono::steady_clock::now();
    RunCommandLine(command.c_str(), SW_HIDE, 200);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 20s);

    ASSERT_TRUE(MainThread::WaitUntil([&] { return !nqtest::ReadFile(pidFile).empty(); }, 10000));
    const pid_t pid = pid_t(std::stoi(nqtest::ReadFile(pidFile)));
    EXPECT_EQ(kill(pid, 0), 0) << "the command still runs after the wait";
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    // No zombie stays behind once it has ended.
    const std::string proc = "/proc/" + std::to_string(pid);
    EXPECT_TRUE(MainThread::WaitUntil([&] { return !FileExists(proc); }, 10000));
}

TEST(RunCommandLine, NoWaitReturnsAtOnce)
{
    nqtest::TempDir dir;
    const std::string file = dir.Path() + "/late.txt";
    const std::string gate = dir.Path() + "/gate";
    // The command cannot finish before the caller opens the gate.
    const std::string command = "/bin/sh -c while [ ! -e " + gate + " ]; do sleep 0.05; done; echo late >" + file;
    RunCommandLine(command.c_str(), SW_HIDE, 0);
    EXPECT_FALSE(FileExists(file));
    { std::ofstream(gate).put('x'); }
    EXPECT_TRUE(MainThread::WaitUntil([&] { return nqtest::ReadFile(file) == "late\n"; }, 10000));
}

TEST(FindCommandInterpreter, PicksAnExistingShell)
{
    std::string interpreter = "unchanged";
    FindCommandInterpreter(interpreter);
    EXPECT_TRUE(interpreter == "/bin/sh" || interpreter == "/usr/bin/sh" || interpreter == "/bin/bash")
        << interpreter;
    EXPECT_TRUE(FileExists(interpreter));
}

// dir + "/~nbt" + 17 digits + "-" + digits + "-" + digits + ".tmp"
bool MatchesOutputPattern(const std::string& name, const std::string& dir)
{
    const std::string head = dir + "/~nbt";
    if (name.rfind(head, 0) != 0 || name.size() < head.size() + 4 || name.substr(name.size() - 4) != ".tmp")
        return false;
    const std::string middle = name.substr(head.size(), name.size() - head.size() - 4);
    auto digits = [](const std::string& s) {
        return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
    };
    const size_t first = middle.find('-');
    const size_t second = first == std::string::npos ? first : middle.find('-', first + 1);
    return first == 17 && second != std::string::npos && digits(middle.substr(0, first)) &&
           digits(middle.substr(first + 1, second - first - 1)) && digits(middle.substr(second + 1));
}

TEST(NameQueryOutputFileName, PrivateTimestampedAndUniqueAcrossThreads)
{
    nqtest::TempDir runtime;
    setenv("XDG_RUNTIME_DIR", runtime.Path().c_str(), 1);

    constexpr int Threads = 4, PerThread = 500;
    std::vector<std::vector<std::string>> names(Threads);
    std::vector<std::thread> workers;
    for (int t = 0; t < Threads; ++t)
        workers.emplace_back([&names, t] {
            for (int i = 0; i < PerThread; ++i)
                names[size_t(t)].push_back(NameQueryOutputFileName());
        });
    for (auto& w : workers)
        w.join();
    unsetenv("XDG_RUNTIME_DIR");

    std::set<std::string> all;
    for (const auto& list : names)
        for (const std::string& n : list) {
            EXPECT_TRUE(MatchesOutputPattern(n, runtime.Path())) << n;
            all.insert(n);
        }
    EXPECT_EQ(all.size(), size_t(Threads * PerThread));

    // The stamp is the local time of the call.
    std::tm stamp{};
    const std::string digits = all.begin()->substr(runtime.Path().size() + 5, 14);
    ASSERT_NE(strptime(digits.c_str(), "%Y%m%d%H%M%S", &stamp), nullptr) << digits;
    stamp.tm_isdst = -1;
    EXPECT_LT(std::abs(std::difftime(std::time(nullptr), std::mktime(&stamp))), 300.0) << digits;
}

} // namespace
