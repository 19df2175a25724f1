#pragma once
// Connects the main-thread hand-over of platform/Threads.h to the Qt event
// loop of the calling (main) thread: calls posted by worker threads then run
// from that loop. Needs a QCoreApplication; call once after creating it.

void InstallQtMainThread();
