/*
 * A DLL left beside a downloaded program under the name of a system DLL. Each
 * process that loads it gets a mark beside it, "loaded-into-<program file
 * name>", and carries on: it exports nothing.
 */
#include <windows.h>
#include <string.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved)
{
    char mark[3 * MAX_PATH], program[MAX_PATH];
    (void)reserved;
    /* A length of 0 (failed) or MAX_PATH (cut off) wraps past MAX_PATH - 1. */
    if (reason != DLL_PROCESS_ATTACH || GetModuleFileNameA(self, mark, MAX_PATH) - 1 >= MAX_PATH - 1 ||
        GetModuleFileNameA(NULL, program, MAX_PATH) - 1 >= MAX_PATH - 1)
        return TRUE;
    strcpy(strrchr(mark, '\\') + 1, "loaded-into-");
    strcat(mark, strrchr(program, '\\') + 1);
    CloseHandle(CreateFileA(mark, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL));
    return TRUE;
}
