#include "bench/BenchSupport.h"

#include <cstdlib>
#include <new>

namespace Bench {

std::atomic<unsigned long long>& AllocationCount() {
    static std::atomic<unsigned long long> count{0};
    return count;
}

}  // namespace Bench

void* operator new(size_t size) {
    Bench::AllocationCount().fetch_add(1, std::memory_order_relaxed);
    if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
    throw std::bad_alloc();
}
void* operator new[](size_t size) { return ::operator new(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    Bench::AllocationCount().fetch_add(1, std::memory_order_relaxed);
    return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](size_t size, const std::nothrow_t& tag) noexcept {
    return ::operator new(size, tag);
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, size_t) noexcept { std::free(block); }
void operator delete[](void* block, size_t) noexcept { std::free(block); }
