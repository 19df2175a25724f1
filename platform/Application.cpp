#include "platform/Application.h"

#include <atomic>
#include <cstdio>

namespace {
std::atomic<bool> g_terminated{false};
}

TApplication& Application()
{
    static TApplication app;
    return app;
}

bool TApplication::Terminated() const { return g_terminated.load(std::memory_order_acquire); }

void TApplication::Terminate()
{
    g_terminated.store(true, std::memory_order_release);
    if (quitHook_)
        quitHook_();
}

void TApplication::ResetTerminated() { g_terminated.store(false, std::memory_order_release); }

void TApplication::ShowException(const std::exception& e)
{
    if (errorHandler_)
        errorHandler_(Title, e.what());
    else
        std::fprintf(stderr, "%s: %s\n", Title.c_str(), e.what());
}

void TApplication::ShowMessage(const std::string& text)
{
    if (messageHandler_)
        messageHandler_(Title, text);
    else
        std::fprintf(stderr, "%s: %s\n", Title.c_str(), text.c_str());
}

void TApplication::HandleExceptions(const std::function<void()>& fn)
{
    try {
        fn();
    } catch (const std::exception& e) {
        ShowException(e);
    }
}

void TApplication::SetErrorHandler(MessageHandler handler) { errorHandler_ = std::move(handler); }
void TApplication::SetMessageHandler(MessageHandler handler) { messageHandler_ = std::move(handler); }
void TApplication::SetQuitHook(std::function<void()> hook) { quitHook_ = std::move(hook); }
