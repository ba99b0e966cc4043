// Heap allocations of one chosen thread, counted by replacing the malloc family
// (operator new ends in malloc, so it is counted too). Linking alloc_count.cpp
// into a program replaces its allocator entry points for the whole process.
#pragma once

#include <cstdint>

namespace alloc_count {

// Count the allocations made on thread `tid` from now on (0: count none).
void Watch(long tid);
// Allocations counted since the last Watch().
uint64_t Watched();
// Allocations made by all threads together since the program started.
uint64_t All();
// The calling thread's kernel thread id.
long Tid();

} // namespace alloc_count
