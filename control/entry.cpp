/*
 * Where the Windows build's process starts. No C runtime is linked: nothing
 * runs before this function, so the first thing the program does is what
 * WinMain does first (keep DLLs loaded later to the system folder). The
 * host build has its own main in the tests and never sees this file.
 */
#include "control/control.h"

/* Only this file ends the process, so the call is declared here rather than
 * in the seam the logic shares. */
WINAPI_IMPORT __attribute__((noreturn)) void WINAPI ExitProcess(UINT exitCode);

/* SW_SHOWDEFAULT: the program shows no window of its own, but WinMain gets
 * what a runtime start-up would pass it. */
enum { kShowDefault = 10 };

/* The entry point the linker names (-e). WinMain gets the program's own
 * module, no previous instance and an empty command line (the program
 * reads none); its result is the exit status. */
extern "C" void WellhavenStart(void)
{
    char commandLine[] = "";
    ExitProcess((UINT)WinMain(GetModuleHandleA(NULL), NULL, commandLine, kShowDefault));
}
