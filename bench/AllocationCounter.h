// Counts the heap allocations of each thread, by replacing the global operator new of the
// program that links it.
#pragma once

#include <cstdint>

uint64_t AllocationsOnThisThread() noexcept;
