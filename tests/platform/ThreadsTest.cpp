#include "platform/Threads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

class LambdaThread : public TThread {
public:
    explicit LambdaThread(std::function<void(LambdaThread&)> body) : body_(std::move(body)) {}
    using TThread::Synchronize;

protected:
    void Execute() override { body_(*this); }

private:
    std::function<void(LambdaThread&)> body_;
};

TEST(Threads, SynchronizeRunsOnTheMainThreadInOrder)
{
    const auto mainId = std::this_thread::get_id();
    std::vector<int> order;
    bool allOnMain = true;
    LambdaThread t([&](LambdaThread& self) {
        for (int i = 0; i < 100; ++i)
            self.Synchronize([&, i] {
                allOnMain = allOnMain && std::this_thread::get_id() == mainId;
                order.push_back(i);
            });
    });
    bool terminatedOnMain = false;
    t.OnTerminate = [&](TObject*) { terminatedOnMain = std::this_thread::get_id() == mainId; };
    t.Resume();
    t.WaitFor(); // serves the hand-overs while it waits
    ASSERT_EQ(order.size(), 100u);
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(order[size_t(i)], i);
    EXPECT_TRUE(allOnMain);
    EXPECT_TRUE(terminatedOnMain);
    EXPECT_TRUE(t.Finished());
}

TEST(Threads, ExceptionOnTheMainThreadReturnsToTheCaller)
{
    std::string caught;
    LambdaThread t([&](LambdaThread& self) {
        try {
            self.Synchronize([] { throw EConvertError("boom"); });
        } catch (const EConvertError& e) {
            caught = e.Message();
        }
        self.Synchronize([] { throw Exception("ends the body"); });
    });
    t.Resume();
    t.WaitFor();
    EXPECT_EQ(caught, "boom");
    ASSERT_TRUE(t.FatalException());
    try {
        std::rethrow_exception(t.FatalException());
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "ends the body");
    }
}

TEST(Threads, TerminateRequestAndDestructorStopTheBody)
{
    std::atomic<int> loops{0};
    auto t = std::make_unique<LambdaThread>([&](LambdaThread& self) {
        while (!self.Terminated()) {
            ++loops;
            self.Synchronize([] {});
        }
    });
    t->Resume();
    ASSERT_TRUE(MainThread::WaitUntil([&] { return loops.load() > 10; }, 5000));
    t.reset(); // terminates and waits, serving the pending hand-over
    const int after = loops.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(loops.load(), after);
}

TEST(Threads, FreeOnTerminateThreadDeletesItselfAfterItsHandler)
{
    static std::atomic<int> destroyed;
    destroyed = 0;
    struct Counted : LambdaThread {
        using LambdaThread::LambdaThread;
        ~Counted() override { ++destroyed; }
    };
    bool ended = false;
    auto* t = new Counted([](LambdaThread&) {});
    t->FreeOnTerminate = true;
    t->OnTerminate = [&](TObject*) { ended = true; };
    t->Resume();
    ASSERT_TRUE(MainThread::WaitUntil([&] { return ended && destroyed.load() == 1; }, 5000));
}

TEST(Threads, ANeverStartedThreadIsDestroyedQuietly)
{
    bool ran = false;
    {
        LambdaThread t([&](LambdaThread&) { ran = true; });
    }
    EXPECT_FALSE(ran);
}

TEST(Threads, WaitUntilGivesUpAtItsTimeOut)
{
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(MainThread::WaitUntil([] { return false; }, 50));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
}

} // namespace
