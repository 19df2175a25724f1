#pragma once
// A chain of memory blocks that can be freed all at once.

#include <cstdint>
#include <vector>

struct TSnoopMemoryBlock {
    TSnoopMemoryBlock* Next = nullptr;
    std::vector<std::uint8_t> Data;
};

class TSnoopMemory {
public:
    TSnoopMemory() = default;
    ~TSnoopMemory();

    TSnoopMemory(const TSnoopMemory&) = delete;
    TSnoopMemory& operator=(const TSnoopMemory&) = delete;

    // Frees every block of the chain.
    void Clear();

    // Head of the chain; the blocks belong to this object.
    TSnoopMemoryBlock* FirstBlock = nullptr;
    std::int32_t BlockCount = 0;
};
