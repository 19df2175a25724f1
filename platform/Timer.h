#pragma once
// A timer whose handler runs on the main thread from the Qt event loop.
// It starts disabled.
// Enabling a disabled timer starts a fresh interval. An exception that leaves
// the handler goes to the application's error report.

#include "platform/SysUtils.h"

#include <functional>
#include <memory>

class QTimer;

class TTimer : public TObject {
public:
    TTimer();
    ~TTimer() override;

    bool Enabled() const { return enabled_; }
    void SetEnabled(bool enabled);
    int Interval() const { return interval_; }
    void SetInterval(int milliseconds);

    std::function<void(TObject* sender)> OnTimer;

    // Runs the handler now, as a tick would (for tests and for callers that
    // drive periods by hand).
    void Tick();

private:
    void Update();

    std::unique_ptr<QTimer> timer_;
    bool enabled_ = false;
    int interval_ = 1000;
};
