// SPDX-License-Identifier: GPL-2.0-or-later
// Interposed malloc, calloc and realloc that count calls and hand over to
// the C library's versions, found with dlsym(RTLD_NEXT). dlsym itself may
// allocate while the real functions are still being looked up; those few
// early requests are served from a small static arena that is never freed.

#include "AllocCounter.h"

#include <atomic>
#include <cstddef>
#include <cstring>
#include <dlfcn.h>

namespace {

using MallocFn = void *(*)(std::size_t);
using CallocFn = void *(*)(std::size_t, std::size_t);
using ReallocFn = void *(*)(void *, std::size_t);
using FreeFn = void (*)(void *);

MallocFn g_realMalloc = nullptr;
CallocFn g_realCalloc = nullptr;
ReallocFn g_realRealloc = nullptr;
FreeFn g_realFree = nullptr;
std::atomic<uint64_t> g_allocs{0};

constexpr std::size_t kBootArenaSize = 16384;
constexpr std::size_t kBootAlign = alignof(std::max_align_t);
alignas(kBootAlign) unsigned char g_bootArena[kBootArenaSize];
std::size_t g_bootUsed = 0;
bool g_resolving = false;

bool InBootArena(const void *p) {
    const auto *c = static_cast<const unsigned char *>(p);
    return c >= g_bootArena && c < g_bootArena + kBootArenaSize;
}

// Zeroed bytes from the arena, or null when it is used up.
void *BootAlloc(std::size_t size) {
    const std::size_t rounded = (size + kBootAlign - 1) / kBootAlign * kBootAlign;
    if (rounded > kBootArenaSize - g_bootUsed)
        return nullptr;
    void *p = g_bootArena + g_bootUsed;
    g_bootUsed += rounded;
    return p;
}

void Resolve() {
    if (g_realMalloc != nullptr || g_resolving)
        return;
    g_resolving = true;
    g_realMalloc = reinterpret_cast<MallocFn>(dlsym(RTLD_NEXT, "malloc"));
    g_realCalloc = reinterpret_cast<CallocFn>(dlsym(RTLD_NEXT, "calloc"));
    g_realRealloc = reinterpret_cast<ReallocFn>(dlsym(RTLD_NEXT, "realloc"));
    g_realFree = reinterpret_cast<FreeFn>(dlsym(RTLD_NEXT, "free"));
    g_resolving = false;
}

} // namespace

uint64_t AllocCount() {
    return g_allocs.load(std::memory_order_relaxed);
}

extern "C" {

void *malloc(std::size_t size) {
    Resolve();
    if (g_realMalloc == nullptr)
        return BootAlloc(size);
    g_allocs.fetch_add(1, std::memory_order_relaxed);
    return g_realMalloc(size);
}

void *calloc(std::size_t n, std::size_t size) {
    Resolve();
    if (g_realCalloc == nullptr) {
        if (size != 0 && n > kBootArenaSize / size)
            return nullptr;
        return BootAlloc(n * size); // the arena is static, hence zeroed
    }
    g_allocs.fetch_add(1, std::memory_order_relaxed);
    return g_realCalloc(n, size);
}

void *realloc(void *p, std::size_t size) {
    Resolve();
    if (p != nullptr && InBootArena(p)) {
        // Arena blocks do not know their size; copy what can be there.
        void *fresh = malloc(size);
        if (fresh != nullptr) {
            const std::size_t avail =
                kBootArenaSize -
                static_cast<std::size_t>(static_cast<unsigned char *>(p) - g_bootArena);
            std::memcpy(fresh, p, size < avail ? size : avail);
        }
        return fresh;
    }
    if (g_realRealloc == nullptr)
        return BootAlloc(size);
    g_allocs.fetch_add(1, std::memory_order_relaxed);
    return g_realRealloc(p, size);
}

void free(void *p) {
    if (p == nullptr || InBootArena(p))
        return;
    Resolve();
    if (g_realFree != nullptr)
        g_realFree(p);
}

} // extern "C"
