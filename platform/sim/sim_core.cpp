/*
 * The simulated machine: its state, fault injection, memory and strings.
 */
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "platform/sim/sim_state.h"

namespace sim {

State &S()
{
    static State state;
    return state;
}

const char *OpName(Op op)
{
    static const char *const names[OpCount] = {
        "CreateFileA",    "GetFileSize",      "ReadFile",        "WriteFile",      "SetFilePointer",
        "CopyFileA",      "DeleteFileA",      "SetFileAttributesA", "GetTempPathA", "GetTempFileNameA",
        "FindResourceA",  "SizeofResource",   "LoadResource",    "LockResource",   "GlobalAlloc",
        "RegOpenKeyExA",  "RegQueryValueExA", "MessageBoxA",     "FlushFileBuffers", "MoveFileExA",
        "CreateMutexA",   "WaitForSingleObject", "GetFileAttributesA",
    };
    return op < OpCount ? names[op] : "?";
}

void ReleaseAll()
{
    State &s = S();
    for (OpenFile *f : s.files)
        delete f;
    s.files.clear();
    for (OpenKey *k : s.openKeys)
        delete k;
    s.openKeys.clear();
    for (MutexHandle *m : s.mutexHandles)
        delete m;
    s.mutexHandles.clear();
    for (Resource *r : s.resources)
        delete r;
    s.resources.clear();
    for (auto &b : s.blocks)
        free(b.first);
    s.blocks.clear();
}

void Reset()
{
    ReleaseAll();
    State &s = S();
    s.disk = Disk();
    s.disk.folders.insert("C:");
    s.registry.clear();
    s.administrator = false;
    s.loadedResources = 0;
    s.writeHook = nullptr;
    s.callHook = nullptr;
    s.mutexes.clear();
    s.loaderUpdate = true;
    s.pendingDelete = PendingAccessDenied;
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
    for (int i = 0; i < OpCount; i++) {
        s.calls[i] = 0;
        s.faults[i] = Fault{0, 0, false, 0};
    }
    s.faultFired = false;
    s.trace.clear();
    /* The last run's process has ended: a mutex it held is abandoned, free
     * for the next wait. */
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

bool Faulted(Op op, bool *shortTransfer, const std::string &path, const std::string &source)
{
    State &s = S();
    s.calls[op]++;
    s.trace.push_back(Call{op, path, source});
    if (s.callHook)
        s.callHook(s.trace.back());
    Fault &f = s.faults[op];
    if (f.times == 0)
        return false;
    if (f.skip != 0) {
        f.skip--;
        return false;
    }
    if (f.times != kLasting)
        f.times--;
    s.faultFired = true;
    if (shortTransfer != nullptr)
        *shortTransfer = f.shortTransfer;
    /* A short transfer succeeds, and leaves the error alone. */
    if (!f.shortTransfer)
        SetError(f.error);
    return true;
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

int OpenHandles()
{
    int n = 0;
    for (OpenFile *f : S().files)
        if (!f->heldByOther)
            n++;
    return n + (int)S().openKeys.size() + (int)S().mutexHandles.size();
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

} // namespace sim

using namespace sim;

extern "C" HGLOBAL WINAPI GlobalAlloc(UINT flags, SIZE_T bytes)
{
    State &s = S();
    if (bytes > s.largestBlock)
        s.largestBlock = bytes;
    if (Faulted(OpGlobalAlloc))
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
    void *p = bytes > 0x7FFF0000u ? NULL : malloc(bytes == 0 ? 1 : bytes);
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
    free(memory);
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

bool sim::IsLeadByte932(unsigned char c)
{
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

extern "C" LPSTR WINAPI CharNextA(LPCSTR current)
{
    if (*current == '\0')
        return (LPSTR)current;
    if (IsLeadByte932((unsigned char)current[0]) && current[1] != '\0')
        return (LPSTR)(current + 2);
    return (LPSTR)(current + 1);
}
