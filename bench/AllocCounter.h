// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once
// Counts the process's heap allocations: malloc, calloc and realloc are
// interposed by the benchmark binary (operator new goes through malloc), so
// a benchmark can report the allocations its loop made per iteration.

#include <cstdint>

// Allocations since the process started.
uint64_t AllocCount();
