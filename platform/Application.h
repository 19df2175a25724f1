#pragma once
// The application object: its title, its terminated flag and its default
// error report.  The user interface installs how messages are shown; without
// one they go to standard error.

#include <exception>
#include <functional>
#include <string>

class TApplication {
public:
    using MessageHandler = std::function<void(const std::string& title, const std::string& text)>;

    std::string Title = "Varno";

    // Set once the application is asked to end; reader threads test it.
    bool Terminated() const;
    // Asks the application to end: sets the flag and runs the quit hook.
    void Terminate();
    // For tests and tools that run several sessions in one process.
    void ResetTerminated();

    // The default error report for an exception that left a handler.
    void ShowException(const std::exception& e);
    // A plain message box with an OK button.
    void ShowMessage(const std::string& text);

    // Runs fn; an exception that leaves it goes to ShowException.
    void HandleExceptions(const std::function<void()>& fn);

    void SetErrorHandler(MessageHandler handler);
    void SetMessageHandler(MessageHandler handler);
    void SetQuitHook(std::function<void()> hook);

private:
    MessageHandler errorHandler_;
    MessageHandler messageHandler_;
    std::function<void()> quitHook_;
};

TApplication& Application();
