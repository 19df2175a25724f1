#include "capture/SnoopMemory.h"

TSnoopMemory::~TSnoopMemory() { Clear(); }

void TSnoopMemory::Clear()
{
    while (FirstBlock) {
        TSnoopMemoryBlock* next = FirstBlock->Next;
        delete FirstBlock;
        FirstBlock = next;
    }
    BlockCount = 0;
}
