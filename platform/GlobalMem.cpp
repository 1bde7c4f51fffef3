#include "platform/GlobalMem.h"

#include <cstdlib>
#include <cstring>

void* GlobalAllocMem(std::size_t size) {
    constexpr std::size_t alignment = 16;
    std::size_t rounded = (size == 0 ? 1 : size);
    if (rounded > SIZE_MAX - alignment)
        throw EOutOfMemory();
    rounded = (rounded + alignment - 1) / alignment * alignment;
    void* block = std::aligned_alloc(alignment, rounded);
    if (block == nullptr)
        throw EOutOfMemory();
    std::memset(block, 0, rounded);
    return block;
}

void GlobalFreeMem(void*& block) {
    std::free(block);
    block = nullptr;
}
