#pragma once
// Runs a program as a separate process and collects what it wrote and how it
// ended. For tests that exercise the real executables.

#include <cstdio>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

struct ProcessResult {
    int ExitStatus = -1; // -1 when the process did not exit normally
    std::string Out;
    std::string Err;
};

inline std::string ReadWholeFile(const std::string& path)
{
    std::string text;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
            text.append(buffer, n);
        std::fclose(f);
    }
    return text;
}

inline ProcessResult RunProcess(const std::vector<std::string>& argv)
{
    char outName[] = "/tmp/varno-run-out-XXXXXX";
    char errName[] = "/tmp/varno-run-err-XXXXXX";
    const int outFd = mkstemp(outName);
    const int errFd = mkstemp(errName);
    ProcessResult result;
    if (outFd < 0 || errFd < 0)
        return result;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, outFd, 1);
    posix_spawn_file_actions_adddup2(&actions, errFd, 2);
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) == 0) {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0) {
        }
        if (WIFEXITED(status))
            result.ExitStatus = WEXITSTATUS(status);
    }
    posix_spawn_file_actions_destroy(&actions);
    close(outFd);
    close(errFd);
    result.Out = ReadWholeFile(outName);
    result.Err = ReadWholeFile(errName);
    unlink(outName);
    unlink(errName);
    return result;
}
