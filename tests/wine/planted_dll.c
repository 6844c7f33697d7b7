/*
 * A DLL that someone left beside a downloaded program, built by the Wine
 * scenarios under the name of a system DLL. Each process that loads it gets
 * a mark beside it, "loaded-into-<program file name>", and carries on: it
 * exports nothing, so the caller finds none of what it looked for.
 */
#include <windows.h>
#include <string.h>

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved)
{
    char mark[3 * MAX_PATH], program[MAX_PATH];
    (void)reserved;
    if (reason != DLL_PROCESS_ATTACH)
        return TRUE;
    DWORD folder = GetModuleFileNameA(self, mark, MAX_PATH);
    DWORD name = GetModuleFileNameA(NULL, program, MAX_PATH);
    if (folder == 0 || folder >= MAX_PATH || name == 0 || name >= MAX_PATH)
        return TRUE;
    strcpy(strrchr(mark, '\\') + 1, "loaded-into-");
    strcat(mark, strrchr(program, '\\') + 1);
    CloseHandle(CreateFileA(mark, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL));
    return TRUE;
}
