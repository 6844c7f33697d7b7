/*
 * The simulated machine's state, and what a new machine and a new run of the
 * program start from.
 */
#include <stdlib.h>

#include <sanitizer/asan_interface.h>

#include "platform/sim/sim_state.h"

namespace sim {

State &S()
{
    static State state;
    return state;
}

void Reset()
{
    State &s = S();
    for (auto &b : s.blocks)
        free(b.first);
    for (auto &f : s.freed)
        for (void *p : f.second)
            free((ASAN_UNPOISON_MEMORY_REGION(p, f.first), p));
    /* Everything else starts empty, zero or false. */
    s = State();
    s.disk.folders.insert("C:");
    s.pendingDelete = PendingAccessDenied;
    s.nextHandle = 0x100;
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
    for (Fault &f : s.faults)
        f = Fault{0, 0, false, 0};
    s.faultFired = false;
    s.trace.clear();
    /* The last run's process has ended, and its handles with it: a mutex it
     * held is free for the next run. */
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

} // namespace sim
