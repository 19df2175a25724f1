#include "platform/Application.h"
#include "platform/QtMainThread.h"
#include "platform/Threads.h"
#include "platform/Timer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <gtest/gtest.h>

namespace {

class TimerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        static int argc = 1;
        static char name[] = "timer_test";
        static char* argv[] = {name, nullptr};
        static QCoreApplication app(argc, argv);
        InstallQtMainThread();
    }

    // Runs the event loop until done() or the time-out.
    static bool Spin(const std::function<bool()>& done, int timeoutMs)
    {
        QElapsedTimer clock;
        clock.start();
        while (!done() && clock.elapsed() < timeoutMs)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
        return done();
    }
};

TEST_F(TimerTest, TicksOnlyWhileEnabled)
{
    TTimer timer;
    EXPECT_FALSE(timer.Enabled());
    EXPECT_EQ(timer.Interval(), 1000);
    int ticks = 0;
    timer.OnTimer = [&](TObject* sender) {
        EXPECT_EQ(sender, &timer);
        ++ticks;
    };
    timer.SetInterval(10);
    EXPECT_FALSE(Spin([&] { return ticks > 0; }, 100));
    timer.SetEnabled(true);
    EXPECT_TRUE(Spin([&] { return ticks >= 3; }, 5000));
    timer.SetEnabled(false);
    const int seen = ticks;
    Spin([] { return false; }, 50);
    EXPECT_EQ(ticks, seen);
}

TEST_F(TimerTest, HandlerErrorsGoToTheErrorReport)
{
    std::string reported;
    Application().SetErrorHandler([&](const std::string&, const std::string& text) { reported = text; });
    TTimer timer;
    timer.OnTimer = [](TObject*) { throw Exception("tick failed"); };
    timer.Tick();
    EXPECT_EQ(reported, "tick failed");
    Application().SetErrorHandler(nullptr);
}

TEST_F(TimerTest, PostedCallsRunFromTheEventLoop)
{
    bool ran = false;
    std::thread worker([&] { MainThread::Post([&] { ran = true; }); });
    worker.join();
    EXPECT_TRUE(Spin([&] { return ran; }, 5000));
}

} // namespace
