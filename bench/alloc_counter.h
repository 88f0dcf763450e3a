#pragma once

// Heap allocations counted by replacing the global operator new in the benchmark program
// (alloc_counter.cpp is compiled into every benchmark executable). Each thread counts its own,
// so a background thread's allocations do not land on the threads being measured.

#include <cstdint>

#include <benchmark/benchmark.h>

std::uint64_t ThreadAllocations();

// Sets the counter "allocs" to the calling thread's allocations per iteration since `start`
// (a reading of ThreadAllocations() taken before the timed loop).
void ReportAllocations(benchmark::State& state, std::uint64_t start);
