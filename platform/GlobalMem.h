// Global heap blocks: zero-filled, 16-byte aligned. Failure throws EOutOfMemory.
#pragma once

#include <cstddef>
#include <stdexcept>

class EOutOfMemory : public std::runtime_error {
public:
    EOutOfMemory() : std::runtime_error("Out of memory") {}
};

// Returns a zero-filled block of at least `size` bytes (a block of one byte for size 0).
void* GlobalAllocMem(std::size_t size);

// Frees a block from GlobalAllocMem and clears the pointer; nullptr is ignored.
void GlobalFreeMem(void*& block);

template <typename T> T* GlobalAllocTyped(std::size_t size) {
    return static_cast<T*>(GlobalAllocMem(size));
}

template <typename T> void GlobalFreeTyped(T*& block) {
    void* raw = block;
    GlobalFreeMem(raw);
    block = nullptr;
}
