#include "bench/heap_counter.h"

#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<int64_t> g_bytes{0};
}

int64_t heap_bytes() {
    return g_bytes.load(std::memory_order_relaxed);
}

void* operator new(size_t size) {
    void* ptr = std::malloc(size == 0 ? 1 : size);
    if (ptr == nullptr)
        throw std::bad_alloc();
    g_bytes.fetch_add(static_cast<int64_t>(malloc_usable_size(ptr)), std::memory_order_relaxed);
    return ptr;
}

void operator delete(void* ptr) noexcept {
    if (ptr == nullptr)
        return;
    g_bytes.fetch_sub(static_cast<int64_t>(malloc_usable_size(ptr)), std::memory_order_relaxed);
    std::free(ptr);
}

void operator delete(void* ptr, size_t) noexcept {
    operator delete(ptr);
}
