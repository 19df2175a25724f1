#include "platform/Threads.h"

#include "platform/Application.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>

namespace {

struct Dispatcher {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::function<void()>> queue;
    std::function<void()> wakeHook;
    std::thread::id mainId = std::this_thread::get_id();
};

Dispatcher& D()
{
    // Constructed during static initialisation, that is on the main thread,
    // unless a program calls MainThread::Init from elsewhere. Never destroyed:
    // threads that are still running while the program exits may touch it.
    static Dispatcher* d = new Dispatcher;
    return *d;
}

[[maybe_unused]] const bool g_dispatcherReady = (D(), true);

} // namespace

namespace MainThread {

void Init()
{
    std::lock_guard lock(D().mutex);
    D().mainId = std::this_thread::get_id();
}

bool IsCurrent()
{
    std::lock_guard lock(D().mutex);
    return D().mainId == std::this_thread::get_id();
}

void Post(std::function<void()> call)
{
    std::function<void()> hook;
    {
        std::lock_guard lock(D().mutex);
        D().queue.push_back(std::move(call));
        hook = D().wakeHook;
    }
    D().changed.notify_all();
    if (hook)
        hook();
}

size_t ProcessPending()
{
    size_t ran = 0;
    for (;;) {
        std::function<void()> call;
        {
            std::lock_guard lock(D().mutex);
            if (D().queue.empty())
                break;
            call = std::move(D().queue.front());
            D().queue.pop_front();
        }
        ++ran;
        try {
            call();
        } catch (const std::exception& e) {
            Application().ShowException(e);
        }
    }
    return ran;
}

void SetWakeHook(std::function<void()> hook)
{
    std::lock_guard lock(D().mutex);
    D().wakeHook = std::move(hook);
}

void Notify()
{
    { std::lock_guard lock(D().mutex); }
    D().changed.notify_all();
}

bool WaitUntil(const std::function<bool()>& done, int timeoutMs)
{
    using Clock = std::chrono::steady_clock;
    const bool serving = IsCurrent();
    const auto deadline = timeoutMs < 0 ? Clock::time_point::max()
                                        : Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (serving)
            ProcessPending();
        if (done())
            return true;
        std::unique_lock lock(D().mutex);
        if (serving && !D().queue.empty())
            continue;
        if (Clock::now() >= deadline)
            return done();
        // The short slice only guards against a condition that changes
        // without a Notify; every Post and Notify wakes us at once.
        auto until = std::min(deadline, Clock::now() + std::chrono::milliseconds(20));
        D().changed.wait_until(lock, until);
    }
}

} // namespace MainThread

TThread::TThread() = default;

TThread::~TThread()
{
    if (!thread_.joinable())
        return;
    if (thread_.get_id() == std::this_thread::get_id()) {
        // A free-on-terminate thread deletes itself at the end of its body.
        thread_.detach();
        return;
    }
    Terminate();
    WaitFor();
    thread_.join();
}

void TThread::Resume()
{
    if (started_)
        return;
    started_ = true;
    thread_ = std::thread([this] { Run(); });
}

void TThread::Terminate() { terminated_.store(true, std::memory_order_release); }

void TThread::WaitFor()
{
    if (!started_)
        return;
    MainThread::WaitUntil([this] { return Finished(); });
}

void TThread::Synchronize(const std::function<void()>& call)
{
    if (MainThread::IsCurrent()) {
        call();
        return;
    }
    struct State {
        std::atomic<bool> done{false};
        std::exception_ptr error;
    };
    auto state = std::make_shared<State>();
    MainThread::Post([state, &call] {
        try {
            call();
        } catch (...) {
            state->error = std::current_exception();
        }
        state->done.store(true, std::memory_order_release);
        MainThread::Notify();
    });
    MainThread::WaitUntil([&state] { return state->done.load(std::memory_order_acquire); });
    if (state->error)
        std::rethrow_exception(state->error);
}

void TThread::Run()
{
    try {
        Execute();
    } catch (...) {
        fatal_ = std::current_exception();
    }
    if (OnTerminate) {
        try {
            Synchronize([this] { OnTerminate(this); });
        } catch (const std::exception& e) {
            Synchronize([msg = std::string(e.what())] { Application().ShowException(Exception(msg)); });
        }
    }
    const bool freeSelf = FreeOnTerminate;
    if (freeSelf) {
        delete this;
        return;
    }
    finished_.store(true, std::memory_order_release);
    MainThread::Notify();
}
