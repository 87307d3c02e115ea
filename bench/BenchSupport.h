// A small harness for the benchmarks: wall-clock timing with the performance
// counter and a count of the program's heap allocations through operator new.
// BenchSupport.cpp, linked into every benchmark, replaces the global
// allocation functions so that they count.
#pragma once

#include <windows.h>

#include <stdio.h>

#include <atomic>

namespace Bench {

// The heap allocations made through operator new so far.
std::atomic<unsigned long long>& AllocationCount();

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
