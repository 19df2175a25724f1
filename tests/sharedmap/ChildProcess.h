#pragma once
// A second real process for the cross-process tests: spawned with pipes on
// its standard input and output, its standard error passed through.

#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

class TChildProcess {
public:
    explicit TChildProcess(const std::vector<std::string>& argv);
    // Kills the child if it still runs, and reaps it.
    ~TChildProcess();

    TChildProcess(const TChildProcess&) = delete;
    TChildProcess& operator=(const TChildProcess&) = delete;

    pid_t Pid() const { return pid_; }

    // The next line of its output without the line end; nothing on end of
    // output or when timeoutMs passes first.
    std::optional<std::string> ReadLine(int timeoutMs = 10000);
    // Everything it still writes, up to the end of its output.
    std::string ReadToEnd(int timeoutMs = 30000);
    void Write(const std::string& text);
    void CloseInput();

    void Kill(int signal);
    // Waits for the end: the exit status, or 128 + the signal that ended it.
    int Wait();

private:
    bool Fill(int timeoutMs);

    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    std::string buffer_;
    bool eof_ = false;
    std::optional<int> status_;
};

struct TRunResult {
    int Status = -1;
    std::string Out;
    std::string Err;
};

// Runs a program to its end with the given input; its output and error text
// are collected.
TRunResult RunProgram(const std::vector<std::string>& argv, const std::string& input = {},
                      int timeoutMs = 60000);
