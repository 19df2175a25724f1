#include "namequery/WinExc32.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

size_t SkipBlanks(const std::string& s, size_t pos)
{
    while (pos < s.size() && IsBlank(s[pos]))
        ++pos;
    return pos;
}

std::vector<std::string> SplitCommandLine(const std::string& line)
{
    std::vector<std::string> args;
    size_t pos = SkipBlanks(line, 0);
    size_t end = pos;
    while (end < line.size() && !IsBlank(line[end]))
        ++end;
    if (end == pos)
        return args;
    args.push_back(line.substr(pos, end - pos));

    pos = SkipBlanks(line, end);
    const std::string rest = line.substr(pos);
    const bool interpreterSwitch = rest.size() >= 2 && (rest[0] == '-' || rest[0] == '/') &&
                                   rest[1] == 'c' && (rest.size() == 2 || IsBlank(rest[2]));
    if (interpreterSwitch) {
        args.push_back("-c");
        args.push_back(line.substr(SkipBlanks(line, pos + 2)));
        return args;
    }
    while (pos < line.size()) {
        end = pos;
        while (end < line.size() && !IsBlank(line[end]))
            ++end;
        args.push_back(line.substr(pos, end - pos));
        pos = SkipBlanks(line, end);
    }
    return args;
}

// True once the child has been reaped (or can no longer be waited for).
bool Reap(pid_t pid, bool block)
{
    for (;;) {
        const pid_t r = waitpid(pid, nullptr, block ? 0 : WNOHANG);
        if (r == pid)
            return true;
        if (r == 0)
            return false;
        if (errno != EINTR)
            return true; // ECHILD: someone else reaped it, or SIGCHLD is ignored
    }
}

// Waits until the child ends or waitMs pass; true when it was reaped.
bool WaitLimited(pid_t pid, std::uint32_t waitMs)
{
    if (Reap(pid, false))
        return true;
    if (waitMs == 0)
        return false;
    const int pidfd = int(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd < 0) {
        // Without pidfds, poll the child in short steps.
        for (std::uint32_t waited = 0; waited < waitMs; waited += 10) {
            usleep(10 * 1000);
            if (Reap(pid, false))
                return true;
        }
        return false;
    }
    struct pollfd pfd { pidfd, POLLIN, 0 };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        const int r = poll(&pfd, 1, int(std::min<long long>(left.count(), 1 << 30)));
        if (r > 0 || (r < 0 && errno != EINTR))
            break;
    }
    close(pidfd);
    return Reap(pid, false);
}

} // namespace

void RunCommandLine(const char* commandLine, std::uint16_t showState, std::uint32_t waitMs)
{
    if (!commandLine)
        return;
    const std::vector<std::string> args = SplitCommandLine(commandLine);
    if (args.empty())
        return;
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    if (posix_spawn_file_actions_init(&actions) != 0)
        return;
    if (posix_spawnattr_init(&attr) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return;
    }
    if (showState == SW_HIDE) {
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
    }
    // The command must not inherit the capture handles, sockets or files of
    // this process.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    // A blocked or ignored signal here must not stay blocked or ignored in
    // the command.
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    sigdelset(&all, SIGKILL);
    sigdelset(&all, SIGSTOP);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t pid = 0;
    const int rc = posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0)
        return; // not started: nothing to report, the caller finds no output

    if (waitMs == INFINITE) {
        Reap(pid, true);
        return;
    }
    if (!WaitLimited(pid, waitMs)) {
        // The process outlives the wait; someone must still collect its exit
        // status or it lingers as a zombie.
        std::thread([pid] { Reap(pid, true); }).detach();
    }
}
