/*
 * The simulated process: the named mutexes that keep runs apart, the
 * loader's DLL search, and the waits of Sleep.
 */
#include <string.h>
#include <strings.h>

#include "platform/sim/sim_state.h"

namespace sim {

void HoldMutexElsewhere(const std::string &name, std::function<void()> meanwhile, bool abandoned)
{
    S().mutexes[name] = Mutex{MUTEX_ELSEWHERE, abandoned, meanwhile};
}

bool MutexHeldByProgram(const std::string &name)
{
    auto it = S().mutexes.find(name);
    return it != S().mutexes.end() && it->second.owner == MUTEX_PROGRAM;
}

void SetLoaderUpdate(bool present)
{
    S().loaderUpdate = present;
}

DWORD DllSearch()
{
    return S().dllSearch;
}

size_t CallsBeforeDllSearch()
{
    return S().callsBeforeDllSearch;
}

unsigned Sleeps()
{
    return S().sleeps;
}

unsigned long long SleptMilliseconds()
{
    return S().slept;
}

/* The handle of kernel32.dll in the process. */
static char gKernel32Image;

static BOOL WINAPI SimSetDefaultDllDirectories(DWORD directoryFlags)
{
    State &s = S();
    s.dllSearch = directoryFlags;
    s.callsBeforeDllSearch = s.trace.size();
    return TRUE;
}

} // namespace sim

using namespace sim;

extern "C" HANDLE WINAPI CreateMutexA(void *security, BOOL initialOwner, LPCSTR name)
{
    (void)security;
    if (Faulted(OpCreateMutexA))
        return NULL;
    State &s = S();
    if (initialOwner || name == NULL)
        Misuse("CreateMutexA owned at once, or unnamed: no other run could see it");
    /* A new one is free; the caller learns whether it was new. */
    const bool created = s.mutexes.insert({name, Mutex{MUTEX_FREE, false, nullptr}}).second;
    SetError(created ? 0 : ERROR_ALREADY_EXISTS);
    MutexHandle *handle = new MutexHandle{name};
    s.mutexHandles.insert(handle);
    return handle;
}

extern "C" DWORD WINAPI WaitForSingleObject(HANDLE object, DWORD milliseconds)
{
    if (Faulted(OpWaitForSingleObject))
        return WAIT_FAILED;
    State &s = S();
    MutexHandle *handle = static_cast<MutexHandle *>(object);
    if (s.mutexHandles.count(handle) == 0) {
        Misuse("WaitForSingleObject on a handle that is no mutex of the program");
        SetError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    Mutex &m = s.mutexes[handle->name];
    if (m.owner == MUTEX_PROGRAM) {
        Misuse("WaitForSingleObject on a mutex the program holds already");
        return WAIT_FAILED;
    }
    DWORD result = WAIT_OBJECT_0;
    if (m.owner == MUTEX_ELSEWHERE) {
        if (milliseconds != INFINITE)
            Misuse("a timed wait for another run: it may take as long as the player does");
        /* The other run goes on until it ends. */
        std::function<void()> meanwhile = m.meanwhile;
        bool abandoned = m.abandoned;
        if (meanwhile)
            meanwhile();
        result = abandoned ? WAIT_ABANDONED : WAIT_OBJECT_0;
    }
    Mutex &now = s.mutexes[handle->name];
    now = Mutex{MUTEX_PROGRAM, false, nullptr};
    return result;
}

/* Closes a mutex handle of the program; false when the handle is none. */
bool sim::CloseMutexHandle(HANDLE object)
{
    State &s = S();
    MutexHandle *handle = static_cast<MutexHandle *>(object);
    if (s.mutexHandles.count(handle) == 0)
        return false;
    s.mutexHandles.erase(handle);
    delete handle;
    return true;
}

/* No time passes: the wait is counted, and ends the holds of other
 * programs that last so many. */
extern "C" void WINAPI Sleep(DWORD milliseconds)
{
    State &s = S();
    if (milliseconds == INFINITE)
        Misuse("Sleep(INFINITE): the program would never wake");
    s.sleeps++;
    s.slept += milliseconds;
    SleepOnHolds();
}

extern "C" HMODULE WINAPI GetModuleHandleA(LPCSTR moduleName)
{
    if (moduleName == NULL)
        return Module();
    if (strcasecmp(moduleName, "kernel32.dll") == 0 || strcasecmp(moduleName, "kernel32") == 0)
        return reinterpret_cast<HMODULE>(&gKernel32Image);
    return NULL;
}

extern "C" FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR procName)
{
    if (module != reinterpret_cast<HMODULE>(&gKernel32Image) || !S().loaderUpdate ||
        strcmp(procName, "SetDefaultDllDirectories") != 0)
        return NULL;
    return reinterpret_cast<FARPROC>(&SimSetDefaultDllDirectories);
}
