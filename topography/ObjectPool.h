#pragma once
// Storage for many objects of one size: a million hosts and as many host pairs
// come and go in a busy capture. Objects are carved from large blocks, kept on
// a free list when deleted, and never handed back to the system. The blocks
// ask for huge pages, so a large picture costs few page faults, and objects
// carry no allocator header.
//
// Under AddressSanitizer objects come from the ordinary heap, so that the
// sanitizer keeps watching them.

#include <cstddef>
#include <mutex>

class TObjectPool {
public:
    explicit TObjectPool(std::size_t ObjectSize);

    TObjectPool(const TObjectPool&) = delete;
    TObjectPool& operator=(const TObjectPool&) = delete;

    std::size_t ObjectSize() const { return FObjectSize; }

    // Room for one object of ObjectSize bytes; throws std::bad_alloc.
    void* Allocate();
    // Takes back room that Allocate gave.
    void Free(void* Object) noexcept;

private:
    struct TFreeObject {
        TFreeObject* Next;
    };

    const std::size_t FObjectSize;
    std::mutex FLock;
    TFreeObject* FFree = nullptr;
    char* FNext = nullptr;
    char* FEnd = nullptr;
};
