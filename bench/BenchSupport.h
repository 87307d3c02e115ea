// A small harness for the benchmarks: wall-clock timing with the performance
// counter and a count of the program's heap allocations through operator new.
// Include it in exactly one translation unit of a benchmark program: it
// replaces the global allocation functions.
#pragma once

#include <windows.h>

#include <stdio.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace Bench {

inline std::atomic<unsigned long long>& AllocationCount() {
    static std::atomic<unsigned long long> count{0};
    return count;
}

// Nanoseconds per call of `body` over `iterations` calls.
template <typename Body>
double NanosecondsPerCall(unsigned long iterations, Body&& body) {
    LARGE_INTEGER frequency, start, stop;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&start);
    for (unsigned long i = 0; i < iterations; ++i) body();
    ::QueryPerformanceCounter(&stop);
    return static_cast<double>(stop.QuadPart - start.QuadPart) * 1e9 /
           static_cast<double>(frequency.QuadPart) / static_cast<double>(iterations);
}

// Heap allocations made by `iterations` calls of `body`, per call.
template <typename Body>
double AllocationsPerCall(unsigned long iterations, Body&& body) {
    const unsigned long long before = AllocationCount().load();
    for (unsigned long i = 0; i < iterations; ++i) body();
    return static_cast<double>(AllocationCount().load() - before) / static_cast<double>(iterations);
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
