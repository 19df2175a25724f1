#pragma once
// Threads with a hand-over to the main thread.
//
// The main thread is the one that runs the event loop (the thread that
// initialised the program, or the one that called MainThread::Init).  Worker
// threads hand calls to it with TThread::Synchronize and wait for them; the
// main thread runs them from its event loop (see QtMainThread.h), or from
// TThread::WaitFor while it waits for a thread to end.  No general nested
// event loop ever runs inside such a wait.

#include "platform/SysUtils.h"

#include <atomic>
#include <exception>
#include <functional>
#include <thread>

namespace MainThread {

// Makes the calling thread the main thread.
void Init();
bool IsCurrent();

// Queues a call for the main thread and wakes it.
void Post(std::function<void()> call);

// Runs the calls queued so far, in order. Main thread only. Returns how many ran.
size_t ProcessPending();

// Called after every Post, on the posting thread: lets an event loop know
// that calls are waiting.
void SetWakeHook(std::function<void()> hook);

// Main thread: blocks until done() is true, running queued calls meanwhile.
// Other threads: blocks until done() is true.
// done() is tested again after every Post and every Notify. With a time-out
// (milliseconds, -1 for none) it gives up then. Returns done().
bool WaitUntil(const std::function<bool()>& done, int timeoutMs = -1);

// Wakes the waiters of WaitUntil so that they test their condition again.
void Notify();

} // namespace MainThread

class TThread : public TObject {
public:
    // The body does not run before Resume.
    TThread();
    // Asks the body to stop and waits for it (serving hand-overs meanwhile
    // on the main thread), unless called by the thread itself.
    ~TThread() override;

    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    // Starts the body; a second call does nothing.
    void Resume();
    // Sets the terminate request; the body polls Terminated().
    void Terminate();
    bool Terminated() const { return terminated_.load(std::memory_order_acquire); }
    // Waits until the body has ended and the termination handler has run.
    void WaitFor();
    bool Finished() const { return finished_.load(std::memory_order_acquire); }
    bool Started() const { return started_; }

    // The exception that ended the body, if any.
    std::exception_ptr FatalException() const { return fatal_; }

    // The object deletes itself once the body and OnTerminate are done.
    // Its creator must not touch it after Resume.
    bool FreeOnTerminate = false;
    // Runs on the main thread after the body has ended, whatever the reason.
    std::function<void(TObject* sender)> OnTerminate;

protected:
    virtual void Execute() = 0;
    // Runs call on the main thread while this thread waits. An exception
    // raised there is thrown again here.
    void Synchronize(const std::function<void()>& call);

private:
    void Run();

    std::thread thread_;
    std::atomic<bool> terminated_{false};
    std::atomic<bool> finished_{false};
    bool started_ = false;
    std::exception_ptr fatal_;
};
