#pragma once
// Starts a command line as a separate process and waits for it.
//
// The first word of the command line names the program (a path; it is not
// looked up in PATH). When the rest begins with "-c " (or the Windows-style
// "/c "), the program is a command interpreter and everything after that
// switch is handed to it unchanged as one argument, so the command text needs
// no second level of quoting. Otherwise the remaining words, separated by
// blanks, are the arguments.

#include <cstdint>

// Show states: the process gets no console of its own when hidden, its
// standard streams read from and write to /dev/null (the command line's own
// redirections still apply).
constexpr std::uint16_t SW_HIDE = 0;
constexpr std::uint16_t SW_SHOWNORMAL = 1;

// Wait without a time limit.
constexpr std::uint32_t INFINITE = 0xFFFFFFFF;

// Starts the command line and waits up to waitMs milliseconds for it to end.
// A process still running after the wait goes on by itself (it is reaped in
// the background). When the process cannot be started, nothing is reported:
// the caller notices the missing output.
void RunCommandLine(const char* commandLine, std::uint16_t showState, std::uint32_t waitMs);
