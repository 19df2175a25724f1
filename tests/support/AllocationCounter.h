#pragma once

#include <functional>

// Counts the allocations through the global operator new while fn runs.
// Linking this replaces operator new for the whole test program, so it goes
// into programs of their own.
long CountAllocations(const std::function<void()>& fn);
