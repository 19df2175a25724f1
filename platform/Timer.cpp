#include "platform/Timer.h"

#include "platform/Application.h"

#include <QTimer>

TTimer::TTimer() : timer_(std::make_unique<QTimer>())
{
    timer_->setTimerType(Qt::PreciseTimer);
    QObject::connect(timer_.get(), &QTimer::timeout, [this] { Tick(); });
}

TTimer::~TTimer() = default;

void TTimer::SetEnabled(bool enabled)
{
    if (enabled == enabled_)
        return;
    enabled_ = enabled;
    Update();
}

void TTimer::SetInterval(int milliseconds)
{
    if (milliseconds == interval_)
        return;
    interval_ = milliseconds;
    Update();
}

void TTimer::Update()
{
    timer_->stop();
    if (enabled_ && interval_ > 0)
        timer_->start(interval_);
}

void TTimer::Tick()
{
    if (OnTimer)
        Application().HandleExceptions([this] { OnTimer(this); });
}
