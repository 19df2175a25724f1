#include "platform/QtMainThread.h"

#include "platform/Threads.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <atomic>

void InstallQtMainThread()
{
    static std::atomic<bool> queued{false};
    MainThread::Init();
    QObject* target = QCoreApplication::instance();
    MainThread::SetWakeHook([target] {
        // One queued call drains everything posted before it runs.
        if (queued.exchange(true))
            return;
        QMetaObject::invokeMethod(
            target,
            [] {
                queued.store(false);
                MainThread::ProcessPending();
            },
            Qt::QueuedConnection);
    });
    MainThread::ProcessPending();
}
