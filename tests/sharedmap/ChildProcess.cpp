#include "ChildProcess.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

int Remaining(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : int(left.count());
}

pid_t Spawn(const std::vector<std::string>& argv, int& in, int& out, int* err)
{
    int inPipe[2], outPipe[2], errPipe[2] = {-1, -1};
    if (pipe2(inPipe, O_CLOEXEC) != 0 || pipe2(outPipe, O_CLOEXEC) != 0 ||
        (err && pipe2(errPipe, O_CLOEXEC) != 0))
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, inPipe[0], 0);
    posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
    if (err)
        posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);

    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(inPipe[0]);
    close(outPipe[1]);
    if (err)
        close(errPipe[1]);
    if (rc != 0) {
        close(inPipe[1]);
        close(outPipe[0]);
        if (err)
            close(errPipe[0]);
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
    }
    // A child that ends before reading its input must not kill us with SIGPIPE.
    signal(SIGPIPE, SIG_IGN);
    in = inPipe[1];
    out = outPipe[0];
    if (err)
        *err = errPipe[0];
    return pid;
}

int StatusOf(int raw)
{
    if (WIFEXITED(raw))
        return WEXITSTATUS(raw);
    if (WIFSIGNALED(raw))
        return 128 + WTERMSIG(raw);
    return -1;
}

} // namespace

TChildProcess::TChildProcess(const std::vector<std::string>& argv)
{
    pid_ = Spawn(argv, in_, out_, nullptr);
}

TChildProcess::~TChildProcess()
{
    if (!status_) {
        Kill(SIGKILL);
        Wait();
    }
    CloseInput();
    if (out_ >= 0)
        close(out_);
}

bool TChildProcess::Fill(int timeoutMs)
{
    if (eof_)
        return false;
    pollfd pfd{out_, POLLIN, 0};
    int rc;
    do
        rc = poll(&pfd, 1, timeoutMs);
    while (rc < 0 && errno == EINTR);
    if (rc <= 0)
        return false;
    char buf[4096];
    const ssize_t n = read(out_, buf, sizeof buf);
    if (n <= 0) {
        eof_ = true;
        return false;
    }
    buffer_.append(buf, size_t(n));
    return true;
}

std::optional<std::string> TChildProcess::ReadLine(int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (const auto nl = buffer_.find('\n'); nl != std::string::npos) {
            std::string line = buffer_.substr(0, nl);
            buffer_.erase(0, nl + 1);
            return line;
        }
        if (!Fill(Remaining(deadline)) && (eof_ || Remaining(deadline) == 0))
            return std::nullopt;
    }
}

std::string TChildProcess::ReadToEnd(int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!eof_ && Remaining(deadline) > 0)
        Fill(Remaining(deadline));
    std::string all;
    all.swap(buffer_);
    return all;
}

void TChildProcess::Write(const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(in_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw std::runtime_error(std::string("write to child: ") + std::strerror(errno));
        done += size_t(n);
    }
}

void TChildProcess::CloseInput()
{
    if (in_ >= 0) {
        close(in_);
        in_ = -1;
    }
}

void TChildProcess::Kill(int signal)
{
    if (!status_)
        kill(pid_, signal);
}

int TChildProcess::Wait()
{
    if (!status_) {
        int raw = 0;
        while (waitpid(pid_, &raw, 0) < 0 && errno == EINTR) {
        }
        status_ = StatusOf(raw);
    }
    return *status_;
}

TRunResult RunProgram(const std::vector<std::string>& argv, const std::string& input, int timeoutMs)
{
    int in = -1, out = -1, err = -1;
    const pid_t pid = Spawn(argv, in, out, &err);
    size_t written = 0;
    if (input.empty()) {
        close(in);
        in = -1;
    }
    TRunResult result;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while ((out >= 0 || err >= 0) && Remaining(deadline) > 0) {
        pollfd pfds[3] = {{out, POLLIN, 0}, {err, POLLIN, 0}, {in, POLLOUT, 0}};
        if (poll(pfds, 3, Remaining(deadline)) < 0 && errno != EINTR)
            break;
        for (int i = 0; i < 2; ++i) {
            int& fd = i == 0 ? out : err;
            if (fd < 0 || !(pfds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buf[4096];
            const ssize_t n = read(fd, buf, sizeof buf);
            if (n > 0) {
                (i == 0 ? result.Out : result.Err).append(buf, size_t(n));
            } else if (n == 0 || errno != EINTR) {
                close(fd);
                fd = -1;
            }
        }
        if (in >= 0 && (pfds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
            const ssize_t n = write(in, input.data() + written, input.size() - written);
            if (n > 0)
                written += size_t(n);
            if (n < 0 || written == input.size()) {
                close(in);
                in = -1;
            }
        }
    }
    for (int fd : {in, out, err})
        if (fd >= 0)
            close(fd);
    if (Remaining(deadline) == 0)
        kill(pid, SIGKILL);
    int raw = 0;
    while (waitpid(pid, &raw, 0) < 0 && errno == EINTR) {
    }
    result.Status = StatusOf(raw);
    return result;
}
