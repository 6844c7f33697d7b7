/*
 * The simulated process: the named mutexes that keep runs apart, and the
 * waits of Sleep.
 */
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

unsigned Sleeps()
{
    return S().sleeps;
}

unsigned long long SleptMilliseconds()
{
    return S().slept;
}

} // namespace sim

using namespace sim;

extern "C" HANDLE WINAPI CreateMutexA(void *security, BOOL initialOwner, LPCSTR name)
{
    (void)security;
    if (Enter(OpCreateMutexA, name != NULL ? name : ""))
        return NULL;
    State &s = S();
    if (initialOwner || name == NULL)
        Misuse("CreateMutexA owned at once, or unnamed: no other run could see it");
    /* A new one is free; the caller learns whether it was new. */
    const bool created = s.mutexes.insert({name, Mutex{MUTEX_FREE, false, nullptr}}).second;
    SetError(created ? 0 : ERROR_ALREADY_EXISTS);
    return NewHandle(Handle{Handle::MUTEX, name, 0});
}

extern "C" DWORD WINAPI WaitForSingleObject(HANDLE object, DWORD milliseconds)
{
    if (Enter(OpWaitForSingleObject))
        return WAIT_FAILED;
    State &s = S();
    Handle *handle = Find(object, Handle::MUTEX);
    if (handle == nullptr) {
        Misuse("WaitForSingleObject on a handle that is no mutex of the program");
        SetError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    Mutex &m = s.mutexes[handle->path];
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
    s.mutexes[handle->path] = Mutex{MUTEX_PROGRAM, false, nullptr};
    return result;
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
    EndHolds(false);
}
