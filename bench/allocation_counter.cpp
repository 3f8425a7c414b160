#include "allocation_counter.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace velkor::bench {
namespace {

std::atomic<std::uint64_t> counted{0};
thread_local int inside_device = 0;

void *allocate(std::size_t size, std::size_t alignment) {
    if (inside_device == 0) counted.fetch_add(1, std::memory_order_relaxed);
    if (size == 0) size = 1;
    void *block = alignment <= alignof(std::max_align_t)
                      ? std::malloc(size)
                      : std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment);
    if (block == nullptr) throw std::bad_alloc();
    return block;
}

}  // namespace

std::uint64_t allocations() { return counted.load(std::memory_order_relaxed); }

DeviceAllocations::DeviceAllocations() { ++inside_device; }
DeviceAllocations::~DeviceAllocations() { --inside_device; }

}  // namespace velkor::bench

using velkor::bench::allocate;

void *operator new(std::size_t size) { return allocate(size, alignof(std::max_align_t)); }
void *operator new[](std::size_t size) { return allocate(size, alignof(std::max_align_t)); }
void *operator new(std::size_t size, std::align_val_t a) { return allocate(size, static_cast<std::size_t>(a)); }
void *operator new[](std::size_t size, std::align_val_t a) { return allocate(size, static_cast<std::size_t>(a)); }
void *operator new(std::size_t size, const std::nothrow_t &) noexcept {
    try { return allocate(size, alignof(std::max_align_t)); } catch (...) { return nullptr; }
}
void *operator new[](std::size_t size, const std::nothrow_t &) noexcept {
    try { return allocate(size, alignof(std::max_align_t)); } catch (...) { return nullptr; }
}
void operator delete(void *p) noexcept { std::free(p); }
void operator delete[](void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }
void operator delete[](void *p, std::size_t) noexcept { std::free(p); }
void operator delete(void *p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void *p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void *p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void *p, std::size_t, std::align_val_t) noexcept { std::free(p); }
