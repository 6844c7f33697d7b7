/*
 * The simulated memory of a 32-bit program: GlobalAlloc blocks, counted,
 * filled with garbage, and poisoned once freed.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <sanitizer/asan_interface.h>

#include "platform/sim/sim_state.h"

namespace sim {

bool Given(const void *p, size_t count, bool orResource)
{
    const char *c = static_cast<const char *>(p);
    auto within = [&](const void *start, size_t size) {
        return c >= static_cast<const char *>(start) && c + count <= static_cast<const char *>(start) + size;
    };
    for (const auto &b : S().blocks)
        if (within(b.first, b.second))
            return true;
    for (const auto &r : S().resources)
        if (orResource && within(r->bytes.data(), r->bytes.size()))
            return true;
    return false;
}

int LiveBlocks()
{
    return (int)S().blocks.size();
}

SIZE_T LargestBlock()
{
    return S().largestBlock;
}

} // namespace sim

using namespace sim;

extern "C" HGLOBAL WINAPI GlobalAlloc(UINT flags, SIZE_T bytes)
{
    State &s = S();
    if (bytes > s.largestBlock)
        s.largestBlock = bytes;
    if (Enter(OpGlobalAlloc))
        return NULL;
    /* Any other kind of block is a handle to be locked, not memory. */
    if (flags != GMEM_FIXED) {
        char what[96];
        snprintf(what, sizeof what, "GlobalAlloc with flags 0x%X: only a GMEM_FIXED block is a pointer", flags);
        Misuse(what);
        return NULL;
    }
    /* The program is a 32-bit one: a size past 32 bits has wrapped around
     * there, and no block is larger than its address space can hold. */
    if ((unsigned long long)bytes > 0xFFFFFFFFull) {
        Misuse("GlobalAlloc of 4 GiB or more: a size that wraps around in a 32-bit program");
        SetError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    /* A freed block of the same size comes back, poisoned until then: the
     * sweep's runs allocate the same large blocks thousands of times. */
    std::vector<void *> &same = s.freed[bytes];
    void *p = !same.empty() ? same.back() : bytes > 0x7FFF0000u ? NULL : malloc(bytes == 0 ? 1 : bytes);
    if (!same.empty()) {
        same.pop_back();
        ASAN_UNPOISON_MEMORY_REGION(p, bytes);
    }
    if (p == NULL) {
        SetError(ERROR_NOT_ENOUGH_MEMORY);
        return NULL;
    }
    /* Windows promises nothing about a fresh block's bytes. */
    memset(p, 0xA5, bytes);
    s.blocks[p] = bytes;
    return p;
}

extern "C" HGLOBAL WINAPI GlobalFree(HGLOBAL memory)
{
    State &s = S();
    if (memory == NULL)
        return NULL;
    auto it = s.blocks.find(memory);
    if (it == s.blocks.end()) {
        Misuse("GlobalFree of a block that is not live");
        SetError(ERROR_INVALID_HANDLE);
        return memory; /* Windows fails and returns it */
    }
    ASAN_POISON_MEMORY_REGION(memory, it->second);
    s.freed[it->second].push_back(memory);
    s.blocks.erase(it);
    return NULL;
}
