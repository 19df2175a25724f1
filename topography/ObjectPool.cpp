#include "topography/ObjectPool.h"

#include <sys/mman.h>

#include <new>

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool UseBlocks = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool UseBlocks = false;
#else
constexpr bool UseBlocks = true;
#endif
#else
constexpr bool UseBlocks = true;
#endif

// One huge page.
constexpr std::size_t BlockSize = std::size_t(2) << 20;

std::size_t Rounded(std::size_t size)
{
    const std::size_t align = alignof(std::max_align_t);
    return (size + align - 1) / align * align;
}

} // namespace

TObjectPool::TObjectPool(std::size_t ObjectSize) : FObjectSize(Rounded(ObjectSize < sizeof(TFreeObject) ? sizeof(TFreeObject) : ObjectSize))
{
}

void* TObjectPool::Allocate()
{
    if (!UseBlocks)
        return ::operator new(FObjectSize);
    std::lock_guard<std::mutex> lock(FLock);
    if (FFree) {
        TFreeObject* object = FFree;
        FFree = object->Next;
        return object;
    }
    if (FNext == nullptr || std::size_t(FEnd - FNext) < FObjectSize) {
        void* block = mmap(nullptr, BlockSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (block == MAP_FAILED)
            throw std::bad_alloc();
        // Only a hint: without huge pages the block works all the same.
        madvise(block, BlockSize, MADV_HUGEPAGE);
        FNext = static_cast<char*>(block);
        FEnd = FNext + BlockSize;
    }
    void* object = FNext;
    FNext += FObjectSize;
    return object;
}

void TObjectPool::Free(void* Object) noexcept
{
    if (!Object)
        return;
    if (!UseBlocks) {
        ::operator delete(Object);
        return;
    }
    std::lock_guard<std::mutex> lock(FLock);
    auto* free = static_cast<TFreeObject*>(Object);
    free->Next = FFree;
    FFree = free;
}
