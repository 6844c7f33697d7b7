/*
 * The simulated machine's calls: the one entry every call passes, its
 * faults, the one handle table, and memory and strings.
 */
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <sanitizer/asan_interface.h>

#include "platform/sim/sim_state.h"

namespace sim {

State &S()
{
    static State state;
    return state;
}

const char *OpName(Op op)
{
#define SIM_NAME(name) #name,
    static const char *const names[OpCount] = {SIM_CALLS(SIM_NAME)};
#undef SIM_NAME
    return op < OpCount ? names[op] : "?";
}

void Reset()
{
    State &s = S();
    s.handles.clear();
    s.resources.clear();
    for (auto &b : s.blocks)
        free(b.first);
    s.blocks.clear();
    for (auto &f : s.freed)
        for (void *p : f.second)
            free((ASAN_UNPOISON_MEMORY_REGION(p, f.first), p));
    s.freed.clear();
    s.disk = Disk();
    s.disk.folders.insert("C:");
    s.pendingDelete = PendingAccessDenied;
    s.nextHandle = 0x100;
    s.registry.clear();
    s.loadedResources = 0;
    s.writeHook = nullptr;
    s.callHook = nullptr;
    s.mutexes.clear();
    s.loaderUpdate = true;
    s.ansiCodePage = 932;
    NewRun();
    s.nextUnique = 0x1A2B;
    MakeFolder("C:\\Temp");
    s.tempPath = "C:\\Temp\\";
}

void NewRun()
{
    State &s = S();
    s.boxes.clear();
    s.answers.clear();
    s.largestBlock = 0;
    s.bytesRead = 0;
    s.writesFromElsewhere = 0;
    memset(s.calls, 0, sizeof s.calls);
    for (Fault &f : s.faults)
        f = Fault{0, 0, false, 0};
    s.faultFired = false;
    s.trace.clear();
    /* The last run's process has ended: a mutex it held is abandoned. */
    for (auto &m : s.mutexes)
        if (m.second.owner == MUTEX_PROGRAM)
            m.second = Mutex{MUTEX_FREE, false, nullptr};
    /* A new process starts with no error. */
    s.lastError = 0;
    s.sleeps = 0;
    s.slept = 0;
    s.dllSearch = 0;
    s.callsBeforeDllSearch = 0;
}

DWORD Enter(Op op, const std::string &path, const std::string &source, bool *shortTransfer)
{
    State &s = S();
    s.calls[op]++;
    s.trace.push_back(Call{op, path, source});
    if (s.callHook)
        s.callHook(s.trace.back());
    Fault &f = s.faults[op];
    if (f.times == 0)
        return 0;
    if (f.skip != 0) {
        f.skip--;
        return 0;
    }
    if (f.times != kLasting)
        f.times--;
    s.faultFired = true;
    if (shortTransfer != nullptr)
        *shortTransfer = f.shortTransfer;
    /* A short transfer succeeds and leaves the error alone; the registry
     * returns its error. */
    if (f.shortTransfer)
        return 0;
    if (op != OpRegOpenKeyExA && op != OpRegQueryValueExA)
        SetError(f.error);
    return f.error;
}

/* nth 0 is no call at all: no fault. */
void FailCall(Op op, unsigned nth, DWORD error, unsigned times)
{
    S().faults[op] = Fault{nth - 1, nth == 0 ? 0 : times, false, error};
}

void ShortCall(Op op, unsigned nth)
{
    S().faults[op] = Fault{nth - 1, nth == 0 ? 0u : 1u, true, 0};
}

bool FaultFired()
{
    return S().faultFired;
}

unsigned Calls(Op op)
{
    return S().calls[op];
}

HANDLE NewHandle(const Handle &handle)
{
    State &s = S();
    const uintptr_t h = s.nextHandle += 4;
    s.handles.emplace(h, handle);
    return reinterpret_cast<HANDLE>(h);
}

Handle *Find(HANDLE h, Handle::Kind kind)
{
    auto it = S().handles.find(reinterpret_cast<uintptr_t>(h));
    return it == S().handles.end() || it->second.kind != kind ? nullptr : &it->second;
}

void Close(HANDLE h)
{
    auto &handles = S().handles;
    auto it = handles.find(reinterpret_cast<uintptr_t>(h));
    const unsigned file = it->second.kind == Handle::FILE ? it->second.file : 0;
    handles.erase(it);
    if (file == 0 || AnyHandle(file))
        return;
    std::vector<std::string> pending;
    for (const auto &n : S().disk.names)
        if (n.second.file == file && n.second.deletePending)
            pending.push_back(n.first);
    for (const std::string &key : pending)
        Unname(key);
    Unname(std::string()); /* a file with no name left goes with its last handle */
}

int OpenHandles()
{
    int n = 0;
    for (const auto &h : S().handles)
        n += !h.second.heldByOther;
    return n;
}

int LiveBlocks()
{
    return (int)S().blocks.size();
}

SIZE_T LargestBlock()
{
    return S().largestBlock;
}

unsigned long long BytesRead()
{
    return S().bytesRead;
}

int WritesFromElsewhere()
{
    return S().writesFromElsewhere;
}

const std::vector<Call> &Trace()
{
    return S().trace;
}

void BeforeCall(std::function<void(const Call &call)> hook)
{
    S().callHook = hook;
}

void OnMisuse(std::function<void(const std::string &what)> handler)
{
    S().misuseHandler = handler;
}

void Misuse(const std::string &what)
{
    if (S().misuseHandler) {
        S().misuseHandler(what);
        return;
    }
    fprintf(stderr, "simulated Windows: misuse: %s\n", what.c_str());
    abort();
}

std::string Upper(const std::string &text)
{
    std::string out = text;
    for (char &c : out)
        if (c >= 'a' && c <= 'z')
            c = (char)(c - 'a' + 'A');
    return out;
}

bool InBlock(const void *p, size_t count)
{
    const char *c = static_cast<const char *>(p);
    for (auto &b : S().blocks) {
        const char *start = static_cast<const char *>(b.first);
        if (c >= start && c + count <= start + b.second)
            return true;
    }
    return false;
}

bool IsLeadByte932(unsigned char c)
{
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

} // namespace sim

using namespace sim;

extern "C" BOOL WINAPI CloseHandle(HANDLE object)
{
    auto it = S().handles.find(reinterpret_cast<uintptr_t>(object));
    if (it == S().handles.end() || it->second.heldByOther || it->second.kind == Handle::KEY) {
        Misuse("CloseHandle of a handle the program does not hold");
        SetError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    Close(object);
    return TRUE;
}

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

extern "C" DWORD WINAPI GetLastError(void)
{
    return S().lastError;
}

extern "C" int WINAPI lstrlenA(LPCSTR string)
{
    return string == NULL ? 0 : (int)strlen(string);
}

extern "C" int WINAPIV wsprintfA(LPSTR buffer, LPCSTR format, ...)
{
    /* Windows writes at most 1024 characters and its terminator. */
    va_list args;
    va_start(args, format);
    int n = vsnprintf(buffer, 1025, format, args);
    va_end(args);
    return n > 1024 ? 1024 : n;
}

extern "C" LPSTR WINAPI CharNextA(LPCSTR current)
{
    if (*current == '\0')
        return (LPSTR)current;
    if (IsLeadByte932((unsigned char)current[0]) && current[1] != '\0')
        return (LPSTR)(current + 2);
    return (LPSTR)(current + 1);
}
