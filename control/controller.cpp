/*
 * The update controller: the program's own logic begins here.
 */
#include "control/control.h"

#include "common/report.h"
#include "discovery/discovery.h"

/* Players run the updater from wherever it was downloaded, elevated by the
 * system's installer detection. A DLL that the process loads after start-up
 * (a box's theme, say) is otherwise looked for in the program's own folder
 * first, where anyone could have left one: from here on, DLLs come from the
 * system folder only. A system without the loader update that brought this
 * has no such call; the program then carries on as it always did. */
static void LoadDllsFromSystemOnly(void)
{
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    if (kernel == NULL)
        return;
    SetDefaultDllDirectoriesProc restrict =
        (SetDefaultDllDirectoriesProc)GetProcAddress(kernel, "SetDefaultDllDirectories");
    if (restrict != NULL)
        restrict(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

/* One run at a time, on the whole machine: a player who started the updater
 * twice gets the second run only after the first has ended, and it then
 * finds what the first left (up to date, or asks again after a No). The
 * lock is held until the process ends, which follows WinMain at once: the
 * system then abandons it, and a run waiting for it takes an abandoned lock
 * (WAIT_ABANDONED) as its own just as a released one, so the wait's result
 * needs no test. Where the lock cannot be had at all (no object, a failed
 * wait) the run goes on as it always did. Returns the handle to close, or
 * NULL. */
static HANDLE WaitForOtherRuns(void)
{
    HANDLE lock = CreateMutexA(NULL, FALSE, "Global\\WellhavenUpdater");
    if (lock != NULL)
        WaitForSingleObject(lock, INFINITE);
    return lock;
}

/* Finds the installation, asks the player and runs the plan. */
static void Update(HMODULE module)
{
    char *installDir = LocateInstallDir();
    if (installDir == NULL)
        return;

    int edition = IdentifyEdition(installDir);
    if (edition >= EDITION_FIRST_UP_TO_DATE) {
        ShowBox(kTextUpToDate, kEditionCaptions[edition], MB_OK | MB_ICONINFORMATION);
    } else if (edition >= 0) {
        /* Only an explicit Yes is consent: No, a closed box or a box that
         * could not be shown all leave the installation alone. */
        int answer = ShowBox(kTextAskToUpdate, kEditionCaptions[edition], MB_YESNO | MB_ICONQUESTION);
        if (answer == IDYES)
            RunUpdatePlan(installDir, edition, module);
    }

    GlobalFree(installDir);
}

extern "C" int WINAPI WinMain(HINSTANCE module, HINSTANCE previousInstance, LPSTR commandLine, int showCommand)
{
    (void)previousInstance;
    (void)commandLine;
    (void)showCommand;

    LoadDllsFromSystemOnly();
    HANDLE lock = WaitForOtherRuns();
    Update(module);
    /* Closing the handle does not release the lock: it stays this run's
     * until the process ends, right after, and the system then abandons it
     * to the run that waits. */
    if (lock != NULL)
        CloseHandle(lock);
    return 0;
}
