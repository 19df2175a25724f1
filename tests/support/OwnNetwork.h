#pragma once

// Moves the calling process into a network namespace of its own with only
// loopback, up. Call it before any thread exists (a global test environment),
// so every thread and every command the tests start inherit it: nothing can
// leave the machine, and adapters that other tests add and remove are not seen.
void EnterOwnNetworkNamespace();
